#pragma once
// Removing the target directory, with the run's own directory that holds it:
// what every end of a parent-role run does last, whoever ends it
// (launcher/run_end.h).
#include <windows.h>

// No deadline: the removal makes all of its attempts.
constexpr ULONGLONG no_removal_deadline = ~0ull;

// Set once the launcher has created the target directory itself, never
// cleared; until then the removal leaves the disk alone, since a directory of
// that name may be someone else's.
void arm_cleanup();

// Removes the run's directory if the cleanup is armed, retrying while it
// still exists: at most 21 removal calls with a pause of 100 ms before each
// repeated one, about two seconds in all. No pause and repeated call is
// started that would end after `deadline` (a GetTickCount64 value), so that
// a removal under a system deadline ends in time, finished or not.
void remove_target(ULONGLONG deadline);
