#include "launcher/cleanup.h"

#include "launcher/launcher_state.h"
#include "launcher/private_directory.h"
#include "launcher/remove_tree.h"

namespace {

constexpr int removal_retries = 20;
constexpr DWORD retry_pause_ms = 100;

// Read by whichever thread ends the run.
LONG volatile cleanup_armed = 0;
LONG64 volatile deadline = -1;
HANDLE volatile held_directory = nullptr;

// The run's directory: the target directory, or the one above it that the
// run created for itself (launcher_state.h).
void remove_target_directory()
{
    // The launcher's own removal rather than the shell's delete request:
    // that one cannot take a path longer than MAX_PATH, and under Wine it
    // then empties the current directory, the caller's, instead. Its result
    // is not needed: the caller looks at what is left.
    remove_directory_tree(run_directory);
}

}  // namespace

void arm_cleanup()
{
    InterlockedExchange(&cleanup_armed, 1);
}

bool hold_run_directory()
{
    HANDLE directory = CreateFileW(run_directory, FILE_LIST_DIRECTORY | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    InterlockedExchangePointer(const_cast<PVOID volatile*>(&held_directory), directory);
    // Someone else's directory put there in the moment since its making
    // has another owner.
    if (!is_private_directory(directory)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

void bring_forward(LONG64 volatile* shared, ULONGLONG value)
{
    for (;;) {
        LONG64 seen = InterlockedCompareExchange64(shared, 0, 0);
        if (static_cast<ULONGLONG>(seen) <= value ||
            InterlockedCompareExchange64(shared, static_cast<LONG64>(value), seen) == seen) {
            return;
        }
    }
}

void limit_removal(ULONGLONG value)
{
    bring_forward(&deadline, value);
}

ULONGLONG removal_deadline()
{
    return static_cast<ULONGLONG>(InterlockedCompareExchange64(&deadline, 0, 0));
}

void remove_target()
{
    if (InterlockedCompareExchange(&cleanup_armed, 0, 0) == 0) {
        return;
    }
    HANDLE held = static_cast<HANDLE>(
        InterlockedExchangePointer(const_cast<PVOID volatile*>(&held_directory), nullptr));
    if (held != nullptr) {
        CloseHandle(held);
    }
    remove_target_directory();
    for (int attempt = 0; attempt < removal_retries; ++attempt) {
        DWORD attributes = GetFileAttributesW(run_directory);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return;
        }
        if (GetTickCount64() + retry_pause_ms >= removal_deadline()) {
            return;
        }
        Sleep(retry_pause_ms);
        remove_target_directory();
    }
}
