#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "launcher/environment.h"
#include "support/process.h"

namespace {

std::wstring read(const char* name)
{
    wchar_t* value = get_environment_value(name);
    if (value == nullptr) {
        return L"<absent>";
    }
    std::wstring copy = value;
    free(value);
    return copy;
}

TEST(environment, set_get_unset_and_what_reads_as_absent)
{
    set_environment_value("ONEFILE_TEST_VALUE", L"caf\u00e9 \u65e5");
    EXPECT_EQ(read("ONEFILE_TEST_VALUE"), L"caf\u00e9 \u65e5");
    unset_environment_value("ONEFILE_TEST_VALUE");
    EXPECT_EQ(read("ONEFILE_TEST_VALUE"), L"<absent>");
    set_environment_value("ONEFILE_TEST_VALUE", L"");
    EXPECT_EQ(read("ONEFILE_TEST_VALUE"), L"<absent>") << "empty reads as absent";
}

TEST(environment, longest_value_the_platform_allows_is_read_whole)
{
    // Windows keeps values of up to 32767 code units. Wine passes them
    // through a string whose byte length is 16-bit, so it hands back at
    // most 32766 of them: the longest it can show.
    std::wstring longest(running_under_wine() ? 32766 : 32767, L'v');
    ASSERT_TRUE(set_environment_value("ONEFILE_TEST_LONG", longest.c_str()));
    std::wstring back = read("ONEFILE_TEST_LONG");
    EXPECT_EQ(back.size(), longest.size());
    EXPECT_TRUE(back == longest);
    unset_environment_value("ONEFILE_TEST_LONG");
}

TEST(environment, names_of_39_bytes_pass_and_40_end_the_process)
{
    std::string name39(39, 'N');
    set_environment_value(name39.c_str(), L"x");
    EXPECT_EQ(read(name39.c_str()), L"x");
    std::string name40(40, 'N');
    EXPECT_EXIT(get_environment_value(name40.c_str()), testing::ExitedWithCode(3), "");
}

}  // namespace
