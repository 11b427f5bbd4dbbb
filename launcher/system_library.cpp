#include "launcher/system_library.h"

#include <wchar.h>

FARPROC system_function(const wchar_t* library, const char* name)
{
    // kernel32 and ntdll are in every process already.
    HMODULE module = GetModuleHandleW(library);
    if (module == nullptr) {
        // From the system directory only, never from the current or the
        // application's directory, where a planted copy could wait.
        module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        // Windows 7 without KB2533623 knows no search flags: the library by
        // its full path in the system directory instead.
        wchar_t path[MAX_PATH];
        UINT length = GetSystemDirectoryW(path, MAX_PATH);
        if (length == 0 || length + 1 + wcslen(library) >= MAX_PATH) {
            return nullptr;
        }
        wcscat(path, L"\\");  // measured above
        wcscat(path, library);
        module = LoadLibraryW(path);
    }
    if (module == nullptr) {
        return nullptr;
    }
    return GetProcAddress(module, name);
}
