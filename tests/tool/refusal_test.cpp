// Inputs that build and pack refuse, and identity options that pack and
// attach refuse: one line naming the offender and the reason, a non-zero
// status, and no file written or changed.
#include <gtest/gtest.h>

#include <algorithm>

#include "neutral/name_case.h"
#include "tool_test_support.h"

namespace {

uint32_t pe_offset(const std::string& bytes)
{
    return static_cast<uint8_t>(bytes[0x3C]) | (static_cast<uint8_t>(bytes[0x3D]) << 8) |
           (static_cast<uint8_t>(bytes[0x3E]) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(bytes[0x3F])) << 24);
}

std::string patched(std::string bytes, size_t at, std::initializer_list<uint8_t> values)
{
    for (uint8_t value : values) {
        bytes[at++] = static_cast<char>(value);
    }
    return bytes;
}

// The same inputs for every case; each case picks what it passes.
void make_inputs(const std::wstring& root)
{
    std::string entry = fixture_entry_bytes();
    std::string other;
    read_file(fixture_other_path(), &other);
    uint32_t pe = pe_offset(entry);
    put_file(root, L"main.dll", entry);
    put_file(root, L"other.dll", other);
    std::string mangled;
    std::string runtime;
    read_file(fixture_mangled_path(), &mangled);
    read_file(fixture_runtime_path(), &runtime);
    put_file(root, L"mangled.dll", mangled);
    put_file(root, L"runtime.dll", runtime);
    put_file(root, L"x86.dll", patched(entry, pe + 4, {0x4C, 0x01}));     // machine i386
    put_file(root, L"pe32.dll", patched(entry, pe + 24, {0x0B, 0x01}));   // PE32 optional header
    put_file(root, L"exports.dll", patched(entry, pe + 24 + 112, {0xF0, 0xFF, 0xFF, 0x7F}));  // export RVA
    put_file(root, L"cut.dll", entry.substr(0, 1024));
    put_file(root, L"plain.txt", "not a program");
    put_file(root, L"a.txt", "a");
    put_file(root, L"notes.txt", "notes");
    put_file(root, L"data\\readme.txt", "readme");
    put_file(root, L"devices\\aux.txt", "a device name on Windows");
    put_file(root, L"trail\\name.", "Windows would drop the dot");
    put_directory(root, L"hollow\\aux");  // empty, so only its own name is stored
}

struct refusal_case {
    const char* label;
    std::vector<std::wstring> inputs;  // MAIN_LIBRARY [INPUT ...]
    std::vector<std::string> message;  // parts the one-line message holds
    unsigned long status;
};

// Test names show the label rather than the bytes of the case.
void PrintTo(const refusal_case& value, std::ostream* out) { *out << value.label; }

class refusal : public testing::TestWithParam<refusal_case> {};

void expect_refused(const program_result& result, const refusal_case& param, const char* command)
{
    EXPECT_EQ(result.status, param.status) << command << ": " << result.err;
    EXPECT_EQ(result.out, "") << command;
    std::vector<std::string> lines = lines_of(result.err);
    ASSERT_EQ(lines.size(), 1u) << command << ": " << result.err;
    EXPECT_EQ(lines[0].rfind("onefile-pack: ", 0), 0u) << command << ": " << lines[0];
    for (const std::string& part : param.message) {
        EXPECT_NE(lines[0].find(part), std::string::npos) << command << ": '" << part << "' not in: " << lines[0];
    }
}

TEST_P(refusal, leaves_no_output_and_names_the_offender)
{
    const refusal_case& param = GetParam();
    scratch work(L"tool_refusal");
    make_inputs(work.path);
    std::vector<std::wstring> before = list_files(work.path);

    std::vector<std::wstring> build = {L"build", L"--output", L"out.img"};
    build.insert(build.end(), param.inputs.begin(), param.inputs.end());
    expect_refused(run_tool(build, work.path), param, "build");
    EXPECT_EQ(list_files(work.path), before) << "build wrote something";

    std::vector<std::wstring> pack = {L"pack", L"--launcher", launcher_stub_path(), L"--output", L"out.exe"};
    pack.insert(pack.end(), param.inputs.begin(), param.inputs.end());
    expect_refused(run_tool(pack, work.path), param, "pack");
    EXPECT_EQ(list_files(work.path), before) << "pack wrote something";
}

