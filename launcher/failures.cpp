#include "launcher/failures.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/run_end.h"
#include "neutral/abnormal_end.h"

void fail_plain(const char* message)
{
    begin_failure_end();
    puts(message);
    finish_failure_end();
    exit(2);
}

void fail_with_system_error(const char* message, unsigned long code)
{
    begin_failure_end();
    char* text = nullptr;
    // 0x1300: allocate the buffer, take the text from the system table,
    // ignore inserts; width 0 keeps the system's own line breaks inside it.
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD length = FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    // A code without US-English text (or a lookup that fails) leaves the
    // text empty; the line is written all the same.
    if (length == 0 || text == nullptr) {
        length = 0;
    }
    // The system's texts end in a line break, which would put the closing
    // parenthesis on a line of its own.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
        --length;
    }
    fprintf(stderr, "%s ([Error %ld] %.*s)\n", message, static_cast<long>(code), static_cast<int>(length),
            length != 0 ? text : "");
    fflush(stderr);
    if (text != nullptr) {
        LocalFree(text);
    }
    finish_failure_end();
    exit(2);
}

void write_error(const wchar_t* format, const wchar_t* text)
{
    fwprintf(stderr, format, text);
    fflush(stderr);
}

void fail_with_text(const wchar_t* format, const wchar_t* text)
{
    begin_failure_end();
    write_error(format, text);
    finish_failure_end();
    exit(2);
}

// The launcher's own end for an internal limit, in place of the one that the
// tool and the tests link (see neutral/abnormal_end.cpp for why it is _Exit
// rather than abort): a parent-role run removes what it created first.
[[noreturn]] void abnormal_end()
{
    begin_failure_end();
    finish_failure_end();
    _Exit(3);
}
