#include "launcher/run_end.h"

#include "launcher/cleanup.h"
#include "launcher/remover.h"
#include "launcher/run_job.h"

namespace {

// Until the child runs, the launcher is the application: an event ends the
// run. Ctrl+C and Ctrl+Break then give the main thread time to give way;
// close, logoff and shutdown, after which the system ends the process
// within about five seconds, give it half a second and end the removal
// within 3.5 s of the event.
constexpr DWORD interrupt_grace_ms = 5000;
constexpr DWORD closing_grace_ms = 500;
constexpr DWORD closing_budget_ms = 3500;
// Once the application runs, a closing console reaches each of its
// processes too, with the same five seconds from the system; the parent
// waits for them as long as it lives and ends the removal within this
// budget from the event, leaving what it cannot remove in time to the next
// start's sweep.
constexpr DWORD application_closing_budget_ms = 4500;
// The session's end reaches the parent after the application (its shutdown
// level is lower), so whatever of the run still lives has had its own
// messages and is about to be ended by the system: it gets a grace to end
// by itself, and the removal is over well within the five seconds after
// which the system lists a program as holding up the end.
constexpr DWORD session_grace_ms = 3000;
constexpr DWORD session_budget_ms = 4500;
// TerminateProcess only starts the end; until the processes are gone, the
// files they hold stand in the removal's way.
constexpr DWORD termination_wait_ms = 1000;
constexpr DWORD poll_ms = 50;

// Who decides how the run ends: the launcher until the application runs,
// the application from then on; a console event while the launcher decides
// ends the run and moves the phase on, so that no child starts after it.
enum run_phase : LONG { launcher_phase = 0, application_phase, launcher_ended };
LONG volatile phase = launcher_phase;

enum end_owner : LONG { no_owner = 0, normal_end, failure_end, console_end, session_end };

LONG volatile owner = no_owner;
DWORD volatile owner_thread = 0;
LONG volatile owner_finished = 0;
LONG volatile failure_cleanup_begun = 0;

DWORD main_thread = 0;
LONG volatile main_gave_way = 0;

// The main thread keeps the handle it waits on; the party that ends the run
// takes this duplicate by an atomic exchange, so each handle is closed once
// and none is used after closing.
HANDLE volatile shared_child_process = nullptr;

// A GetTickCount64 value, ~0 for none. It only ever moves forward: a close
// event during an interrupt's grace shortens it, since the system will not
// wait any longer.
LONG64 volatile grace_deadline = -1;

bool claim_end(end_owner claimant)
{
    if (InterlockedCompareExchange(&owner, claimant, no_owner) != no_owner) {
        return false;
    }
    owner_thread = GetCurrentThreadId();
    return true;
}

bool this_thread_owns_end()
{
    return InterlockedCompareExchange(&owner, 0, 0) != no_owner && owner_thread == GetCurrentThreadId();
}

HANDLE take_shared_child_process()
{
    return static_cast<HANDLE>(InterlockedExchangePointer(const_cast<PVOID volatile*>(&shared_child_process), nullptr));
}

ULONGLONG read_deadline(LONG64 volatile* deadline)
{
    return static_cast<ULONGLONG>(InterlockedCompareExchange64(deadline, 0, 0));
}

void limit_end(DWORD grace_ms, DWORD budget_ms)
{
    ULONGLONG now = GetTickCount64();
    if (grace_ms != INFINITE) {
        bring_forward(&grace_deadline, now + grace_ms);
    }
    if (budget_ms != INFINITE) {
        limit_removal(now + budget_ms);
    }
}

// True when the child and every launcher in the run's job have ended before
// the deadline, which may move forward meanwhile.
bool wait_for_run_processes(HANDLE child, LONG64 volatile* deadline)
{
    for (;;) {
        DWORD state = child != nullptr ? WaitForSingleObject(child, 0) : WAIT_OBJECT_0;
        if (state == WAIT_FAILED) {
            return false;  // treated like a timeout: the child is terminated
        }
        if (state == WAIT_OBJECT_0 && run_job_is_empty()) {
            return true;
        }
        ULONGLONG now = GetTickCount64();
        ULONGLONG until = read_deadline(deadline);
        if (now >= until) {
            return false;
        }
        DWORD slice = until - now < poll_ms ? static_cast<DWORD>(until - now) : poll_ms;
        if (state == WAIT_OBJECT_0) {
            Sleep(slice);
        } else {
            WaitForSingleObject(child, slice);
        }
    }
}

void stop_run_processes()
{
    // No launcher joins a run that is ending; one that tries starts a run
    // of its own.
    mark_run_ending();
    HANDLE child = take_shared_child_process();
    if (!wait_for_run_processes(child, &grace_deadline)) {
        // Not 0: whoever reads the status of a run cut short (the parent
        // passes its child's on) must not take it for a success.
        if (child != nullptr) {
            TerminateProcess(child, STATUS_CONTROL_C_EXIT);
        }
        terminate_run_job(STATUS_CONTROL_C_EXIT);
        LONG64 volatile gone_by = static_cast<LONG64>(GetTickCount64() + termination_wait_ms);
        bring_forward(&gone_by, removal_deadline());
        wait_for_run_processes(child, &gone_by);
    }
    if (child != nullptr) {
        CloseHandle(child);
    }
}

// Lets the main thread finish the slice it is writing before the directory
// goes; it gives way at the next one or once the child has ended.
void wait_for_main_thread()
{
    if (main_thread == 0 || main_thread == GetCurrentThreadId()) {
        return;
    }
    while (InterlockedCompareExchange(&main_gave_way, 0, 0) == 0 && GetTickCount64() < read_deadline(&grace_deadline)) {
        Sleep(10);
    }
}

// The end of a run by an event from outside: the console or the session.
void end_from_outside(DWORD grace_ms, DWORD budget_ms)
{
    limit_end(grace_ms, budget_ms);
    stop_run_processes();
    wait_for_main_thread();
    remove_target();
    InterlockedExchange(&owner_finished, 1);
}

[[noreturn]] void wait_for_ever()
{
    for (;;) {
        Sleep(INFINITE);
    }
}

}  // namespace

