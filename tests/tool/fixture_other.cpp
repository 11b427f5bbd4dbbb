// A DLL whose exports only resemble the entry point: a prefix of its name
// and a longer name must not pass for run_code.
#include <wchar.h>

extern "C" __declspec(dllexport) int run_cod(int argc, wchar_t** argv)
{
    (void)argv;
    return argc;
}

extern "C" __declspec(dllexport) int run_codex(int argc, wchar_t** argv)
{
    (void)argv;
    return argc + 1;
}
