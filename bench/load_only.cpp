// A reference for the nested start: what loading a main library and calling
// its run_code costs by themselves, without anything of the launcher.
//   onefile-bench-load LIBRARY
// Status: run_code's result, 2 when the library or its entry is missing.
#include <windows.h>
#include <stdlib.h>

using run_code_function = int (*)(int argc, wchar_t** argv);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (__argc < 2) {
        return 2;
    }
    HMODULE library = LoadLibraryExW(__wargv[1], nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == nullptr) {
        return 2;
    }
    auto run_code = reinterpret_cast<run_code_function>(reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr) {
        return 2;
    }
    return run_code(1, __wargv);
}
