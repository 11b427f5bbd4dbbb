// One start by a user from end to end: the child's view of its arguments and
// environment, the exit status passed through, and the cleanup.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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

TEST_F(road, the_variables_hold_what_the_parent_exported)
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
    EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_PAYLOAD_DIRECTORY"], report.directory);
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
// launcher uses it (here: lists it once the first child has ended; "ready"
// lets the first child end as soon as the new one runs), and the parent
// still passes on its own child's status.
TEST_F(road, launcher_started_by_the_application_keeps_the_directory_until_it_ends)
{
    std::wstring start = unique_start_value();
    program_result result = run_launcher(
        app_->exe, {L"--status", L"6", L"--spawn", L"--touch", L"ready", L"--sleep", L"2500", L"--list"}, start);
    EXPECT_EQ(result.status, 6u) << result.err;
    app_report report = parse_report(result.out);
    EXPECT_EQ(report.files[L"data\\note.txt"], std::make_pair(5ull, fnv1a_hex("hello"))) << result.out;
    EXPECT_TRUE(target_directories(start).empty());
}

// An application that starts a helper program and ends: the caller gets
// the application's status at once, as for a directly started program. A
// helper from the payload keeps its files until it ends, and the directory
// goes after it; a program from elsewhere is never waited for, and the
// directory goes at once. Both live on past the application.
TEST(lifetime, helpers_outlive_the_application_and_payload_ones_keep_their_files)
{
    std::string helper_bytes = library_bytes(test_helper_path());
    built_launcher app =
        build_launcher(L"helpers", {{L"test_app.dll", test_library_bytes()},
                                    {L"test_helper.exe", helper_bytes},
                                    {L"data\\note.txt", "from the payload"}});
    std::wstring elsewhere = make_scratch_directory(L"helper_elsewhere");
    ASSERT_TRUE(write_file(elsewhere + L"\\test_helper.exe", helper_bytes));
    ASSERT_TRUE(CreateDirectoryW((elsewhere + L"\\data").c_str(), nullptr));
    ASSERT_TRUE(write_file(elsewhere + L"\\data\\note.txt", "from elsewhere"));
    struct {
        const char* label;
        std::wstring helper;
        const char* expected;
        bool directory_waits;
    } cases[] = {
        {"from the payload", L"test_helper.exe", "from the payload", true},
        {"from elsewhere", elsewhere + L"\\test_helper.exe", "from elsewhere", false},
    };
    for (const auto& c : cases) {
        std::wstring copied = elsewhere + L"\\copied_" + std::to_wstring(&c - cases) + L".txt";
        std::wstring start = unique_start_value();
        // The helper reads its file three seconds after the application's end.
        program_result result = run_launcher(
            app.exe, {L"--status", L"5", L"--start", c.helper, L"--sleep", L"3000", L"--copy", L"data\\note.txt", copied},
            start);
        EXPECT_EQ(result.status, 5u) << c.label << result.out << result.err;
        EXPECT_FALSE(file_exists(copied)) << c.label << ": the caller waited for the helper";
        EXPECT_EQ(target_directories(start).empty(), !c.directory_waits) << c.label;
        std::string content;
        for (int i = 0; i < 300 && !read_file(copied, &content); ++i) {
            Sleep(50);
        }
        EXPECT_EQ(content, c.expected) << c.label;
        for (int i = 0; i < 300 && !target_directories(start).empty(); ++i) {
            Sleep(50);
        }
        EXPECT_TRUE(target_directories(start).empty()) << c.label << ": left after the helper ended";
    }
    remove_tree(elsewhere);
    remove_tree(app.directory);
}

