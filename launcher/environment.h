#pragma once
// The launcher's own process environment: how a parent hands its identity,
// start time and paths to the child it starts. Names are ASCII text of at
// most 39 bytes; values are wide text.
#include <wchar.h>

// An owned copy (free with free()) of the value, or null when the variable
// is missing, empty or longer than the platform's 32767 code units.
wchar_t* get_environment_value(const char* name);
bool set_environment_value(const char* name, const wchar_t* value);
bool unset_environment_value(const char* name);
