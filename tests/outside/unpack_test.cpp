// Unpacking seen from outside: the child lists what it finds next to its
// main library, so the files are checked while they exist.
#include <gtest/gtest.h>

#include "outside/launcher_fixture.h"
#include "neutral/payload_image.h"

namespace {

std::string pattern_bytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

TEST(unpack, every_file_lands_byte_identical_and_nothing_else)
{
    std::vector<image_entry> entries = {
        {L"test_app.dll", test_library_bytes()},
        {L"empty.txt", ""},
        {L"odd.bin", pattern_bytes(12345, 1)},
        {L"slice\\exact.bin", pattern_bytes(payload_slice_size, 2)},
        {L"slice\\one_more.bin", pattern_bytes(payload_slice_size + 1, 3)},
        {L"deep\\er\\and\\deeper\\leaf.txt", "leaf"},
        {L"deep\\er\\sibling.txt", "sibling"},
        {L"repeated.txt", "first version, longer than the second"},
        {L"repeated.txt", "second"},
        {L"caf\u00e9\\\u65e5\u672c.txt", "non-ASCII"},
        {L"Cryptodome\\Util\\.keep_dir.txt", ""},
    };
    built_launcher app = build_launcher(L"unpack", entries);
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {L"--list"}, start);
    ASSERT_EQ(result.status, 0u) << result.out << result.err;

    std::map<std::wstring, std::pair<unsigned long long, std::string>> expected;
    for (const image_entry& entry : entries) {
        expected[entry.name] = {entry.data.size(), fnv1a_hex(entry.data)};  // later ones replace earlier
    }
    app_report report = parse_report(result.out);
    EXPECT_EQ(report.files, expected);
    EXPECT_TRUE(target_directories(start).empty()) << "the target directory is removed afterwards";
    remove_tree(app.directory);
}

TEST(unpack, payload_without_entries_creates_no_directory)
{
    built_launcher app = build_launcher(L"no_entries", {});
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {}, start);
    // The child finds no main library and says so; the parent passes it on.
    EXPECT_EQ(result.status, 2u);
    EXPECT_EQ(result.out, "Error, attached data holds no main library.\n");
    EXPECT_TRUE(target_directories(start).empty());
    remove_tree(app.directory);
}

TEST(unpack, file_where_a_directory_is_needed_stops_with_the_open_message_and_leaves_nothing)
{
    built_launcher app = build_launcher(L"file_in_way", {{L"test_app.dll", test_library_bytes()},
                                                         {L"a", "plain file"},
                                                         {L"a\\b", "needs a directory"}});
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {}, start);
    EXPECT_EQ(result.status, 2u);
    std::string prefix = "Error, failed to open '" + to_utf8(temp_directory()) + "\\onefile_";
    std::string suffix = "_" + to_utf8(start) + "\\a\\b' for writing.\n";
    EXPECT_EQ(result.err.rfind(prefix, 0), 0u) << result.err;
    EXPECT_TRUE(result.err.size() > suffix.size() &&
                result.err.compare(result.err.size() - suffix.size(), suffix.size(), suffix) == 0)
        << result.err;
    EXPECT_TRUE(target_directories(start).empty()) << "a failed walk removes what it wrote";
    remove_tree(app.directory);
}

// Every prefix of a valid image that ends before its end marker, and images
// whose names could write outside the target directory: all refused before
// anything is created.
TEST(unpack, damaged_and_unsafe_images_are_refused_before_any_write)
{
    std::string valid = build_image({{L"m.dll", "MZ"}, {L"d\\f", "abc"}});
    std::vector<std::string> images;
    size_t end_marker_end = valid.size() - 10;  // the trailer is 2 + 8 bytes
    for (size_t length = 0; length < end_marker_end; ++length) {
        images.push_back(valid.substr(0, length));
    }
    const wchar_t* unsafe_names[] = {L"..\\escape.txt", L"\\rooted.txt", L"a\\\\b", L"trailing\\", L"a\\.\\b",
                                     L"C:\\x.txt",      L"a/b",          L"x:stream", L"tab\there",
                                     L"...\\up",       L"COM1",         L"dir\\aux.txt"};
    for (const wchar_t* name : unsafe_names) {
        images.push_back(build_image({{L"m.dll", "MZ"}, {name, "data"}}));
    }
    // A name that does not fit the 1024-unit name buffer.
    images.push_back(build_image({{std::wstring(1024, L'n'), "MZ"}}));

    // One launcher, its payload replaced for each image: attaching is the
    // slow part under Wine.
    std::wstring directory = make_scratch_directory(L"damaged");
    for (size_t i = 0; i < images.size(); ++i) {
        std::wstring exe = directory + L"\\app.exe";
        ASSERT_TRUE(make_launcher(exe, images[i]));
        std::wstring start = unique_start_value();
        program_result result = run_launcher(exe, {}, start);
        EXPECT_EQ(result.status, 2u) << "image " << i;
        EXPECT_EQ(result.out, "Error, couldn't find attached data header.\n") << "image " << i;
        EXPECT_TRUE(target_directories(start).empty()) << "image " << i;
    }
    remove_tree(directory);
}

}  // namespace
