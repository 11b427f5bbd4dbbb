#pragma once
// The ways a failure ends the process. Each message is the system's own text
// and is observable behaviour: change none of them. In the parent role each
// first removes what the run has created (launcher/run_end.h); an internal
// limit's end, abnormal_end, does the same.

// The message and a line break on standard output (puts), status 2.
[[noreturn]] void fail_plain(const char* message);

// "%s ([Error %ld] %s)\n" on standard error with the system's US-English
// text for the code, without the line break that ends it, so that the
// message is one line; status 2.
[[noreturn]] void fail_with_system_error(const char* message, unsigned long code);

// The formatted wide text on standard error, status 2.
[[noreturn]] void fail_with_text(const wchar_t* format, const wchar_t* text);

// Writes the formatted wide text to standard error and flushes it, so that
// it is out before an abnormal end, which flushes nothing.
void write_error(const wchar_t* format, const wchar_t* text);
