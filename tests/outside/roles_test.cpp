// Parent or child, decided from TALMIR_ONEFILE_PARENT: every route seen from
// outside through what the child (or the process itself) reports.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include "outside/launcher_fixture.h"

namespace {

class roles : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        app_ = new built_launcher(build_launcher(L"roles", {{L"test_app.dll", test_library_bytes()}}));
    }
    static void TearDownTestSuite()
    {
        remove_tree(app_->directory);
        delete app_;
    }

    // Starts the launcher as a parent whose child sleeps, so that a live
    // process of that executable exists; returns the parent's handle.
    static PROCESS_INFORMATION start_sleeping_parent(const std::wstring& exe, const std::wstring& start,
                                                     const std::vector<std::wstring>& arguments = {L"--sleep",
                                                                                                   L"12000"})
    {
        std::vector<std::wstring> all = {exe};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::wstring line = join_arguments(all);
        std::wstring environment_start = L"TALMIR_ONEFILE_START=" + start;
        SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", start.c_str());
        SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", nullptr);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        EXPECT_TRUE(CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process));
        SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", nullptr);
        // Until its child runs, the directory is not complete.
        for (int i = 0; i < 100 && target_directories(start).empty(); ++i) {
            Sleep(50);
        }
        Sleep(300);
        return process;
    }

    // The parent's child: a process that names it as its parent and was
    // created after it (identifiers are reused, and so are parent fields).
    static HANDLE child_of(const PROCESS_INFORMATION& parent)
    {
        FILETIME parent_created, unused[3];
        GetProcessTimes(parent.hProcess, &parent_created, &unused[0], &unused[1], &unused[2]);
        HANDLE child = nullptr;
        for (int i = 0; i < 100 && child == nullptr; ++i) {
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32W entry = {};
            entry.dwSize = sizeof entry;
            for (BOOL more = Process32FirstW(snapshot, &entry); more && child == nullptr;
                 more = Process32NextW(snapshot, &entry)) {
                HANDLE candidate = entry.th32ParentProcessID == parent.dwProcessId
                                       ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                                     entry.th32ProcessID)
                                       : nullptr;
                FILETIME created;
                if (candidate != nullptr &&
                    GetProcessTimes(candidate, &created, &unused[0], &unused[1], &unused[2]) &&
                    CompareFileTime(&created, &parent_created) >= 0) {
                    child = candidate;
                } else if (candidate != nullptr) {
                    CloseHandle(candidate);
                }
            }
            CloseHandle(snapshot);
            Sleep(child == nullptr ? 50 : 0);
        }
        return child;
    }

    static void finish(PROCESS_INFORMATION process)
    {
        WaitForSingleObject(process.hProcess, 30000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    static built_launcher* app_;
};

built_launcher* roles::app_ = nullptr;

// Every route that makes a parent: the child that this parent starts sees
// the parent's own identifier, and a start value that is new unless the
// marker was simply absent or empty and the inherited start value is a time
// the parent's own children accept (not earlier than its creation).
TEST_F(roles, stale_or_missing_markers_make_a_parent)
{
    struct route {
        const char* label;
        std::optional<std::wstring> parent;
        bool start_kept;
        const wchar_t* start = nullptr;  // TALMIR_ONEFILE_START; null: a fresh unique value
        int taken_ms_before = -1;        // or the time this long before the launcher's start
    };
    const route routes[] = {
        {"absent", std::nullopt, true},
        {"empty", L"", true},
        {"absent_with_a_start_before_this_launcher", std::nullopt, false, L"125000000000000000"},
        {"absent_with_a_start_that_is_no_time", std::nullopt, false, L"12ab"},
        // The system may record a process's creation a timer tick after the
        // time its creator read; 100 ms are allowed for.
        {"absent_with_a_start_read_just_before_this_launcher", std::nullopt, true, nullptr, 0},
        {"absent_with_a_start_read_a_second_before_this_launcher", std::nullopt, false, nullptr, 1000},
        {"letters_after_digits", L"12ab", false},
        {"no_digits", L"abc", false},
        {"trailing_blank", L"12 ", false},
        {"above_32_bits", L"4294967296", false},
        {"identifier_zero", L"0", false},
        {"dead_process", L"4000000", false},
        {"live_process_of_another_executable", std::to_wstring(GetCurrentProcessId()), false},
    };
    for (const route& r : routes) {
        std::wstring start = r.start != nullptr ? r.start : unique_start_value();
        if (r.taken_ms_before >= 0) {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            start = std::to_wstring(((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
                                    r.taken_ms_before * 10000ull);
        }
        program_options options;
        options.environment[L"TALMIR_ONEFILE_PARENT"] = r.parent;
        program_result result = run_launcher(app_->exe, {L"--report"}, start, options);
        ASSERT_EQ(result.status, 0u) << r.label << result.out << result.err;
        app_report report = parse_report(result.out);
        std::optional<std::wstring> parent = report.environment[L"TALMIR_ONEFILE_PARENT"];
        ASSERT_TRUE(parent.has_value()) << r.label;
        EXPECT_EQ(parent, std::to_wstring(result.process_id)) << r.label << ": the launcher started is the parent";
        EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_START"] == start, r.start_kept) << r.label;
        EXPECT_EQ(report.directory,
                  temp_directory() + L"\\onefile_" + *parent + L"_" + *report.environment[L"TALMIR_ONEFILE_START"])
            << r.label;
    }
}

// A marker naming a live launcher of the same file makes a child only with
// that launcher's start value (or a later one): an identifier reused by a
// later instance must not hand this start an old start time, whose
// directory does not exist.
TEST_F(roles, marker_naming_a_live_launcher_of_the_same_file)
{
    std::wstring start = unique_start_value();
    PROCESS_INFORMATION parent = start_sleeping_parent(app_->exe, start);
    std::wstring parent_id = std::to_wstring(parent.dwProcessId);

    // The same file, spelt through its long path and through its short one.
    wchar_t short_path[MAX_PATH * 4];
    GetShortPathNameW(app_->exe.c_str(), short_path, MAX_PATH * 4);
    struct {
        const char* label;
        std::wstring spelling;
        std::optional<std::wstring> start;
        bool child;
    } cases[] = {
        {"long path", app_->exe, start, true},
        {"short path", short_path, start, true},
        {"start before that launcher's creation", app_->exe, L"125000000000000000", false},
        {"no start", app_->exe, std::nullopt, false},
        {"start that is no time", app_->exe, start + L"x", false},
    };
    for (const auto& c : cases) {
        program_options options;
        options.environment[L"TALMIR_ONEFILE_PARENT"] = parent_id;
        options.environment[L"TALMIR_ONEFILE_START"] = c.start;
        program_result result = run_launcher(c.spelling, {L"--report", L"--status", L"5"}, L"", options);
        EXPECT_EQ(result.status, 5u) << c.label << result.err;
        app_report report = parse_report(result.out);
        if (c.child) {
            EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_PARENT"], parent_id) << c.label;
            EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_START"], start) << c.label;
            EXPECT_EQ(report.directory, temp_directory() + L"\\onefile_" + parent_id + L"_" + start) << c.label;
            // The child itself reports, not a grandchild: its own process is
            // the one that loaded the library.
            EXPECT_EQ(report.argv.size(), 4u) << c.label;
        } else {
            EXPECT_NE(report.environment[L"TALMIR_ONEFILE_PARENT"], parent_id) << c.label;
            EXPECT_NE(report.environment[L"TALMIR_ONEFILE_START"], c.start) << c.label;
        }
    }
    EXPECT_EQ(WaitForSingleObject(parent.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the live launcher ended before the last case";
    finish(parent);
    EXPECT_TRUE(target_directories(start).empty());
}

// A live launcher of another file is a stranger, also when its file can no
// longer be opened (renamed by an updater while it runs).
TEST_F(roles, copy_of_the_executable_at_another_path_is_a_stranger)
{
    std::wstring copy_directory = make_scratch_directory(L"roles_copy");
    std::wstring copy = copy_directory + L"\\app.exe";
    ASSERT_TRUE(CopyFileW(app_->exe.c_str(), copy.c_str(), FALSE));
    std::wstring copy_start = unique_start_value();
    PROCESS_INFORMATION parent = start_sleeping_parent(copy, copy_start);

    for (bool renamed : {false, true}) {
        const char* label = renamed ? "copy renamed away" : "copy in place";
        if (renamed) {
            ASSERT_TRUE(MoveFileW(copy.c_str(), (copy_directory + L"\\renamed.exe").c_str()));
        }
        std::wstring start = unique_start_value();
        program_options options;
        options.environment[L"TALMIR_ONEFILE_PARENT"] = std::to_wstring(parent.dwProcessId);
        program_result result = run_launcher(app_->exe, {L"--report"}, start, options);
        ASSERT_EQ(result.status, 0u) << label << result.err;
        app_report report = parse_report(result.out);
        EXPECT_NE(report.environment[L"TALMIR_ONEFILE_PARENT"], std::to_wstring(parent.dwProcessId)) << label;
        EXPECT_NE(report.environment[L"TALMIR_ONEFILE_START"], start) << label << ": a stale start value is removed";
    }
    finish(parent);
    remove_tree(copy_directory);
}

TEST_F(roles, nested_start_from_the_application_reuses_the_directory)
{
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app_->exe, {L"--report", L"--nested", L"--report", L"--status", L"4"}, start);
    ASSERT_EQ(result.status, 0u) << result.err;
    // Two reports: the child's, then the nested start's.
    size_t second = result.out.find("argc=", 1);
    ASSERT_NE(second, std::string::npos) << result.out;
    app_report outer = parse_report(result.out.substr(0, second));
    app_report inner = parse_report(result.out.substr(second));
    EXPECT_EQ(inner.environment[L"TALMIR_ONEFILE_PARENT"], outer.environment[L"TALMIR_ONEFILE_PARENT"]);
    EXPECT_EQ(inner.directory, outer.directory);
    EXPECT_NE(result.out.find("nested-status=4"), std::string::npos) << result.out;
    EXPECT_TRUE(target_directories(start).empty());
}

// Task Manager's "End task", taskkill /F, a debugger's stop: the child goes
// with its parent.
TEST_F(roles, killed_parent_takes_its_child_along)
{
    std::wstring start = unique_start_value();
    PROCESS_INFORMATION parent = start_sleeping_parent(app_->exe, start);
    HANDLE child = child_of(parent);
    ASSERT_NE(child, nullptr) << "no child of " << parent.dwProcessId;
    TerminateProcess(parent.hProcess, 1);
    // It would sleep for another eight seconds.
    EXPECT_EQ(WaitForSingleObject(child, 2500), WAIT_OBJECT_0);
    CloseHandle(child);
    finish(parent);
    for (const std::wstring& target : target_directories(start)) {
        remove_tree(target);  // a killed parent cannot clean up
    }
}

// Two runs of an executable whose target directories share their last
// component keep a job each: killing one run's parent ends that run's
// launchers only.
TEST_F(roles, runs_whose_directories_end_alike_keep_their_own_jobs)
{
    built_launcher app = build_launcher(L"roles_jobs", {{L"test_app.dll", test_library_bytes()}}, false,
                                        {L"--target-directory", L"{TEMP}\\app_{PID}_{TIME}\\files"});
    std::wstring killed_start = unique_start_value();
    PROCESS_INFORMATION killed = start_sleeping_parent(app.exe, killed_start);
    std::wstring kept_start = unique_start_value();
    PROCESS_INFORMATION kept = start_sleeping_parent(app.exe, kept_start, {L"--sleep", L"3000", L"--status", L"5"});
    // Its child runs, and has joined a job, before the other run ends.
    HANDLE kept_child = child_of(kept);
    ASSERT_NE(kept_child, nullptr);
    CloseHandle(kept_child);
    Sleep(500);
    TerminateProcess(killed.hProcess, 1);
    ASSERT_EQ(WaitForSingleObject(kept.hProcess, 30000), WAIT_OBJECT_0);
    DWORD status = 0;
    GetExitCodeProcess(kept.hProcess, &status);
    EXPECT_EQ(status, 5u) << "the other run's end took this run's child along";
    EXPECT_TRUE(target_directories(kept_start).empty());
    finish(killed);
    finish(kept);
    for (const std::wstring& target : target_directories(killed_start)) {
        remove_tree(target);  // a killed parent cannot clean up
    }
    remove_tree(app.directory);
}

}  // namespace
