#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/normalise.h"
#include "support/files.h"

namespace {

std::wstring own_path()
{
    wchar_t path[4096];
    GetModuleFileNameW(nullptr, path, 4096);
    return path;
}

std::wstring resolved(const std::wstring& path, bool resolve = true)
{
    wchar_t buffer[4097];
    wcscpy(buffer, path.c_str());
    resolve_final_path(buffer, buffer, 4097, resolve);
    return buffer;
}

std::wstring shortened(const std::wstring& path)
{
    wchar_t buffer[4097];
    wcscpy(buffer, path.c_str());
    make_short_dir_path(buffer, 4097);
    return buffer;
}

TEST(resolve_final_path, drops_the_long_path_prefix_from_a_drive_path)
{
    // The final-path call reports "\\?\Z:\..." here; what comes back must be
    // a plain drive path naming the same file.
    std::wstring result = resolved(own_path());
    EXPECT_NE(result.rfind(L"\\\\?\\", 0), 0u) << to_utf8(result);
    EXPECT_EQ(result[1], L':');
    EXPECT_EQ(GetFileAttributesW(result.c_str()) != INVALID_FILE_ATTRIBUTES, true);
}

TEST(resolve_final_path, without_resolving_copies_even_a_missing_file)
{
    EXPECT_EQ(resolved(L"Q:\\no\\such\\file.exe", false), L"Q:\\no\\such\\file.exe");
}

TEST(resolve_final_path, missing_file_or_overflow_ends_the_process)
{
    EXPECT_EXIT(resolved(L"Z:\\no\\such\\file.exe"), testing::ExitedWithCode(3), "");
    wchar_t small[8] = L"";
    std::wstring path = own_path();
    EXPECT_EXIT(resolve_final_path(small, path.c_str(), 8, false), testing::ExitedWithCode(3), "");
}

TEST(make_short_dir_path, shortens_the_directory_and_keeps_the_name)
{
    std::wstring directory = make_scratch_directory(L"a long directory name");
    std::wstring file = directory + L"\\A Long File Name.txt";
    ASSERT_TRUE(write_file(file, "x"));
    wchar_t expected_directory[4096];
    ASSERT_NE(GetShortPathNameW(directory.c_str(), expected_directory, 4096), 0u);
    EXPECT_EQ(shortened(file), std::wstring(expected_directory) + L"\\A Long File Name.txt");
    EXPECT_EQ(shortened(directory + L"\\"), std::wstring(expected_directory) + L"\\") << "empty last component";

    // Long and short spellings of one file meet after both steps.
    wchar_t short_file[4096];
    ASSERT_NE(GetShortPathNameW(file.c_str(), short_file, 4096), 0u);
    EXPECT_EQ(shortened(resolved(file)), shortened(resolved(short_file)));
    remove_tree(directory);
}

TEST(make_short_dir_path, missing_directory_or_no_separator_is_left_alone)
{
    EXPECT_EQ(shortened(L"Z:\\no such dir\\x.txt"), L"Z:\\no such dir\\x.txt");
    EXPECT_EQ(shortened(L"no-separator-here"), L"no-separator-here");
}

}  // namespace
