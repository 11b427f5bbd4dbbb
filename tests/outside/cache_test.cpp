// The unpack cache seen from outside: where the files go and stay, how a
// start from them runs, what is repaired and what is removed. Each test has
// a cache of its own, named by --target-directory below a scratch directory,
// so that tests running at the same time never share one.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "outside/launcher_fixture.h"

namespace {

struct cached_app {
    built_launcher app;
    std::wstring base;  // the template's expansion; the cache is "<base>_<digest>"
};

cached_app build_cached(const std::wstring& hint, const std::vector<image_entry>& entries,
                        const std::wstring& base = L"")
{
    cached_app cached;
    cached.base = base.empty() ? make_scratch_directory(hint + L"_cache") + L"\\app" : base;
    cached.app = build_launcher(hint, entries, false, {L"--cache", L"--target-directory", cached.base});
    return cached;
}

std::vector<image_entry> small_payload(const std::string& note = "the note")
{
    return {{L"test_app.dll", test_library_bytes()}, {L"data\\note.txt", note}};
}

// Every directory beside the cache whose name begins with the base's.
std::vector<std::wstring> beside(const std::wstring& base)
{
    std::vector<std::wstring> found;
    std::wstring parent = base.substr(0, base.rfind(L'\\'));
    std::wstring prefix = base.substr(base.rfind(L'\\') + 1);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((parent + L"\\" + prefix + L"_*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            found.push_back(parent + L"\\" + entry.cFileName);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// What stays beside the cache once every remover is done: waits until it
// holds `expected` directories and no staging or replaced one (a remover
// runs after its start has ended).
std::vector<std::wstring> settled(const std::wstring& base, size_t expected)
{
    auto in_motion = [](const std::vector<std::wstring>& found) {
        for (const std::wstring& name : found) {
            if (name.find(L".staging_") != std::wstring::npos || name.find(L".old_") != std::wstring::npos) {
                return true;
            }
        }
        return false;
    };
    std::vector<std::wstring> found = beside(base);
    for (int i = 0; i < 400 && (found.size() != expected || in_motion(found)); ++i) {
        Sleep(25);
        found = beside(base);
    }
    return found;
}

// A start that the test does not wait for, its output in `out`: the
// fixture's runs are not for several threads at once.
PROCESS_INFORMATION start_alone(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                                const std::wstring& out)
{
    std::vector<std::wstring> all = {exe};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::wstring line = join_arguments(all);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", nullptr);
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process));
    CloseHandle(file);
    CloseHandle(process.hThread);
    return process;
}

DWORD finish(const PROCESS_INFORMATION& process)
{
    DWORD status = 0xDEAD;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &status);
    }
    CloseHandle(process.hProcess);
    return status;
}

std::wstring library_directory(const program_result& result)
{
    return parse_report(result.out).directory;
}

void remove_all(const cached_app& cached)
{
    for (const std::wstring& left : beside(cached.base)) {
        remove_tree(left);
    }
    remove_tree(cached.base.substr(0, cached.base.rfind(L'\\')));
    remove_tree(cached.app.directory);
}

