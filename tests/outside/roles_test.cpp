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
    static PROCESS_INFORMATION start_sleeping_parent(const std::wstring& exe, const std::wstring& start)
    {
        std::wstring line = join_arguments({exe, L"--sleep", L"8000"});
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

    static void finish(PROCESS_INFORMATION process)
    {
        WaitForSingleObject(process.hProcess, 20000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    static built_launcher* app_;
};

built_launcher* roles::app_ = nullptr;

// Every route that makes a parent: the child that this parent starts sees
// the parent's own identifier, and a start value that is new unless the
// marker was simply absent or empty.
TEST_F(roles, stale_or_missing_markers_make_a_parent)
{
    struct route {
        const char* label;
        std::optional<std::wstring> parent;
        bool start_kept;
    };
    const route routes[] = {
        {"absent", std::nullopt, true},
        {"empty", L"", true},
        {"letters_after_digits", L"12ab", false},
        {"no_digits", L"abc", false},
        {"trailing_blank", L"12 ", false},
        {"above_32_bits", L"4294967296", false},
        {"identifier_zero", L"0", false},
        {"dead_process", L"4000000", false},
        {"live_process_of_another_executable", std::to_wstring(GetCurrentProcessId()), false},
    };
    for (const route& r : routes) {
        std::wstring start = unique_start_value();
        program_options options;
        options.environment[L"TALMIR_ONEFILE_PARENT"] = r.parent;
        program_result result = run_launcher(app_->exe, {L"--report"}, start, options);
        ASSERT_EQ(result.status, 0u) << r.label << result.out << result.err;
        app_report report = parse_report(result.out);
        std::optional<std::wstring> parent = report.environment[L"TALMIR_ONEFILE_PARENT"];
        ASSERT_TRUE(parent.has_value()) << r.label;
        EXPECT_NE(parent, r.parent) << r.label << ": the parent exports its own identifier";
        EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_START"] == start, r.start_kept) << r.label;
        EXPECT_EQ(report.directory,
                  temp_directory() + L"\\onefile_" + *parent + L"_" + *report.environment[L"TALMIR_ONEFILE_START"])
            << r.label;
    }
}

TEST_F(roles, marker_naming_a_live_launcher_of_the_same_file_makes_a_child)
{
    std::wstring start = unique_start_value();
    PROCESS_INFORMATION parent = start_sleeping_parent(app_->exe, start);
    std::wstring parent_id = std::to_wstring(parent.dwProcessId);

    // The same file, spelt through its long path and through its short one.
    wchar_t short_path[MAX_PATH * 4];
    GetShortPathNameW(app_->exe.c_str(), short_path, MAX_PATH * 4);
    for (const std::wstring& spelling : {app_->exe, std::wstring(short_path)}) {
        program_options options;
        options.environment[L"TALMIR_ONEFILE_PARENT"] = parent_id;
        program_result result = run_launcher(spelling, {L"--report", L"--status", L"5"}, start, options);
        EXPECT_EQ(result.status, 5u) << to_utf8(spelling) << result.err;
        app_report report = parse_report(result.out);
        EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_PARENT"], parent_id) << to_utf8(spelling);
        EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_START"], start);
        EXPECT_EQ(report.directory, temp_directory() + L"\\onefile_" + parent_id + L"_" + start);
        // The child itself reports, not a grandchild: its own process is the
        // one that loaded the library.
        EXPECT_EQ(report.argv.size(), 4u);
    }
    finish(parent);
    EXPECT_TRUE(target_directories(start).empty());
}

TEST_F(roles, copy_of_the_executable_at_another_path_is_a_stranger)
{
    std::wstring copy_directory = make_scratch_directory(L"roles_copy");
    std::wstring copy = copy_directory + L"\\app.exe";
    ASSERT_TRUE(CopyFileW(app_->exe.c_str(), copy.c_str(), FALSE));
    std::wstring copy_start = unique_start_value();
    PROCESS_INFORMATION parent = start_sleeping_parent(copy, copy_start);

    std::wstring start = unique_start_value();
    program_options options;
    options.environment[L"TALMIR_ONEFILE_PARENT"] = std::to_wstring(parent.dwProcessId);
    program_result result = run_launcher(app_->exe, {L"--report"}, start, options);
    ASSERT_EQ(result.status, 0u) << result.err;
    app_report report = parse_report(result.out);
    EXPECT_NE(report.environment[L"TALMIR_ONEFILE_PARENT"], std::to_wstring(parent.dwProcessId));
    EXPECT_NE(report.environment[L"TALMIR_ONEFILE_START"], start) << "a stale start value is removed";
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
    // The parent's child: a process that names it as its parent and was
    // created after it (identifiers are reused, and so are parent fields).
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
            if (candidate != nullptr && GetProcessTimes(candidate, &created, &unused[0], &unused[1], &unused[2]) &&
                CompareFileTime(&created, &parent_created) >= 0) {
                child = candidate;
            } else if (candidate != nullptr) {
                CloseHandle(candidate);
            }
        }
        CloseHandle(snapshot);
        Sleep(child == nullptr ? 50 : 0);
    }
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

}  // namespace
