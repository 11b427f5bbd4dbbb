#include "launcher/failures.h"

#include <windows.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/own_resources.h"
#include "launcher/run_end.h"
#include "launcher/system_library.h"
#include "neutral/abnormal_end.h"
#include "neutral/version_info.h"

namespace {

// Room for the longest message: an entry path of 4096 units in its words.
constexpr size_t lost_text_capacity = 8192;
constexpr size_t system_text_capacity = 4096;
constexpr size_t title_capacity = 256;

// The failure's text, kept when its stream did not take it.
wchar_t lost_text[lost_text_capacity];
bool text_lost = false;

// Without a handle (or with one that no longer takes anything, such as a
// pipe whose reader has gone) the runtime reports the write as failed.
bool stream_took_it(FILE* stream)
{
    return fflush(stream) == 0 && ferror(stream) == 0;
}

// The text as it was meant for the stream, without the line break that ends
// it there.
void keep_lost_text(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = _vsnwprintf(lost_text, lost_text_capacity - 1, format, arguments);
    va_end(arguments);
    size_t end = length < 0 ? lost_text_capacity - 1 : static_cast<size_t>(length);
    lost_text[end] = 0;
    while (end > 0 && (lost_text[end - 1] == L'\n' || lost_text[end - 1] == L'\r')) {
        lost_text[--end] = 0;
    }
    text_lost = true;
}

bool gui_subsystem()
{
    auto base = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return headers->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

// The product's name from the version information, else its description,
// else the executable's file name: what the user knows the program by.
void box_title(wchar_t* title)
{
    static_assert(sizeof(wchar_t) == sizeof(uint16_t), "version strings are UTF-16 code units");
    size_t size = 0;
    const uint8_t* data = own_resource(MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1), &size);
    static const char* const keys[] = {"ProductName", "FileDescription"};
    for (const char* key : keys) {
        if (version_find_string(data, size, key, reinterpret_cast<uint16_t*>(title), title_capacity) ==
                version_found &&
            title[0] != 0) {
            return;
        }
    }
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH - 1] = 0;
    const wchar_t* name = wcsrchr(path, L'\\');
    lstrcpynW(title, name != nullptr ? name + 1 : path, title_capacity);
}

// The lost text in a message box, for a GUI-subsystem launcher on a desktop
// someone sees. user32 is bound here, so that no other start loads it.
void show_lost_text()
{
    if (!text_lost || !gui_subsystem()) {
        return;
    }
    using station_function = HWINSTA(WINAPI*)();
    using information_function = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);
    using box_function = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    auto station_of = bind_system_function<station_function>(L"user32.dll", "GetProcessWindowStation");
    auto information = bind_system_function<information_function>(L"user32.dll", "GetUserObjectInformationW");
    auto box = bind_system_function<box_function>(L"user32.dll", "MessageBoxW");
    DWORD session = 0;
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    HWINSTA station = station_of != nullptr ? station_of() : nullptr;
    if (box == nullptr || information == nullptr || station == nullptr ||
        !information(station, UOI_FLAGS, &flags, sizeof flags, &needed) ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &session) ||
        !failure_box_can_be_seen(session, flags.dwFlags)) {
        return;
    }
    wchar_t title[title_capacity];
    box_title(title);
    box(nullptr, lost_text, title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

// The end of every failure: what the run created goes first, so that
// nothing is left on disk while the box waits for the user.
void finish_and_show()
{
    finish_failure_end();
    show_lost_text();
}

}  // namespace

bool failure_box_can_be_seen(unsigned long session, unsigned long station_flags)
{
    // Session 0 holds the services and, since Windows Vista, never a user's
    // desktop, even in a window station that calls itself visible.
    return session != 0 && (station_flags & WSF_VISIBLE) != 0;
}

size_t system_error_text(unsigned long code, unsigned long language, wchar_t* text, size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    // From the system table, inserts ignored; width 0 keeps the system's own
    // line breaks inside the text.
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD size = capacity < 65536 ? static_cast<DWORD>(capacity) : 65536;
    DWORD length = FormatMessageW(flags, nullptr, code, language, text, size, nullptr);
    if (length == 0) {
        // An installation without texts in that language (ERROR_RESOURCE_LANG_NOT_FOUND,
        // ERROR_MUI_FILE_NOT_FOUND): language 0 is the system's own search.
        length = FormatMessageW(flags, nullptr, code, 0, text, size, nullptr);
    }
    // The system's texts end in a line break, which would put the closing
    // parenthesis on a line of its own.
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
        --length;
    }
    text[length] = 0;
    return length;
}

void fail_plain(const char* message)
{
    begin_failure_end();
    puts(message);
    if (!stream_took_it(stdout)) {
        keep_lost_text(L"%hs", message);
    }
    finish_and_show();
    exit(2);
}

void fail_with_system_error(const char* message, unsigned long code)
{
    begin_failure_end();
    // US English where the system has it, as the message around it is.
    static wchar_t text[system_text_capacity];
    size_t length = system_error_text(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, system_text_capacity);
    // On standard error in the ANSI code page, as the narrow lookup gave it;
    // up to three bytes a unit. A code without any text leaves it empty.
    static char bytes[system_text_capacity * 3];
    int byte_count = length == 0 ? 0
                                 : WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), bytes,
                                                       static_cast<int>(sizeof bytes), nullptr, nullptr);
    fprintf(stderr, "%s ([Error %ld] %.*s)\n", message, static_cast<long>(code), byte_count, bytes);
    if (!stream_took_it(stderr)) {
        keep_lost_text(L"%hs ([Error %ld] %ls)", message, static_cast<long>(code), text);
    }
    finish_and_show();
    exit(2);
}

void write_error(const wchar_t* format, const wchar_t* text)
{
    fwprintf(stderr, format, text);
    if (!stream_took_it(stderr)) {
        keep_lost_text(format, text);
    }
}

void fail_with_text(const wchar_t* format, const wchar_t* text)
{
    begin_failure_end();
    write_error(format, text);
    finish_and_show();
    exit(2);
}

// The launcher's own end for an internal limit, in place of the one that the
// tool and the tests link (see neutral/abnormal_end.cpp for why it is _Exit
// rather than abort): a parent-role run removes what it created first. Only
// a text that write_error could not write is shown; the limits themselves
// say nothing.
[[noreturn]] void abnormal_end()
{
    begin_failure_end();
    finish_and_show();
    _Exit(3);
}
