#pragma once
// Removing a directory and everything below it with the launcher's own code:
// depth first, never through a symbolic link or junction, and never anywhere
// but the directory itself and what lies below it.
#include <stddef.h>
#include <wchar.h>

// Room for the widest root removal_root makes from a target directory path
// of 4096 units: the "\\?\UNC\" prefix replaces at most two of its units.
constexpr size_t removal_root_capacity = 4096 + 8;

// The `\\?\` form of `directory`, which must name a directory below a
// volume's root without help from the current directory: "X:\dir...",
// "\\server\share\dir..." or either already in `\\?\` form. Dots,
// forward slashes and doubled separators are resolved as the system resolves
// them for an ordinary path. False, and nothing written, for anything else:
// empty, relative ("dir", "\dir", "X:dir"), a volume's root ("X:\",
// "\\server\share"), a device ("\\.\..."), or a result that does not fit.
bool removal_root(const wchar_t* directory, wchar_t* root, size_t capacity);

// Removes `directory` (through removal_root; nothing happens when that
// refuses it) with everything below it. A symbolic link or junction is
// removed itself, never entered; read-only entries are deleted too; entries
// that something holds open without letting them be deleted stay, and so do
// the directories above them. True when the directory is gone or its
// deletion is only waiting for other handles to close.
bool remove_directory_tree(const wchar_t* directory);

// What the removal does with an entry it has opened (with
// FILE_OPEN_REPARSE_POINT), from the entry's own attributes and reparse tag
// and the attributes its directory's listing gave.
enum class removal_action { enter, delete_itself, leave };
removal_action removal_entry_action(unsigned long attributes, unsigned long reparse_tag, unsigned long listed);

// How the removal opens an entry below the root: NtOpenFile's access and
// options. It tries removal_opens[0] first; when an open fails with
// `status`, removal_next_open gives the index of the one to try instead, or
// -1 when the entry is left.
struct removal_open {
    unsigned long access;
    unsigned long options;
};
constexpr int removal_open_count = 5;
extern const removal_open removal_opens[removal_open_count];
int removal_next_open(int failed, long status);
