#include "neutral/wide_bounded.h"

#include <gtest/gtest.h>
#include <wchar.h>

#include <memory>
#include <string>

namespace {

enum operation { copy_op, append_op, append_char_op, append_narrow_op };

// Runs one operation on an exactly sized heap buffer, so that a write past
// the capacity is caught by AddressSanitizer rather than by the check.
std::wstring run(operation op, const std::wstring& initial, const std::wstring& argument, size_t capacity)
{
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[capacity]);
    wmemset(buffer.get(), L'#', capacity);
    wmemcpy(buffer.get(), initial.c_str(), initial.size() + 1);
    std::string narrow(argument.begin(), argument.end());
    switch (op) {
    case copy_op: copy_wide_bounded(buffer.get(), argument.c_str(), capacity); break;
    case append_op: append_wide_bounded(buffer.get(), argument.c_str(), capacity); break;
    case append_char_op: append_wide_char_bounded(buffer.get(), argument[0], capacity); break;
    case append_narrow_op: append_narrow_bounded(buffer.get(), narrow.c_str(), capacity); break;
    }
    return std::wstring(buffer.get());
}

struct bounded_case {
    const char* what;
    operation op;
    std::wstring initial;
    std::wstring argument;
    size_t capacity;
    const wchar_t* expected;  // nullptr: the process ends with status 3
};

const bounded_case cases[] = {
    {"copy of capacity-1 units", copy_op, L"old", L"abcd", 5, L"abcd"},
    {"copy of capacity units", copy_op, L"", L"abcde", 5, nullptr},
    {"copy of empty into one unit", copy_op, L"", L"", 1, L""},
    {"copy replaces longer content", copy_op, L"abcd", L"x", 5, L"x"},
    {"append up to capacity-1", append_op, L"ab", L"cd", 5, L"abcd"},
    {"append one past", append_op, L"ab", L"cde", 5, nullptr},
    {"append empty to a full buffer", append_op, L"abcd", L"", 5, L"abcd"},
    {"append char into the last place", append_char_op, L"abc", L"d", 5, L"abcd"},
    {"append char to a full buffer", append_char_op, L"abcd", L"e", 5, nullptr},
    {"append narrow up to capacity-1", append_narrow_op, L"p", L"1234", 6, L"p1234"},
    {"append narrow one past", append_narrow_op, L"p", L"12345", 6, nullptr},
    {"append narrow empty to a full buffer", append_narrow_op, L"abcd", L"", 5, L"abcd"},
};

TEST(wide_bounded, capacity_boundaries)
{
    for (const bounded_case& c : cases) {
        if (c.expected != nullptr) {
            EXPECT_EQ(run(c.op, c.initial, c.argument, c.capacity), c.expected) << c.what;
        } else {
            EXPECT_EXIT(run(c.op, c.initial, c.argument, c.capacity), testing::ExitedWithCode(3), "") << c.what;
        }
    }
}

TEST(wide_bounded, broken_buffers_and_arguments_end_the_process)
{
    wchar_t unterminated[4] = {L'a', L'b', L'c', L'd'};
    EXPECT_EXIT(append_wide_bounded(unterminated, L"", 4), testing::ExitedWithCode(3), "");
    EXPECT_EXIT(append_wide_char_bounded(unterminated, L'x', 4), testing::ExitedWithCode(3), "");
    EXPECT_EXIT(append_narrow_bounded(unterminated, "", 4), testing::ExitedWithCode(3), "");
    EXPECT_EXIT(copy_wide_bounded(unterminated, unterminated, 4), testing::ExitedWithCode(3), "");
    wchar_t buffer[4] = {0};
    EXPECT_EXIT(copy_wide_bounded(buffer, L"", 0), testing::ExitedWithCode(3), "");
    EXPECT_EXIT(copy_wide_bounded(buffer, nullptr, 4), testing::ExitedWithCode(3), "");
    EXPECT_EXIT(append_narrow_bounded(buffer, nullptr, 4), testing::ExitedWithCode(3), "");
}

TEST(wide_bounded, copy_onto_itself_keeps_the_text)
{
    wchar_t buffer[4] = {L'a', L'b', L'c', 0};
    copy_wide_bounded(buffer, buffer, 4);
    EXPECT_STREQ(buffer, L"abc");
}

}  // namespace
