#include "launcher/remove_tree.h"

#include <windows.h>
#include <winternl.h>

#include "launcher/system_library.h"

namespace {

// The handles of every directory on the way down are held, so a tree deeper
// than this stays. No path can name anything deeper: a `\\?\` path holds at
// most 32767 units, and every level takes at least two.
constexpr int level_capacity = 16384;

constexpr NTSTATUS status_sharing_violation = static_cast<NTSTATUS>(0xC0000043);
constexpr NTSTATUS status_access_denied = static_cast<NTSTATUS>(0xC0000022);

// Listing, deleting, and the attributes: to tell a link from what it points
// to and to clear a read-only flag.
constexpr ACCESS_MASK entry_access =
    DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
// No FILE_SHARE_DELETE: nobody can rename a directory while it is held, so
// the held chain from the root down stays the chain the removal checked, and
// none of it can be swapped for a link to somewhere else on the way.
constexpr ULONG entry_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// What a file's basic information may set.
constexpr DWORD settable_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Deleting with POSIX semantics (Windows 10 1709 and later, on NTFS): the
// name goes at once, even while a scanner or an indexer still has the file
// open (with delete sharing), so the directory above it can go too; with
// the flag of 1809 and later a read-only entry goes as it is, and a hard
// link's other name keeps its flag untouched. Each level is tried until the
// system or the file system refuses it; the last is the classic deletion,
// which waits for the other handles to close.
// The headers declare these only for a Windows 10 target; the launcher
// targets Windows 7 and asks at run time.
constexpr auto disposition_class_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);  // FileDispositionInfoEx
constexpr DWORD disposition_delete = 0x1, disposition_posix = 0x2, disposition_ignore_read_only = 0x10;
constexpr DWORD disposition_flags[] = {
    disposition_delete | disposition_posix | disposition_ignore_read_only,
    disposition_delete | disposition_posix,
};
constexpr int classic_disposition = sizeof disposition_flags / sizeof disposition_flags[0];

using open_function = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG);
using query_directory_function = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID,
                                                  ULONG, FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);

// Below the root every entry is opened by its one listed name relative to
// the held handle of its directory: no path is ever built, so none is too
// long and none can lead anywhere else. Win32 has no such open, and no
// listing that returns one entry at a time (the place in a listing is kept
// in its handle while the removal goes down and up again); ntdll, mapped
// into every process, has both.
struct removal_state {
    open_function open;
    query_directory_function query_directory;
    // The first of disposition_flags not refused yet; one tree lies on one
    // volume, since links to others are never entered.
    int disposition;
};

bool bind_native(removal_state* state)
{
    state->open = bind_system_function<open_function>(L"ntdll.dll", "NtOpenFile");
    state->query_directory = bind_system_function<query_directory_function>(L"ntdll.dll", "NtQueryDirectoryFile");
    state->disposition = 0;
    return state->open != nullptr && state->query_directory != nullptr;
}

