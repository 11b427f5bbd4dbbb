#include "launcher/shell_functions.h"

namespace {

// From the system directory only, never from the current or the
// application's directory, where a planted shell32.dll could wait.
FARPROC shell_function(const char* name)
{
    HMODULE shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell == nullptr) {
        return nullptr;
    }
    return GetProcAddress(shell, name);
}

template <typename function>
function bind(const char* name)
{
    return reinterpret_cast<function>(reinterpret_cast<void*>(shell_function(name)));
}

}  // namespace

HRESULT shell_get_folder_path(int folder, wchar_t* path)
{
    auto get_folder_path = bind<HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR)>("SHGetFolderPathW");
    return get_folder_path != nullptr ? get_folder_path(nullptr, folder, nullptr, 0, path) : E_FAIL;
}

wchar_t** shell_command_line_to_argv(const wchar_t* command_line, int* count)
{
    auto to_argv = bind<LPWSTR*(WINAPI*)(LPCWSTR, int*)>("CommandLineToArgvW");
    return to_argv != nullptr ? to_argv(command_line, count) : nullptr;
}
