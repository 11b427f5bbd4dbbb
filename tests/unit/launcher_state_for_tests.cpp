// The main sequence owns these; the unit tests link the stages without it.
#include "launcher/launcher_state.h"

int launcher_argc = 0;
wchar_t** launcher_argv = nullptr;
wchar_t target_directory[target_directory_capacity];
wchar_t run_directory[target_directory_capacity];
wchar_t main_library_path[main_library_path_capacity];
const wchar_t* parent_identifier = nullptr;