// The first start unpacks into a staging directory of its own and runs from
// it; once it has ended, the files move into place and every later start
// runs from them, in its own process, with what a child would see. The
// cache stays after every run.
TEST(cache, later_starts_run_from_the_files_the_first_start_left)
{
    cached_app cached = build_cached(L"cache_reuse", small_payload());
    program_result first = run_launcher(cached.app.exe, {L"--report", L"--status", L"5"}, unique_start_value());
    EXPECT_EQ(first.status, 5u) << first.err;
    std::wstring first_directory = library_directory(first);
    EXPECT_NE(first_directory.find(L".staging_"), std::wstring::npos) << to_utf8(first_directory);
    std::vector<std::wstring> cache = settled(cached.base, 1);
    ASSERT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache[0].size(), cached.base.size() + 17) << "named after the payload's digest: " << to_utf8(cache[0]);

    // Arguments that need the shell's splitter, and plain ones.
    const std::vector<std::wstring> argument_lists[] = {
        {L"--report", L"--list", L"--status", L"6", L"two words", L"", L"q\"uote"},
        {L"--report", L"--list", L"--status", L"6", L"C:\\dir\\", L"back\\\\slashes"},
    };
    for (const std::vector<std::wstring>& arguments : argument_lists) {
        program_result later = run_launcher(cached.app.exe, arguments, unique_start_value());
        EXPECT_EQ(later.status, 6u) << later.err;
        app_report report = parse_report(later.out);
        EXPECT_EQ(report.directory, cache[0] + L"\\files");
        EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_PAYLOAD_DIRECTORY"], report.directory);
        EXPECT_EQ(report.environment[L"TALMIR_ONEFILE_PARENT"], std::to_wstring(later.process_id))
            << "the application runs in the started process";
        EXPECT_EQ(report.environment[L"TALMIR_ORIGINAL_ARGV0"], cached.app.exe);
        std::vector<std::wstring> expected = {cached.app.exe};
        expected.insert(expected.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(report.argv, expected) << "the arguments a child would get";
        EXPECT_EQ(report.files[L"data\\note.txt"], std::make_pair(8ull, fnv1a_hex("the note")));
        EXPECT_EQ(beside(cached.base), cache) << "nothing removed or added at the end";
    }
    remove_all(cached);
}

// A file of the cache removed, cut short or grown (same write time or not):
// the start does not run from the damaged files but from a whole copy of
// its own, and the cache is whole again afterwards.
TEST(cache, damaged_files_are_never_run_and_are_repaired)
{
    cached_app cached = build_cached(L"cache_repair", small_payload());
    run_launcher(cached.app.exe, {}, unique_start_value());
    std::vector<std::wstring> cache = settled(cached.base, 1);
    ASSERT_EQ(cache.size(), 1u);
    std::wstring note = cache[0] + L"\\files\\data\\note.txt";
    struct {
        const char* label;
        std::function<void()> damage;
    } cases[] = {
        {"removed", [&] { DeleteFileW(note.c_str()); }},
        {"cut short", [&] { write_file(note, "the"); }},
        {"grown", [&] { write_file(note, "the note and more"); }},
        {"written again, same size",
         [&] {
             Sleep(20);  // a write time of its own
             write_file(note, "THE NOTE");
         }},
    };
    for (const auto& c : cases) {
        c.damage();
        program_result result = run_launcher(cached.app.exe, {L"--report", L"--list"}, unique_start_value());
        ASSERT_EQ(result.status, 0u) << c.label << result.err;
        app_report report = parse_report(result.out);
        EXPECT_NE(report.directory, cache[0] + L"\\files") << c.label << ": ran from the damaged files";
        EXPECT_EQ(report.files[L"data\\note.txt"], std::make_pair(8ull, fnv1a_hex("the note"))) << c.label;
        EXPECT_EQ(settled(cached.base, 1), cache) << c.label;
        std::string content;
        read_file(note, &content);
        EXPECT_EQ(content, "the note") << c.label << ": not repaired";
    }

    // Damaged while a start runs from it: that start keeps its directory
    // (the next start runs from a copy of its own), and a start after it
    // repairs the directory.
    PROCESS_INFORMATION holder = start_alone(cached.app.exe, {L"--touch", L"running", L"--sleep", L"3000"},
                                             cached.app.directory + L"\\out");
    for (int i = 0; i < 400 && !file_exists(cache[0] + L"\\files\\running"); ++i) {
        Sleep(25);
    }
    DeleteFileW(note.c_str());
    program_result beside_running = run_launcher(cached.app.exe, {L"--report"}, unique_start_value());
    EXPECT_NE(library_directory(beside_running), cache[0] + L"\\files");
    EXPECT_EQ(settled(cached.base, 1), cache);
    EXPECT_TRUE(file_exists(cache[0] + L"\\files\\test_app.dll")) << "removed under a running start";
    EXPECT_EQ(finish(holder), 0u);
    run_launcher(cached.app.exe, {}, unique_start_value());
    settled(cached.base, 1);
    EXPECT_TRUE(file_exists(note)) << "not repaired once unused";
    remove_all(cached);
}

