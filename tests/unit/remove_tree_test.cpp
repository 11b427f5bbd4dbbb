#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/remove_tree.h"
#include "support/files.h"
#include "support/process.h"

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

// A file that someone else holds open with delete sharing (a scanner, an
// indexer): deleted with POSIX semantics, its name goes at once and the
// directory with it. Wine refuses that deletion, as Windows before 10 1709
// does: the file's deletion waits for the other handle, and the directory
// stays until the next attempt.
TEST(remove_directory_tree, file_held_with_delete_sharing)
{
    std::wstring root = make_scratch_directory(L"remove_shared");
    ASSERT_TRUE(write_file(root + L"\\scanned.txt", "x"));
    HANDLE held = CreateFileW((root + L"\\scanned.txt").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    OSVERSIONINFOW version = {sizeof version};
    using version_function = LONG(WINAPI*)(OSVERSIONINFOW*);
    auto get_version = reinterpret_cast<version_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    get_version(&version);
    bool posix = !running_under_wine() && version.dwMajorVersion >= 10 && version.dwBuildNumber >= 16299;

    EXPECT_EQ(remove_directory_tree(root.c_str()), posix);
    EXPECT_EQ(directory_exists(root), !posix);
    CloseHandle(held);
    EXPECT_TRUE(remove_directory_tree(root.c_str()));
    EXPECT_FALSE(directory_exists(root));
}

// Only a link is removed itself and never entered: any other reparse point
// is the entry itself with a filter's data, and a directory of that kind is
// emptied like any other. Wine 8 makes no reparse points, so this is the
// only test of it there.
TEST(removal_entry_action, links_go_themselves_other_directories_are_emptied)
{
    constexpr unsigned long directory = FILE_ATTRIBUTE_DIRECTORY;
    constexpr unsigned long reparse = FILE_ATTRIBUTE_REPARSE_POINT;
    const struct {
        const char* label;
        unsigned long attributes, tag, listed;
        removal_action expected;
    } cases[] = {
        {"file", FILE_ATTRIBUTE_ARCHIVE, 0, FILE_ATTRIBUTE_ARCHIVE, removal_action::delete_itself},
        {"read-only file", FILE_ATTRIBUTE_READONLY, 0, FILE_ATTRIBUTE_READONLY, removal_action::delete_itself},
        {"directory", directory, 0, directory, removal_action::enter},
        {"directory symbolic link", directory | reparse, IO_REPARSE_TAG_SYMLINK, directory | reparse,
         removal_action::delete_itself},
        {"file symbolic link", reparse, IO_REPARSE_TAG_SYMLINK, reparse, removal_action::delete_itself},
        {"junction", directory | reparse, IO_REPARSE_TAG_MOUNT_POINT, directory | reparse,
         removal_action::delete_itself},
        {"WSL symbolic link", reparse, 0xA000001D, reparse, removal_action::delete_itself},
        {"cloud placeholder directory", directory | reparse, 0x9000301A, directory | reparse,
         removal_action::enter},
        {"OneDrive directory", directory | reparse, IO_REPARSE_TAG_ONEDRIVE, directory | reparse,
         removal_action::enter},
        {"deduplicated file", reparse, IO_REPARSE_TAG_DEDUP, reparse, removal_action::delete_itself},
        {"app execution alias", reparse, IO_REPARSE_TAG_APPEXECLINK, reparse, removal_action::delete_itself},
        // What Wine does with a Unix symbolic link: listed as a link, opened
        // as what it points to.
        {"link followed by the open", directory, 0, directory | reparse, removal_action::leave},
        {"file link followed by the open", FILE_ATTRIBUTE_ARCHIVE, 0, reparse, removal_action::leave},
        // Made a link after it was listed: what it is now counts.
        {"swapped for a junction", directory | reparse, IO_REPARSE_TAG_MOUNT_POINT, directory,
         removal_action::delete_itself},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(removal_entry_action(c.attributes, c.tag, c.listed), c.expected) << c.label;
    }
}

// Every open takes the entry itself, never what a link leads to; while the
// entry is in use the removal asks for less, and when the entry's own access
// list refuses, for no more than the run's directory grants through its
// entries (DELETE by its delete-child right, the attributes by its listing
// right); at the end, for DELETE alone, which may open no directory.
TEST(removal_opens, take_the_entry_itself_and_ask_for_less_when_refused)
{
    constexpr long sharing_violation = static_cast<long>(0xC0000043);
    constexpr long access_denied = static_cast<long>(0xC0000022);
    for (const removal_open& open : removal_opens) {
        EXPECT_TRUE(open.options & FILE_OPEN_REPARSE_POINT) << std::hex << open.access;
    }
    std::vector<unsigned long> shared;
    for (int at = removal_next_open(0, sharing_violation); at >= 0; at = removal_next_open(at, sharing_violation)) {
        shared.push_back(removal_opens[at].access);
    }
    ASSERT_EQ(shared.size(), 2u);
    EXPECT_EQ(shared[0], removal_opens[0].access & ~FILE_LIST_DIRECTORY);
    EXPECT_EQ(shared[1], removal_opens[0].access & ~DELETE);

    std::vector<int> denied;
    for (int at = removal_next_open(0, access_denied); at >= 0; at = removal_next_open(at, access_denied)) {
        denied.push_back(at);
    }
    ASSERT_EQ(denied.size(), 2u);
    EXPECT_EQ(removal_opens[denied[0]].access, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    EXPECT_EQ(removal_opens[denied[1]].access, DELETE | SYNCHRONIZE);
    EXPECT_TRUE(removal_opens[denied[1]].options & FILE_NON_DIRECTORY_FILE);

    for (long status : {static_cast<long>(0xC0000034), static_cast<long>(0xC0000056), sharing_violation}) {
        EXPECT_EQ(removal_next_open(denied[1], status), -1) << std::hex << status;
        EXPECT_EQ(removal_next_open(0, status), status == sharing_violation ? 1 : -1) << std::hex << status;
    }
}

}  // namespace
