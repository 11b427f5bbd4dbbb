#pragma once
// Processes that run a program from inside a run's directory: helpers that
// the application started from its payload (an updater, a crash reporter, a
// server it talks to). They go on using the directory after the application
// has ended, and a removal under them would take their files away; the
// program files themselves cannot be deleted while they run anyway.
//
// A process counts by its program's path, as the system reports it, below
// the directory in either of two spellings: the launcher's own (from the
// temporary directory's variable, perhaps with 8.3 names, as the main
// library was loaded and so as the application most likely names its
// helpers) and the file system's final one. What a process has merely
// loaded or opened from the directory does not count.
#include <wchar.h>

// True when a process of this user runs a program from inside `directory`.
bool programs_run_from(const wchar_t* directory);

// Returns once no process runs a program from inside `directory`.
void wait_for_programs_in(const wchar_t* directory);
