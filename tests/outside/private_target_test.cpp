// The parent unpacks only into a directory that it created itself, with an
// access list that lets only the user and the system in; where it is, the
// executable's template says.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <thread>

#include "outside/launcher_fixture.h"

namespace {

struct existing_case {
    const char* label;
    std::vector<std::wstring> options;
    const wchar_t* prefix;  // of the run's own directory, before "<pid>_<start>"
};

void PrintTo(const existing_case& value, std::ostream* out) { *out << value.label; }

class existing_directory : public testing::TestWithParam<existing_case> {};

// Whoever made the run's directory could replace what is unpacked below
// it, also where the target directory is a directory further down.
TEST_P(existing_directory, is_refused_and_left_as_it_was)
{
    built_launcher app =
        build_launcher(L"existing", {{L"test_app.dll", test_library_bytes()}}, false, GetParam().options);
    std::wstring start = unique_start_value();

    // The name holds the parent's process identifier: start it suspended to
    // learn it, prepare the directory, then let it run.
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", start.c_str());
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", nullptr);
    std::wstring scratch = make_scratch_directory(L"existing_io");
    std::wstring err_path = scratch + L"\\err";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE err = CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = err;
    std::wstring line = join_arguments({app.exe, L"--report"});
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(app.exe.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr,
                               &startup, &process));
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", nullptr);

    std::wstring target =
        temp_directory() + L"\\" + GetParam().prefix + std::to_wstring(process.dwProcessId) + L"_" + start;
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(write_file(target + L"\\planted.txt", "someone else's"));

    ResumeThread(process.hThread);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(err);

    EXPECT_EQ(status, 2u);
    std::string message;
    read_file(err_path, &message);
    EXPECT_EQ(message.rfind("Error, couldn't unpack file to target path. ([Error 183] ", 0), 0u) << message;
    EXPECT_EQ(list_files(target), std::vector<std::wstring>{L"planted.txt"}) << "nothing written into it";
    std::string planted;
    read_file(target + L"\\planted.txt", &planted);
    EXPECT_EQ(planted, "someone else's");
    remove_tree(target);
    remove_tree(scratch);
    remove_tree(app.directory);
}

INSTANTIATE_TEST_SUITE_P(
    private_target, existing_directory,
    testing::Values(existing_case{"default_template", {}, L"onefile_"},
                    existing_case{"run_directory_above_the_target",
                                  {L"--target-directory", L"{TEMP}\\app_{PID}_{TIME}\\files"}, L"app_"}),
    [](const testing::TestParamInfo<existing_case>& info) { return std::string(info.param.label); });

// A job of the run's name made before the parent (anyone in the session
// can make one): the parent refuses it, and its child does not join it
// either, so whoever made it can neither limit nor end the application nor
// decide the parent's status.
TEST(private_target, a_job_made_before_the_run_is_not_joined)
{
    built_launcher app = build_launcher(L"planted_job", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", start.c_str());
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", nullptr);
    std::wstring line = join_arguments({app.exe, L"--sleep", L"300", L"--status", L"3"});
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(app.exe.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                               &startup, &process));
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", nullptr);
    std::wstring name = L"Local\\onefile_" + std::to_wstring(process.dwProcessId) + L"_" + start;
    HANDLE planted = CreateJobObjectW(nullptr, name.c_str());
    ASSERT_NE(planted, nullptr);

    ResumeThread(process.hThread);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    EXPECT_EQ(status, 3u);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    ASSERT_TRUE(QueryInformationJobObject(planted, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                          nullptr));
    EXPECT_EQ(accounting.TotalProcesses, 0u) << "a launcher of the run joined a stranger's job";
    EXPECT_TRUE(target_directories(start).empty());
    CloseHandle(planted);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    remove_tree(app.directory);
}

