#pragma once
// The run's job object: it ties the child-role launchers of one run to its
// parent. Killing the parent (Task Manager, taskkill /F, a debugger's stop)
// closes the job and ends them with it, and the parent keeps the target
// directory until the last of them has ended.
#include <windows.h>

// Parent role, before the child is created: makes the job, named after the
// run's identifier and start time so that the run's later launchers can
// find it. False when
// it cannot be made; the run then goes on without one.
bool create_run_job();

// Puts the (suspended) child into the job. When that fails the job is given
// up and the run goes on without one.
void add_to_run_job(HANDLE process);

// Child role: joins the parent's job unless already in it. Nothing happens
// when there is none or it cannot be joined.
void join_run_job();

// True when no process is in the job, or there is no job.
bool run_job_is_empty();

// Ends every process in the job with `status`.
void terminate_run_job(UINT status);