bool register_console_handler()
{
    main_thread = GetCurrentThreadId();
    // A level the system may refuse only for being out of range; without
    // it the parent is merely asked in no particular order.
    SetProcessShutdownParameters(parent_shutdown_level, 0);
    return SetConsoleCtrlHandler(console_control_handler, TRUE) != 0;
}

bool run_is_ending()
{
    return InterlockedCompareExchange(&owner, 0, 0) != no_owner;
}

void give_way_to_end()
{
    InterlockedExchange(&main_gave_way, 1);
    wait_for_ever();
}

bool share_child_process(HANDLE process)
{
    HANDLE duplicate = nullptr;
    // Without a duplicate the party that ends the run cannot stop the child
    // by its handle; the job, if there is one, still stops it.
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        duplicate = nullptr;
    }
    InterlockedExchangePointer(const_cast<PVOID volatile*>(&shared_child_process), duplicate);
    // One exchange decides between this side and a console event: either
    // the application runs from here on, or the event ended the run first
    // and the child never runs (whoever gets the duplicate closes it).
    if (InterlockedCompareExchange(&phase, application_phase, launcher_phase) == launcher_phase) {
        return true;
    }
    HANDLE back = take_shared_child_process();
    if (back != nullptr) {
        CloseHandle(back);
    }
    return false;
}

unsigned long end_run(unsigned long child_status)
{
    if (!claim_end(normal_end)) {
        if (this_thread_owns_end()) {
            return child_status;
        }
        give_way_to_end();
    }
    HANDLE child = take_shared_child_process();
    if (child != nullptr) {
        CloseHandle(child);
    }
    if (!hand_removal_to_remover()) {
        remove_target();
    }
    return child_status;
}

void begin_failure_end()
{
    // A failure inside the owner's own cleanup only ends the process.
    if (!claim_end(failure_end) && !this_thread_owns_end()) {
        give_way_to_end();
    }
}

void finish_failure_end()
{
    if (InterlockedCompareExchange(&owner, 0, 0) != failure_end || !this_thread_owns_end() ||
        InterlockedExchange(&failure_cleanup_begun, 1) != 0) {
        return;
    }
    limit_end(0, INFINITE);
    stop_run_processes();
    remove_target();
}

void end_run_for_session()
{
    if (claim_end(session_end)) {
        end_from_outside(session_grace_ms, session_budget_ms);
        return;
    }
    // Another party ends the run; the system may end the process as soon
    // as this returns, so not before that end is complete.
    limit_end(session_grace_ms, session_budget_ms);
    InterlockedExchange(&main_gave_way, 1);
    while (InterlockedCompareExchange(&owner_finished, 0, 0) == 0) {
        Sleep(10);
    }
}

console_event_outcome end_run_for_console_event(DWORD event)
{
    bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    bool closing = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!interrupt && !closing) {
        return event_not_ours;
    }
    if (InterlockedCompareExchange(&phase, launcher_ended, launcher_phase) == application_phase) {
        if (interrupt) {
            // The console gives every process attached to it its own copy:
            // the application has it, and the system sets no time for it.
            return event_for_application;
        }
        // Returning would let the system end the parent at once, and with
        // it, through the job, the application before its own time. The
        // main thread ends the run once the run's processes have ended.
        limit_end(INFINITE, application_closing_budget_ms);
        wait_for_ever();
    }
    DWORD grace_ms = interrupt ? interrupt_grace_ms : closing_grace_ms;
    DWORD budget_ms = interrupt ? INFINITE : closing_budget_ms;
    if (!claim_end(console_end)) {
        // Another party ends the run. Returning would hand the event to the
        // system's default handling, which ends the process at once, in the
        // middle of that end; the owner ends the process.
        limit_end(grace_ms, budget_ms);
        wait_for_ever();
    }
    end_from_outside(grace_ms, budget_ms);
    return event_ended_run;
}

BOOL WINAPI console_control_handler(DWORD event)
{
    switch (end_run_for_console_event(event)) {
    case event_not_ours:
        return FALSE;
    case event_for_application:
        // Handled, as far as the parent goes: it waits on for the run.
        return TRUE;
    case event_ended_run:
        break;
    }
    // The end of the run is this thread's, and so is the status: the one that
    // the system's default handling gives on Windows. Returning FALSE to that
    // handling would do the same there, but Wine's ends the process with 0,
    // a failure reported as success.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}
