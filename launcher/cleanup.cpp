#include "launcher/cleanup.h"


#include "launcher/launcher_state.h"
#include "launcher/remove_tree.h"

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

void remove_target_directory()
{
    // The launcher's own removal rather than the shell's delete request:
    // that one cannot take a path longer than MAX_PATH, and under Wine it
    // then empties the current directory, the caller's, instead. Its result
    // is not needed: the caller looks at what is left.
    remove_directory_tree(target_directory);
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
