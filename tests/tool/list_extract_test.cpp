// attach, list and extract, and the command line itself.
#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <tuple>

#include "tool_test_support.h"

namespace {

const std::vector<image_entry> sample_entries = {
    {L"app.dll", "MZ not really a library"},
    {L"data\\empty.txt", ""},
    {L"data\\r\u00e9sum\u00e9.txt", "twelve bytes"},
};

// An image whose first entry is whole and whose second name tries to leave
// the target directory.
std::string image_with_unsafe_second_name()
{
    return build_image({{L"app.dll", "ok"}, {L"..\\evil.txt", "x"}});
}

TEST(list, prints_every_entry_and_the_totals)
{
    scratch work(L"tool_list");
    std::string image = build_image(sample_entries);
    write_file(work / L"app.img", image);
    program_result result = run_tool({L"list", L"app.img"}, work.path);
    ASSERT_EQ(result.status, 0u) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<std::string> lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 4u) << result.out;
    EXPECT_NE(lines[0].find(" 23  app.dll"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" 0  data\\empty.txt"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" 12  " + to_utf8(L"data\\r\u00e9sum\u00e9.txt")), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "3 entries, 35 data bytes, " + std::to_string(image.size()) + " image bytes");
}

struct damaged_case {
    const char* label;
    std::string image;
    std::vector<std::string> message;  // parts of the one-line message
    size_t entries_listed;             // whole entries before the damage
};

void PrintTo(const damaged_case& value, std::ostream* out) { *out << value.label; }

class damaged_list : public testing::TestWithParam<damaged_case> {};

TEST_P(damaged_list, reports_the_problem_and_lists_what_came_before)
{
    const damaged_case& param = GetParam();
    scratch work(L"tool_damaged");
    write_file(work / L"bad.img", param.image);
    program_result result = run_tool({L"list", L"bad.img"}, work.path);
    EXPECT_EQ(result.status, 1u) << result.err;  // a crash would show as 0xC0000005
    EXPECT_EQ(lines_of(result.out).size(), param.entries_listed) << result.out;
    std::vector<std::string> message = lines_of(result.err);
    ASSERT_EQ(message.size(), 1u) << result.err;
    EXPECT_EQ(message[0].rfind("onefile-pack: 'bad.img': damaged payload: ", 0), 0u) << message[0];
    for (const std::string& part : param.message) {
        EXPECT_NE(message[0].find(part), std::string::npos) << "'" << part << "' not in: " << message[0];
    }

    // extract refuses the same image before creating anything.
    program_result extracted = run_tool({L"extract", L"bad.img", L"--output", L"out"}, work.path);
    EXPECT_EQ(extracted.status, 1u);
    EXPECT_NE(extracted.err.find("nothing extracted"), std::string::npos) << extracted.err;
    EXPECT_FALSE(directory_exists(work / L"out"));
}

std::string valid_image()
{
    return build_image(sample_entries);
}

INSTANTIATE_TEST_SUITE_P(
    images, damaged_list,
    testing::Values(
        damaged_case{"empty", "", {"no payload header"}, 0},
        damaged_case{"wrong_magic", "KAY" + valid_image().substr(3), {"no payload header"}, 0},
        // Cut inside the third entry's data: two entries are whole.
        damaged_case{"cut_in_data", valid_image().substr(0, valid_image().size() - 12 - 6),
                     {"runs past the end", "entry 2 at byte offset 88"}, 2},
        // Cut inside the second entry's size field.
        damaged_case{"cut_in_size", valid_image().substr(0, 3 + 16 + 8 + 23 + 30 + 4),
                     {"runs past the end", "entry 1 at byte offset 50"}, 1},
        damaged_case{"unsafe_name", image_with_unsafe_second_name(),
                     {"could leave the target directory", "entry 1 at byte offset"}, 1},
        damaged_case{"name_too_long", build_image({{std::wstring(1100, L'n'), "x"}}),
                     {"does not fit 1024 code units", "entry 0 at byte offset 3"}, 0}),
    [](const testing::TestParamInfo<damaged_case>& info) { return std::string(info.param.label); });

