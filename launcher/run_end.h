#pragma once
// How a parent-role run ends. Three ways lead there: the main thread (the
// run's launchers have ended, or a failure), the console control handler's
// thread (an interrupt, break, close, logoff or shutdown event) and the
// session-end window's procedure (on the main thread, while it waits).
// Exactly one of them owns the end: it stops the run's processes, removes the
// target directory and settles the process's status. Whoever comes later
// gives way and waits, so that nothing is removed twice or written into a
// directory that is going away, and no two threads race to exit.
#include <windows.h>

// Parent role, before anything can be written: registers the console control
// handler. False when the system refuses it.
bool register_console_handler();

// True once some party has begun to end the run. The main thread asks before
// every entry it writes and before it starts the child.
bool run_is_ending();

// The main thread gives way to the party that ends the run: it touches
// nothing any more and waits to be ended with the process.
[[noreturn]] void give_way_to_end();

// Hands a duplicate of the child's handle to whichever party ends the run.
// False when the end has begun already: the caller then ends the (still
// suspended) child itself and gives way.
bool share_child_process(HANDLE process);

// The normal end, on the main thread once the child and the run's other
// launchers have ended: removes the target directory and returns the child's
// status as the process's. Gives way when another party owns the end; when
// the session's end was handled on this thread meanwhile, the directory is
// gone already and the child's status is returned at once.
unsigned long end_run(unsigned long child_status);

// A failure's end, in two steps around its message. begin_failure_end gives
// way when another party owns the end, so an interrupted run reports no
// failure that the interruption caused; finish_failure_end stops the child if
// there is one and removes what the run created. The caller then exits with
// the failure's status.
void begin_failure_end();
void finish_failure_end();

// WM_ENDSESSION with a true end: returns once the run's processes are
// stopped and the target directory is gone (or the time allowed is over).
void end_run_for_session();

// A console event's end of the run. Ctrl+C and Ctrl+Break give the
// application five seconds; close, logoff and shutdown, after which the
// system ends the process within about five seconds, give it half a second
// and end the removal within 3.5 s of the event. True once this call has
// ended the run; false for the events it leaves alone. It never returns while
// another party ends the run.
bool end_run_for_console_event(DWORD event);

// The handler registered by register_console_handler: the above, then the
// process's end with STATUS_CONTROL_C_EXIT. Other events are passed on.
BOOL WINAPI console_control_handler(DWORD event);
