// What the launcher does with a payload it cannot use, seen from outside:
// the message, the status, and that nothing was created.
#include <gtest/gtest.h>

#include "outside/launcher_fixture.h"

namespace {

const char header_message[] = "Error, couldn't find attached data header.\n";

struct bad_image_case {
    const char* label;
    std::string image;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const bad_image_case& value, std::ostream* out)
{
    *out << value.label;
}

class bad_header : public testing::TestWithParam<bad_image_case> {};

TEST_P(bad_header, is_refused_before_anything_is_created)
{
    built_launcher app = build_launcher_from_image(L"header", GetParam().image);
    std::wstring start = unique_start_value();
    program_result result = run_launcher(app.exe, {L"--report"}, start);
    EXPECT_EQ(result.status, 2u);
    EXPECT_EQ(result.out, header_message);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(target_directories(start).empty());
    remove_tree(app.directory);
}

std::string valid_tail()
{
    // Entries after a wrong magic must not matter.
    return build_image({{L"main.dll", "x"}}).substr(3);
}

INSTANTIATE_TEST_SUITE_P(
    images, bad_header,
    testing::Values(bad_image_case{"third_byte_Y", "KAY" + valid_tail()},
                    bad_image_case{"lower_case", "kax" + valid_tail()},
                    bad_image_case{"two_bytes", "KA"}, bad_image_case{"empty", ""},
                    bad_image_case{"name_runs_past_end", std::string("KAX") + std::string("m\0a\0i\0n", 7)}),
    [](const testing::TestParamInfo<bad_image_case>& info) { return std::string(info.param.label); });

TEST(bad_header, launcher_without_payload_is_refused)
{
    std::wstring start = unique_start_value();
    program_result result = run_launcher(launcher_stub_path(), {}, start);
    EXPECT_EQ(result.status, 2u);
    EXPECT_EQ(result.out, header_message);
    EXPECT_TRUE(target_directories(start).empty());
}

TEST(header, well_formed_payload_runs_and_exports_the_start_time)
{
    built_launcher app = build_launcher(L"header_ok", {{L"test_app.dll", test_library_bytes()}});
    program_options options;
    options.environment[L"TALMIR_ONEFILE_START"] = std::nullopt;
    program_result result = run_launcher(app.exe, {L"--report"}, L"", options);
    ASSERT_EQ(result.status, 0u) << result.out << result.err;
    app_report report = parse_report(result.out);
    std::optional<std::wstring> start = report.environment[L"TALMIR_ONEFILE_START"];
    ASSERT_TRUE(start.has_value());
    // A count of 100 ns intervals since 1601: digits only, and well past
    // the year 2000 (about 1.26e17).
    EXPECT_EQ(start->find_first_not_of(L"0123456789"), std::wstring::npos);
    EXPECT_GT(std::stoull(*start), 126000000000000000ull);
    EXPECT_EQ(report.directory,
              temp_directory() + L"\\onefile_" + *report.environment[L"TALMIR_ONEFILE_PARENT"] + L"_" + *start);
    remove_tree(app.directory);
}

// An internal limit ends the process with status 3 and says nothing, before
// anything is written: here an argument that leaves no room in the child's
// command line once element 0 is the executable's full path.
TEST(internal_limit, ends_silently_with_status_3)
{
    built_launcher app = build_launcher(L"limit", {{L"test_app.dll", test_library_bytes()}});
    std::wstring start = unique_start_value();
    program_options options;
    options.environment[L"TALMIR_ONEFILE_START"] = start;
    options.environment[L"TALMIR_ONEFILE_PARENT"] = std::nullopt;
    // Started as "a"; the child's line, full path first, needs 32767 units
    // and the terminator.
    program_result result = run_program(app.exe, L"a " + std::wstring(32766 - app.exe.size(), L'x'), options);
    EXPECT_EQ(result.status, 3u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(target_directories(start).empty());
    remove_tree(app.directory);
}

}  // namespace
