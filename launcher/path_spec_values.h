#pragma once
// Path spec expansion with the system's own values for the placeholders.
#include <stddef.h>
#include <wchar.h>

#include "neutral/path_spec.h"

// The system's values, for the neutral code that expands templates itself.
path_spec_provider system_values();

// True: the output holds the expansion. False: an unknown placeholder, a
// system folder the platform did not deliver, or literal text that did not
// fit (see expand_path_spec_with).
bool expand_path_spec(wchar_t* output, const wchar_t* spec, size_t capacity);
