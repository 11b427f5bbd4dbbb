#include "launcher/handoff.h"

#include <windows.h>

#include "launcher/failures.h"
#include "launcher/launcher_state.h"

using run_code_function = int (*)(int argc, wchar_t** argv);

int run_main_library()
{
    // Registers the directory for loads that ask for the user directories:
    // LoadLibraryExW with LOAD_LIBRARY_SEARCH_USER_DIRS, or every load once
    // the application calls SetDefaultDllDirectories. Ordinary loads do not
    // search it, and the process's default search order is left alone, so
    // it is the application's choice. The cookie is not needed.
    AddDllDirectory(target_directory);
    // The altered search path makes the main library's own imports resolve
    // from its directory first.
    HMODULE library = LoadLibraryExW(main_library_path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == nullptr) {
        fail_with_system_error("Error, load DLL.", GetLastError());
    }
    auto run_code = reinterpret_cast<run_code_function>(reinterpret_cast<void*>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr) {
        fail_plain("Error, DLL entry point not found.");
    }
    return run_code(launcher_argc, launcher_argv);
}