bool has_prefix(const wchar_t* text, const wchar_t* prefix)
{
    for (; *prefix != 0; ++text, ++prefix) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

bool is_separator(wchar_t unit)
{
    return unit == L'\\' || unit == L'/';
}

// One component up to the next backslash; its length, or 0 for an empty
// one or one the system would take for the current or the parent directory.
size_t component_length(const wchar_t* at)
{
    size_t length = 0;
    while (at[length] != 0 && at[length] != L'\\') {
        if (at[length] == L'/') {
            return 0;
        }
        ++length;
    }
    if (length == 1 && at[0] == L'.') {
        return 0;
    }
    if (length == 2 && at[0] == L'.' && at[1] == L'.') {
        return 0;
    }
    return length;
}

// The units of "X:\" or "server\share\" at the start of `path`, or 0.
size_t volume_length(const wchar_t* path, bool unc)
{
    if (!unc) {
        bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
        return letter && path[1] == L':' && path[2] == L'\\' ? 3 : 0;
    }
    // "\\.\" and "\\?\" are the device and literal namespaces, not servers.
    size_t server = component_length(path);
    if (server == 0 || (server == 1 && path[0] == L'?') || path[server] != L'\\') {
        return 0;
    }
    size_t share = component_length(path + server + 1);
    if (share == 0 || path[server + 1 + share] != L'\\') {
        return 0;
    }
    return server + 1 + share + 1;
}

bool set_attributes(HANDLE handle, DWORD attributes)
{
    FILE_BASIC_INFO basic = {};  // times of zero are left as they are
    basic.FileAttributes = (attributes & settable_attributes) != 0 ? attributes & settable_attributes
                                                                    : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Sets the delete disposition at the first level that the system does not
// refuse as such; a refusal for this entry alone (in use, not empty,
// read-only below the flag's level) leaves it as it is.
bool set_disposition(removal_state* state, HANDLE handle)
{
    while (state->disposition < classic_disposition) {
        DWORD extended = disposition_flags[state->disposition];  // FILE_DISPOSITION_INFO_EX
        if (SetFileInformationByHandle(handle, disposition_class_ex, &extended, sizeof extended)) {
            return true;
        }
        // Before 1709 the information class is unknown, before 1809 the
        // read-only flag; FAT and network file systems know no POSIX
        // deletion. Wine 8 refuses the class, so its tests go the classic way.
        DWORD error = GetLastError();
        if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
            return false;
        }
        ++state->disposition;
    }
    FILE_DISPOSITION_INFO classic = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic) != 0;
}

// Deletes what `handle` was opened on: the link itself, for a link. Below
// the level that ignores the read-only flag the system refuses to delete a
// read-only entry, so the flag is cleared first, and put back when the
// entry stays or lives on under another name (hard links share their
// attributes; the other name may be outside).
bool delete_entry(removal_state* state, HANDLE handle, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return set_disposition(state, handle);
    }
    if (state->disposition == 0) {
        if (set_disposition(state, handle)) {
            return true;
        }
        if (state->disposition == 0) {
            return false;  // refused for this entry, not for the flag
        }
    }
    bool cleared = set_attributes(handle, attributes & ~FILE_ATTRIBUTE_READONLY);
    FILE_STANDARD_INFO standard = {};
    bool shared = cleared && GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) &&
                  standard.NumberOfLinks > 1;
    bool deleted = set_disposition(state, handle);
    if (cleared && (!deleted || shared)) {
        set_attributes(handle, attributes);
    }
    return deleted;
}

// The opened entry's attributes and what to do with it; leave when they
// cannot be read.
removal_action examine(HANDLE handle, DWORD listed, DWORD* attributes)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        return removal_action::leave;
    }
    *attributes = tag.FileAttributes;
    return removal_entry_action(tag.FileAttributes, tag.ReparseTag, listed);
}

// The root is the run's own directory, which the launcher created with an
// access list of its own: only the opens that ask for less while it is in
// use (see removal_opens).
HANDLE open_root(const wchar_t* root)
{
    for (int at = 0; at >= 0; at = removal_next_open(at, status_sharing_violation)) {
        HANDLE handle = CreateFileW(root, removal_opens[at].access, entry_sharing, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            return handle;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) {
            break;
        }
    }
    return nullptr;
}

// The entry opened by the first of removal_opens that the system grants,
// and that open's index in `used`; null when none.
HANDLE open_below(const removal_state& state, HANDLE directory, const FILE_DIRECTORY_INFORMATION& entry, int* used)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t*>(entry.FileName);
    name.Length = static_cast<USHORT>(entry.FileNameLength);
    name.MaximumLength = name.Length;
    // Not case-insensitive: the name is exactly the listed one, and in a
    // case-sensitive directory another spelling may be another entry.
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, 0, directory, nullptr);
    for (int at = 0; at >= 0;) {
        IO_STATUS_BLOCK io;
        HANDLE handle = nullptr;
        NTSTATUS status = state.open(&handle, removal_opens[at].access, &object, &io, entry_sharing,
                                     removal_opens[at].options);
        if (NT_SUCCESS(status)) {
            *used = at;
            return handle;
        }
        at = removal_next_open(at, status);
    }
    return nullptr;
}

