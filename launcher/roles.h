#pragma once
// Parent or child: decided once, before anything touches the disk.
#include <windows.h>
#include <wchar.h>

// The child role returns the parent identifier text (TALMIR_ONEFILE_PARENT's
// value, kept for the process's life); the parent role returns null, having
// exported its own process identifier.
const wchar_t* decide_role();

// True when TALMIR_ONEFILE_START holds a time (100-ns units since 1601,
// digits only) not earlier than the creation of `process`, give or take a
// timer tick: `process` may then be the run's parent, and otherwise is a
// later process under a reused identifier.
bool start_not_before_creation_of(HANDLE process);
