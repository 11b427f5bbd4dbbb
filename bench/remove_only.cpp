// The road's removal by itself: the launcher's own cleanup (the same object
// code, the depth-first removal and its retries) applied to a directory that
// a native copy has filled, so that it can be set beside `rm -rf` of the
// same tree.
//   onefile-bench-remove DIRECTORY TIMES_FILE
// Appends the microseconds that remove_target took to TIMES_FILE. Status 0
// when the directory is gone afterwards, 1 when it is still there (a removal
// that failed would otherwise look fast), 2 on bad arguments.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "launcher/cleanup.h"
#include "launcher/launcher_state.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (__argc != 3 || wcslen(__wargv[1]) >= target_directory_capacity) {
        return 2;
    }
    wcscpy(target_directory, __wargv[1]);
    wcscpy(run_directory, __wargv[1]);
    arm_cleanup();

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    remove_target();
    QueryPerformanceCounter(&end);

    if (GetFileAttributesW(target_directory) != INVALID_FILE_ATTRIBUTES) {
        return 1;
    }
    FILE* file = _wfopen(__wargv[2], L"a");
    if (file == nullptr) {
        return 2;
    }
    long long us = (end.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart;
    fprintf(file, "%lld\n", us);
    fclose(file);
    return 0;
}