bool is_dot_entry(const FILE_DIRECTORY_INFORMATION& entry)
{
    return (entry.FileNameLength == 2 && entry.FileName[0] == L'.') ||
           (entry.FileNameLength == 4 && entry.FileName[0] == L'.' && entry.FileName[1] == L'.');
}

bool delete_directory(removal_state* state, HANDLE directory)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &tag, sizeof tag);
    return delete_entry(state, directory, tag.FileAttributes);
}

// The opens of removal_opens: after a sharing violation the ones that ask
// for less, so that someone who reads an entry without letting others read
// it keeps nobody from deleting it, and someone who works in a directory
// without letting it be deleted (a process's current directory) keeps
// nobody from emptying it. After an access denial the ones that ask only
// for what the run's own directory grants through its entries: DELETE
// through its delete-child right and the attributes through its listing
// right, so that an entry whose own access list denies reading or writing
// its attributes still goes (without the read-only flag cleared: the
// POSIX level ignores it). The last asks for DELETE alone, and so cannot
// tell what it opened: it opens no directory, and with
// FILE_OPEN_REPARSE_POINT a link is the link itself.
constexpr ULONG open_options = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr int open_full = 0, open_shared_reader = 1, open_shared_directory = 2, open_through_parent = 3,
              open_delete_only = 4;

}  // namespace

const removal_open removal_opens[removal_open_count] = {
    {entry_access, open_options},
    {entry_access & ~FILE_LIST_DIRECTORY, open_options},
    {entry_access & ~DELETE, open_options},
    {DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, open_options},
    {DELETE | SYNCHRONIZE, open_options | FILE_NON_DIRECTORY_FILE},
};

int removal_next_open(int failed, long status)
{
    if (status == status_sharing_violation) {
        return failed == open_full ? open_shared_reader : failed == open_shared_reader ? open_shared_directory : -1;
    }
    if (status == status_access_denied) {
        return failed == open_full ? open_through_parent : failed == open_through_parent ? open_delete_only : -1;
    }
    return -1;
}

// Decided on the opened entry itself, never on the name alone, so that an
// entry swapped after it was listed is still handled for what it is.
removal_action removal_entry_action(unsigned long attributes, unsigned long reparse_tag, unsigned long listed)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A name surrogate (symbolic link, junction, and the like) stands
        // for another entry, which may be anywhere: the link itself goes.
        // Any other reparse point is the entry itself with data for a file
        // system filter (a cloud file's placeholder, deduplication, a
        // container's layer): a directory's entries are its own, and
        // deleting it whole would fail while it has any, so it is emptied
        // like any directory.
        bool link = IsReparseTagNameSurrogate(reparse_tag);
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !link ? removal_action::enter
                                                                : removal_action::delete_itself;
    }
    // Listed as a link but opened as a plain directory: the open followed it
    // despite FILE_OPEN_REPARSE_POINT (Wine opens a Unix symbolic link so).
    // Neither entered nor deleted, since deleting through that handle would
    // act on the link's target.
    if (listed & FILE_ATTRIBUTE_REPARSE_POINT) {
        return removal_action::leave;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? removal_action::enter : removal_action::delete_itself;
}

