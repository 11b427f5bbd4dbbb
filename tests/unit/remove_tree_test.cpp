#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/remove_tree.h"
#include "support/files.h"

namespace {

// Only a directory below a volume's root, named without help from the current
// directory, is ever acted on; null stands for a refusal.
TEST(removal_root, only_absolute_directories_below_a_volume_root)
{
    const std::wstring too_long = L"C:\\" + std::wstring(removal_root_capacity, L'x');
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\Temp\\onefile_1_2", L"\\\\?\\C:\\Temp\\onefile_1_2"},
        {L"C:/Temp/x/", L"\\\\?\\C:\\Temp\\x"},
        {L"C:\\Temp\\x\\..\\y", L"\\\\?\\C:\\Temp\\y"},
        {L"\\\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
        {L"\\\\?\\C:\\Temp\\x", L"\\\\?\\C:\\Temp\\x"},
        {L"\\\\?\\UNC\\server\\share\\x\\", L"\\\\?\\UNC\\server\\share\\x"},
        {L"", nullptr},
        {L"relative", nullptr},
        {L".", nullptr},
        {L"\\rooted", nullptr},
        {L"C:", nullptr},
        {L"C:relative", nullptr},
        {L"C:\\", nullptr},
        {L"C:\\.", nullptr},
        {L"C:\\x\\..", nullptr},
        {L"\\\\server", nullptr},
        {L"\\\\server\\share", nullptr},
        {L"\\\\server\\share\\", nullptr},
        {L"\\\\.\\C:\\x", nullptr},
        {L"\\\\?\\C:\\", nullptr},
        {L"\\\\?\\C:\\a\\..\\b", nullptr},
        {L"\\\\?\\C:\\a/b", nullptr},
        {L"\\\\?\\C:\\a\\\\b", nullptr},
        {L"\\\\?\\Volume{0}\\a", nullptr},
        {too_long.c_str(), nullptr},
    };
    for (const auto& [directory, expected] : cases) {
        wchar_t root[removal_root_capacity] = L"untouched";
        std::string label = to_utf8(directory).substr(0, 40);
        EXPECT_EQ(removal_root(directory, root, removal_root_capacity), expected != nullptr) << label;
        EXPECT_EQ(std::wstring(root), expected != nullptr ? expected : L"untouched") << label;
    }
}

// The current directory is the test program's sentinel directory: a relative
// path would name it or something in it.
TEST(remove_directory_tree, relative_paths_remove_nothing)
{
    tree_snapshot before = take_snapshot(L".");
    for (const wchar_t* directory : {L"", L".", L"sub", L"sub\\..", L"readonly.txt"}) {
        EXPECT_FALSE(remove_directory_tree(directory)) << to_utf8(directory);
    }
    EXPECT_EQ(describe_difference(before, take_snapshot(L".")), "");
}

TEST(remove_directory_tree, best_effort_around_a_held_file_then_all)
{
    std::wstring root = make_scratch_directory(L"remove");
    CreateDirectoryW((root + L"\\a").c_str(), nullptr);
    CreateDirectoryW((root + L"\\a\\read_only_directory").c_str(), nullptr);
    CreateDirectoryW((root + L"\\held").c_str(), nullptr);
    for (const wchar_t* name : {L"\\a\\one.txt", L"\\a\\read_only_directory\\read_only.txt", L"\\held\\other.txt",
                                L"\\held\\held.txt", L"\\top.txt"}) {
        ASSERT_TRUE(write_file(root + name, "x"));
    }
    SetFileAttributesW((root + L"\\a\\read_only_directory\\read_only.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((root + L"\\a\\read_only_directory").c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE held = CreateFileW((root + L"\\held\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    // A current directory cannot be deleted, but it can be emptied.
    wchar_t sentinel[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, sentinel);
    ASSERT_TRUE(SetCurrentDirectoryW((root + L"\\held").c_str()));

    EXPECT_FALSE(remove_directory_tree(root.c_str()));
    SetCurrentDirectoryW(sentinel);
    EXPECT_EQ(list_files(root), std::vector<std::wstring>{L"held\\held.txt"}) << "everything else goes";
    EXPECT_FALSE(directory_exists(root + L"\\a"));
    CloseHandle(held);
    EXPECT_TRUE(remove_directory_tree(root.c_str()));
    EXPECT_FALSE(directory_exists(root));
    EXPECT_TRUE(remove_directory_tree(root.c_str())) << "nothing there is nothing left";

    // A file where the directory was expected goes too.
    ASSERT_TRUE(write_file(root, "a file"));
    EXPECT_TRUE(remove_directory_tree(root.c_str()));
    EXPECT_FALSE(file_exists(root));
}

}  // namespace
