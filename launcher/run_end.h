#pragma once
// How a parent-role run ends. Until the child runs, the launcher is the
// application, and an interrupt or a closing console ends the run at once.
// From then on the application decides how and when it ends, as if it had
// been started directly: the parent leaves Ctrl+C and Ctrl+Break to it,
// and on a closing console or the session's end it waits for the run's
// processes within the time the system allows.
//
// Three ways lead to the end: the main thread (the run's launchers have
// ended, or a failure), the console control handler's thread and the
// session-end window's procedure (on the main thread, while it waits).
// Exactly one of them owns the end: it stops what must be stopped, removes
// the target directory and settles the process's status. Whoever comes
// later gives way and waits, so that nothing is removed twice or written
// into a directory that is going away, and no two threads race to exit.
#include <windows.h>

// Parent role, before anything can be written: registers the console control
// handler and asks the system to tell the application of the session's end
// before the parent. False when the system refuses the handler.
bool register_console_handler();

// The shutdown level the parent asks for: below the applications' default
// (0x280), so that the system sends the session-end messages to the
// application first and to the parent only after it.
constexpr DWORD parent_shutdown_level = 0x100;

// True once some party has begun to end the run. The main thread asks before
// every slice it writes and before it starts the child.
bool run_is_ending();

// The main thread gives way to the party that ends the run: it touches
// nothing any more and waits to be ended with the process.
[[noreturn]] void give_way_to_end();

// Hands a duplicate of the child's handle to whichever party ends the run,
// and from here on the application decides. False when an end has begun
// already: the caller then ends the (still suspended) child itself and
// gives way.
bool share_child_process(HANDLE process);

// The normal end, on the main thread once the child and the run's other
// launchers have ended and the run is marked as ending: hands the removal to
// a remover while helpers run from the directory, removes it otherwise, and
// returns the child's status as the process's. Gives way when another party
// owns the end; when the session's end was handled on this thread meanwhile,
// the directory is gone already and the child's status is returned at once.
unsigned long end_run(unsigned long child_status);

// A failure's end, in two steps around its message. begin_failure_end gives
// way when another party owns the end, so an interrupted run reports no
// failure that the interruption caused; finish_failure_end stops the child if
// there is one and removes what the run created. The caller then exits with
// the failure's status.
void begin_failure_end();
void finish_failure_end();

// WM_ENDSESSION with a true end: the application has had its own messages
// by now. Returns once the run's processes have ended (those still there
// after a grace are terminated) and the target directory is gone, or the
// time allowed is over.
void end_run_for_session();

// What a console event does to the run, on the handler's thread:
enum console_event_outcome {
    event_not_ours,        // not an interrupt, break, close, logoff or shutdown event
    event_for_application, // Ctrl+C or Ctrl+Break while the application runs: it decides
    event_ended_run,       // the run was ended by this call (no child ran yet)
};
// Close, logoff and shutdown while the application runs never return: the
// main thread ends the run once the run's processes have ended, with the
// removal bounded by the time the system allows, or the system ends the
// process first. It never returns either while another party ends the run.
console_event_outcome end_run_for_console_event(DWORD event);

// The handler registered by register_console_handler: the above, then the
// process's end with STATUS_CONTROL_C_EXIT where the run was ended. Other
// events are passed on.
BOOL WINAPI console_control_handler(DWORD event);