bool removal_root(const wchar_t* directory, wchar_t* root, size_t capacity)
{
    // Any other path is taken relative to the current directory (of the
    // drive), which belongs to whoever started the launcher.
    bool drive_absolute = directory[0] != 0 && directory[1] == L':' && is_separator(directory[2]);
    bool unc = is_separator(directory[0]) && is_separator(directory[1]);
    bool literal = has_prefix(directory, L"\\\\?\\");
    if (!drive_absolute && !unc) {
        return false;
    }
    wchar_t full[removal_root_capacity];
    const wchar_t* path = directory;
    if (!literal) {
        // The same resolution of dots, slashes and doubled separators that
        // the system applied when the directory was created through this
        // path; a `\\?\` path gets none.
        DWORD length = GetFullPathNameW(directory, removal_root_capacity, full, nullptr);
        if (length == 0 || length >= removal_root_capacity) {
            return false;
        }
        path = full;
    }
    const wchar_t* prefix = L"\\\\?\\";
    if (has_prefix(path, L"\\\\?\\UNC\\")) {
        prefix = L"\\\\?\\UNC\\";
        path += 8;
        unc = true;
    } else if (has_prefix(path, L"\\\\?\\")) {
        path += 4;
        unc = false;
    } else if (has_prefix(path, L"\\\\")) {
        prefix = L"\\\\?\\UNC\\";
        path += 2;
        unc = true;
    } else {
        unc = false;
    }
    size_t volume = volume_length(path, unc);
    if (volume == 0) {
        return false;
    }
    // At least one component below the volume's root, and only plain ones;
    // one trailing separator is allowed.
    size_t end = volume;
    size_t last = volume;
    while (path[end] != 0) {
        size_t length = component_length(path + end);
        if (length == 0) {
            return false;
        }
        end += length;
        last = end;
        if (path[end] == L'\\') {
            ++end;
        }
    }
    size_t prefix_length = unc ? 8 : 4;
    if (last == volume || prefix_length + last >= capacity) {
        return false;
    }
    for (size_t i = 0; i < prefix_length; ++i) {
        root[i] = prefix[i];
    }
    for (size_t i = 0; i < last; ++i) {
        root[prefix_length + i] = path[i];
    }
    root[prefix_length + last] = 0;
    return true;
}

bool remove_directory_tree(const wchar_t* directory)
{
    wchar_t root[removal_root_capacity];
    removal_state state;
    if (!removal_root(directory, root, removal_root_capacity) || !bind_native(&state)) {
        return false;
    }
    DWORD listed = GetFileAttributesW(root);
    if (listed == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    HANDLE handle = open_root(root);
    if (handle == nullptr) {
        return false;
    }
    DWORD attributes = 0;
    removal_action action = examine(handle, listed, &attributes);
    if (action != removal_action::enter) {
        bool deleted = action == removal_action::delete_itself && delete_entry(&state, handle, attributes);
        CloseHandle(handle);
        return deleted;
    }

    // Depth first without recursion: levels[depth - 1] is the directory
    // being listed, the ones before it are those above it.
    HANDLE levels[level_capacity];
    int depth = 0;
    levels[depth++] = handle;
    // One entry per query; the largest name (255 units) fits many times.
    alignas(8) unsigned char listing[4096];
    bool removed = false;
    while (depth > 0) {
        HANDLE current = levels[depth - 1];
        IO_STATUS_BLOCK io;
        NTSTATUS status = state.query_directory(current, nullptr, nullptr, nullptr, &io, listing, sizeof listing,
                                                 FileDirectoryInformation, TRUE, nullptr, FALSE);
        if (!NT_SUCCESS(status)) {
            // The end of the listing, or one that cannot go on: either way
            // this directory is done with, and goes if it is empty.
            bool deleted = delete_directory(&state, current);
            CloseHandle(current);
            --depth;
            removed = depth == 0 && deleted;
            continue;
        }
        const FILE_DIRECTORY_INFORMATION& entry = *reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(listing);
        if (is_dot_entry(entry)) {
            continue;
        }
        // An entry that cannot be opened (held without delete sharing, or
        // gone meanwhile) is left for the next attempt.
        int used = 0;
        HANDLE child = open_below(state, current, entry, &used);
        if (child == nullptr) {
            continue;
        }
        attributes = 0;
        action = (removal_opens[used].access & FILE_READ_ATTRIBUTES) != 0
                     ? examine(child, entry.FileAttributes, &attributes)
                     : removal_action::delete_itself;
        if (action == removal_action::enter && depth < level_capacity) {
            levels[depth++] = child;
            continue;
        }
        if (action == removal_action::delete_itself) {
            delete_entry(&state, child, attributes);
        }
        CloseHandle(child);
    }
    return removed;
}