// Ten starts at once on an empty cache all run; none sees another's files
// half-written, one cache directory is left, and no staging directory.
TEST(cache, concurrent_first_starts_all_run_and_leave_one_directory)
{
    cached_app cached = build_cached(L"cache_concurrent", small_payload());
    constexpr int starts = 4;
    PROCESS_INFORMATION processes[starts];
    for (int i = 0; i < starts; ++i) {
        processes[i] = start_alone(cached.app.exe, {L"--list", L"--sleep", L"300", L"--status", std::to_wstring(i)},
                                   cached.app.directory + L"\\out" + std::to_wstring(i));
    }
    for (int i = 0; i < starts; ++i) {
        EXPECT_EQ(finish(processes[i]), static_cast<DWORD>(i));
        std::string out;
        read_file(cached.app.directory + L"\\out" + std::to_wstring(i), &out);
        EXPECT_EQ(parse_report(out).files[L"data\\note.txt"], std::make_pair(8ull, fnv1a_hex("the note"))) << out;
    }
    std::vector<std::wstring> left = settled(cached.base, 1);
    ASSERT_EQ(left.size(), 1u) << (left.size() > 1 ? to_utf8(left[1]) : "");
    EXPECT_EQ(left[0].find(L".staging_"), std::wstring::npos);
    remove_all(cached);
}

// A first start killed outright (both processes) leaves its staging
// directory; the next start removes it.
TEST(cache, staging_directory_of_a_killed_first_start_is_removed)
{
    cached_app cached = build_cached(L"cache_killed", small_payload());
    run_launcher(cached.app.exe, {}, unique_start_value());
    ASSERT_EQ(settled(cached.base, 1).size(), 1u);
    // A first start again, its cache directory moved away meanwhile.
    std::wstring whole = beside(cached.base)[0];
    std::wstring away = cached.app.directory + L"\\away";
    ASSERT_TRUE(MoveFileW(whole.c_str(), away.c_str()));
    PROCESS_INFORMATION parent =
        start_alone(cached.app.exe, {L"--touch", L"ready", L"--sleep", L"60000"}, cached.app.directory + L"\\out");
    std::vector<std::wstring> staging;
    for (int i = 0; i < 400; ++i) {
        staging = beside(cached.base);
        if (staging.size() == 1 && file_exists(staging[0] + L"\\files\\ready")) {
            break;
        }
        Sleep(25);
    }
    TerminateProcess(parent.hProcess, 1);  // the job takes the child along
    finish(parent);
    ASSERT_EQ(staging.size(), 1u);
    EXPECT_NE(staging[0].find(L".staging_"), std::wstring::npos);
    Sleep(500);
    ASSERT_TRUE(MoveFileW(away.c_str(), whole.c_str()));

    program_result next = run_launcher(cached.app.exe, {L"--report"}, unique_start_value());
    EXPECT_EQ(next.status, 0u) << next.err;
    EXPECT_EQ(library_directory(next), whole + L"\\files");
    EXPECT_EQ(settled(cached.base, 1), std::vector<std::wstring>{whole});
    remove_all(cached);
}

