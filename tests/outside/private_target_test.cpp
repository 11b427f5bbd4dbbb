// The parent unpacks only into a directory that it created itself, with an
// access list that lets only the user and the system in.
#include <windows.h>

#include <gtest/gtest.h>

#include "outside/launcher_fixture.h"

namespace {

TEST(private_target, existing_directory_is_refused_and_left_as_it_was)
{
    built_launcher app = build_launcher(L"existing", {{L"test_app.dll", test_library_bytes()}});
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

    std::wstring target = temp_directory() + L"\\onefile_" + std::to_wstring(process.dwProcessId) + L"_" + start;
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

TEST(private_target, unpacked_directory_grants_the_user_and_the_system_only)
{
    built_launcher app = build_launcher(L"acl", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {L"--acl"}, start);
    ASSERT_EQ(result.status, 0u) << result.err;
    // The protected flag is not kept by Wine's file system; Windows keeps
    // it, and the unit tests check it on the descriptor the launcher builds.
    EXPECT_NE(result.out.find("acl aces=2 protected="), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(" user=1 system=1"), std::string::npos) << result.out;
    remove_tree(app.directory);
}

}  // namespace
