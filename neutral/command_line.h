#pragma once
// Rebuilding a command line from an argument vector so that the platform's
// splitters (CommandLineToArgvW and the runtime's own) give the same
// elements back, empty ones included.
#include <stddef.h>
#include <wchar.h>

// Appends one element: unchanged when it holds none of blank, tab, line feed,
// vertical tab and double quote and is not empty, otherwise quoted (an empty
// element as two quotes), with backslashes doubled only before a quote.
void append_quoted_argument(wchar_t* command_line, const wchar_t* argument, size_t capacity);

// Empties the command line and appends every element, separated by blanks.
void build_command_line(wchar_t* command_line, size_t capacity, wchar_t* const* arguments, int count);
