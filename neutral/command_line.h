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

// True when every splitter (the shell's, whichever runtime's) takes the same
// elements after the first from `line`: the first is a quoted span or free
// of quotes, and no quote follows it. Elements are then runs of anything
// but blanks and tabs, backslashes taken as they stand. Lines with quotes
// after the program name are left to the shell's own splitter, whose rules
// for them the runtimes do not all share.
bool command_line_splits_plainly(const wchar_t* line);
