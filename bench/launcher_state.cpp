// The launcher's main sequence owns these; the benchmark's programs that link
// its stages without it share this copy.
#include "launcher/launcher_state.h"

int launcher_argc = 0;
wchar_t** launcher_argv = nullptr;
wchar_t target_directory[target_directory_capacity];
wchar_t run_directory[target_directory_capacity];
wchar_t main_library_path[main_library_path_capacity];
const wchar_t* parent_identifier = nullptr;
