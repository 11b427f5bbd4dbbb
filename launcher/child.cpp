#include "launcher/child.h"

#include <windows.h>
#include <stdio.h>

#include "launcher/cache.h"
#include "launcher/failures.h"
#include "launcher/launcher_state.h"
#include "launcher/run_end.h"
#include "launcher/run_job.h"
#include "launcher/session_end_window.h"
#include "launcher/shell_functions.h"
#include "launcher/sweep.h"
#include "neutral/command_line.h"
#include "neutral/wide_bounded.h"

namespace {

constexpr DWORD launch_module_path_capacity = 4096;
// The longest command line CreateProcessW accepts, terminator included: one
// unit more is cut short by some systems and refused by others, and either
// only after the whole payload has been written.
constexpr size_t child_command_line_capacity = 32767;

// The caller's start-up flags passed on to the child: how to show its first
// window (hidden, minimised, ...), where and how large, the console's size
// and colours, the title or the shortcut it came from, and cursor feedback.
// Hot key (0x200) and monitor (0x400) are not among them: their values live
// in hStdInput and hStdOutput, which carry the standard handles here.
constexpr DWORD passed_on_startup_flags = STARTF_USESHOWWINDOW | STARTF_USESIZE | STARTF_USEPOSITION |
                                          STARTF_USECOUNTCHARS | STARTF_USEFILLATTRIBUTE | STARTF_RUNFULLSCREEN |
                                          STARTF_FORCEONFEEDBACK | STARTF_FORCEOFFFEEDBACK |
                                          STARTF_TITLEISLINKNAME | STARTF_TITLEISAPPID | STARTF_PREVENTPINNING |
                                          STARTF_UNTRUSTEDSOURCE;

wchar_t launch_module_path[launch_module_path_capacity];
wchar_t child_command_line[child_command_line_capacity];
bool child_command_line_ready = false;

}  // namespace

void build_child_command_line(wchar_t** arguments, int count)
{
    if (count > 0) {
        arguments[0] = launch_module_path;
    }
    build_command_line(child_command_line, child_command_line_capacity, arguments, count);
}

namespace {

void fill_launch_module_path()
{
    if (launch_module_path[0] == 0) {
        // A cut path is not detected; 0 means no path at all.
        if (GetModuleFileNameW(nullptr, launch_module_path, launch_module_path_capacity) == 0) {
            abnormal_end();
        }
    }
}

}  // namespace

void prepare_child_command_line()
{
    if (child_command_line_ready) {
        return;
    }
    fill_launch_module_path();
    // The raw command line split by the shell's rules, not the runtime's
    // vector; it lives until the process ends.
    int count = 0;
    wchar_t** arguments = shell_command_line_to_argv(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        fail_with_system_error("Error, couldn't split the command line.", GetLastError());
    }
    build_child_command_line(arguments, count);
    child_command_line_ready = true;
}

void use_child_arguments()
{
    fill_launch_module_path();
    if (command_line_splits_plainly(GetCommandLineW()) && launcher_argc > 0) {
        // The runtime's elements are the shell splitter's then, and loading
        // the shell's library would cost a start from the cache a good part
        // of its time.
        launcher_argv[0] = launch_module_path;
        return;
    }
    int count = 0;
    wchar_t** arguments = shell_command_line_to_argv(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        fail_with_system_error("Error, couldn't split the command line.", GetLastError());
    }
    if (count > 0) {
        arguments[0] = launch_module_path;
    }
    launcher_argc = count;
    launcher_argv = arguments;
}

unsigned long launch_child_and_wait()
{
    prepare_child_command_line();

    // The child is the application: it shows its windows as whoever started
    // the launcher asked (a minimised shortcut, a hidden scheduled task).
    // The desktop and the runtime's reserved fields stay the system's.
    STARTUPINFOW caller = {};
    caller.cb = sizeof caller;
    GetStartupInfoW(&caller);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = (caller.dwFlags & passed_on_startup_flags) | STARTF_USESTDHANDLES;
    startup.wShowWindow = caller.wShowWindow;
    startup.dwX = caller.dwX;
    startup.dwY = caller.dwY;
    startup.dwXSize = caller.dwXSize;
    startup.dwYSize = caller.dwYSize;
    startup.dwXCountChars = caller.dwXCountChars;
    startup.dwYCountChars = caller.dwYCountChars;
    startup.dwFillAttribute = caller.dwFillAttribute;
    startup.lpTitle = caller.lpTitle;
    // Taken unchanged, null included: a launcher without standard handles
    // gives its child none either.
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    // A run that is ending starts no child: the directory is going away.
    if (run_is_ending()) {
        give_way_to_end();
    }
    // Suspended, so that it runs nothing of the application before it is in
    // the run's job and shared with whoever may end the run.
    create_run_job();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(launch_module_path, child_command_line, nullptr, nullptr, TRUE,
                        NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
        fail_with_system_error("Error, couldn't launch child", GetLastError());
    }
    add_to_run_job(process.hProcess);
    if (!share_child_process(process.hProcess)) {
        // The end began while the child was being made: it has run nothing,
        // and never will.
        TerminateProcess(process.hProcess, STATUS_CONTROL_C_EXIT);
        give_way_to_end();
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    // Only now, beside the application's start rather than before it. A
    // cache's leftovers are its remover's to find.
    if (cache_digest() == nullptr) {
        start_sweep();
    }

    open_session_end_window();
    DWORD exit_code = 0;
    wait_dispatching(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &exit_code)) {
        exit_code = 1;
    }
    CloseHandle(process.hProcess);
    // Launchers of this run that the application started (a restart, a new
    // window) joined the job and use the directory too; the child's status
    // stays the run's. The run is marked as ending in the same step that
    // finds the job empty, so that a launcher joining at the last moment
    // either counts or starts a run of its own.
    while (!mark_run_ending_if_empty()) {
        wait_dispatching(nullptr, 100);
    }
    return exit_code;
}