// A new payload gets a directory of its own beside the old one's; the old
// one stays while a start runs from it and goes at the next start after.
TEST(cache, a_new_payload_gets_its_own_directory_and_the_old_one_goes_when_unused)
{
    cached_app old_version = build_cached(L"cache_old", small_payload("old"));
    run_launcher(old_version.app.exe, {}, unique_start_value());
    std::vector<std::wstring> old_cache = settled(old_version.base, 1);
    ASSERT_EQ(old_cache.size(), 1u);
    cached_app new_version = build_cached(L"cache_new", small_payload("new!"), old_version.base);

    // The old version runs from its cache while the new one starts.
    PROCESS_INFORMATION holder = start_alone(old_version.app.exe, {L"--touch", L"ready", L"--sleep", L"4000"},
                                             old_version.app.directory + L"\\out");
    for (int i = 0; i < 400 && !file_exists(old_cache[0] + L"\\files\\ready"); ++i) {
        Sleep(25);
    }
    program_result first = run_launcher(new_version.app.exe, {L"--list"}, unique_start_value());
    EXPECT_EQ(parse_report(first.out).files[L"data\\note.txt"], std::make_pair(4ull, fnv1a_hex("new!")));
    // Once the new payload's directory is in place, its remover looks at
    // the old one; it leaves it while the old version runs from it.
    std::vector<std::wstring> both = settled(old_version.base, 2);
    ASSERT_EQ(both.size(), 2u);
    for (int i = 0; i < 400 && (!file_exists(both[0] + L"\\stamp") || !file_exists(both[1] + L"\\stamp")); ++i) {
        Sleep(25);
    }
    Sleep(500);
    EXPECT_EQ(beside(old_version.base), both) << "the old directory went while in use";
    EXPECT_EQ(finish(holder), 0u);

    program_result later = run_launcher(new_version.app.exe, {L"--report"}, unique_start_value());
    std::vector<std::wstring> left = settled(old_version.base, 1);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0], old_cache[0]) << "the old payload's directory stayed";
    EXPECT_EQ(library_directory(later), left[0] + L"\\files");
    remove_all(new_version);
    remove_tree(old_version.app.directory);
}

// A directory under the cache's name that someone else made (its access
// list is not the launcher's) is neither run from nor replaced: every start
// runs from a directory of its own, as without the cache.
TEST(cache, a_planted_directory_is_not_used)
{
    cached_app cached = build_cached(L"cache_planted", small_payload());
    run_launcher(cached.app.exe, {}, unique_start_value());
    std::vector<std::wstring> cache = settled(cached.base, 1);
    ASSERT_EQ(cache.size(), 1u);
    // Moved aside, and the same name made anew by someone else with the
    // very files and stamp the launcher left.
    std::wstring aside = cached.base + L"_aside";
    ASSERT_TRUE(MoveFileW(cache[0].c_str(), aside.c_str()));
    ASSERT_TRUE(CreateDirectoryW(cache[0].c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((cache[0] + L"\\files").c_str(), nullptr));
    for (const std::wstring& name : list_files(aside)) {
        std::string bytes;
        read_file(aside + L"\\" + name, &bytes);
        std::wstring to = cache[0] + L"\\" + name;
        CreateDirectoryW(to.substr(0, to.rfind(L'\\')).c_str(), nullptr);
        ASSERT_TRUE(write_file(to, bytes));
    }
    for (int run = 0; run < 2; ++run) {
        program_result result = run_launcher(cached.app.exe, {L"--report"}, unique_start_value());
        EXPECT_EQ(result.status, 0u) << result.err;
        EXPECT_NE(library_directory(result), cache[0] + L"\\files") << "ran from someone else's directory";
        EXPECT_EQ(settled(cached.base, 2).size(), 2u) << "the planted one was touched";
    }
    remove_tree(aside);
    remove_all(cached);
}

// Without --target-directory the cache lies below the user's local
// application data, named after the product.
TEST(cache, by_default_below_the_local_application_data)
{
    std::wstring product = L"cache_test_" + std::to_wstring(GetCurrentProcessId());
    built_launcher app =
        build_launcher(L"cache_default", small_payload(), false, {L"--cache", L"--product", product});
    run_launcher(app.exe, {}, unique_start_value());
    wchar_t local[MAX_PATH];
    ASSERT_NE(GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH), 0u);
    std::wstring base = std::wstring(local) + L"\\onefile\\" + product;
    std::vector<std::wstring> cache = settled(base, 1);
    ASSERT_EQ(cache.size(), 1u);
    program_result later = run_launcher(app.exe, {L"--report"}, unique_start_value());
    EXPECT_EQ(library_directory(later), cache[0] + L"\\files");
    remove_tree(cache[0]);
    remove_tree(app.directory);
}

}  // namespace
