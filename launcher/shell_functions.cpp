#include "launcher/shell_functions.h"

#include "launcher/system_library.h"

namespace {

template <typename function>
function bind(const char* name)
{
    return bind_system_function<function>(L"shell32.dll", name);
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
