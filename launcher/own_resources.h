#pragma once
// The executable's own resources besides the payload that shape a run: the
// target directory's template, which the packaging tool may store, and the
// version information, whose company, product and version the path
// placeholders name. Both are read from the executable itself at every
// start, parent and child alike, so they cannot disagree with what the
// executable shows as its identity.
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// The resource (type, name) of the executable, mapped with it for the
// process's life; null when it has none.
const uint8_t* own_resource(const wchar_t* type, const wchar_t* name, size_t* size);

// A string of the version information's first table (CompanyName, ...)
// into `value`; `fallback` when the executable has none. A string longer
// than `capacity` - 1 units is an internal limit.
void own_version_string(const char* key, const wchar_t* fallback, wchar_t* value, size_t capacity);

// Stage 3 of the main sequence: the target directory, and the run's own
// outermost directory (launcher_state.h), from the executable's template or
// the default one. False when the template is damaged or unusable or does
// not expand; `template_text` then holds the template as far as it can be shown, for
// the message.
bool expand_target_directory(const wchar_t** template_text);

// The template that expand_target_directory expanded (the executable's own
// or the default one); null before it ran.
const wchar_t* target_directory_template();
