// One start by a user from end to end: the child's view of its arguments and
// environment, the exit status passed through, and the cleanup.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>

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
        L"",
    };
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app_->exe, arguments, start);
    ASSERT_EQ(result.status, 0u) << result.out << result.err;
    app_report report = parse_report(result.out);

    // Empty ones too: "--name '' file" must not become "--name file".
    std::vector<std::wstring> expected = {app_->exe};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
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

// How the caller asked the application's window to start (hidden by a
// scheduler, minimised by a shortcut, placed, sized, titled) reaches the
// child; hot key and monitor do not, since their values would sit in the
// fields that carry the standard handles. (The caller here gives those two
// flags beside its own standard handles, which Windows documents as an
// invalid mix; it only serves to see them dropped.)
TEST_F(road, child_gets_the_callers_start_up_state)
{
    const unsigned long use_monitor = 0x400;  // STARTF_USEMONITOR, which mingw's headers lack
    const unsigned long kept = STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USESIZE | STARTF_USECOUNTCHARS |
                               STARTF_USEFILLATTRIBUTE;
    struct {
        const char* label;
        startup_fields given;
        const char* expected;
    } cases[] = {
        {"nothing asked", {}, "startup flags=100 show=0 x=0 y=0 width=0 height=0 columns=0 rows=0 fill=0"},
        {"hidden", {STARTF_USESHOWWINDOW, SW_HIDE},
         "startup flags=101 show=0 x=0 y=0 width=0 height=0 columns=0 rows=0 fill=0"},
        {"minimised, placed, sized, titled", {kept, SW_SHOWMINNOACTIVE, 10, 20, 300, 200, 100, 40, 0x1F, L"Caf\u00e9"},
         "startup flags=11f show=7 x=10 y=20 width=300 height=200 columns=100 rows=40 fill=1f"},
        {"hot key and monitor", {STARTF_USESHOWWINDOW | STARTF_USEHOTKEY | use_monitor, SW_MINIMIZE},
         "startup flags=101 show=6 x=0 y=0 width=0 height=0 columns=0 rows=0 fill=0"},
    };
    for (const auto& c : cases) {
        program_options options;
        options.startup = c.given;
        program_result result = run_launcher(app_->exe, {L"--startup"}, unique_start_value(), options);
        ASSERT_EQ(result.status, 0u) << c.label << result.err;
        app_report report = parse_report(result.out);
        ASSERT_EQ(report.other_lines.size(), 2u) << c.label << result.out;
        EXPECT_EQ(report.other_lines[0], c.expected) << c.label;
        if (!c.given.title.empty()) {
            EXPECT_EQ(report.other_lines[1], "title=00430061006600e9") << c.label;
        }
    }
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
    // One line: the system's text without the line break that ends it.
    EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    EXPECT_TRUE(target_directories(start).empty());
    remove_tree(app.directory);
}

// A file held open without delete sharing by a process that outlives the
// child: the cleanup retries for about two seconds, then leaves the
// directory, and the status is the child's.
TEST(cleanup, held_file_gives_up_after_about_two_seconds)
{
    built_launcher app = build_launcher(L"held", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    auto began = std::chrono::steady_clock::now();
    program_result result =
        run_launcher(app.exe, {L"--status", L"9", L"--spawn", L"--hold", L"held.txt", L"--sleep", L"6000"}, start);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(result.status, 9u);
    std::vector<std::wstring> targets = target_directories(start);
    EXPECT_EQ(targets.size(), 1u) << "the directory stays while the file is held";
    // 1.5 s for the holder to start inside the child, then the retries.
    EXPECT_GE(seconds, 1.5 + 1.9);
    EXPECT_LT(seconds, 6.0);
    // Let the holder finish, then tidy up.
    Sleep(5000);
    for (const std::wstring& target : targets) {
        remove_tree(target);
    }
    remove_tree(app.directory);
}

}  // namespace
