#pragma once
// What runs that could not clean up leave behind: both processes killed,
// power lost, a session ended hard, helpers that outlived everything. Their
// directories would stay in the temporary directory for ever, so every
// parent, once its child runs, removes those of earlier runs of the same
// template whose runs are certainly over.
//
// Only directories whose names match the template's pattern for a run's own
// directory exactly (launcher/run_pattern.h), that no process runs a program
// from, and that are this user's private ones (another owner or another
// access list, and they are left alone) are removed, with the same removal
// as at a run's end. The work runs on a thread of its own at background
// priority and is capped per start, so it neither delays the application's
// start noticeably nor turns it into a failure.

// Parent role, once the child runs.
void start_sweep();

// True when the run that `pid` and `time` name is certainly over: no
// process has that identifier, the one that has it has ended, or it was
// created after the time (the identifier was reused). A process that cannot
// be asked keeps its run alive.
bool run_is_over(unsigned long pid, unsigned long long time);

// Removes `directory`, which the run that `pid` and `time` name left, when
// that run is over, no program runs from the directory, and it is this
// user's private one; true when it did.
bool remove_if_left_over(const wchar_t* directory, unsigned long pid, unsigned long long time);
