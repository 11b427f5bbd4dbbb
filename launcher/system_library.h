#pragma once
// Functions of system libraries that only some runs need, bound on first use
// instead of imported: every library a program imports is loaded at every
// start, and a child-role start, which runs at every nested start of the
// application, needs neither shell32 nor user32 (each costs tens of
// milliseconds under Wine).
#include <windows.h>

// The named export of `library`, loaded from the system directory only;
// null when either cannot be found.
FARPROC system_function(const wchar_t* library, const char* name);

template <typename function>
function bind_system_function(const wchar_t* library, const char* name)
{
    return reinterpret_cast<function>(reinterpret_cast<void*>(system_function(library, name)));
}
