#include "neutral/path_spec.h"

#include <gtest/gtest.h>
#include <wchar.h>

#include <memory>
#include <string>

#include "neutral/wide_bounded.h"

namespace {

// Values the fake provider hands out; nullptr stands for a folder the
// platform did not deliver.
struct fake_values {
    const wchar_t* temp = L"C:\\Temp\\";
    const wchar_t* program = L"C:\\App\\tool.EXE";
    const wchar_t* pid = L"77";
    const wchar_t* home = L"C:\\Users\\me\\";
    const wchar_t* cache_dir = L"C:\\Users\\me\\Local\\\\";
    const wchar_t* time = L"9";
};

bool fake_append(void* context, path_spec_placeholder which, wchar_t* output, size_t capacity)
{
    const fake_values* values = static_cast<const fake_values*>(context);
    const wchar_t* value = nullptr;
    switch (which) {
    case spec_temp: value = values->temp; break;
    case spec_program: value = values->program; break;
    case spec_pid: value = values->pid; break;
    case spec_home: value = values->home; break;
    case spec_cache_dir: value = values->cache_dir; break;
    case spec_time: value = values->time; break;
    default: ADD_FAILURE() << "asked for placeholder " << which; return false;
    }
    if (value == nullptr) {
        return false;
    }
    append_wide_bounded(output, value, capacity);
    return true;
}

struct expansion {
    bool ok;
    std::wstring output;
};

expansion expand(const wchar_t* spec, size_t capacity, fake_values values = {})
{
    path_spec_provider provider = {fake_append, &values};
    std::unique_ptr<wchar_t[]> output(new wchar_t[capacity]);
    wmemset(output.get(), L'#', capacity);
    bool ok = expand_path_spec_with(output.get(), spec, capacity, &provider);
    return {ok, std::wstring(output.get())};
}

std::wstring braced(size_t name_length, bool closed)
{
    return L"{" + std::wstring(name_length, L'N') + (closed ? L"}" : L"");
}

TEST(path_spec, expansions)
{
    fake_values no_home;
    no_home.home = nullptr;
    fake_values bare_program;
    bare_program.program = L"tool.exe";
    fake_values odd_values;
    odd_values.temp = L"";
    odd_values.program = L"C:\\x\\";
    const std::wstring name_1023_open = L"a" + braced(1023, false);
    const std::wstring name_1024_open = L"a" + braced(1024, false);
    const std::wstring name_1023_closed = L"a" + braced(1023, true);

    struct {
        const wchar_t* spec;
        fake_values values;
        bool ok;
        const wchar_t* output;
    } cases[] = {
        {L"{TEMP}\\onefile_{PID}_{TIME}", {}, true, L"C:\\Temp\\onefile_77_9"},
        {L"a{b{TEMP}", {}, true, L"aC:\\Temp"},
        {L"x{TE", {}, true, L"x"},
        {L"{{PID}", {}, true, L"77"},
        {L"{PID}}", {}, true, L"77}"},
        {L"a}b", {}, true, L"a}b"},
        {L"{PROGRAM}", {}, true, L"C:\\App\\tool.EXE"},
        {L"{PROGRAM_BASE}", {}, true, L"C:\\App\\tool"},
        {L"{program_dir}", {}, true, L"C:\\App"},
        {L"{PROGRAM_DIR}", bare_program, true, L"tool.exe"},
        {L"{PROGRAM_BASE}", bare_program, true, L"tool"},
        {L"{Company}\\{PRODUCT}\\{version}", {}, true, L"Merla Software\\Merla\\0.0.6.0"},
        {L"{HOME}|{CACHE_DIR}|", {}, true, L"C:\\Users\\me|C:\\Users\\me\\Local|"},
        {L"{PROGRAM}", odd_values, true, L"C:\\x\\"},
        {L"{TEMP}x", odd_values, true, L"x"},
        {L"{}", {}, false, L""},
        {L"ab{NOPE}cd", {}, false, L"ab"},
        {L"ab{PROGRAM_BASEX}", {}, false, L"ab"},
        {L"ab{HOME}cd", no_home, false, L"ab"},
        {name_1023_open.c_str(), {}, true, L"a"},
        {name_1023_closed.c_str(), {}, false, L"a"},
        {name_1024_open.c_str(), {}, false, L"a"},
    };
    for (const auto& c : cases) {
        expansion got = expand(c.spec, 4096, c.values);
        std::wstring spec(c.spec);
        EXPECT_EQ(got.ok, c.ok) << spec.substr(0, 40).c_str();
        EXPECT_EQ(got.output, c.output) << spec.substr(0, 40).c_str();
    }
}

TEST(path_spec, capacity_boundaries)
{
    struct {
        const wchar_t* spec;
        size_t capacity;
        bool ok;
        const wchar_t* output;
    } fitting[] = {
        {L"abcd", 5, true, L"abcd"},
        {L"abcde", 5, false, L"abcd"},
        {L"{PRODUCT}", 6, true, L"Merla"},
        {L"a{PID}", 4, true, L"a77"},
        {L"{PID}x", 3, false, L"77"},
        {L"", 1, true, L""},
        {L"{TE", 1, true, L""},
        // The whole program path must fit at the output's end before it is cut.
        {L"x{PROGRAM_DIR}", 17, true, L"xC:\\App"},
    };
    for (const auto& c : fitting) {
        expansion got = expand(c.spec, c.capacity);
        EXPECT_EQ(got.ok, c.ok) << c.spec << " in " << c.capacity;
        EXPECT_EQ(got.output, c.output) << c.spec << " in " << c.capacity;
    }

    struct {
        const wchar_t* spec;
        size_t capacity;
    } ending[] = {
        {L"{PRODUCT}", 5},
        {L"a{PID}", 3},
        {L"x{PROGRAM_DIR}", 16},
        {L"abcd{TIME}", 5},
        {L"", 0},
    };
    for (const auto& c : ending) {
        EXPECT_EXIT(expand(c.spec, c.capacity), testing::ExitedWithCode(3), "") << c.spec << " in " << c.capacity;
    }
}

}  // namespace
