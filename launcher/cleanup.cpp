#include "launcher/cleanup.h"

#include "launcher/launcher_state.h"
#include "launcher/shell_functions.h"

namespace {

constexpr int removal_retries = 20;
constexpr DWORD retry_pause_ms = 100;

// Read by whichever thread ends the run.
LONG volatile cleanup_armed = 0;

void remove_target_directory()
{
    // The source list is one path followed by two zero code units, also
    // when the path fills all 4096 units of its buffer: hence the copy into
    // a buffer one unit larger. Local, since both threads may run this.
    wchar_t from[target_directory_capacity + 1];
    size_t length = 0;
    while (length < target_directory_capacity - 1 && target_directory[length] != 0) {
        from[length] = target_directory[length];
        ++length;
    }
    from[length] = 0;
    from[length + 1] = 0;

    SHFILEOPSTRUCTW request = {};
    request.hwnd = nullptr;
    request.wFunc = FO_DELETE;
    request.pFrom = from;
    request.pTo = L"";
    // Silent, no confirmation, no error dialog; no undo flag, so nothing
    // goes to the recycle bin.
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = nullptr;
    request.lpszProgressTitle = L"";
    shell_file_operation(&request);
}

}  // namespace

void arm_cleanup()
{
    InterlockedExchange(&cleanup_armed, 1);
}

void remove_target(ULONGLONG deadline)
{
    if (InterlockedCompareExchange(&cleanup_armed, 0, 0) == 0) {
        return;
    }
    remove_target_directory();
    for (int attempt = 0; attempt < removal_retries; ++attempt) {
        DWORD attributes = GetFileAttributesW(target_directory);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return;
        }
        if (GetTickCount64() + retry_pause_ms >= deadline) {
            return;
        }
        Sleep(retry_pause_ms);
        remove_target_directory();
    }
}
