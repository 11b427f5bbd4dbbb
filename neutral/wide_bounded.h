#pragma once
// Bounded wide-string family. Every path, command line and name the launcher
// builds lives in a fixed-capacity buffer of UTF-16 code units whose content
// ends at the first zero. Capacities always count code units and include the
// terminator. Text that does not fit ends the process (abnormal_end) instead
// of being cut short: a truncated path would name another file.
#include <stddef.h>
#include <wchar.h>

#include "neutral/abnormal_end.h"

// Replaces the destination's content. The destination may be the source.
void copy_wide_bounded(wchar_t* destination, const wchar_t* source, size_t capacity);
// Appends at the destination's current end (found by scanning from the start).
void append_wide_bounded(wchar_t* destination, const wchar_t* source, size_t capacity);
void append_wide_char_bounded(wchar_t* destination, wchar_t unit, size_t capacity);
// Appends 8-bit text, each byte converted by itself with mbstowcs to exactly
// one code unit (the runtime's default locale; the texts are ASCII).
void append_narrow_bounded(wchar_t* destination, const char* source, size_t capacity);
