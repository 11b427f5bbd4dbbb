#pragma once
// Removing the target directory, with the run's own directory that holds it:
// what every end of a parent-role run does last, whoever ends it
// (launcher/run_end.h).
#include <windows.h>

// Set once the launcher has created the target directory itself, never
// cleared; until then the removal leaves the disk alone, since a directory of
// that name may be someone else's.
void arm_cleanup();

// From the run's directory's creation to its removal, the parent keeps it
// open without delete sharing: nobody can rename it away meanwhile and put
// another directory, with another main library, in its place (which the
// rights of a temporary directory's owner would allow). The removal lets go
// of it first; so does the parent's end. False, with GetLastError set, when
// what the path leads to now is not the private directory just made (it
// was swapped in the moment between the two).
bool hold_run_directory();

// Moves a deadline that several threads share (a GetTickCount64 value, ~0
// for none) forward to `value`, never back.
void bring_forward(LONG64 volatile* deadline, ULONGLONG value);

// The time by which a removal under a system deadline must be over, finished
// or not; ~0 for none. It only ever moves forward, also while a removal runs.
void limit_removal(ULONGLONG deadline);
ULONGLONG removal_deadline();

// Removes the run's directory if the cleanup is armed, retrying while it
// still exists: at most 21 removal calls with a pause of 100 ms before each
// repeated one, about two seconds in all. No pause and repeated call is
// started that would end after the removal deadline.
void remove_target();
