#pragma once
// The two shell functions the launcher uses, bound on first use instead of
// imported. Loading shell32 (and the user-interface libraries it pulls in)
// costs every start about 50 ms under Wine, and a child-role start, which
// runs at every nested start of the application, needs none of them.
#include <windows.h>

// SHGetFolderPathW with no owner window, no token and flags 0; E_FAIL when
// shell32 cannot be loaded.
HRESULT shell_get_folder_path(int folder, wchar_t* path);
// CommandLineToArgvW; null when shell32 cannot be loaded.
wchar_t** shell_command_line_to_argv(const wchar_t* command_line, int* count);
