#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/directories.h"
#include "support/files.h"

namespace {

TEST(ensure_parent_directories, creates_a_missing_chain_from_the_outside_in)
{
    std::wstring root = make_scratch_directory(L"dirs");
    EXPECT_TRUE(ensure_parent_directories((root + L"\\a\\b\\c\\file.txt").c_str()));
    EXPECT_TRUE(directory_exists(root + L"\\a\\b\\c"));
    EXPECT_FALSE(file_exists(root + L"\\a\\b\\c\\file.txt")) << "only directories are made";
    remove_tree(root);
}

// Deep chains walk a loop, not the stack: a hundred missing levels at once.
TEST(ensure_parent_directories, deep_chain)
{
    std::wstring root = make_scratch_directory(L"deep");
    std::wstring path = root;
    for (int i = 0; i < 100; ++i) {
        path += L"\\d";
    }
    EXPECT_TRUE(ensure_parent_directories((path + L"\\f").c_str()));
    EXPECT_TRUE(directory_exists(path));
    remove_tree(root);
}

TEST(ensure_parent_directories, nothing_to_create)
{
    EXPECT_TRUE(ensure_parent_directories(L"file.txt"));
    EXPECT_TRUE(ensure_parent_directories(L"\\file.txt")) << "the first code unit is never a cut";
    EXPECT_TRUE(ensure_parent_directories(L""));
    EXPECT_TRUE(ensure_parent_directories(L"C:\\file.txt")) << "a drive designator needs no creation";
}

TEST(ensure_parent_directories, file_in_the_way_fails)
{
    std::wstring root = make_scratch_directory(L"in_way");
    ASSERT_TRUE(write_file(root + L"\\a", "file"));
    // "a" exists, as a file: creating it reports ERROR_ALREADY_EXISTS, which
    // counts as success; the level below then cannot be made.
    EXPECT_FALSE(ensure_parent_directories((root + L"\\a\\b\\f").c_str()));
    remove_tree(root);
}

TEST(ensure_parent_directories, missing_path_or_overflow_ends_the_process)
{
    EXPECT_EXIT(ensure_parent_directories(nullptr), testing::ExitedWithCode(3), "");
    std::wstring huge(4096, L'x');
    EXPECT_EXIT(ensure_parent_directories(huge.c_str()), testing::ExitedWithCode(3), "");
}

}  // namespace