// Every directory of a run's in this test program's own temporary directory.
std::vector<std::wstring> all_run_directories()
{
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((temp_directory() + L"\\onefile_*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            found.push_back(entry.cFileName);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    return found;
}

// A restart as the application's last act: the new launcher starts while
// the parent finds its run over and removes a directory of three thousand
// entries. It either joins the run in time, and the parent waits for it,
// or starts a run of its own; it always finds its files, and nothing is
// left behind.
TEST(lifetime, relaunch_at_exit_always_finds_its_files)
{
    std::vector<image_entry> entries = {{L"test_app.dll", test_library_bytes()}, {L"data\\note.txt", "note"}};
    for (int i = 0; i < 1500; ++i) {
        entries.push_back({L"many\\d" + std::to_wstring(i % 30) + L"\\f" + std::to_wstring(i), "x"});
    }
    built_launcher app = build_launcher(L"relaunch", entries);
    std::wstring copies = make_scratch_directory(L"relaunch_copies");
    for (int run = 0; run < 3; ++run) {
        std::wstring copied = copies + L"\\copied_" + std::to_wstring(run) + L".txt";
        program_result result = run_launcher(
            app.exe, {L"--status", L"8", L"--start", L"self", L"--copy", L"data\\note.txt", copied}, unique_start_value());
        EXPECT_EQ(result.status, 8u) << result.err;
        std::string content;
        for (int i = 0; i < 400 && !read_file(copied, &content); ++i) {
            Sleep(50);
        }
        EXPECT_EQ(content, "note") << "run " << run;
        for (int i = 0; i < 400 && !all_run_directories().empty(); ++i) {
            Sleep(50);
        }
        EXPECT_EQ(all_run_directories(), std::vector<std::wstring>{}) << "run " << run;
    }
    remove_tree(copies);
    remove_tree(app.directory);
}

// A launcher started with `arguments` in `working_directory`, not waited for;
// with `start` as its start value, or with one of its own when it is empty.
PROCESS_INFORMATION start_launcher(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                                   const std::wstring& start, const std::wstring& working_directory)
{
    std::vector<std::wstring> all = {exe};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::wstring line = join_arguments(all);
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", start.empty() ? nullptr : start.c_str());
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // No standard handles: Wine hands on the caller's unasked.
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                               working_directory.c_str(), &startup, &process));
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", nullptr);
    CloseHandle(process.hThread);
    return process;
}

// Both processes of a run killed outright, as by a power loss: the parent,
// and the child, which the parent's end takes along.
void kill_run(const PROCESS_INFORMATION& parent)
{
    TerminateProcess(parent.hProcess, 1);
    WaitForSingleObject(parent.hProcess, 10000);
    CloseHandle(parent.hProcess);
    for (int i = 0; i < 100; ++i) {
        bool child_left = false;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            child_left |= entry.th32ParentProcessID == parent.dwProcessId;
        }
        CloseHandle(snapshot);
        if (!child_left) {
            return;
        }
        Sleep(50);
    }
}

