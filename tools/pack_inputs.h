#pragma once
// Turning the command line's MAIN_LIBRARY and INPUTs into the list of
// entries of an image, with every refusal made before anything is written.
#include <stdint.h>

#include <string>
#include <vector>

#include "neutral/name_case.h"

struct pack_entry {
    std::u16string name;  // stored name, backslash-separated
    std::string source;   // absolute path of the file; empty for a placeholder
    uint64_t size;        // as seen while collecting (of a link's target); checked again on reading
};

// A stored name as the code units the neutral code takes.
inline const uint16_t* units(const std::u16string& name)
{
    return reinterpret_cast<const uint16_t*>(name.data());
}

// Ordinal with case folding: the way NTFS and the launcher's CreateFileW
// see two names, independent of the user's locale.
inline int compare_ignoring_case(const std::u16string& a, const std::u16string& b)
{
    return name_compare_ignoring_case(units(a), a.size(), units(b), b.size());
}

// The empty file that --keep-empty-dirs stores so that a directory exists.
constexpr char16_t empty_directory_placeholder[] = u".keep_dir.txt";

// Fills `entries` with the main library first and every other entry after it
// in ordinal order of the stored names' UTF-16 code units. Returns
// status_ok, or reports the first refused input and returns status_failed
// (or status_usage for a malformed SOURCE=NAME argument).
//
// Links are followed: a file link is stored as the file it leads to, under
// the link's name, and a directory link or junction as the directory. A
// directory that leads back to one that holds it (a loop of links) is
// refused, since following it would never end.
int collect_entries(const std::string& main_library, const std::vector<std::string>& inputs, bool keep_empty_dirs,
                    std::vector<pack_entry>* entries);

// Bytes of the image the entries make; false if that overflows 64 bits.
bool image_size_of(const std::vector<pack_entry>& entries, uint64_t* size);

// Refuses (status_failed, with one message naming them all) an image whose
// main library imports DLLs that are neither system DLLs
// (neutral/system_dlls.h), nor in `allowed_dlls`, nor entries beside the
// main library, where the loader looks for them; the payload's DLLs found
// that way are checked in turn. `main_argument` names the main library in
// the message as the user gave it.
int check_imports(const std::vector<pack_entry>& entries, const std::vector<std::string>& allowed_dlls,
                  const std::string& main_argument);
