#pragma once
// When helpers that the application started from its payload outlive it,
// the run's directory must stay until they have ended, without keeping the
// caller waiting for the application's status. The parent then starts its
// own executable once more, detached, as a remover: a process of no job, no
// console, no inherited handle, working outside the directory, that waits
// for the helpers and removes the directory after them.
//
// The remover acts only on its run's own directory, which it names from the
// executable's template and the run's identifier and start time (never from
// a path it is given), and only once that run's parent has ended and the
// directory is this user's private one.

// Parent role, at the normal end, the run marked as ending: true when a
// remover has been started to remove the run's directory after the
// programs that run from inside it (or, for an executable that uses the
// cache, to move it into place); false when none runs (the caller removes
// it) or no remover could be started.
bool hand_removal_to_remover();

// Starts a remover for this run; false when it could not be started.
bool start_remover();

// True when this start is a remover: TALMIR_ONEFILE_REMOVER names the run
// that TALMIR_ONEFILE_PARENT and TALMIR_ONEFILE_START name. A variable that
// names another run is dropped, and the start goes on as any other.
bool is_remover_start();

// The remover's work, start to end; the process's status.
int run_remover();
