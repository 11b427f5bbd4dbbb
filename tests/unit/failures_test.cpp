#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/failures.h"

namespace {

std::wstring lookup(unsigned long code, unsigned long language)
{
    wchar_t text[2048];
    size_t length = system_error_text(code, language, text, 2048);
    EXPECT_EQ(length, wcslen(text));
    return text;
}

// US English where the system has it, as the launcher has always written;
// on an installation without those texts (here: a language that has none
// anywhere) the system's own language, never nothing; one line.
TEST(system_error_text, us_english_else_the_systems_own_language)
{
    constexpr unsigned long us_english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    constexpr unsigned long without_texts = MAKELANGID(LANG_INVARIANT, SUBLANG_NEUTRAL);
    wchar_t probe[2048];
    ASSERT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED,
                             without_texts, probe, 2048, nullptr),
              0u)
        << "the system has texts in the language that was to have none";
    std::wstring english = lookup(ERROR_ACCESS_DENIED, us_english);
    std::wstring fallback = lookup(ERROR_ACCESS_DENIED, without_texts);
    EXPECT_FALSE(fallback.empty());
    EXPECT_EQ(fallback, lookup(ERROR_ACCESS_DENIED, 0));
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED, us_english,
                   probe, 2048, nullptr);
    EXPECT_EQ(english + L"\r\n", probe) << "the system's text, its closing line break dropped";
    EXPECT_EQ(lookup(0xDEADBEEF, us_english), L"") << "a code without any text";
    wchar_t small[4] = L"xyz";
    EXPECT_EQ(system_error_text(ERROR_ACCESS_DENIED, us_english, small, 4), 0u) << "a text that does not fit";
    EXPECT_EQ(small[0], 0);
}

// Session 0 is the services' (and since Vista nobody's desktop), whatever
// its window station says; Wine runs everything in session 1, so only this
// test shows that half.
TEST(failure_box_can_be_seen, only_in_a_users_session_on_a_visible_station)
{
    EXPECT_TRUE(failure_box_can_be_seen(1, WSF_VISIBLE));
    EXPECT_TRUE(failure_box_can_be_seen(2, WSF_VISIBLE | 0x8));
    EXPECT_FALSE(failure_box_can_be_seen(1, 0));
    EXPECT_FALSE(failure_box_can_be_seen(0, WSF_VISIBLE));
}

}  // namespace
