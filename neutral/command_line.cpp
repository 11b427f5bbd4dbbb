#include "neutral/command_line.h"

#include "neutral/wide_bounded.h"

void append_quoted_argument(wchar_t* command_line, const wchar_t* argument, size_t capacity)
{
    static const wchar_t needs_quotes[] = {L' ', L'\t', L'\n', L'\v', L'"'};
    // An empty element written as nothing would vanish between two blanks,
    // and "--name '' file" would reach the child as "--name file".
    bool quote = argument[0] == 0;
    for (wchar_t unit : needs_quotes) {
        if (wcschr(argument, unit) != nullptr) {
            quote = true;
            break;
        }
    }
    if (!quote) {
        append_wide_bounded(command_line, argument, capacity);
        return;
    }
    append_wide_char_bounded(command_line, L'"', capacity);
    const wchar_t* at = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*at == L'\\') {
            ++backslashes;
            ++at;
        }
        if (*at == 0) {
            // They stand before the closing quote: doubled.
            for (size_t i = 0; i < 2 * backslashes; ++i) {
                append_wide_char_bounded(command_line, L'\\', capacity);
            }
            break;
        }
        if (*at == L'"') {
            for (size_t i = 0; i < 2 * backslashes + 1; ++i) {
                append_wide_char_bounded(command_line, L'\\', capacity);
            }
        } else {
            for (size_t i = 0; i < backslashes; ++i) {
                append_wide_char_bounded(command_line, L'\\', capacity);
            }
        }
        append_wide_char_bounded(command_line, *at, capacity);
        ++at;
    }
    append_wide_char_bounded(command_line, L'"', capacity);
}

void build_command_line(wchar_t* command_line, size_t capacity, wchar_t* const* arguments, int count)
{
    copy_wide_bounded(command_line, L"", capacity);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            append_wide_char_bounded(command_line, L' ', capacity);
        }
        append_quoted_argument(command_line, arguments[i], capacity);
    }
}

bool command_line_splits_plainly(const wchar_t* line)
{
    const wchar_t* at = line;
    if (*at == L'"') {
        // The program name runs to the next quote, whatever it holds.
        for (++at; *at != 0 && *at != L'"'; ++at) {
        }
        if (*at == 0) {
            return true;  // nothing follows it
        }
        ++at;
    } else {
        for (; *at != 0 && *at != L' ' && *at != L'\t'; ++at) {
            if (*at == L'"') {
                return false;
            }
        }
    }
    for (; *at != 0; ++at) {
        if (*at == L'"') {
            return false;
        }
    }
    return true;
}
