#pragma once
// State that the main sequence shares with its stages. Each buffer lives in
// static storage for the whole process; its owner is named beside it.
#include <stddef.h>
#include <wchar.h>

#include "neutral/path_spec.h"

constexpr size_t target_directory_capacity = path_spec_target_capacity;
constexpr size_t module_path_capacity = 4097;
constexpr size_t main_library_path_capacity = 1024;
constexpr size_t entry_path_capacity = 4096;

// Read from the runtime once, at the very start of the entry (main.cpp).
extern int launcher_argc;
extern wchar_t** launcher_argv;

// The executable's template ("{TEMP}\onefile_{PID}_{TIME}" unless it holds
// its own), expanded once by the main sequence (launcher/own_resources.cpp).
extern wchar_t target_directory[target_directory_capacity];

// The run's own outermost directory, created fresh by the parent and
// removed at the run's end: the target directory itself, or the directory
// above it whose name holds the run's identifier and start time (for a
// template such as "{CACHE_DIR}\app_{PID}_{TIME}\files"). Expanded with it.
extern wchar_t run_directory[target_directory_capacity];

// The first entry's full path, recorded by the walk (launcher/extract.cpp).
extern wchar_t main_library_path[main_library_path_capacity];

// The value of TALMIR_ONEFILE_PARENT in the child role, null in the parent
// role. Its presence is the role for every stage.
extern const wchar_t* parent_identifier;

inline bool is_child_role()
{
    return parent_identifier != nullptr;
}