// A directory above the run's own that others control (here: everyone may
// delete what it holds, which Wine reports for a directory of mode 777):
// they could move the run's directory away once unpacked and put another
// main library in its place. Refused before anything is made, also where
// it lies further up and the directories between are still to be made.
TEST(private_target, a_directory_above_that_others_control_is_refused)
{
    std::wstring open = temp_directory() + L"\\open_" + unique_start_value();
    ASSERT_TRUE(CreateDirectoryW(open.c_str(), nullptr));
    EXPLICIT_ACCESS_W everyone = {};
    BuildExplicitAccessWithNameW(&everyone, const_cast<wchar_t*>(L"Everyone"), FILE_ALL_ACCESS, SET_ACCESS,
                                 SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    PACL current_acl = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(open.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &current_acl, nullptr, &current),
              ERROR_SUCCESS);
    ASSERT_EQ(SetEntriesInAclW(1, &everyone, current_acl, &acl), ERROR_SUCCESS);
    ASSERT_EQ(SetNamedSecurityInfoW(&open[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                                    nullptr),
              ERROR_SUCCESS);
    LocalFree(acl);
    LocalFree(current);

    for (const wchar_t* below : {L"\\run_{PID}_{TIME}", L"\\app\\run_{PID}_{TIME}\\files"}) {
        built_launcher app = build_launcher(L"open", {{L"test_app.dll", test_library_bytes()}}, false,
                                            {L"--target-directory", open + below});
        program_result result = run_launcher(app.exe, {L"--report"}, unique_start_value());
        EXPECT_EQ(result.status, 2u) << to_utf8(below);
        EXPECT_EQ(result.out, "") << to_utf8(below);
        EXPECT_EQ(result.err, "Error, other users could move the target directory away through '" + to_utf8(open) +
                                  "'.\n");
        std::vector<std::wstring> made;
        walk_tree(open, [&](const std::wstring& relative, const WIN32_FIND_DATAW&) {
            made.push_back(relative);
            return true;
        });
        EXPECT_TRUE(made.empty()) << to_utf8(below) << ": " << to_utf8(made[0]);
        remove_tree(app.directory);
    }
    remove_tree(open);
}

// While the run uses its directory, nobody moves it away (and puts another
// with another main library in its place): the parent holds it open without
// delete sharing from its creation to its removal.
TEST(private_target, the_run_directory_stays_where_it_is_while_the_run_uses_it)
{
    built_launcher app = build_launcher(L"held_directory", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    program_result result;
    std::thread run([&] { result = run_launcher(app.exe, {L"--touch", L"ready", L"--sleep", L"1500"}, start); });
    std::wstring target;
    for (int i = 0; i < 400 && (target.empty() || !file_exists(target + L"\\ready")); ++i) {
        std::vector<std::wstring> found = target_directories(start);
        target = found.empty() ? L"" : found[0];
        Sleep(25);
    }
    BOOL moved = !target.empty() && MoveFileW(target.c_str(), (target + L"_moved").c_str());
    DWORD error = GetLastError();
    run.join();
    ASSERT_FALSE(target.empty()) << result.err;
    EXPECT_FALSE(moved) << "the run's directory was moved away";
    EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) << error;
    EXPECT_EQ(result.status, 0u) << result.err;
    EXPECT_TRUE(target_directories(start).empty());
    remove_tree(target + L"_moved");
    remove_tree(app.directory);
}

TEST(private_target, unpacked_directory_grants_the_user_and_the_system_only)
{
    built_launcher app = build_launcher(L"acl", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {L"--acl", L"0"}, start);
    ASSERT_EQ(result.status, 0u) << result.err;
    // The protected flag is not kept by Wine's file system; Windows keeps
    // it, and the unit tests check it on the descriptor the launcher builds.
    EXPECT_NE(result.out.find("acl aces=2 protected="), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(" user=1 system=1"), std::string::npos) << result.out;
    remove_tree(app.directory);
}

// The executable's template: where a start unpacks, with {COMPANY},
// {PRODUCT} and {VERSION} as its version information says, and nothing
// left behind. The run's own directory, however deep the target lies in
// it, is the private one.
TEST(target_template, unpacks_where_the_template_says_with_the_applications_values)
{
    const std::wstring named = L"{TEMP}\\{COMPANY}_{PRODUCT}_{VERSION}_{PID}_{TIME}";
    struct {
        const char* label;
        std::vector<std::wstring> options;
        std::wstring directory;  // below TEMP, before and after "<pid>_<start>"
        std::wstring below;
        const wchar_t* run_levels_up;  // from the target to the run's own directory
    } cases[] = {
        {"the_launchers_values", {L"--target-directory", named}, L"Merla Software_Merla_0.0.6.0_", L"", L"0"},
        {"the_applications_values",
         {L"--target-directory", named, L"--company", L"Acme", L"--product", L"Rocket", L"--version", L"2.1"},
         L"Acme_Rocket_2.1_", L"", L"0"},
        {"a_directory_in_the_runs_own", {L"--target-directory", L"{temp}/run_{Pid}_{TIME}/files/bin"}, L"run_",
         L"\\files\\bin", L"2"},
        {"a_placeholder_in_the_runs_own", {L"--target-directory", L"{TEMP}/app_{PID}_{TIME}/{PRODUCT}/bin"},
         L"app_", L"\\Merla\\bin", L"2"},
    };
    for (const auto& c : cases) {
        built_launcher app = build_launcher(L"template", {{L"test_app.dll", test_library_bytes()}}, false, c.options);
        std::wstring start = unique_start_value();
        program_result result = run_launcher(app.exe, {L"--report", L"--acl", c.run_levels_up}, start);
        ASSERT_EQ(result.status, 0u) << c.label << result.err;
        EXPECT_EQ(parse_report(result.out).directory, temp_directory() + L"\\" + c.directory +
                                                          std::to_wstring(result.process_id) + L"_" + start + c.below)
            << c.label;
        EXPECT_EQ(parse_report(result.out).environment[L"TALMIR_ONEFILE_PAYLOAD_DIRECTORY"],
                  parse_report(result.out).directory)
            << c.label;
        EXPECT_NE(result.out.find("acl aces=2 protected="), std::string::npos) << c.label << result.out;
        EXPECT_NE(result.out.find(" user=1 system=1"), std::string::npos) << c.label << result.out;
        EXPECT_TRUE(target_directories(start).empty()) << c.label;
        remove_tree(app.directory);
    }
}

// A template that the executable holds damaged ends the start before
// anything is made, with the message that names it.
TEST(target_template, damaged_in_the_executable_ends_the_start_naming_it)
{
    const std::wstring stored = L"{TEMP}\\x_{PID}_{TIME}\\y";
    built_launcher app =
        build_launcher(L"damaged", {{L"test_app.dll", test_library_bytes()}}, false, {L"--target-directory", stored});
    std::string bytes;
    ASSERT_TRUE(read_file(app.exe, &bytes));
    size_t at = bytes.find(std::string(reinterpret_cast<const char*>(stored.data()), stored.size() * 2));
    ASSERT_NE(at, std::string::npos);
    struct {
        const char* label;
        size_t unit;  // of the stored template, overwritten
        std::wstring with;
        const wchar_t* shown;
    } cases[] = {
        {"unknown_placeholder", 12, L"X", L"{TEMP}\\x_{PIX}_{TIME}\\y"},
        {"without_pid", 9, L"_", L"{TEMP}\\x__PID}_{TIME}\\y"},
        {"zero_unit", 0, std::wstring(1, L'\0'), L""},
        // What comes before the zero would be a usable template by itself.
        {"zero_unit_inside", 21, std::wstring(1, L'\0'), L"{TEMP}\\x_{PID}_{TIME}"},
    };
    for (const auto& c : cases) {
        std::string patched = bytes;
        patched.replace(at + 2 * c.unit, 2 * c.with.size(), reinterpret_cast<const char*>(c.with.data()),
                        2 * c.with.size());
        std::wstring exe = app.directory + L"\\" + to_wide(c.label) + L".exe";
        ASSERT_TRUE(write_file(exe, patched));
        std::wstring start = unique_start_value();
        program_result result = run_launcher(exe, {L"--report"}, start);
        EXPECT_EQ(result.status, 3u) << c.label;
        EXPECT_EQ(result.out, "") << c.label;
        EXPECT_EQ(result.err, "Error, couldn't runtime expand spec '" + to_utf8(c.shown) + "'.\n") << c.label;
        EXPECT_TRUE(target_directories(start).empty()) << c.label;
    }
    remove_tree(app.directory);
}

}  // namespace

