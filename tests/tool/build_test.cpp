// build and pack: what ends up in the image, in which order, and that the
// same inputs always give the same bytes; the resources that pack's
// identity options give the executable, and the cache's digest.
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

// An icon file: a 16-pixel bitmap whose entry leaves planes and depth to
// the image, and a 256-pixel PNG (only its signature matters here).
std::string icon_bytes(std::string* bitmap, std::string* png)
{
    *bitmap = std::string("\x28\0\0\0\x10\0\0\0\x20\0\0\0\x01\0\x20\0", 16) + patterned_bytes(24 + 1024 + 64, 3);
    *png = "\x89PNG\r\n\x1a\n" + patterned_bytes(300, 4);
    std::string directory("\0\0\x01\0\x02\0", 6);
    directory += std::string("\x10\x10\0\0\0\0\0\0", 8) + std::string("\x68\x04\0\0\x26\0\0\0", 8);
    directory += std::string("\0\0\0\0\x01\0\x20\0", 8) + std::string("\x34\x01\0\0\x8e\x04\0\0", 8);
    return directory + *bitmap + *png;
}

std::wstring version_string(const std::string& block, const wchar_t* key)
{
    std::string copy = block;  // VerQueryValueW may write into its block
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(copy.data(), (std::wstring(L"\\StringFileInfo\\040904B0\\") + key).c_str(), &value,
                        &length)) {
        return L"<absent>";
    }
    return static_cast<const wchar_t*>(value);
}

VS_FIXEDFILEINFO fixed_version(const std::string& block)
{
    std::string copy = block;
    void* value = nullptr;
    UINT length = 0;
    VS_FIXEDFILEINFO fixed = {};
    if (VerQueryValueW(copy.data(), L"\\", &value, &length) && length == sizeof fixed) {
        fixed = *static_cast<VS_FIXEDFILEINFO*>(value);
    }
    return fixed;
}

