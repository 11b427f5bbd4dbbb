// What runs killed outright leave, for the start-up sweep's cost: COUNT
// directories in DIRECTORY named as the default template names a run's own
// ("onefile_<pid>_<time>", identifiers no process has), made private as a
// parent makes them, each holding ten files of 10 KiB. With another PREFIX
// than "onefile", the same directories under names the sweep leaves alone,
// for the baseline.
//   onefile-bench-stale DIRECTORY COUNT [PREFIX]
// Status 0 when all were made, 1 otherwise, 2 on bad arguments.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "launcher/launcher_state.h"
#include "launcher/private_directory.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (__argc != 3 && __argc != 4) {
        return 2;
    }
    const wchar_t* prefix = __argc == 4 ? __wargv[3] : L"onefile";
    int count = _wtoi(__wargv[2]);
    static char data[10240];
    for (int i = 0; i < count; ++i) {
        wchar_t path[MAX_PATH];
        _snwprintf(path, MAX_PATH, L"%ls\\%ls_%d_%d", __wargv[1], prefix, 4000000 + i, 1000 + i);
        path[MAX_PATH - 1] = 0;
        if (!create_private_directory(path)) {
            return 1;
        }
        for (int f = 0; f < 10; ++f) {
            wchar_t file[MAX_PATH];
            _snwprintf(file, MAX_PATH, L"%ls\\file%d.bin", path, f);
            file[MAX_PATH - 1] = 0;
            HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            DWORD written = 0;
            if (handle == INVALID_HANDLE_VALUE || !WriteFile(handle, data, sizeof data, &written, nullptr)) {
                return 1;
            }
            CloseHandle(handle);
        }
    }
    return 0;
}
