#pragma once
// The run's job object: it ties the child-role launchers of one run to its
// parent. Killing the parent (Task Manager, taskkill /F, a debugger's stop)
// closes the job and ends them with it, and the parent keeps the target
// directory until the last of them has ended.
//
// Beside the job, two named objects let a launcher that the application
// starts and the parent that is about to remove the directory agree on which
// of the two comes first: a lock, and a mark that the run is ending. The
// parent decides to remove only while it holds the lock and after setting
// the mark; a launcher joins only while it holds the lock and before the
// mark is set, and otherwise starts as a parent of its own.
#include <windows.h>

// Parent role, before the child is created: makes the job, its lock and its
// mark, named after the run's identifier and start time so that the run's
// later launchers can find them, and puts the parent itself in the job (so
// that a launcher can tell the job is its parent's). False when any of them
// cannot be made or exists already (someone else's); the run then goes on
// without them.
bool create_run_job();

// Puts the (suspended) child into the job. When that fails the job is given
// up and the run goes on without one.
void add_to_run_job(HANDLE process);

enum run_join {
    run_joined,       // in the parent's job now (or was already)
    run_without_job,  // the parent has no job (or none that holds it): a child all the same
    run_ending,       // the parent is removing the directory: start as a parent
};

// Child role, while deciding it: joins the job of the parent `parent_id`.
run_join join_run_job(DWORD parent_id);

// True when no process but the parent is in the job, or there is no job.
bool run_job_is_empty();

// The normal end: under the lock, marks the run as ending if no launcher
// but the parent is in the job, and says whether it did. False also when the
// lock could not be had at once; the caller waits a little and asks again.
// True without a job.
bool mark_run_ending_if_empty();

// An end from outside or a failure: marks the run as ending whatever is in
// the job, so that no launcher joins it any more.
void mark_run_ending();

// Ends every process in the job but the parent itself with `status`.
void terminate_run_job(UINT status);
