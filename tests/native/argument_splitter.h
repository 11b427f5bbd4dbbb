#pragma once
// A reference splitter for command lines, written from the documented rules
// of the current C runtimes (the post-2008 ones), independent of the quoting
// code it checks:
//   - blanks and tabs outside a quoted span separate elements;
//   - 2n backslashes and a quote give n backslashes, and the quote toggles
//     the quoted span;
//   - 2n+1 backslashes and a quote give n backslashes and a literal quote;
//   - backslashes not followed by a quote are literal;
//   - inside a quoted span, "" gives a literal quote and the span goes on.
// An element that was only quotes ("") exists and is empty.
// The program name (first element) has looser rules in those runtimes, but
// they agree with these for anything a file name can hold (no quotes).
#include <stddef.h>

#include <string>
#include <vector>

inline void split_command_line(const wchar_t* line, std::vector<std::wstring>* elements)
{
    elements->clear();
    const wchar_t* at = line;
    for (;;) {
        while (*at == L' ' || *at == L'\t') {
            ++at;
        }
        if (*at == 0) {
            return;
        }
        std::wstring element;
        bool quoted = false;
        for (;;) {
            size_t backslashes = 0;
            while (*at == L'\\') {
                ++backslashes;
                ++at;
            }
            if (*at == L'"') {
                element.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    element += L'"';
                    ++at;
                } else if (quoted && at[1] == L'"') {
                    element += L'"';
                    at += 2;
                } else {
                    quoted = !quoted;
                    ++at;
                }
                continue;
            }
            element.append(backslashes, L'\\');
            if (*at == 0 || (!quoted && (*at == L' ' || *at == L'\t'))) {
                break;
            }
            element += *at++;
        }
        elements->push_back(element);
    }
}