TEST(attach, stores_the_image_as_it_is_and_list_reads_it_from_the_executable)
{
    scratch work(L"tool_attach");
    struct attach_case {
        const wchar_t* name;
        std::string image;
        unsigned long list_status;
    };
    // Damaged images too: attach never judges a payload.
    const attach_case cases[] = {
        {L"valid", valid_image(), 0},
        {L"wrong_magic", "KAY" + valid_image().substr(3), 1},
        {L"cut", valid_image().substr(0, 40), 1},
        {L"unsafe", image_with_unsafe_second_name(), 1},
    };
    for (const attach_case& test : cases) {
        std::wstring name = test.name;
        write_file(work / (name + L".img"), test.image);
        program_result attached = run_tool({L"attach", L"--launcher", launcher_stub_path(), L"--image", name + L".img",
                                            L"--output", name + L".exe"},
                                           work.path);
        ASSERT_EQ(attached.status, 0u) << to_utf8(name) << ": " << attached.err;
        std::string payload;
        std::vector<WORD> languages;
        ASSERT_TRUE(read_payload_resource(work / (name + L".exe"), &payload, &languages)) << to_utf8(name);
        EXPECT_TRUE(payload == test.image) << to_utf8(name);
        EXPECT_TRUE(checksum_matches(work / (name + L".exe"))) << to_utf8(name);

        program_result from_exe = run_tool({L"list", name + L".exe"}, work.path);
        program_result from_image = run_tool({L"list", name + L".img"}, work.path);
        EXPECT_EQ(from_exe.status, test.list_status) << to_utf8(name) << ": " << from_exe.err;
        EXPECT_EQ(from_exe.out, from_image.out) << to_utf8(name);
    }
}

// Every resource of an executable but the payload: type, name, language
// and bytes.
std::map<std::tuple<ULONG_PTR, ULONG_PTR, WORD>, std::string> other_resources(const std::wstring& exe)
{
    using key = std::tuple<ULONG_PTR, ULONG_PTR, WORD>;
    struct walk {
        HMODULE module;
        std::map<key, std::string> found;
    } state = {LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE), {}};
    EnumResourceTypesW(
        state.module,
        [](HMODULE module, LPWSTR type, LONG_PTR context) -> BOOL {
            EnumResourceNamesW(
                module, type,
                [](HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context) -> BOOL {
                    EnumResourceLanguagesW(
                        module, type, name,
                        [](HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR context) -> BOOL {
                            if (type == RT_RCDATA && name == MAKEINTRESOURCEW(27)) {
                                return TRUE;
                            }
                            HRSRC found = FindResourceExW(module, type, name, language);
                            const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
                            // Named resources are keyed by their first code unit: enough for a stub.
                            ULONG_PTR type_key = IS_INTRESOURCE(type) ? reinterpret_cast<ULONG_PTR>(type) : 0x10000 + type[0];
                            ULONG_PTR name_key = IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : 0x10000 + name[0];
                            reinterpret_cast<walk*>(context)->found[key(type_key, name_key, language)] =
                                std::string(data, SizeofResource(module, found));
                            return TRUE;
                        },
                        context);
                    return TRUE;
                },
                context);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&state));
    FreeLibrary(state.module);
    return state.found;
}

TEST(attach, replaces_an_earlier_payload_in_any_language_and_keeps_the_stub_resources)
{
    scratch work(L"tool_replace");
    std::wstring stub = work / L"stub.exe";
    ASSERT_TRUE(CopyFileW(launcher_stub_path().c_str(), stub.c_str(), FALSE));
    // An earlier payload in US English as well as a neutral one: the launcher
    // could find either, depending on the user's locale.
    HANDLE update = BeginUpdateResourceW(stub.c_str(), FALSE);
    ASSERT_NE(update, nullptr);
    std::string old_payload = build_image({{L"old.dll", "old"}});
    ASSERT_TRUE(UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCEW(27), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                &old_payload[0], static_cast<DWORD>(old_payload.size())));
    ASSERT_TRUE(UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCEW(27), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                                &old_payload[0], static_cast<DWORD>(old_payload.size())));
    ASSERT_TRUE(EndUpdateResourceW(update, FALSE));

    std::string image = valid_image();
    write_file(work / L"new.img", image);
    program_result attached =
        run_tool({L"attach", L"--launcher", L"stub.exe", L"--image", L"new.img", L"--output", L"app.exe"}, work.path);
    ASSERT_EQ(attached.status, 0u) << attached.err;
    std::string payload;
    std::vector<WORD> languages;
    ASSERT_TRUE(read_payload_resource(work / L"app.exe", &payload, &languages));
    EXPECT_TRUE(payload == image);
    EXPECT_EQ(languages, std::vector<WORD>{MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)});
    EXPECT_TRUE(checksum_matches(work / L"app.exe"));
    auto kept = other_resources(work / L"app.exe");
    EXPECT_FALSE(kept.empty());
    EXPECT_TRUE(kept == other_resources(launcher_stub_path())) << "the stub's icon, manifest or version changed";

    // The output may be the stub itself; an empty image leaves no payload.
    write_file(work / L"empty.img", "");
    attached = run_tool({L"attach", L"--launcher", L"app.exe", L"--image", L"empty.img", L"--output", L"app.exe"},
                        work.path);
    ASSERT_EQ(attached.status, 0u) << attached.err;
    EXPECT_FALSE(read_payload_resource(work / L"app.exe", &payload, &languages));
    EXPECT_TRUE(languages.empty());
    program_result listed = run_tool({L"list", L"app.exe"}, work.path);
    EXPECT_EQ(listed.status, 1u);
    EXPECT_NE(listed.err.find("has no payload"), std::string::npos) << listed.err;
}

