#include "launcher/cleanup.h"

#include <wchar.h>

#include "launcher/launcher_state.h"

namespace {

constexpr DWORD child_grace_ms = 5000;
constexpr int removal_retries = 20;
constexpr DWORD retry_pause_ms = 100;

// Shared with the console handler's thread.
HANDLE volatile shared_child_process = nullptr;
LONG volatile cleanup_armed = 0;

HANDLE take_shared_child_process()
{
    return static_cast<HANDLE>(InterlockedExchangePointer(const_cast<PVOID volatile*>(&shared_child_process), nullptr));
}

// Deletes one file or empty directory, clearing a read-only attribute that
// the application may have set (DeleteFileW and RemoveDirectoryW both refuse
// read-only objects with ERROR_ACCESS_DENIED).
void remove_entry(const wchar_t* path, bool directory)
{
    if (directory ? RemoveDirectoryW(path) : DeleteFileW(path)) {
        return;
    }
    if (GetLastError() == ERROR_ACCESS_DENIED && SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL)) {
        if (directory) {
            RemoveDirectoryW(path);
        } else {
            DeleteFileW(path);
        }
    }
}

// Removes the target directory with everything below it, as far as it
// goes: what cannot be removed now (a file held open without delete sharing)
// is passed over, and the next attempt tries again. A walk with plain find
// and delete calls rather than SHFileOperationW, whose shell bookkeeping
// (change notifications and a PIDL built for every deleted file) costs
// about six times as long for a payload of a couple of hundred files under
// Wine. Links below the target (junctions, symbolic links) are removed
// themselves and never followed, so nothing outside the target is touched.
// All state is local, since both threads may run this at the same time.
void remove_target_directory()
{
    // Each level adds a separator and at least one unit, so a path of
    // removal_path_capacity units has fewer levels than this.
    constexpr size_t removal_path_capacity = target_directory_capacity + 2;
    constexpr size_t max_depth = removal_path_capacity / 2;
    struct level {
        HANDLE search;
        size_t length;  // of the path of the directory being listed
        bool fresh;     // the find data holds this level's first entry, unread
    };
    level levels[max_depth];
    wchar_t path[removal_path_capacity];
    WIN32_FIND_DATAW found;

    size_t length = 0;
    while (length < target_directory_capacity - 1 && target_directory[length] != 0) {
        path[length] = target_directory[length];
        ++length;
    }
    path[length] = 0;
    if (length == 0) {
        return;
    }

    // Opens a listing of path[0..length) and pushes it; false when the
    // directory cannot be listed (or the walk is as deep as it can go).
    size_t depth = 0;
    auto push = [&](size_t directory_length) {
        if (depth == max_depth || directory_length + 3 > removal_path_capacity) {
            return false;
        }
        path[directory_length] = L'\\';
        path[directory_length + 1] = L'*';
        path[directory_length + 2] = 0;
        HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
        path[directory_length] = 0;
        if (search == INVALID_HANDLE_VALUE) {
            return false;
        }
        levels[depth++] = {search, directory_length, true};
        return true;
    };

    if (!push(length)) {
        remove_entry(path, true);
        return;
    }
    while (depth != 0) {
        level& top = levels[depth - 1];
        bool have = top.fresh || FindNextFileW(top.search, &found);
        top.fresh = false;
        if (!have) {
            FindClose(top.search);
            path[top.length] = 0;
            remove_entry(path, true);
            --depth;
            continue;
        }
        const wchar_t* name = found.cFileName;
        if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) {
            continue;
        }
        size_t name_length = wcslen(name);
        if (top.length + 1 + name_length >= removal_path_capacity) {
            continue;  // deeper than any path the walk can spell: left alone
        }
        path[top.length] = L'\\';
        wmemcpy(path + top.length + 1, name, name_length + 1);
        size_t child_length = top.length + 1 + name_length;
        DWORD attributes = found.dwFileAttributes;
        bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (directory && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            if (!push(child_length)) {
                remove_entry(path, true);
            }
            continue;
        }
        remove_entry(path, directory);
    }
}

}  // namespace

void arm_cleanup()
{
    InterlockedExchange(&cleanup_armed, 1);
}

void share_child_process(HANDLE process)
{
    HANDLE duplicate = nullptr;
    // Without a duplicate the handler cannot stop the child; the main
    // thread's wait and the cleanup's removal still work.
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        duplicate = nullptr;
    }
    InterlockedExchangePointer(const_cast<PVOID volatile*>(&shared_child_process), duplicate);
}

void release_child_process()
{
    HANDLE process = take_shared_child_process();
    if (process != nullptr) {
        CloseHandle(process);
    }
}

void cleanup_target()
{
    HANDLE process = take_shared_child_process();
    if (process != nullptr) {
        // A wait that fails or times out is treated alike.
        if (WaitForSingleObject(process, child_grace_ms) != WAIT_OBJECT_0) {
            TerminateProcess(process, 0);
        }
        CloseHandle(process);
    }
    if (InterlockedCompareExchange(&cleanup_armed, 0, 0) == 0) {
        return;
    }
    remove_target_directory();
    for (int attempt = 0; attempt < removal_retries; ++attempt) {
        DWORD attributes = GetFileAttributesW(target_directory);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return;
        }
        Sleep(retry_pause_ms);
        remove_target_directory();
    }
}

BOOL WINAPI console_control_handler(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanup_target();
        break;
    default:
        break;
    }
    // Never handled: the system's default handling ends the parent.
    return FALSE;
}
