#pragma once
// The ways a failure ends the process. Each message is the system's own text
// and is observable behaviour: change none of them. In the parent role each
// first removes what the run has created (launcher/run_end.h); an internal
// limit's end, abnormal_end, does the same.
//
// A GUI-subsystem launcher started from Explorer or a shortcut has no
// standard handles, and a message written there reaches nobody: when its
// stream does not take the message, such a launcher shows it in a message
// box instead, once what the run created is gone, and then ends with the
// same status. Not on a desktop that nobody sees (a service's, or any
// window station that is not interactive), where the box would wait for
// ever.
#include <stddef.h>

// The message and a line break on standard output (puts), status 2.
[[noreturn]] void fail_plain(const char* message);

// "%s ([Error %ld] %s)\n" on standard error with the system's text for the
// code (system_error_text), so that the message is one line; status 2.
[[noreturn]] void fail_with_system_error(const char* message, unsigned long code);

// The formatted wide text on standard error, status 2.
[[noreturn]] void fail_with_text(const wchar_t* format, const wchar_t* text);

// Writes the formatted wide text to standard error and flushes it, so that
// it is out before an abnormal end, which flushes nothing (and shows it
// then, should standard error not have taken it).
void write_error(const wchar_t* format, const wchar_t* text);

// The system's text for the error code in `language` (a LANGID), or, where
// the system has no texts in that language, in the first language of its
// own search (the thread's, the user's, the system's), without the line
// break that ends it; its length, 0 when the system has no text for the
// code at all (or none that fits).
size_t system_error_text(unsigned long code, unsigned long language, wchar_t* text, size_t capacity);

// Whether a message box on this desktop can be seen by anyone: not in
// session 0, and only in a window station that is visible (WSF_VISIBLE in
// its flags), since a box nobody sees would keep the process for ever.
bool failure_box_can_be_seen(unsigned long session, unsigned long station_flags);
