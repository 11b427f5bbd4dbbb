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

using open_function = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG);
using query_directory_function = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID,
                                                  ULONG, FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);

// Below the root every entry is opened by its one listed name relative to
// the held handle of its directory: no path is ever built, so none is too
// long and none can lead anywhere else. Win32 has no such open, and no
// listing that returns one entry at a time (the place in a listing is kept
// in its handle while the removal goes down and up again); ntdll, mapped
// into every process, has both.
struct native_functions {
    open_function open;
    query_directory_function query_directory;
};

bool bind_native(native_functions* native)
{
    native->open = bind_system_function<open_function>(L"ntdll.dll", "NtOpenFile");
    native->query_directory = bind_system_function<query_directory_function>(L"ntdll.dll", "NtQueryDirectoryFile");
    return native->open != nullptr && native->query_directory != nullptr;
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

// Deletes what `handle` was opened on: the link itself, for a link. The
// system refuses to delete a read-only entry, so the flag is cleared first,
// and put back when the entry stays or lives on under another name (hard
// links share their attributes; the other name may be outside).
bool delete_entry(HANDLE handle, DWORD attributes)
{
    bool cleared = (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                   set_attributes(handle, attributes & ~FILE_ATTRIBUTE_READONLY);
    FILE_STANDARD_INFO standard = {};
    bool shared = cleared && GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) &&
                  standard.NumberOfLinks > 1;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool deleted = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
    if (cleared && (!deleted || shared)) {
        set_attributes(handle, attributes);
    }
    return deleted;
}

enum class entry_kind { directory, deletable, left };

// Decided on the opened entry itself, never on the name alone, so that an
// entry swapped after it was listed is still handled for what it is.
// `listed` is what the listing said about it: an entry listed as a link that
// opens as a plain directory was followed despite FILE_FLAG_OPEN_REPARSE_POINT
// (Wine opens a Unix symbolic link so), and is neither entered nor deleted,
// since deleting through that handle would act on the link's target.
entry_kind classify(HANDLE handle, DWORD listed, DWORD* attributes)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        return entry_kind::left;
    }
    *attributes = tag.FileAttributes;
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return entry_kind::deletable;
    }
    if (listed & FILE_ATTRIBUTE_REPARSE_POINT) {
        return entry_kind::left;
    }
    return (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? entry_kind::directory : entry_kind::deletable;
}

// The rights asked for in turn while the entry is in use in a way that one
// of them would conflict with: someone who reads an entry without letting
// others read it keeps nobody from deleting it, and someone who works in a
// directory without letting it be deleted (a process's current directory)
// keeps nobody from emptying it.
constexpr ACCESS_MASK access_tried[] = {entry_access, entry_access & ~FILE_LIST_DIRECTORY, entry_access & ~DELETE};

HANDLE open_root(const wchar_t* root)
{
    for (ACCESS_MASK access : access_tried) {
        HANDLE handle = CreateFileW(root, access, entry_sharing, nullptr, OPEN_EXISTING,
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

HANDLE open_below(const native_functions& native, HANDLE directory, const FILE_DIRECTORY_INFORMATION& entry)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t*>(entry.FileName);
    name.Length = static_cast<USHORT>(entry.FileNameLength);
    name.MaximumLength = name.Length;
    // Not case-insensitive: the name is exactly the listed one, and in a
    // case-sensitive directory another spelling may be another entry.
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &name, 0, directory, nullptr);
    const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
    for (ACCESS_MASK access : access_tried) {
        IO_STATUS_BLOCK io;
        HANDLE handle = nullptr;
        NTSTATUS status = native.open(&handle, access, &object, &io, entry_sharing, options);
        if (NT_SUCCESS(status)) {
            return handle;
        }
        if (status != status_sharing_violation) {
            break;
        }
    }
    return nullptr;
}

bool is_dot_entry(const FILE_DIRECTORY_INFORMATION& entry)
{
    return (entry.FileNameLength == 2 && entry.FileName[0] == L'.') ||
           (entry.FileNameLength == 4 && entry.FileName[0] == L'.' && entry.FileName[1] == L'.');
}

bool delete_directory(HANDLE directory)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &tag, sizeof tag);
    return delete_entry(directory, tag.FileAttributes);
}

}  // namespace

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
    native_functions native;
    if (!removal_root(directory, root, removal_root_capacity) || !bind_native(&native)) {
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
    entry_kind kind = classify(handle, listed, &attributes);
    if (kind != entry_kind::directory) {
        bool deleted = kind == entry_kind::deletable && delete_entry(handle, attributes);
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
        NTSTATUS status = native.query_directory(current, nullptr, nullptr, nullptr, &io, listing, sizeof listing,
                                                 FileDirectoryInformation, TRUE, nullptr, FALSE);
        if (!NT_SUCCESS(status)) {
            // The end of the listing, or one that cannot go on: either way
            // this directory is done with, and goes if it is empty.
            bool deleted = delete_directory(current);
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
        HANDLE child = open_below(native, current, entry);
        if (child == nullptr) {
            continue;
        }
        kind = classify(child, entry.FileAttributes, &attributes);
        if (kind == entry_kind::directory && depth < level_capacity) {
            levels[depth++] = child;
            continue;
        }
        if (kind == entry_kind::deletable) {
            delete_entry(child, attributes);
        }
        CloseHandle(child);
    }
    return removed;
}