// What runs killed outright left is removed by the next start of a launcher
// of the same template, and only that: a live run's directory, directories
// of other names or of another owner's making, and what a link inside a
// stale directory leads to stay as they are.
TEST(lifetime, next_start_removes_what_killed_runs_left)
{
    built_launcher app = build_launcher(L"sweep", {{L"test_app.dll", test_library_bytes()}, {L"data\\x.txt", "x"}});
    std::wstring outside = make_scratch_directory(L"sweep_outside");
    ASSERT_TRUE(write_file(outside + L"\\precious.txt", "must stay"));
    std::wstring temp = temp_directory();
    // Names that are no run's, and a run's name on a directory someone else
    // made (its access list is not the launcher's).
    const wchar_t* decoys[] = {L"onefile_x_1", L"onefile_12", L"other_1_2", L"onefile_4000000_1"};
    for (const wchar_t* decoy : decoys) {
        ASSERT_TRUE(CreateDirectoryW((temp + L"\\" + decoy).c_str(), nullptr));
        ASSERT_TRUE(write_file(temp + L"\\" + decoy + L"\\keep.txt", "keep"));
    }

    // The killed runs take start times of their own, the real ones: a time
    // ahead, as the other tests give, would make a later process under a
    // reused identifier look like their parent.
    PROCESS_INFORMATION killed = start_launcher(app.exe, {L"--touch", L"ready", L"--sleep", L"60000"}, L"", outside);
    PROCESS_INFORMATION linked = start_launcher(
        app.exe, {L"--unix-link", L"link", L"--touch", L"ready", L"--sleep", L"60000"}, L"", outside);
    std::wstring live_start = unique_start_value();
    PROCESS_INFORMATION live = start_launcher(app.exe, {L"--touch", L"ready", L"--sleep", L"60000"}, live_start, outside);
    std::wstring killed_prefix = std::to_wstring(killed.dwProcessId) + L"_";
    std::wstring linked_prefix = std::to_wstring(linked.dwProcessId) + L"_";
    auto directories_of = [&temp](const std::wstring& middle) {
        std::vector<std::wstring> found;
        walk_tree(temp, [&](const std::wstring& relative, const WIN32_FIND_DATAW&) {
            if (relative.rfind(L"onefile_" + middle, 0) == 0 && relative.find(L'\\') == std::wstring::npos) {
                found.push_back(temp + L"\\" + relative);
            }
            return false;
        });
        return found;
    };
    for (const std::wstring& middle : {killed_prefix, linked_prefix, std::wstring()}) {
        auto runs = [&] { return middle.empty() ? target_directories(live_start) : directories_of(middle); };
        for (int i = 0; i < 400 && (runs().empty() || !file_exists(runs()[0] + L"\\ready")); ++i) {
            Sleep(25);
        }
        ASSERT_EQ(runs().size(), 1u) << to_utf8(middle);
    }
    kill_run(killed);
    kill_run(linked);
    ASSERT_EQ(directories_of(killed_prefix).size(), 1u) << "a killed run cannot clean up";

    program_result result = run_launcher(app.exe, {L"--sleep", L"2000", L"--status", L"4"}, unique_start_value());
    EXPECT_EQ(result.status, 4u) << result.err;
    EXPECT_EQ(directories_of(killed_prefix).size(), 0u) << "the killed run's directory stays";
    // Wine cannot delete a Unix link without deleting through it, so that
    // one stays with its directory; everything else in it goes.
    std::vector<std::wstring> linked_left = directories_of(linked_prefix);
    if (!linked_left.empty()) {
        EXPECT_EQ(list_files(linked_left[0]), std::vector<std::wstring>{}) << to_utf8(linked_left[0]);
    }
    EXPECT_EQ(target_directories(live_start).size(), 1u) << "a live run's directory went";
    std::string precious;
    EXPECT_TRUE(read_file(outside + L"\\precious.txt", &precious));
    EXPECT_EQ(precious, "must stay");
    for (const wchar_t* decoy : decoys) {
        EXPECT_TRUE(file_exists(temp + L"\\" + decoy + L"\\keep.txt")) << to_utf8(decoy);
        remove_tree(temp + L"\\" + decoy);
    }

    TerminateProcess(live.hProcess, 1);
    CloseHandle(live.hProcess);
    std::vector<std::wstring> left_over = directories_of(linked_prefix);
    for (const std::wstring& left : target_directories(live_start)) {
        left_over.push_back(left);
    }
    {
        for (const std::wstring& left : left_over) {
            std::wstring unix_link = left.substr(2) + L"\\link";
            std::replace(unix_link.begin(), unix_link.end(), L'\\', L'/');
            run_program(L"Z:\\bin\\rm", L"rm -f " + unix_link);
            for (int i = 0; i < 100 && GetFileAttributesW((left + L"\\link").c_str()) != INVALID_FILE_ATTRIBUTES; ++i) {
                Sleep(20);
            }
            remove_tree(left);
        }
    }
    remove_tree(outside);
    remove_tree(app.directory);
}