class identity_refusal : public testing::TestWithParam<refusal_case> {};

TEST_P(identity_refusal, leaves_no_output_from_pack_or_attach)
{
    const refusal_case& param = GetParam();
    scratch work(L"tool_identity_refusal");
    make_inputs(work.path);
    put_file(work.path, L"app.img", build_image({{L"main.dll", fixture_entry_bytes()}}));
    put_file(work.path, L"pointer.cur", std::string("\0\0\x02\0\x01\0", 6) + std::string(56, '\0'));
    put_file(work.path, L"cut.ico", std::string("\0\0\x01\0\x01\0\x10\x10\0\0\x01\0\x20\0\xff\0\0\0\x16\0\0\0", 22));
    put_file(work.path, L"open.manifest",
             "<assembly xmlns='urn:schemas-microsoft-com:asm.v1' manifestVersion='1.0'>\n<trustInfo>");
    put_file(work.path, L"other.manifest", "<application/>");
    std::vector<std::wstring> before = list_files(work.path);

    std::vector<std::wstring> pack = {L"pack", L"--launcher", launcher_stub_path(), L"--output", L"out.exe"};
    pack.insert(pack.end(), param.inputs.begin(), param.inputs.end());
    pack.push_back(L"main.dll");
    expect_refused(run_tool(pack, work.path), param, "pack");
    std::vector<std::wstring> attach = {L"attach", L"--launcher", launcher_stub_path(), L"--image", L"app.img",
                                        L"--output", L"out.exe"};
    attach.insert(attach.end(), param.inputs.begin(), param.inputs.end());
    expect_refused(run_tool(attach, work.path), param, "attach");
    EXPECT_EQ(list_files(work.path), before) << "something was written";
}

