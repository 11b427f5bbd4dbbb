#pragma once
// Parent or child: decided once, before anything touches the disk.
#include <windows.h>
#include <wchar.h>

// The child role returns the parent identifier text (TALMIR_ONEFILE_PARENT's
// value, kept for the process's life); the parent role returns null, having
// exported its own process identifier.
const wchar_t* decide_role();

// When `process` was created, in 100-ns units since 1601; false when that
// cannot be read.
bool process_creation_time(HANDLE process, unsigned long long* creation);

// True when a run's start `time` is not earlier than a process's `creation`,
// give or take a timer tick: the process may then be that run's parent, and
// otherwise is a later process under a reused identifier.
bool time_not_before(unsigned long long time, unsigned long long creation);

// The same for the time in TALMIR_ONEFILE_START (digits only).
bool start_not_before_creation_of(HANDLE process);
