// A main library as the launcher wants it: run_code exported by name. Built
// twice more: as a C++ name only, the way a missing extern "C" leaves it,
// and needing the C++ runtime's DLL, the way a library linked without
// -static-libstdc++ does.
#include <wchar.h>

#ifdef FIXTURE_NEEDS_RUNTIME_DLL
#include <string>
#endif

#ifndef FIXTURE_MANGLED
extern "C"
#endif
__declspec(dllexport) int run_code(int argc, wchar_t** argv)
{
#ifdef FIXTURE_NEEDS_RUNTIME_DLL
    return static_cast<int>(std::wstring(argv[0]).size() > 0 ? argc : 0);
#else
    (void)argv;
    return argc;
#endif
}