TEST(attach, makes_a_valid_executable_of_a_signed_stub_and_says_that_the_signature_went)
{
    scratch work(L"tool_stub_layouts");
    // A signature: a certificate table after the sections, named by the
    // fifth data directory (at 152 in a PE32+ header) by file offset.
    std::string stub;
    ASSERT_TRUE(read_file(launcher_stub_path(), &stub));
    uint32_t pe = *reinterpret_cast<const uint32_t*>(&stub[0x3C]);
    uint32_t certificate[4] = {static_cast<uint32_t>(stub.size()), 24, 24, 0x00020200};
    memcpy(&stub[pe + 24 + 144], certificate, 8);
    stub += std::string(reinterpret_cast<const char*>(&certificate[2]), 8) + std::string(16, '\xA5');
    write_file(work / L"signed.exe", stub);
    write_file(work / L"app.img", valid_image());
    // The signature goes (it no longer matches), and a warning says so; the
    // status is that of a success.
    program_result attached =
        run_tool({L"attach", L"--launcher", L"signed.exe", L"--image", L"app.img", L"--output", L"app.exe"}, work.path);
    ASSERT_EQ(attached.status, 0u) << attached.err;
    EXPECT_NE(attached.out.find("payload of"), std::string::npos) << attached.out;
    std::vector<std::string> warning = lines_of(attached.err);
    ASSERT_EQ(warning.size(), 1u) << attached.err;
    EXPECT_EQ(warning[0].rfind("onefile-pack: warning: launcher stub '", 0), 0u) << warning[0];
    EXPECT_NE(warning[0].find("signed.exe' was signed"), std::string::npos) << warning[0];
    EXPECT_NE(warning[0].find("app.exe' and was left out, so sign that afresh"), std::string::npos) << warning[0];
    std::string payload;
    std::vector<WORD> languages;
    ASSERT_TRUE(read_payload_resource(work / L"app.exe", &payload, &languages));
    EXPECT_TRUE(payload == valid_image());
    EXPECT_TRUE(checksum_matches(work / L"app.exe"));
    std::string written;
    read_file(work / L"app.exe", &written);
    EXPECT_EQ(*reinterpret_cast<const uint64_t*>(&written[pe + 24 + 144]), 0u) << "a certificate table is left";

    // An unsigned stub gets no warning.
    attached = run_tool({L"attach", L"--launcher", L"app.exe", L"--image", L"app.img", L"--output", L"app.exe"},
                        work.path);
    EXPECT_EQ(attached.status, 0u);
    EXPECT_EQ(attached.err, "");
}

TEST(attach, refuses_a_missing_stub_or_image_or_a_stub_that_is_no_launcher_without_writing)
{
    scratch work(L"tool_attach_missing");
    write_file(work / L"app.img", valid_image());
    write_file(work / L"not_a_program.exe", "text");
    struct missing_case {
        std::vector<std::wstring> arguments;
        const char* message;
    };
    const missing_case cases[] = {
        {{L"--launcher", L"nowhere.exe", L"--image", L"app.img"}, "launcher stub 'nowhere.exe' not found"},
        {{L"--launcher", launcher_stub_path(), L"--image", L"nowhere.img"}, "image 'nowhere.img' not found"},
        {{L"--launcher", L"not_a_program.exe", L"--image", L"app.img"}, "is not a Windows executable"},
        // Other programs would run as themselves, the payload unseen.
        {{L"--launcher", pack_tool_path(), L"--image", L"app.img"}, "is not a onefile launcher"},
        {{L"--launcher", fixture_entry_path(), L"--image", L"app.img"}, "is not a onefile launcher"},
        // ... whatever else is wrong with it for the options given.
        {{L"--launcher", fixture_entry_path(), L"--image", L"app.img", L"--version", L"1.0"},
         "is not a onefile launcher"},
    };
    std::vector<std::wstring> before = list_files(work.path);
    for (const missing_case& test : cases) {
        std::vector<std::wstring> arguments = {L"attach", L"--output", L"app.exe"};
        arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
        program_result result = run_tool(arguments, work.path);
        EXPECT_EQ(result.status, 1u) << test.message;
        EXPECT_NE(result.err.find(test.message), std::string::npos) << result.err;
        EXPECT_EQ(list_files(work.path), before) << test.message;
    }
}

