#include "neutral/command_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "argument_splitter.h"

namespace {

constexpr size_t line_capacity = 32768;

std::wstring quoted(const std::wstring& argument)
{
    std::vector<wchar_t> line(line_capacity, 0);
    append_quoted_argument(line.data(), argument.c_str(), line_capacity);
    return std::wstring(line.data());
}

std::wstring joined(const std::vector<std::wstring>& arguments, size_t capacity = line_capacity)
{
    std::vector<wchar_t*> pointers;
    for (const std::wstring& argument : arguments) {
        pointers.push_back(const_cast<wchar_t*>(argument.c_str()));
    }
    std::vector<wchar_t> line(capacity, L'#');
    build_command_line(line.data(), capacity, pointers.data(), static_cast<int>(pointers.size()));
    return std::wstring(line.data());
}

TEST(command_line, quoting)
{
    struct {
        const wchar_t* argument;
        const wchar_t* expected;
    } cases[] = {
        {L"a b", L"\"a b\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"a\\b", L"a\\b"},
        {L"a\\b c", L"\"a\\b c\""},
        {L"\"", L"\"\\\"\""},
        {L"", L"\"\""},
        {L"dir x\\", L"\"dir x\\\\\""},
        {L"dir x\\\\", L"\"dir x\\\\\\\\\""},
        {L"trail\\", L"trail\\"},
        {L"tab\there", L"\"tab\there\""},
        {L"line\nfeed", L"\"line\nfeed\""},
        {L"vertical\vtab", L"\"vertical\vtab\""},
        {L"\u00e9\u4e2d", L"\u00e9\u4e2d"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoted(c.argument), c.expected) << c.argument;
    }
}

void expect_round_trip(const std::vector<std::wstring>& arguments)
{
    std::wstring line = joined(arguments);
    std::vector<std::wstring> split;
    split_command_line(line.c_str(), &split);
    EXPECT_EQ(split, arguments) << "line: " << line.c_str();
}

TEST(command_line, splitting_gives_the_elements_back)
{
    const std::vector<std::vector<std::wstring>> tables = {
        {L"C:\\Program Files\\app.exe", L"plain", L"two words"},
        {L"x", L"", L"", L"after empties", L""},
        {L"", L"\\", L""},
        {L"\\", L"\\\\", L"\\\"", L"\"\\", L"\\ \\", L" \\"},
        {L"\"\"", L"\"\"\"", L"a\"\"b", L"\" \""},
        {L"\t", L" ", L"  leading", L"trailing  ", L"mid\t\ttabs"},
        {L"ends with \\\\\\", L"\\\\\\\" x", L"a\\\\b c\\"},
        {L"\n", L"\v", L"a\nb\\"},
    };
    for (const auto& arguments : tables) {
        expect_round_trip(arguments);
    }
}

TEST(command_line, splitting_gives_random_elements_back)
{
    const wchar_t alphabet[] = {L' ', L'\t', L'"', L'\\', L'\\', L'a', L'b', L'\n', L'\v', L'\u00e9', L'{'};
    std::mt19937 random(20240607);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::wstring> arguments(random() % 5);
        for (std::wstring& argument : arguments) {
            size_t length = random() % 9;
            for (size_t i = 0; i < length; ++i) {
                argument += alphabet[random() % (sizeof alphabet / sizeof alphabet[0])];
            }
        }
        expect_round_trip(arguments);
    }
}

TEST(command_line, needs_exactly_its_length_plus_terminator)
{
    // An empty element counts its two quotes.
    const std::vector<std::wstring> arguments = {L"a b", L"c\\\"", L"d\\", L""};
    const std::wstring expected = L"\"a b\" \"c\\\\\\\"\" d\\ \"\"";
    EXPECT_EQ(joined(arguments, expected.size() + 1), expected);
    EXPECT_EXIT(joined(arguments, expected.size()), testing::ExitedWithCode(3), "");
}

// Lines that any splitter takes apart alike after the program name, so that a
// start can take the runtime's elements instead of loading the shell's
// splitter; the reference splitter agrees on each of them with a plain split
// at blanks and tabs.
TEST(command_line, plain_lines_are_told_from_those_that_need_the_shell)
{
    struct {
        const wchar_t* line;
        bool plain;
    } cases[] = {
        {L"app.exe", true},
        {L"app.exe --flag C:\\dir\\ x\\\\y  two\tparts", true},
        {L"\"C:\\Program Files\\app.exe\" a b", true},
        {L"\"C:\\no end", true},
        {L"app.exe \"a b\"", false},
        {L"app.exe a\\\"b", false},
        {L"app\"x y\" z", false},
        {L"\"app.exe\"x \"\"", false},
        {L"", true},
    };
    for (const auto& c : cases) {
        std::string label(c.line, c.line + wcslen(c.line));
        EXPECT_EQ(command_line_splits_plainly(c.line), c.plain) << label;
        if (!c.plain) {
            continue;
        }
        // After the program name: the reference splitter's elements are the
        // runs between blanks and tabs.
        std::wstring rest = c.line;
        size_t end = rest[0] == L'"' ? rest.find(L'"', 1) : rest.find_first_of(L" \t");
        rest = end == std::wstring::npos ? L"" : rest.substr(end + 1);
        std::vector<std::wstring> split;
        split_command_line(rest.c_str(), &split);
        std::vector<std::wstring> plain;
        for (size_t at = rest.find_first_not_of(L" \t"); at != std::wstring::npos;) {
            size_t stop = rest.find_first_of(L" \t", at);
            plain.push_back(rest.substr(at, stop == std::wstring::npos ? std::wstring::npos : stop - at));
            at = stop == std::wstring::npos ? stop : rest.find_first_not_of(L" \t", stop);
        }
        EXPECT_EQ(split, plain) << label;
    }
}

}  // namespace
