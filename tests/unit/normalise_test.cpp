#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

// The role decision takes a false result for "not the same file", so none
// of these may end the process or report a path.
TEST(resolve_final_path, missing_file_or_overflow_gives_false)
{
    std::wstring path = own_path();
    std::wstring final_path = resolved(path);
    std::vector<wchar_t> buffer(path.size() + final_path.size() + 16);
    struct {
        const char* label;
        std::wstring source;
        size_t capacity;
        bool resolve;
        bool expected;
    } cases[] = {
        {"missing file", L"Z:\\no\\such\\file.exe", buffer.size(), true, false},
        {"copy one unit too long", path, path.size(), false, false},
        {"copy that just fits", path, path.size() + 1, false, true},
        // The system reports it with the "\\?\" prefix, which must fit too.
        {"final path one unit too long", path, final_path.size() + 4, true, false},
        {"final path that just fits", path, final_path.size() + 5, true, true},
    };
    for (const auto& c : cases) {
        std::fill(buffer.begin(), buffer.end(), L'#');
        EXPECT_EQ(resolve_final_path(buffer.data(), c.source.c_str(), c.capacity, c.resolve), c.expected) << c.label;
    }
    // In place, as the role decision works.
    std::copy(path.c_str(), path.c_str() + path.size() + 1, buffer.begin());
    EXPECT_TRUE(resolve_final_path(buffer.data(), buffer.data(), final_path.size() + 5, true));
    EXPECT_EQ(std::wstring(buffer.data()), final_path);
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
