#include "launcher/system_library.h"

FARPROC system_function(const wchar_t* library, const char* name)
{
    // From the system directory only, never from the current or the
    // application's directory, where a planted copy could wait.
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        return nullptr;
    }
    return GetProcAddress(module, name);
}
