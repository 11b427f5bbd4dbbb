// build and pack: what ends up in the image, in which order, and that the
// same inputs always give the same bytes.
#include <gtest/gtest.h>

#include <algorithm>

#include "tool_test_support.h"

namespace {

const std::string entry_bytes = fixture_entry_bytes();

TEST(build, same_inputs_in_any_order_give_the_same_bytes_in_ordinal_name_order)
{
    scratch work(L"tool_order");
    put_file(work.path, L"main.dll", entry_bytes);
    put_file(work.path, L"Zeta.txt", "upper case sorts first");
    put_file(work.path, L"alpha.txt", "alpha");
    put_file(work.path, L"data\\b.txt", "b");
    put_file(work.path, L"data\\empty.bin", "");
    put_file(work.path, L"data\\sub\\c.txt", "c");

    program_result first = run_tool({L"build", L"--output", L"one.img", L"main.dll", L"alpha.txt", L"data",
                                     L"Zeta.txt"}, work.path);
    ASSERT_EQ(first.status, 0u) << first.err;
    program_result second = run_tool({L"build", L"main.dll", L"Zeta.txt", L"data", L"--output", L"two.img",
                                      L"alpha.txt"}, work.path);
    ASSERT_EQ(second.status, 0u) << second.err;

    std::string one;
    std::string two;
    ASSERT_TRUE(read_file(work / L"one.img", &one));
    ASSERT_TRUE(read_file(work / L"two.img", &two));
    EXPECT_TRUE(one == two) << "images of the same inputs differ";
    // The main library stays first although it sorts last; the rest is in
    // ordinal code-unit order ('Z' < 'a'), with backslashes stored.
    std::string expected = build_image({{L"main.dll", entry_bytes},
                                        {L"Zeta.txt", "upper case sorts first"},
                                        {L"alpha.txt", "alpha"},
                                        {L"data\\b.txt", "b"},
                                        {L"data\\empty.bin", ""},
                                        {L"data\\sub\\c.txt", "c"}});
    EXPECT_TRUE(one == expected) << "the image is not the expected layout";
}

TEST(build, source_equals_name_renames_files_directories_and_the_main_library)
{
    scratch work(L"tool_rename");
    put_file(work.path, L"main.dll", entry_bytes);
    put_file(work.path, L"notes.txt", "notes");
    put_file(work.path, L"assets\\logo.png", "png");
    put_file(work.path, L"assets\\fonts\\a.ttf", "ttf");
    put_file(work.path, L"data\\x.txt", "x");

    program_result result = run_tool({L"build", L"--output", L"out.img", L"main.dll=bin/app.dll",
                                      L"notes.txt=docs/read me.txt", L"assets=", L"data=res\\data"},
                                     work.path);
    ASSERT_EQ(result.status, 0u) << result.err;
    std::string image;
    ASSERT_TRUE(read_file(work / L"out.img", &image));
    std::string expected = build_image({{L"bin\\app.dll", entry_bytes},
                                        {L"docs\\read me.txt", "notes"},
                                        {L"fonts\\a.ttf", "ttf"},
                                        {L"logo.png", "png"},
                                        {L"res\\data\\x.txt", "x"}});
    EXPECT_TRUE(image == expected);
}

TEST(build, nested_tree_with_empty_and_non_ascii_names_round_trips_through_extract)
{
    scratch work(L"tool_round_trip");
    // 2.5 MiB crosses the tool's 1 MiB copy buffer twice and ends mid-buffer.
    const std::vector<image_entry> files = {
        {L"tree\\big.bin", patterned_bytes(5 * 512 * 1024 + 7, 1)},
        {L"tree\\empty.txt", ""},
        {L"tree\\d\u00e9j\u00e0 vu\\caf\u00e9.txt", "accents"},
        {L"tree\\\u65e5\u672c\u8a9e\\\u2603 snow.txt", "cjk and a snowman"},
        {L"tree\\emoji \U0001F600.txt", "outside the basic plane"},
        {L"tree\\a\\b\\c\\d\\e\\deep.txt", "deep"},
    };
    put_file(work.path, L"main.dll", entry_bytes);
    for (const image_entry& file : files) {
        put_file(work.path, file.name, file.data);
    }
    put_directory(work.path, L"tree\\hollow\\inner");

    program_result built =
        run_tool({L"build", L"--keep-empty-dirs", L"--output", L"out.img", L"main.dll", L"tree"}, work.path);
    ASSERT_EQ(built.status, 0u) << built.err;
    program_result extracted = run_tool({L"extract", L"out.img", L"--output", L"unpacked\\here"}, work.path);
    ASSERT_EQ(extracted.status, 0u) << extracted.err;

    std::vector<std::wstring> expected_names = {L"main.dll", L"tree\\hollow\\inner\\.keep_dir.txt"};
    for (const image_entry& file : files) {
        expected_names.push_back(file.name);
    }
    std::sort(expected_names.begin(), expected_names.end());
    EXPECT_EQ(list_files(work / L"unpacked\\here"), expected_names);
    for (const image_entry& file : files) {
        std::string bytes;
        EXPECT_TRUE(read_file(work / (L"unpacked\\here\\" + file.name), &bytes)) << to_utf8(file.name);
        EXPECT_TRUE(bytes == file.data) << to_utf8(file.name);
    }
    std::string main_library;
    read_file(work / L"unpacked\\here\\main.dll", &main_library);
    EXPECT_TRUE(main_library == entry_bytes);

    // Names are listed in UTF-8, whatever the console code page.
    program_result listed = run_tool({L"list", L"out.img"}, work.path);
    EXPECT_EQ(listed.status, 0u) << listed.err;
    EXPECT_NE(listed.out.find(to_utf8(L"tree\\\u65e5\u672c\u8a9e\\\u2603 snow.txt")), std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find(to_utf8(L"tree\\emoji \U0001F600.txt")), std::string::npos) << listed.out;
}

TEST(build, empty_directories_are_dropped_without_keep_empty_dirs)
{
    scratch work(L"tool_hollow");
    put_file(work.path, L"main.dll", entry_bytes);
    put_directory(work.path, L"tree\\hollow");
    put_file(work.path, L"tree\\a.txt", "a");
    program_result result = run_tool({L"build", L"--output", L"out.img", L"main.dll", L"tree"}, work.path);
    ASSERT_EQ(result.status, 0u) << result.err;
    std::string image;
    read_file(work / L"out.img", &image);
    EXPECT_TRUE(image == build_image({{L"main.dll", entry_bytes}, {L"tree\\a.txt", "a"}}));
}

TEST(pack, gives_the_launcher_the_image_that_build_makes)
{
    scratch work(L"tool_pack");
    put_file(work.path, L"main.dll", entry_bytes);
    put_file(work.path, L"data\\one.txt", "1");
    put_file(work.path, L"data\\two.bin", patterned_bytes(70000, 2));
    program_result built = run_tool({L"build", L"--output", L"app.img", L"main.dll", L"data"}, work.path);
    ASSERT_EQ(built.status, 0u) << built.err;
    program_result packed =
        run_tool({L"pack", L"--launcher", launcher_stub_path(), L"--output", L"app.exe", L"main.dll", L"data"},
                 work.path);
    ASSERT_EQ(packed.status, 0u) << packed.err;

    std::string image;
    std::string payload;
    std::vector<WORD> languages;
    read_file(work / L"app.img", &image);
    ASSERT_TRUE(read_payload_resource(work / L"app.exe", &payload, &languages));
    EXPECT_TRUE(payload == image);
    EXPECT_EQ(languages, std::vector<WORD>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)});
}

TEST(build, refuses_to_read_its_own_output_and_keeps_the_old_one)
{
    scratch work(L"tool_self");
    put_file(work.path, L"main.dll", entry_bytes);
    put_file(work.path, L"data\\a.txt", "a");
    put_file(work.path, L"data\\out.img", "the previous image");
    std::vector<std::wstring> before = list_files(work.path);

    program_result result =
        run_tool({L"build", L"--output", L"data\\out.img", L"main.dll", L"data"}, work.path);
    EXPECT_EQ(result.status, 1u);
    EXPECT_NE(result.err.find("out.img' is the output file itself"), std::string::npos) << result.err;
    std::string old;
    read_file(work / L"data\\out.img", &old);
    EXPECT_EQ(old, "the previous image");
    EXPECT_EQ(list_files(work.path), before);  // no temporary file left behind
}

}  // namespace