TEST(extract, unpacks_a_launcher_payload_into_a_new_directory)
{
    scratch work(L"tool_extract_exe");
    write_file(work / L"app.img", valid_image());
    ASSERT_EQ(run_tool({L"attach", L"--launcher", launcher_stub_path(), L"--image", L"app.img", L"--output",
                        L"app.exe"},
                       work.path)
                  .status,
              0u);
    program_result result = run_tool({L"extract", L"app.exe", L"--output", L"a\\b\\c"}, work.path);
    ASSERT_EQ(result.status, 0u) << result.err;
    std::vector<std::wstring> names;
    for (const image_entry& entry : sample_entries) {
        names.push_back(entry.name);
        std::string bytes;
        EXPECT_TRUE(read_file(work / (L"a\\b\\c\\" + entry.name), &bytes));
        EXPECT_TRUE(bytes == entry.data) << to_utf8(entry.name);
    }
    EXPECT_EQ(list_files(work / L"a\\b\\c"), names);
}

struct usage_case {
    const char* label;
    std::vector<std::wstring> arguments;
    unsigned long status;
    const char* in_err;  // null: stderr empty
    const char* in_out;  // null: stdout empty
};

void PrintTo(const usage_case& value, std::ostream* out) { *out << value.label; }

class usage : public testing::TestWithParam<usage_case> {};

TEST_P(usage, status_and_message)
{
    const usage_case& param = GetParam();
    scratch work(L"tool_usage");
    program_result result = run_tool(param.arguments, work.path);
    EXPECT_EQ(result.status, param.status) << result.err;
    if (param.in_err == nullptr) {
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_NE(result.err.find(param.in_err), std::string::npos) << result.err;
    }
    if (param.in_out == nullptr) {
        EXPECT_EQ(result.out, "");
    } else {
        EXPECT_NE(result.out.find(param.in_out), std::string::npos) << result.out;
    }
    EXPECT_TRUE(list_files(work.path).empty());
}

INSTANTIATE_TEST_SUITE_P(
    command_lines, usage,
    testing::Values(
        usage_case{"no_arguments", {}, 2, "usage:\n  onefile-pack build", nullptr},
        usage_case{"help", {L"--help"}, 0, nullptr, "examples:"},
        usage_case{"help_of_a_command", {L"pack", L"--help"}, 0, nullptr, "--keep-empty-dirs"},
        usage_case{"unknown_command", {L"frobnicate"}, 2, "onefile-pack: unknown command 'frobnicate'", nullptr},
        usage_case{"build_without_output", {L"build", L"main.dll"}, 2, "build needs --output", nullptr},
        usage_case{"build_without_main_library", {L"build", L"--output", L"x.img"}, 2, "needs a main library",
                   nullptr},
        usage_case{"attach_without_image", {L"attach", L"--launcher", L"s.exe", L"--output", L"x.exe"}, 2,
                   "attach needs --image", nullptr},
        usage_case{"unknown_option", {L"build", L"--output", L"x.img", L"--fast", L"main.dll"}, 2,
                   "unknown option '--fast'", nullptr},
        usage_case{"option_of_another_command", {L"list", L"--launcher", L"s.exe", L"x.img"}, 2,
                   "unknown option '--launcher' for list", nullptr},
        usage_case{"option_twice", {L"extract", L"x.img", L"--output", L"a", L"--output=b"}, 2,
                   "option '--output' given twice", nullptr},
        usage_case{"option_without_value", {L"extract", L"x.img", L"--output"}, 2, "'--output' needs a value",
                   nullptr},
        usage_case{"list_two_images", {L"list", L"a.img", L"b.img"}, 2, "unexpected argument 'b.img'", nullptr},
        usage_case{"list_nothing", {L"list"}, 2, "list needs an image", nullptr},
        usage_case{"list_missing_file", {L"list", L"gone.img"}, 1, "onefile-pack: 'gone.img' not found", nullptr}),
    [](const testing::TestParamInfo<usage_case>& info) { return std::string(info.param.label); });

}  // namespace
