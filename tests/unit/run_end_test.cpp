// The end of a run by a console close, logoff or shutdown event, through the
// handler's own path in this process: Wine delivers none of these events
// (closing its console ends the attached processes without one), so no
// outside test can send them.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>

#include "launcher/cleanup.h"
#include "launcher/launcher_state.h"
#include "launcher/run_end.h"
#include "support/files.h"

namespace {

// The system ends the process about five seconds after the event: a child
// that ignores it gets half a second, is then ended with the status of an
// interrupted run rather than 0, and the directory is gone well before the
// system's deadline.
TEST(run_end, close_event_stops_the_child_after_half_a_second_and_removes_in_time)
{
    std::wstring scratch = make_scratch_directory(L"close_event");
    std::wstring target = scratch + L"\\onefile_1_2";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((target + L"\\d").c_str(), nullptr));
    ASSERT_TRUE(write_file(target + L"\\d\\f.txt", "x"));
    wcscpy(target_directory, target.c_str());
    wcscpy(run_directory, target.c_str());
    arm_cleanup();

    for (DWORD other : {3ul, 4ul, 7ul}) {
        EXPECT_FALSE(end_run_for_console_event(other)) << other;
    }
    EXPECT_FALSE(run_is_ending()) << "other events leave the run alone";

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"unit --sleep 30000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    ASSERT_TRUE(share_child_process(child.hProcess));

    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(end_run_for_console_event(CTRL_CLOSE_EVENT));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_GE(seconds, 0.45);
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 1000), WAIT_OBJECT_0);
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    EXPECT_EQ(status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    EXPECT_FALSE(directory_exists(target));
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    remove_tree(scratch);
}

}  // namespace