// The application's own load of a library by name finds the payload's copy
// first; one planted in the current directory, the caller's, is never
// preferred to it.
TEST(lifetime, libraries_the_application_loads_by_name_come_from_the_payload)
{
    built_launcher app = build_launcher(L"dll_search", {{L"test_app.dll", test_library_bytes()},
                                                        {L"no_entry.dll", library_bytes(test_library_no_entry_path())}});
    std::wstring planted = make_scratch_directory(L"planted");
    ASSERT_TRUE(write_file(planted + L"\\no_entry.dll", library_bytes(test_library_no_entry_path())));
    std::wstring start = unique_start_value();
    program_options options;
    options.working_directory = planted;
    program_result result = run_launcher(app.exe, {L"--report", L"--load", L"no_entry.dll"}, start, options);
    ASSERT_EQ(result.status, 0u) << result.err;
    app_report report = parse_report(result.out);
    std::wstring loaded;
    for (const std::string& line : report.other_lines) {
        if (line.rfind("load=", 0) == 0) {
            loaded = parse_report("dir=" + line.substr(5)).directory;
        }
    }
    EXPECT_EQ(loaded, report.directory + L"\\no_entry.dll") << result.out;
    remove_tree(planted);
    remove_tree(app.directory);
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

// What a user sees of a failure. Started from Explorer or a shortcut, a
// GUI-subsystem launcher has no standard handles (here: null ones), and the
// message it cannot write is shown in a message box instead, titled with
// the product's name, once what the run created is gone; the status stays.
// A console launcher, or one whose stream takes the message, shows none,
// and neither does one on a window station that nobody sees, where the box
// would wait for ever (Wine's too: the row would time out).
//
// Wine without a display makes no windows at all, and MessageBoxW fails
// without showing anything: in the build tree's prefix every row expects no
// box and an end without anyone's answer. tests/host/failure_box_test.sh runs these again in a prefix with
// Wine's null graphics driver, where boxes are real windows that this test
// finds, reads and answers. Which icon a box shows cannot be read from
// another process there (its icon handle is the other process's), only that
// it has one.
namespace failure_box {

bool windows_can_be_made()
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (window != nullptr) {
        DestroyWindow(window);
    }
    return window != nullptr;
}

// A window station of this test's own with a desktop: created without
// WSF_VISIBLE, as a service's is. A program started there gets it through
// its start-up record.
std::wstring hidden_desktop()
{
    static std::wstring name;
    if (name.empty()) {
        std::wstring station_name = L"onefile_hidden_" + std::to_wstring(GetCurrentProcessId());
        HWINSTA station = CreateWindowStationW(station_name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
        HWINSTA own = GetProcessWindowStation();
        if (station == nullptr || !SetProcessWindowStation(station)) {
            return L"";
        }
        HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
        // Both stay open for the test program's life: a station goes with
        // its last handle.
        name = desktop != nullptr ? station_name + L"\\Default" : L"";
    }
    return name;
}

struct seen_box {
    bool found = false;
    std::wstring text;
    bool icon = false;
    bool directory_left = false;  // a target directory of the run, while it was open
};

struct box_search {
    const std::wstring* title;
    HWND found;
};

BOOL CALLBACK look_for_box(HWND window, LPARAM context)
{
    auto search = reinterpret_cast<box_search*>(context);
    wchar_t name[64];
    wchar_t title[256];
    if (IsWindowVisible(window) && GetClassNameW(window, name, 64) > 0 && wcscmp(name, L"#32770") == 0 &&
        GetWindowTextW(window, title, 256) > 0 && *search->title == title) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK look_for_icon(HWND control, LPARAM context)
{
    wchar_t name[64];
    if (GetClassNameW(control, name, 64) > 0 && _wcsicmp(name, L"Static") == 0 &&
        (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && SendMessageW(control, STM_GETICON, 0, 0)) {
        *reinterpret_cast<bool*>(context) = true;
        return FALSE;
    }
    return TRUE;
}

// Runs the launcher and answers every box titled `title` while it runs;
// what the box showed is in `seen`.
program_result run_answering_boxes(const std::wstring& exe, const std::wstring& start,
                                   const program_options& options, const std::wstring& title, seen_box* seen)
{
    program_result result;
    std::atomic<bool> ended{false};
    std::thread run([&] {
        result = run_launcher(exe, {}, start, options);
        ended = true;
    });
    while (!ended) {
        box_search search = {&title, nullptr};
        EnumWindows(look_for_box, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            seen->found = true;
            static wchar_t text[8192];
            GetWindowTextW(GetDlgItem(search.found, 0xFFFF), text, 8192);
            seen->text = text;
            EnumChildWindows(search.found, look_for_icon, reinterpret_cast<LPARAM>(&seen->icon));
            seen->directory_left = !target_directories(start).empty();
            PostMessageW(search.found, WM_COMMAND, IDOK, 0);
            for (int i = 0; i < 500 && IsWindow(search.found) && !ended; ++i) {
                Sleep(10);
            }
        }
        Sleep(20);
    }
    run.join();
    return result;
}

TEST(failure_box, shows_what_a_gui_launcher_could_not_write)
{
    bool boxes = windows_can_be_made();
    if (GetEnvironmentVariableW(L"ONEFILE_TEST_EXPECT_BOXES", nullptr, 0) != 0) {
        ASSERT_TRUE(boxes) << "this prefix was to make windows";
    }
    std::wstring library_directory = test_library_path().substr(0, test_library_path().rfind(L'\\'));
    const std::vector<image_entry> no_entry = {{L"no_entry.dll", library_bytes(library_directory + L"\\no_entry.dll")}};
    const std::vector<image_entry> no_library = {{L"readme.txt", "not a library"}};
    const std::vector<image_entry> blocked = {
        {L"test_app.dll", test_library_bytes()}, {L"a", "plain file"}, {L"a\\b", "needs a directory"}};
    const std::string blocked_start = "Error, failed to open '" + to_utf8(temp_directory()) + "\\onefile_";
    struct {
        const char* label;
        const std::vector<image_entry>* entries;
        bool console, handles, hidden;
        bool box;  // where boxes can be made
        std::string starts, ends;  // the box's text
    } rows[] = {
        {"the child's failure", &no_entry, false, false, false, true, "Error, DLL entry point not found.",
         "Error, DLL entry point not found."},
        {"a system error", &no_library, false, false, false, true, "Error, load DLL. ([Error 193] ", ")"},
        {"the parent's failure", &blocked, false, false, false, true, blocked_start, "\\a\\b' for writing."},
        {"with standard handles", &no_entry, false, true, false, false, "", ""},
        {"console launcher", &no_entry, true, false, false, false, "", ""},
        {"window station nobody sees", &blocked, false, false, true, false, "", ""},
    };
    int number = 0;
    for (const auto& row : rows) {
        std::wstring title = L"Failure box " + std::to_wstring(++number);
        built_launcher app = build_launcher(L"box", *row.entries, row.console, {L"--product", title});
        program_options options;
        options.null_standard_handles = !row.handles;
        options.timeout_ms = 30000;
        if (row.hidden) {
            options.desktop = hidden_desktop();
            ASSERT_FALSE(options.desktop.empty());
        }
        std::wstring start = unique_start_value();
        seen_box seen;
        program_result result = run_answering_boxes(app.exe, start, options, title, &seen);
        EXPECT_FALSE(result.timed_out) << row.label;
        EXPECT_EQ(result.status, 2u) << row.label;
        std::string text = to_utf8(seen.text);
        EXPECT_EQ(seen.found, row.box && boxes) << row.label << ": " << text;
        if (seen.found) {
            EXPECT_EQ(text.rfind(row.starts, 0), 0u) << row.label << ": " << text;
            EXPECT_TRUE(text.size() >= row.ends.size() &&
                        text.compare(text.size() - row.ends.size(), row.ends.size(), row.ends) == 0)
                << row.label << ": " << text;
            EXPECT_EQ(text.find('\n'), std::string::npos) << row.label << ": " << text;
            EXPECT_TRUE(seen.icon) << row.label;
            EXPECT_FALSE(seen.directory_left && row.entries == &blocked) << row.label << ": left while the box was open";
        }
        if (row.handles) {
            EXPECT_EQ(result.out, "Error, DLL entry point not found.\n") << row.label;
        }
        EXPECT_TRUE(target_directories(start).empty()) << row.label;
        remove_tree(app.directory);
    }
}

}  // namespace failure_box

// A file held open without delete sharing by a process outside the run (this
// test, as a virus scanner or an indexer would): the cleanup retries for
// about two seconds, then leaves the directory, and the status is the
// child's. The test also keeps a second file in the directory that each
// removal attempt deletes and the test makes again, so it counts the
// attempts: never more than were made, fewer when the test was too slow to
// make the file again in time.
TEST(cleanup, held_file_gives_up_after_20_retries)
{
    // The schedule launcher/cleanup.h states: a first removal, then up to 20
    // more, each after a pause of 100 ms. The bounds allow three calls more
    // than that (a last attempt of another end path is no change of the
    // schedule) and still break when the retries grow by a quarter (with
    // room for the test to miss two of them) or shrink by a tenth, or when
    // the pause is halved. A longer pause shows only as a longer wait, which no bound can
    // tell from a slow machine.
    constexpr unsigned retries = 20;
    constexpr unsigned pause_ms = 100;
    constexpr unsigned most_attempts = 1 + retries + 3;
    constexpr unsigned shortest_span_ms = retries * pause_ms * 95 / 100;
    built_launcher app = build_launcher(L"held", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    program_result result;
    std::atomic<bool> ended{false};
    std::thread run([&] {
        result = run_launcher(app.exe, {L"--status", L"9", L"--touch", L"held.txt", L"--sleep", L"1000"}, start);
        ended = true;
    });
    HANDLE held = INVALID_HANDLE_VALUE;
    std::wstring target;
    for (int i = 0; i < 400 && held == INVALID_HANDLE_VALUE && !ended; ++i) {
        std::vector<std::wstring> targets = target_directories(start);
        if (!targets.empty()) {
            target = targets[0];
            held = CreateFileW((target + L"\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        }
        if (held == INVALID_HANDLE_VALUE) {
            Sleep(25);
        }
    }
    std::wstring marker = target + L"\\marker.txt";
    bool made = held != INVALID_HANDLE_VALUE && write_file(marker, "");
    unsigned attempts = 0;
    ULONGLONG first_attempt = 0;
    while (made && !ended) {
        // Only a name that is really gone counts: one whose deletion is
        // still pending cannot be made again yet, and would count twice.
        if (GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND &&
            write_file(marker, "")) {
            first_attempt = attempts++ == 0 ? GetTickCount64() : first_attempt;
        }
        Sleep(5);
    }
    ULONGLONG span = GetTickCount64() - first_attempt;
    run.join();
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
    ASSERT_TRUE(made) << result.out << result.err;
    EXPECT_EQ(result.status, 9u);
    EXPECT_EQ(target_directories(start).size(), 1u) << "the directory stays while the file is held";
    EXPECT_LE(attempts, most_attempts);
    EXPECT_GE(attempts, 2u) << "no retries seen at all";
    // From the first attempt to the parent's end: every pause.
    EXPECT_GE(span, shortest_span_ms);
    remove_tree(target);
    remove_tree(app.directory);
}

// Entries that a removal through paths or without care would fail on or
// follow out of the directory: paths beyond MAX_PATH in the payload, and
// what the application makes while it runs. The fixture checks that the
// working directory (which the links point to, and which holds the file the
// hard link shares), the temporary directory and the launcher's directory
// stay as they were.
TEST(cleanup, removes_long_paths_links_and_read_only_entries_and_nothing_outside)
{
    std::wstring nested = std::wstring(60, L'a');
    for (int level = 1; level < 5; ++level) {
        nested += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + level));
    }
    struct row {
        const char* label;
        std::vector<image_entry> extra_entries;
        std::vector<std::wstring> arguments;
    };
    const row rows[] = {
        {"payload paths beyond MAX_PATH", {{nested + L"\\leaf.txt", "deep in the payload"}}, {}},
        // Wine 8 makes neither link: CreateSymbolicLinkW reports success
        // without making anything, and FSCTL_SET_REPARSE_POINT is not
        // supported. Only Windows shows their removal; under Wine this run
        // shows that their attempt leaves everything outside as it was.
        // So only a Windows run catches a removal that opens entries without
        // FILE_OPEN_REPARSE_POINT: it would go through the links into the
        // working directory and empty it, which the fixture sees. There the
        // junction, which needs no privilege, must have been made.
        {"entries the application made",
         {},
         {L"--readonly", L"readonly.txt", L"--hardlink", L"hard.txt", L"readonly.txt", L"--deep", L"5000", L"--link",
          L"link", L"--junction", L"junction"}},
    };
    for (const row& r : rows) {
        std::vector<image_entry> entries = {{L"test_app.dll", test_library_bytes()}};
        entries.insert(entries.end(), r.extra_entries.begin(), r.extra_entries.end());
        built_launcher app = build_launcher(L"removal", entries);
        std::wstring start = unique_start_value();
        program_result result = run_launcher(app.exe, r.arguments, start);
        EXPECT_EQ(result.status, 0u) << r.label << result.err;
        std::vector<std::wstring> left = target_directories(start);
        EXPECT_TRUE(left.empty()) << r.label << ": left " << (left.empty() ? "" : to_utf8(left[0]));
        if (!r.arguments.empty()) {
            EXPECT_NE(result.out.find("readonly=made\n"), std::string::npos) << result.out;
            EXPECT_NE(result.out.find("hardlink=made\n"), std::string::npos) << result.out;
            if (!running_under_wine()) {
                EXPECT_NE(result.out.find("junction=made\n"), std::string::npos) << result.out;
            }
            // Under Wine every path becomes one Unix path, which Linux
            // limits to 4096 bytes, the prefix's own path included: the
            // application gets to about 4000 units there, and to 5000 on
            // Windows, where paths beyond the launcher's 4096-unit buffers
            // are removed too.
            size_t deep = result.out.find("deep=");
            EXPECT_GT(deep == std::string::npos ? 0 : std::stoul(result.out.substr(deep + 5)), 3000u) << result.out;
        }
        for (const std::wstring& target : left) {
            remove_tree(target);
        }
        remove_tree(app.directory);
    }
}

// What Wine does show of links: a Unix symbolic link, which Wine lists as a
// directory with the reparse-point attribute but opens as its target. The
// removal must not go through it; it cannot delete the link itself there
// either (Wine would delete through it), so the directory stays with the
// link in it, and the test removes it.
TEST(cleanup, unix_link_under_wine_is_not_followed)
{
    built_launcher app = build_launcher(L"unix_link", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {L"--unix-link", L"link"}, start);
    std::vector<std::wstring> left = target_directories(start);
    if (result.out.find("unix-link=made") == std::string::npos) {
        remove_tree(app.directory);
        GTEST_SKIP() << "not under Wine: " << result.out;
    }
    EXPECT_EQ(result.status, 0u);
    ASSERT_EQ(left.size(), 1u);
    std::vector<std::wstring> names;
    walk_tree(left[0], [&names](const std::wstring& relative, const WIN32_FIND_DATAW&) {
        names.push_back(relative);
        return false;
    });
    EXPECT_EQ(names, std::vector<std::wstring>{L"link"});
    // The private temporary directory is below Z:, Wine's drive for "/".
    std::wstring unix_link = left[0].substr(2) + L"\\link";
    std::replace(unix_link.begin(), unix_link.end(), L'\\', L'/');
    // Wine starts a Unix program without a process handle (CreateProcessW
    // succeeds and hands back null), so run_program's wait returns before
    // rm has run; removing the directory right away raced it and found the
    // link still there. The link's name going away is the only sign rm ended.
    run_program(L"Z:\\bin\\rm", L"rm " + unix_link);
    std::wstring link = left[0] + L"\\link";
    for (int i = 0; i < 1000 && GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(10);
    }
    EXPECT_TRUE(remove_tree(left[0]));
    remove_tree(app.directory);
}

}  // namespace
