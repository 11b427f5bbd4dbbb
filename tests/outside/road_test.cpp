// One start by a user from end to end: the child's view of its arguments and
// environment, the exit status passed through, and the cleanup.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "outside/launcher_fixture.h"

namespace {

class road : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        app_ = new built_launcher(build_launcher(L"road", {{L"test_app.dll", test_library_bytes()},
                                                           {L"data\\note.txt", "hello"}}));
    }
    static void TearDownTestSuite()
    {
        remove_tree(app_->directory);
        delete app_;
    }
    static built_launcher* app_;
};

built_launcher* road::app_ = nullptr;

TEST_F(road, arguments_survive_exactly_and_element_0_is_the_full_path)
{
    std::vector<std::wstring> arguments = {
        L"--report",
        L"plain",
        L"with blank",
        L"tab\there",
        L"quote\"inside",
        L"\"",
        L"back\\slash",
        L"trailing\\",
        L"two\\\\ before \\\\\"quote",
        L"blank and trailing backslashes\\\\",
        L"",
        L"after empty",
        L"line\nfeed",
        L"vertical\vtab",
        L"caf\u00e9 \u65e5\u672c \U0001F600",
    };
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app_->exe, arguments, start);
    ASSERT_EQ(result.status, 0u) << result.out << result.err;
    app_report report = parse_report(result.out);

    std::vector<std::wstring> expected = {app_->exe};
    for (const std::wstring& argument : arguments) {
        if (!argument.empty()) {  // the parent drops empty elements
            expected.push_back(argument);
        }
    }
    EXPECT_EQ(report.argv, expected);
    EXPECT_EQ(report.argc, static_cast<int>(expected.size()));
}

TEST_F(road, the_four_variables_hold_what_the_parent_exported)
{
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app_->exe, {L"--report"}, start);
    ASSERT_EQ(result.status, 0u) << result.err;
    app_report report = parse_report(result.out);
    std::optional<std::wstring> parent = report.environment[L"TALMIR_ONEFILE_PARENT"];
    ASSERT_TRUE(parent.has_value());
    EXPECT_EQ(parent->find_first_not_of(L"0123456789"), std::wstring::npos);
    EXPECT_NE(parent->front(), L'0');
    EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_START"], start) << "an inherited start value is kept";
    EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_DIRECTORY"], app_->directory);
    EXPECT_EQ(report.environment[L"TALMIR_ORIGINAL_ARGV0"], app_->exe);
    EXPECT_EQ(report.directory, temp_directory() + L"\\onefile_" + *parent + L"_" + start);
    EXPECT_TRUE(target_directories(start).empty());
}

TEST_F(road, original_argv0_is_the_first_argument_as_the_caller_gave_it)
{
    std::wstring start = unique_start_value();
    program_options options;
    options.working_directory = app_->directory;
    options.environment[L"TALMIR_ONEFILE_START"] = start;
    options.environment[L"TALMIR_ONEFILE_PARENT"] = std::nullopt;
    program_result result = run_program(app_->exe, L"app --report", options);
    ASSERT_EQ(result.status, 0u) << result.err;
    app_report report = parse_report(result.out);
    EXPECT_EQ(report.environment[L"TALMIR_ORIGINAL_ARGV0"], L"app");
    ASSERT_FALSE(report.argv.empty());
    EXPECT_EQ(report.argv[0], app_->exe) << "the child starts from the full path";
}

TEST_F(road, exit_status_is_run_codes_result_bit_for_bit)
{
    const std::pair<const wchar_t*, unsigned long> cases[] = {
        {L"0", 0},          {L"1", 1},       {L"255", 255}, {L"256", 256}, {L"70000", 70000},
        {L"-5", 0xFFFFFFFBul}, {L"4294967295", 0xFFFFFFFFul},
    };
    for (const auto& [text, expected] : cases) {
        std::wstring start = unique_start_value();
        program_result result = run_launcher(app_->exe, {L"--status", text}, start);
        EXPECT_EQ(result.status, expected) << to_utf8(text);
        EXPECT_TRUE(target_directories(start).empty()) << to_utf8(text);
    }
}

