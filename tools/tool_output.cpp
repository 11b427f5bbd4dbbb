#include "tools/tool_output.h"

#include <windows.h>

namespace {

constexpr uint64_t progress_threshold = 64ull << 20;

struct progress_state {
    bool active;
    const wchar_t* verb;
    uint64_t total;
    uint64_t done;
    int shown_percent;
};
progress_state progress = {false, nullptr, 0, 0, -1};

bool is_terminal(HANDLE handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR;
}

void write_text(DWORD which, const std::wstring& text)
{
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    DWORD mode = 0;
    if (is_terminal(handle) && GetConsoleMode(handle, &mode)) {
        // A console shows UTF-16 as it is; bytes would go through the
        // console's code page and lose every character outside it.
        DWORD written = 0;
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // Files and pipes get UTF-8, whatever the process's ANSI code page is.
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    if (length <= 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length, nullptr, nullptr);
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

}  // namespace

void print_out(const std::wstring& text)
{
    write_text(STD_OUTPUT_HANDLE, text);
}

void print_err(const std::wstring& text)
{
    write_text(STD_ERROR_HANDLE, text);
}

void report(const std::wstring& reason)
{
    if (progress.active && progress.shown_percent >= 0) {
        print_err(L"\n");  // leave the progress line intact above the message
        progress.shown_percent = -1;
    }
    print_err(L"onefile-pack: " + reason + L"\n");
}

std::wstring quoted(const std::wstring& text)
{
    return L"'" + text + L"'";
}

std::wstring to_wide_text(const char* ascii)
{
    std::wstring wide;
    for (const char* at = ascii; *at != 0; ++at) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*at)));
    }
    return wide;
}

std::wstring system_error_text(unsigned long error)
{
    if (error == ERROR_SUCCESS) {
        return L"the system gave no reason";  // a call that failed without setting one
    }
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result;
    if (length != 0 && text != nullptr) {
        result.assign(text, length);
        while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' ' ||
                                   result.back() == L'.')) {
            result.pop_back();
        }
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    if (result.empty()) {
        result = L"system error";
    }
    return result + L" (error " + std::to_wstring(error) + L")";
}

void progress_begin(const wchar_t* verb, uint64_t total)
{
    progress = {false, verb, total, 0, -1};
    progress.active = total > progress_threshold && is_terminal(GetStdHandle(STD_ERROR_HANDLE));
}

void progress_advance(uint64_t bytes)
{
    if (!progress.active) {
        return;
    }
    progress.done += bytes;
    int percent = static_cast<int>(progress.done * 100 / progress.total);
    if (percent > 100) {
        percent = 100;
    }
    if (percent == progress.shown_percent) {
        return;
    }
    progress.shown_percent = percent;
    print_err(L"\ronefile-pack: " + std::wstring(progress.verb) + L" " + std::to_wstring(percent) + L"% (" +
              std::to_wstring(progress.done >> 20) + L" of " + std::to_wstring(progress.total >> 20) + L" MiB)");
}

void progress_end()
{
    if (progress.active && progress.shown_percent >= 0) {
        print_err(L"\n");
    }
    progress = {false, nullptr, 0, 0, -1};
}

void progress_note(const wchar_t* text, uint64_t size)
{
    if (size > progress_threshold && is_terminal(GetStdHandle(STD_ERROR_HANDLE))) {
        print_err(L"onefile-pack: " + std::wstring(text) + L"\n");
    }
}