INSTANTIATE_TEST_SUITE_P(
    options, identity_refusal,
    testing::Values(
        refusal_case{"icon_not_an_icon", {L"--icon", L"plain.txt"},
                     {"icon 'plain.txt' is not an icon file (.ico)", "does not start with an icon directory"}, 1},
        refusal_case{"icon_a_cursor", {L"--icon", L"pointer.cur"}, {"'pointer.cur'", "a cursor file"}, 1},
        refusal_case{"icon_image_cut", {L"--icon", L"cut.ico"}, {"'cut.ico'", "its image 1 lies outside the file"}, 1},
        refusal_case{"icon_missing", {L"--icon", L"absent.ico"}, {"icon 'absent.ico' not found"}, 1},
        refusal_case{"version_not_numbers", {L"--version", L"1.2.x"},
                     {"--version '1.2.x' is not 1 to 4 numbers from 0 to 65535"}, 1},
        refusal_case{"version_too_large", {L"--version", L"1.65536"}, {"--version '1.65536'"}, 1},
        refusal_case{"execution_level_unknown", {L"--execution-level", L"administrator"},
                     {"'administrator' is none of asInvoker, highestAvailable, requireAdministrator"}, 1},
        refusal_case{"manifest_and_level", {L"--manifest", L"other.manifest", L"--execution-level", L"asInvoker"},
                     {"exclude each other"}, 2},
        refusal_case{"manifest_not_closed", {L"--manifest", L"open.manifest"},
                     {"manifest 'open.manifest' is not a well-formed", "line 2: element <trustInfo> is not closed"}, 1},
        refusal_case{"manifest_not_an_assembly", {L"--manifest", L"other.manifest"},
                     {"its root element is <application>"}, 1},
        refusal_case{"template_without_time", {L"--target-directory", L"{TEMP}\\app_{PID}"}, {"lacks {TIME}"}, 1},
        refusal_case{"template_unknown_placeholder", {L"--target-directory", L"{TEMP}\\{APPDATA}_{PID}_{TIME}"},
                     {"unknown placeholder ('{APPDATA}')"}, 1},
        refusal_case{"template_trailing_separator", {L"--target-directory", L"{TEMP}/app_{PID}_{TIME}/"},
                     {"ends with a separator"}, 1},
        refusal_case{"template_relative", {L"--target-directory", L"app_{PID}_{TIME}"}, {"must start with {TEMP}"},
                     1},
        refusal_case{"cache_template_per_run", {L"--cache", L"--target-directory", L"{CACHE_DIR}\\app_{TIME}"},
                     {"--target-directory '{CACHE_DIR}\\app_{TIME}': with the cache every run shares one directory"},
                     1}),
    [](const testing::TestParamInfo<refusal_case>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    names, refusal,
    testing::Values(
        refusal_case{"parent_component", {L"main.dll", L"a.txt=..\\escape.txt"}, {"'..\\escape.txt'", "\"..\""}, 1},
        refusal_case{"drive_colon", {L"main.dll", L"a.txt=c:evil.txt"}, {"'c:evil.txt'", "colon"}, 1},
        refusal_case{"doubled_separator", {L"main.dll", L"a.txt=docs//a.txt"}, {"'docs\\\\a.txt'", "empty component"}, 1},
        refusal_case{"reserved_device", {L"main.dll", L"a.txt=CON.txt"}, {"'CON.txt'", "reserved device"}, 1},
        refusal_case{"reserved_device_in_a_tree", {L"main.dll", L"devices"}, {"'devices\\aux.txt'", "reserved device"}, 1},
        refusal_case{"superscript_device", {L"main.dll", L"a.txt=COM\u00b3.txt"}, {"reserved device"}, 1},
        refusal_case{"kept_empty_directory_with_a_device_name",
                     {L"--keep-empty-dirs", L"main.dll", L"hollow"},
                     {"'hollow\\aux\\.keep_dir.txt'", "reserved device"}, 1},
        refusal_case{"trailing_dot_in_a_tree", {L"main.dll", L"trail"}, {"'trail\\name.'", "ends in a dot"}, 1},
        refusal_case{"forbidden_character", {L"main.dll", L"a.txt=what?.txt"}, {"'what?.txt'", "one of < >"}, 1},
        refusal_case{"main_library_name", {L"main.dll=NUL.dll"}, {"'NUL.dll'", "reserved device"}, 1},
        refusal_case{"empty_name_for_a_file", {L"main.dll", L"a.txt="}, {"'a.txt='", "needs a name"}, 1},
        refusal_case{"no_source_before_equals", {L"main.dll", L"=x.txt"}, {"'=x.txt'", "no path"}, 2}),
    [](const testing::TestParamInfo<refusal_case>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    collisions, refusal,
    testing::Values(
        refusal_case{"case_only", {L"main.dll", L"a.txt=Notes.txt", L"notes.txt"},
                     {"'Notes.txt'", "'notes.txt'", "differ only in case"}, 1},
        refusal_case{"case_only_across_a_directory", {L"main.dll", L"data", L"notes.txt=DATA/README.TXT"},
                     {"'DATA\\README.TXT'", "'data\\readme.txt'", "differ only in case"}, 1},
        refusal_case{"case_only_with_the_main_library", {L"main.dll", L"a.txt=MAIN.DLL"},
                     {"'MAIN.DLL'", "'main.dll'", "differ only in case"}, 1},
        refusal_case{"same_input_twice", {L"main.dll", L"a.txt", L"a.txt"}, {"stored as 'a.txt'"}, 1},
        refusal_case{"file_where_a_directory_is_needed", {L"main.dll", L"a.txt=data", L"data"},
                     {"'data'", "'data\\readme.txt' needs a directory"}, 1}),
    [](const testing::TestParamInfo<refusal_case>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    inputs, refusal,
    testing::Values(
        refusal_case{"missing_input", {L"main.dll", L"missing.txt"}, {"'missing.txt' not found"}, 1},
        refusal_case{"missing_main_library", {L"absent.dll", L"a.txt"}, {"main library 'absent.dll' not found"}, 1},
        refusal_case{"main_library_is_a_directory", {L"data"}, {"'data' is a directory"}, 1},
        refusal_case{"main_library_is_text", {L"plain.txt"}, {"'plain.txt'", "no MZ/PE header"}, 1},
        refusal_case{"main_library_is_32_bit", {L"x86.dll"}, {"'x86.dll'", "not a 64-bit", "0x014C"}, 1},
        refusal_case{"main_library_is_pe32", {L"pe32.dll"}, {"'pe32.dll'", "not a 64-bit"}, 1},
        refusal_case{"main_library_without_run_code", {L"other.dll"}, {"'other.dll'", "does not export run_code"}, 1},
        refusal_case{"main_library_export_table_outside", {L"exports.dll"}, {"'exports.dll'", "damaged export table"}, 1},
        refusal_case{"main_library_cut_short", {L"cut.dll"}, {"'cut.dll'", "damaged"}, 1},
        refusal_case{"run_code_without_extern_c", {L"mangled.dll"},
                     {"'mangled.dll'", "only under its C++ name '_Z8run_codeiPPw'", "extern \"C\""}, 1}),
    [](const testing::TestParamInfo<refusal_case>& info) { return std::string(info.param.label); });

// The DLLs a main library needs must be system DLLs or lie beside it in the
// payload, where the loader looks; the runtime DLLs of the compiler that
// built it are neither.
INSTANTIATE_TEST_SUITE_P(
    imports, refusal,
    testing::Values(
        refusal_case{"runtime_dll_missing", {L"runtime.dll"},
                     {"main library 'runtime.dll' needs DLLs that are neither system DLLs nor in the payload",
                      ": libstdc++-6.dll;", "--allow-dll NAME"}, 1},
        refusal_case{"runtime_dll_elsewhere_in_the_payload", {L"runtime.dll", L"a.txt=lib/libstdc++-6.dll"},
                     {": libstdc++-6.dll;"}, 1},
        refusal_case{"runtime_dll_allowed_under_another_name", {L"--allow-dll", L"libstdc++.dll", L"runtime.dll"},
                     {": libstdc++-6.dll;"}, 1},
        refusal_case{"runtime_dll_beside_that_is_no_dll", {L"runtime.dll", L"a.txt=LIBSTDC++-6.DLL"},
                     {"'LIBSTDC++-6.DLL' in the payload, needed by 'runtime.dll', is not a Windows DLL"}, 1},
        // A main library stored in a directory: its DLLs are looked for in
        // that directory, not at the payload's top level.
        refusal_case{"main_library_in_a_directory_runtime_dll_at_the_top",
                     {L"runtime.dll=bin/runtime.dll", L"main.dll=libstdc++-6.dll"}, {": libstdc++-6.dll;"}, 1},
        refusal_case{"main_library_in_a_directory_runtime_dll_beside_it",
                     {L"runtime.dll=bin/runtime.dll", L"a.txt=bin/LIBSTDC++-6.DLL"},
                     {"'bin\\LIBSTDC++-6.DLL' in the payload", "is not a Windows DLL"}, 1}),
    [](const testing::TestParamInfo<refusal_case>& info) { return std::string(info.param.label); });

// What an executable keeps of its stub must suit it: a stub that uses the
// cache passes it on, a stub's template for every run cannot name the
// cache's, and an empty image gives the cache nothing to name.
TEST(refusal_of, what_does_not_suit_the_cache_a_stub_uses_or_is_given)
{
    scratch work(L"tool_cache_refusal");
    put_file(work.path, L"app.img", build_image({{L"main.dll", fixture_entry_bytes()}}));
    put_file(work.path, L"empty.img", "");
    ASSERT_EQ(run_tool({L"attach", L"--cache", L"--launcher", launcher_stub_path(), L"--image", L"app.img",
                        L"--output", L"cached.exe"},
                       work.path)
                  .status,
              0u);
    ASSERT_EQ(run_tool({L"attach", L"--launcher", launcher_stub_path(), L"--image", L"app.img", L"--output",
                        L"per_run.exe", L"--target-directory", L"{TEMP}\\run_{PID}_{TIME}"},
                       work.path)
                  .status,
              0u);
    std::vector<std::wstring> before = list_files(work.path);
    const refusal_case cases[] = {
        {"a template for every run, from a stub that uses the cache",
         {L"cached.exe", L"app.img", L"--target-directory", L"{TEMP}\\run_{PID}_{TIME}"},
         {"'{TEMP}\\run_{PID}_{TIME}': with the cache every run shares one directory", "cached.exe' uses the cache"},
         1},
        {"the stub's template for every run, with --cache",
         {L"per_run.exe", L"app.img", L"--cache"},
         {"per_run.exe' stores the target directory template '{TEMP}\\run_{PID}_{TIME}', which an executable that "
          "uses the cache cannot keep: with the cache every run shares",
          "; give --target-directory"},
         1},
        {"an empty image with --cache", {launcher_stub_path(), L"empty.img", L"--cache"}, {"the image is empty"}, 1},
        {"an empty image for a stub that uses the cache", {L"cached.exe", L"empty.img"},
         {"the image is empty", "the launcher stub uses the cache"}, 1},
    };
    for (const refusal_case& c : cases) {
        std::vector<std::wstring> attach = {L"attach", L"--launcher", c.inputs[0], L"--image", c.inputs[1],
                                            L"--output", L"out.exe"};
        attach.insert(attach.end(), c.inputs.begin() + 2, c.inputs.end());
        expect_refused(run_tool(attach, work.path), c, c.label);
        EXPECT_EQ(list_files(work.path), before) << c.label << ": something was written";
    }
}

TEST(refusal_of, names_equal_but_for_case_exactly_where_the_system_says_so)
{
    // Every 16-bit code unit, ordered by its upper case as the tool folds
    // it: each must compare with the next as the system's ordinal comparison
    // with case ignored does (equal, or less), so that the tool refuses the
    // very pairs of names that Windows would store as one file.
    std::vector<uint16_t> order(0x10000);
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = static_cast<uint16_t>(i);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](uint16_t a, uint16_t b) { return name_upper_case(a) < name_upper_case(b); });
    int wrong = 0;
    for (size_t i = 1; i < order.size() && wrong < 10; ++i) {
        wchar_t a = order[i - 1];
        wchar_t b = order[i];
        int expected = name_upper_case(a) == name_upper_case(b) ? CSTR_EQUAL : CSTR_LESS_THAN;
        int system = CompareStringOrdinal(&a, 1, &b, 1, TRUE);
        if (system != expected) {
            ADD_FAILURE() << std::hex << "U+" << static_cast<unsigned>(a) << " and U+" << static_cast<unsigned>(b)
                          << ": the system says " << system << ", the tool " << expected;
            ++wrong;
        }
    }
}

TEST(refusal_of, an_executable_as_main_library)
{
    // The tool itself: 64-bit, a valid PE, but not a DLL.
    scratch work(L"tool_exe_main");
    program_result result = run_tool({L"build", L"--output", L"out.img", pack_tool_path()}, work.path);
    EXPECT_EQ(result.status, 1u);
    EXPECT_NE(result.err.find("an executable, not a DLL"), std::string::npos) << result.err;
    EXPECT_TRUE(list_files(work.path).empty());
}

}  // namespace