// What the identity options change, read back as the system reads it; what
// they do not name stays the launcher's, and without them the executable
// carries exactly the launcher's resources.
TEST(pack, identity_options_make_the_resources_the_applications)
{
    scratch work(L"tool_identity");
    std::string bitmap, png;
    put_file(work.path, L"main.dll", entry_bytes);
    put_file(work.path, L"app.ico", icon_bytes(&bitmap, &png));
    const std::string own_manifest =
        "<assembly xmlns='urn:schemas-microsoft-com:asm.v1' manifestVersion='1.0'><!-- own --></assembly>";
    put_file(work.path, L"own.manifest", own_manifest);
    program_result branded = run_tool(
        {L"pack", L"--launcher", launcher_stub_path(), L"--output", L"app.exe", L"--icon", L"app.ico", L"--company",
         L"Acme \u00c6", L"--product", L"Rocket", L"--version", L"3.4.5.6", L"--description", L"Rocket, packed",
         L"--copyright", L"(c) Acme", L"--execution-level", L"requireAdministrator", L"--target-directory",
         L"{CACHE_DIR}/Acme/run_{PID}_{TIME}", L"main.dll"},
        work.path);
    ASSERT_EQ(branded.status, 0u) << branded.err;
    program_result own = run_tool({L"pack", L"--launcher", launcher_stub_path(), L"--output", L"own.exe",
                                   L"--manifest", L"own.manifest", L"--product", L"Only", L"main.dll"},
                                  work.path);
    ASSERT_EQ(own.status, 0u) << own.err;
    program_result numbered = run_tool({L"pack", L"--launcher", launcher_stub_path(), L"--output", L"numbered.exe",
                                        L"--version", L"7.8", L"main.dll"},
                                       work.path);
    ASSERT_EQ(numbered.status, 0u) << numbered.err;
    program_result plain = run_tool({L"pack", L"--launcher", launcher_stub_path(), L"--output", L"plain.exe",
                                     L"main.dll"},
                                    work.path);
    ASSERT_EQ(plain.status, 0u) << plain.err;

    std::map<std::wstring, std::string> app = all_resources(work / L"app.exe");
    std::string group = app[L"#14/#1/1033"];
    const std::string expected_group = std::string("\0\0\x01\0\x02\0", 6) +
                                       std::string("\x10\x10\0\0\x01\0\x20\0\x68\x04\0\0\x01\0", 14) +
                                       std::string("\0\0\0\0\x01\0\x20\0\x34\x01\0\0\x02\0", 14);
    EXPECT_TRUE(group == expected_group) << "the group lists both images, planes and depth filled in";
    EXPECT_TRUE(app[L"#3/#1/1033"] == bitmap && app[L"#3/#2/1033"] == png) << "the images as the file holds them";
    EXPECT_EQ(app.count(L"#3/#3/1033"), 0u) << "none of the launcher's images is left";
    const std::string& version = app[L"#16/#1/1033"];
    const struct {
        const wchar_t* key;
        const wchar_t* branded;
        const wchar_t* own;
    } strings[] = {
        {L"CompanyName", L"Acme \u00c6", L"Merla Software"}, {L"ProductName", L"Rocket", L"Only"},
        {L"FileVersion", L"3.4.5.6", L"0.0.6.0"},           {L"ProductVersion", L"3.4.5.6", L"0.0.6.0"},
        {L"FileDescription", L"Rocket, packed", L"Merla"},  {L"LegalCopyright", L"(c) Acme", L"<absent>"},
        {L"OriginalFilename", L"app.exe", L"own.exe"},
    };
    std::map<std::wstring, std::string> own_resources = all_resources(work / L"own.exe");
    for (const auto& entry : strings) {
        EXPECT_EQ(version_string(version, entry.key), entry.branded) << to_utf8(entry.key);
        EXPECT_EQ(version_string(own_resources[L"#16/#1/1033"], entry.key), entry.own) << to_utf8(entry.key);
    }
    VS_FIXEDFILEINFO fixed = fixed_version(version);
    EXPECT_TRUE(fixed.dwFileVersionMS == 0x30004 && fixed.dwFileVersionLS == 0x50006 &&
                fixed.dwProductVersionMS == 0x30004 && fixed.dwProductVersionLS == 0x50006);
    EXPECT_EQ(fixed_version(own_resources[L"#16/#1/1033"]).dwFileVersionLS, 0x60000u);
    // --version alone changes both numeric versions and both strings.
    const std::string numbered_version = all_resources(work / L"numbered.exe")[L"#16/#1/1033"];
    VS_FIXEDFILEINFO alone = fixed_version(numbered_version);
    EXPECT_TRUE(alone.dwFileVersionMS == 0x70008 && alone.dwFileVersionLS == 0 && alone.dwProductVersionMS == 0x70008 &&
                alone.dwProductVersionLS == 0);
    EXPECT_EQ(version_string(numbered_version, L"FileVersion"), L"7.8");
    EXPECT_EQ(version_string(numbered_version, L"ProductVersion"), L"7.8");
    EXPECT_EQ(version_string(numbered_version, L"CompanyName"), L"Merla Software");
    const std::string& manifest = app[L"#24/#1/1033"];
    for (const char* needle : {"level=\"requireAdministrator\"", ">true</longPathAware>",
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
    }
    const std::wstring stored = L"{CACHE_DIR}\\Acme\\run_{PID}_{TIME}";
    EXPECT_TRUE(app[L"#10/TARGET_DIRECTORY/0"] == std::string(reinterpret_cast<const char*>(stored.data()),
                                                               stored.size() * 2));
    EXPECT_TRUE(checksum_matches(work / L"app.exe"));
    EXPECT_TRUE(own_resources[L"#24/#1/1033"] == own_manifest);

    // Without the options: the launcher's resources, all of them, and the
    // payload.
    std::map<std::wstring, std::string> stub = all_resources(launcher_stub_path());
    std::map<std::wstring, std::string> unchanged = all_resources(work / L"plain.exe");
    EXPECT_EQ(unchanged.erase(L"#10/#27/0"), 1u);
    EXPECT_TRUE(unchanged == stub);
    EXPECT_EQ(stub.size(), 10u) << "icon group, seven images, manifest, version information";
}

// With the cache, the executable carries the SHA-256 of the payload it
// holds, language-neutral (checked against the system's SHA-256); one made
// from it as the stub, without --cache, uses the cache too, with the
// digest of its own payload and the stub's template.
TEST(pack, the_cache_carries_the_digest_of_the_payload_held)
{
    scratch work(L"tool_cache");
    put_file(work.path, L"main.dll", entry_bytes);
    // More than one of the slices the tool hashes in, and not a whole number of them.
    put_file(work.path, L"data\\big.bin", patterned_bytes(3 * 1024 * 1024 + 5, 5));
    put_file(work.path, L"other.img", build_image({{L"main.dll", entry_bytes}, {L"x.txt", "x"}}));
    program_result packed =
        run_tool({L"pack", L"--cache", L"--launcher", launcher_stub_path(), L"--output", L"cached.exe",
                  L"--target-directory", L"{CACHE_DIR}/Acme/{PRODUCT}", L"main.dll", L"data"},
                 work.path);
    ASSERT_EQ(packed.status, 0u) << packed.err;
    program_result attached = run_tool(
        {L"attach", L"--launcher", L"cached.exe", L"--image", L"other.img", L"--output", L"again.exe"}, work.path);
    ASSERT_EQ(attached.status, 0u) << attached.err;

    const std::wstring stored = L"{CACHE_DIR}\\Acme\\{PRODUCT}";
    std::string digests[2];
    for (int i = 0; i < 2; ++i) {
        const wchar_t* exe = i == 0 ? L"cached.exe" : L"again.exe";
        std::map<std::wstring, std::string> resources = all_resources(work / exe);
        ASSERT_EQ(resources.count(L"#10/#27/0"), 1u) << to_utf8(exe);
        digests[i] = resources[L"#10/ONEFILE_CACHE/0"];
        EXPECT_TRUE(digests[i] == system_sha256(resources[L"#10/#27/0"])) << to_utf8(exe);
        EXPECT_EQ(std::count_if(resources.begin(), resources.end(),
                                [](const auto& entry) { return entry.first.rfind(L"#10/ONEFILE_CACHE/", 0) == 0; }),
                  1)
            << to_utf8(exe) << ": one digest, in no language";
        EXPECT_TRUE(resources[L"#10/TARGET_DIRECTORY/0"] ==
                    std::string(reinterpret_cast<const char*>(stored.data()), stored.size() * 2))
            << to_utf8(exe);
        EXPECT_TRUE(checksum_matches(work / exe)) << to_utf8(exe);
    }
    EXPECT_FALSE(digests[0] == digests[1]) << "the stub's digest was kept";
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
