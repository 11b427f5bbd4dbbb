// A main library as the launcher wants it: run_code exported by name.
#include <wchar.h>

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv)
{
    (void)argv;
    return argc;
}