TEST_F(road, child_gets_null_standard_handles_when_the_parent_has_none)
{
    std::wstring start = unique_start_value();
    program_options options;
    options.null_standard_handles = true;
    program_result result = run_launcher(app_->exe, {L"--report", L"--status", L"7"}, start, options);
    EXPECT_EQ(result.status, 7u);
    EXPECT_EQ(result.out, "");
}

// A restart or a "new window": the application starts the executable again
// and ends before the new launcher does. The directory stays while that
// launcher uses it (here: lists it once the first child has ended), and the
// parent still passes on its own child's status.
TEST_F(road, launcher_started_by_the_application_keeps_the_directory_until_it_ends)
{
    std::wstring start = unique_start_value();
    program_result result =
        run_launcher(app_->exe, {L"--status", L"6", L"--spawn", L"--sleep", L"2500", L"--list"}, start);
    EXPECT_EQ(result.status, 6u) << result.err;
    app_report report = parse_report(result.out);
    EXPECT_EQ(report.files[L"data\\note.txt"], std::make_pair(5ull, fnv1a_hex("hello"))) << result.out;
    EXPECT_TRUE(target_directories(start).empty());
}

TEST(hand_off, library_without_run_code_reports_and_the_parent_passes_2_on)
{
    built_launcher app = build_launcher(L"no_entry", {{L"no_entry.dll", library_bytes(test_library_path().substr(
                                                           0, test_library_path().rfind(L'\\')) + L"\\no_entry.dll")}});
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {}, start);
    EXPECT_EQ(result.status, 2u);
    EXPECT_EQ(result.out, "Error, DLL entry point not found.\n");
    EXPECT_TRUE(target_directories(start).empty());
    remove_tree(app.directory);
}

TEST(hand_off, first_entry_that_is_no_library_gives_the_load_message)
{
    built_launcher app = build_launcher(L"not_dll", {{L"readme.txt", "not a library"}});
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {}, start);
    EXPECT_EQ(result.status, 2u);
    // The system's text ends with its own line break, so the closing
    // parenthesis starts a line of its own.
    EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("\n)\n"), std::string::npos) << result.err;
    EXPECT_TRUE(target_directories(start).empty());
    remove_tree(app.directory);
}

// A file held open without delete sharing by a process outside the run (this
// test, as a virus scanner or an indexer would): the cleanup retries for
// about two seconds, then leaves the directory, and the status is the
// child's.
TEST(cleanup, held_file_gives_up_after_about_two_seconds)
{
    built_launcher app = build_launcher(L"held", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    program_result result;
    std::thread run([&] {
        result = run_launcher(app.exe, {L"--status", L"9", L"--touch", L"held.txt", L"--sleep", L"1000"}, start);
    });
    HANDLE held = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 400 && held == INVALID_HANDLE_VALUE; ++i) {
        std::vector<std::wstring> targets = target_directories(start);
        if (!targets.empty()) {
            held = CreateFileW((targets[0] + L"\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        }
        if (held == INVALID_HANDLE_VALUE) {
            Sleep(25);
        }
    }
    auto began = std::chrono::steady_clock::now();
    run.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    CloseHandle(held);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << result.out << result.err;
    EXPECT_EQ(result.status, 9u);
    std::vector<std::wstring> targets = target_directories(start);
    EXPECT_EQ(targets.size(), 1u) << "the directory stays while the file is held";
    // The rest of the child's second, then the retries.
    EXPECT_GE(seconds, 0.8 + 1.9);
    EXPECT_LT(seconds, 5.5);
    for (const std::wstring& target : targets) {
        remove_tree(target);
    }
    remove_tree(app.directory);
}

}  // namespace
