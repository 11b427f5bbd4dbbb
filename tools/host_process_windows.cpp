// The tool's process on Windows: wmain, console output, Ctrl+C.
#include <windows.h>

#include "neutral/utf.h"
#include "tools/host_process.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace {

volatile LONG interrupted = 0;
volatile LONG pending_count = 0;

BOOL WINAPI on_console_control(DWORD type)
{
    // Only a run with an output in flight needs to stop politely; otherwise
    // the default handler ends the process as usual.
    if ((type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) && pending_count > 0) {
        InterlockedExchange(&interrupted, 1);
        return TRUE;
    }
    return FALSE;
}

bool is_terminal(HANDLE handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR;
}

}  // namespace

void host_print(bool to_error, const std::string& text)
{
    HANDLE handle = GetStdHandle(to_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    std::u16string units;
    utf16_from_utf8(text, &units);
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(units.data());
    DWORD mode = 0;
    if (is_terminal(handle) && GetConsoleMode(handle, &mode)) {
        // A console shows UTF-16 as it is; bytes would go through the
        // console's code page and lose every character outside it.
        DWORD written = 0;
        WriteConsoleW(handle, wide, static_cast<DWORD>(units.size()), &written, nullptr);
        return;
    }
    // Files and pipes get UTF-8, whatever the process's ANSI code page is;
    // an unpaired surrogate of a file name becomes U+FFFD there.
    int length = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units.size()), &bytes[0], length, nullptr, nullptr);
    const char* at = bytes.data();
    size_t left = bytes.size();
    while (left != 0) {
        DWORD written = 0;
        if (!WriteFile(handle, at, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
            return;
        }
        at += written;
        left -= written;
    }
}

bool host_error_is_terminal()
{
    return is_terminal(GetStdHandle(STD_ERROR_HANDLE));
}

unsigned long host_process_id()
{
    return GetCurrentProcessId();
}

void host_count_pending_output(int change)
{
    InterlockedExchangeAdd(&pending_count, change);
}

bool host_interrupted()
{
    return interrupted != 0;
}

int wmain(int argc, wchar_t** argv)
{
    // A damaged input must be reported, never answered with a crash dialog
    // that would hang an unattended build.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetConsoleCtrlHandler(on_console_control, TRUE);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(utf8_from_utf16(reinterpret_cast<const char16_t*>(argv[i])));
    }
    return tool_main(arguments);
}
