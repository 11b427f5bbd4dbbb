// The placeholders that come from the system, through the launcher's own
// provider. The parser's own rules are tested natively.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/launcher_state.h"
#include "launcher/path_spec_values.h"
#include "neutral/path_spec.h"

namespace {

std::wstring expand(const wchar_t* spec, bool* ok = nullptr)
{
    wchar_t output[4096];
    bool expanded = expand_path_spec(output, spec, 4096);
    if (ok != nullptr) {
        *ok = expanded;
    }
    return expanded ? std::wstring(output) : L"<failed>";
}

class system_placeholders : public testing::Test {
protected:
    void SetUp() override
    {
        SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", nullptr);
        SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", nullptr);
    }
};

TEST_F(system_placeholders, target_directory_spec_from_the_variables)
{
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", L"77");
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", L"9");
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring expected = temp;
    while (expected.back() == L'\\') {
        expected.pop_back();
    }
    EXPECT_EQ(expand(L"{TEMP}\\onefile_{PID}_{TIME}"), expected + L"\\onefile_77_9");
    EXPECT_EQ(expand(L"{temp}"), expected);
}

TEST_F(system_placeholders, pid_falls_back_to_the_own_identifier)
{
    EXPECT_EQ(expand(L"{PID}"), std::to_wstring(GetCurrentProcessId()));
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", L"");
    EXPECT_EQ(expand(L"{PID}"), std::to_wstring(GetCurrentProcessId())) << "empty reads as not set";
}

TEST_F(system_placeholders, pid_with_anything_but_digits_ends_the_process)
{
    for (const wchar_t* value : {L"12a", L"+12", L" 12"}) {
        SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", value);
        EXPECT_EXIT(expand(L"{PID}"), testing::ExitedWithCode(3), "");
    }
}

TEST_F(system_placeholders, time_is_exported_once_and_reused)
{
    std::wstring first = expand(L"{TIME}");
    std::wstring second = expand(L"{TIME}");
    EXPECT_EQ(first, second);
    wchar_t exported[64] = {};
    GetEnvironmentVariableW(L"TALMIR_ONEFILE_START", exported, 64);
    EXPECT_EQ(first, exported);
    EXPECT_EQ(first.find_first_not_of(L"0123456789"), std::wstring::npos);
    // Not a number, but appended all the same.
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", L"not-a-time");
    EXPECT_EQ(expand(L"{TIME}"), L"not-a-time");
}

TEST_F(system_placeholders, known_folders_and_program)
{
    wchar_t profile[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile), S_OK);
    EXPECT_EQ(expand(L"{HOME}"), profile);
    wchar_t local[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local), S_OK);
    EXPECT_EQ(expand(L"{CACHE_DIR}"), local);
    EXPECT_EQ(expand(L"{COMPANY}|{PRODUCT}|{VERSION}"), L"Merla Software|Merla|0.0.6.0");

    wchar_t program[] = L"C:\\App\\tool.EXE";
    wchar_t* arguments[] = {program, nullptr};
    launcher_argc = 1;
    launcher_argv = arguments;
    EXPECT_EQ(expand(L"{PROGRAM}|{PROGRAM_BASE}|{PROGRAM_DIR}"), L"C:\\App\\tool.EXE|C:\\App\\tool|C:\\App");
    launcher_argc = 0;
    launcher_argv = nullptr;
    EXPECT_EXIT(expand(L"{PROGRAM}"), testing::ExitedWithCode(3), "") << "a missing element 0";
}

TEST_F(system_placeholders, unknown_name_fails)
{
    bool ok = true;
    expand(L"{NOPE}", &ok);
    EXPECT_FALSE(ok);
}

}  // namespace
