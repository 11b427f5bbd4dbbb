// The end of a run through the handler's and the session window's own paths
// in this process: Wine delivers no close, logoff or shutdown event (closing
// its console ends the attached processes without one) and sends the
// session's end in the order of process identifiers rather than of shutdown
// levels, so no outside test can show these.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>

#include "launcher/cleanup.h"
#include "launcher/launcher_state.h"
#include "launcher/run_end.h"
#include "launcher/run_job.h"
#include "launcher/sweep.h"
#include "support/files.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point then)
{
    return std::chrono::duration<double>(clock_type::now() - then).count();
}

// A run's directory with a file in it, armed for removal.
std::wstring make_run_directory(const wchar_t* hint)
{
    std::wstring scratch = make_scratch_directory(hint);
    std::wstring target = scratch + L"\\onefile_1_2";
    EXPECT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryW((target + L"\\d").c_str(), nullptr));
    EXPECT_TRUE(write_file(target + L"\\d\\f.txt", "x"));
    wcscpy(target_directory, target.c_str());
    wcscpy(run_directory, target.c_str());
    arm_cleanup();
    return target;
}

// This test program again, sleeping: the application, or a launcher of the
// run that the application started.
PROCESS_INFORMATION start_sleeper(DWORD sleep_ms)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"unit --sleep " + std::to_wstring(sleep_ms);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    EXPECT_TRUE(CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    return child;
}

PROCESS_INFORMATION start_application(DWORD sleep_ms)
{
    PROCESS_INFORMATION child = start_sleeper(sleep_ms);
    add_to_run_job(child.hProcess);
    EXPECT_TRUE(share_child_process(child.hProcess));
    return child;
}

DWORD exit_status(HANDLE process)
{
    DWORD status = 0;
    GetExitCodeProcess(process, &status);
    return status;
}

DWORD WINAPI close_event_thread(void*)
{
    end_run_for_console_event(CTRL_CLOSE_EVENT);  // never returns
    return 0;
}

// Before the child runs, the launcher is the application: an interrupt ends
// the run and removes what was unpacked.
TEST(run_end, interrupt_before_the_application_runs_ends_the_run)
{
    std::wstring target = make_run_directory(L"early_interrupt");
    for (DWORD other : {3ul, 4ul, 7ul}) {
        EXPECT_EQ(end_run_for_console_event(other), event_not_ours) << other;
    }
    EXPECT_FALSE(run_is_ending()) << "other events leave the run alone";
    EXPECT_EQ(end_run_for_console_event(CTRL_C_EVENT), event_ended_run);
    EXPECT_TRUE(run_is_ending());
    EXPECT_FALSE(directory_exists(target));
    HANDLE late = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &late, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_FALSE(share_child_process(late)) << "no child runs after the run has ended";
    CloseHandle(late);
    remove_tree(target.substr(0, target.rfind(L'\\')));
}

// Once the application runs it decides: Ctrl+C and Ctrl+Break are its own,
// and a closing console neither cuts it short nor ends the parent early.
// The parent removes the directory once the application has ended, and
// ends that removal within 4.5 s of the event (the system ends a process
// about five seconds after a close event), although a held file would keep
// it retrying for two seconds more.
TEST(run_end, close_event_waits_for_the_application_and_bounds_the_removal)
{
    std::wstring target = make_run_directory(L"close_event");
    ASSERT_TRUE(register_console_handler());
    DWORD level = 0;
    DWORD flags = 0;
    ASSERT_TRUE(GetProcessShutdownParameters(&level, &flags));
    EXPECT_EQ(level, parent_shutdown_level) << "told of the session's end after the application";
    EXPECT_LT(level, 0x280u);

    PROCESS_INFORMATION child = start_application(4000);
    EXPECT_EQ(end_run_for_console_event(CTRL_C_EVENT), event_for_application);
    EXPECT_EQ(end_run_for_console_event(CTRL_BREAK_EVENT), event_for_application);
    EXPECT_FALSE(run_is_ending());

    HANDLE held = CreateFileW((target + L"\\d\\f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    clock_type::time_point event = clock_type::now();
    HANDLE handler = CreateThread(nullptr, 0, close_event_thread, nullptr, 0, nullptr);
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(WaitForSingleObject(handler, 1000), WAIT_TIMEOUT) << "the handler holds the process";

    ASSERT_EQ(WaitForSingleObject(child.hProcess, 30000), WAIT_OBJECT_0);
    double application_ended = seconds_since(event);
    EXPECT_EQ(exit_status(child.hProcess), 0u) << "the application ended by itself, with its own status";
    EXPECT_EQ(end_run(0), 0ul);
    double removal_ended = seconds_since(event);
    EXPECT_TRUE(directory_exists(target)) << "the held file keeps it";
    // One removal attempt is always made; the retries stop at the budget.
    double bound = application_ended > 4.5 ? application_ended : 4.5;
    EXPECT_LT(removal_ended - bound, 0.7) << "application ended " << application_ended << " s after the event";
    EXPECT_GE(removal_ended, 4.3);

    CloseHandle(held);
    remove_tree(target.substr(0, target.rfind(L'\\')));
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

// The session's end reaches the parent after the application has had its
// own messages: what still lives of the run (the child, and a launcher that
// joined its job) gets three seconds, is then ended with the status of a
// run cut short (not 0), and only then does the directory go.
TEST(run_end, session_end_gives_a_grace_then_ends_the_run_and_removes)
{
    std::wstring target = make_run_directory(L"session_end");
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", L"134411615842502835");
    ASSERT_TRUE(create_run_job());
    PROCESS_INFORMATION child = start_application(30000);
    PROCESS_INFORMATION joined = start_sleeper(30000);
    add_to_run_job(joined.hProcess);
    EXPECT_FALSE(run_job_is_empty());

    clock_type::time_point began = clock_type::now();
    end_run_for_session();
    double seconds = seconds_since(began);
    EXPECT_GE(seconds, 2.9);
    EXPECT_LT(seconds, 5.0);
    for (HANDLE process : {child.hProcess, joined.hProcess}) {
        EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0) << "ended before end_run_for_session returned";
        EXPECT_EQ(exit_status(process), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    }
    EXPECT_FALSE(directory_exists(target));
    EXPECT_EQ(end_run(7), 7ul) << "the main thread passes the child's status on";
    for (PROCESS_INFORMATION* process : {&child, &joined}) {
        CloseHandle(process->hThread);
        CloseHandle(process->hProcess);
    }
    remove_tree(target.substr(0, target.rfind(L'\\')));
}

// A run is over for the start-up sweep only when nothing can still be its
// parent: no process under its identifier, or one created after its start.
TEST(run_end, a_run_is_over_only_when_no_process_can_be_its_parent)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long time = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // An ended process whose object lives on while someone holds a handle.
    PROCESS_INFORMATION ended = start_sleeper(0);
    ASSERT_EQ(WaitForSingleObject(ended.hProcess, 10000), WAIT_OBJECT_0);
    const struct {
        const char* label;
        unsigned long pid;
        unsigned long long time;
        bool over;
    } cases[] = {
        {"this process, started before the time", GetCurrentProcessId(), time, false},
        {"this process, started after the time", GetCurrentProcessId(), 10000000, true},
        {"no process", 4000000, time, true},
        {"a process that has ended", ended.dwProcessId, time + 864000000000ull, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_is_over(c.pid, c.time), c.over) << c.label;
    }
    CloseHandle(ended.hThread);
    CloseHandle(ended.hProcess);
}

}  // namespace
