// The baseline for a start: a GUI-subsystem program like the launcher stub,
// built with the same runtime and flags, that does nothing at all.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return 0;
}
