#include "launcher/handoff.h"

#include <windows.h>

#include "launcher/failures.h"
#include "launcher/launcher_state.h"
#include "launcher/system_library.h"
#include "neutral/wide_bounded.h"

namespace {

using run_code_function = int (*)(int argc, wchar_t** argv);
using add_directory_function = DLL_DIRECTORY_COOKIE(WINAPI*)(PCWSTR);

// The main library's directory: the target directory, or a directory below
// it where the payload stores the library further down.
wchar_t library_directory[main_library_path_capacity];

}  // namespace

int run_main_library()
{
    copy_wide_bounded(library_directory, main_library_path, main_library_path_capacity);
    wchar_t* last = wcsrchr(library_directory, L'\\');
    if (last != nullptr) {
        *last = 0;
    }
    // The application's own loads by name (a plug-in, a library it loads
    // late) search its directory as a program's own directory is searched,
    // right after the executable's, and never the current directory, the
    // caller's, where a planted copy could wait. Processes the application
    // starts inherit the setting (their loads search the payload directory
    // after their own); one that must not calls SetDllDirectoryW(NULL).
    SetDllDirectoryW(library_directory);
    // Also registers the directory for loads that ask for the user
    // directories: LoadLibraryExW with LOAD_LIBRARY_SEARCH_USER_DIRS, or
    // every load once the application calls SetDefaultDllDirectories. Bound
    // at run time: Windows 7 has it only with KB2533623, and the launcher
    // must start without it. The cookie is not needed.
    auto add_directory = bind_system_function<add_directory_function>(L"kernel32.dll", "AddDllDirectory");
    if (add_directory != nullptr) {
        add_directory(target_directory);
    }
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
