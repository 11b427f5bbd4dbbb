#include "neutral/path_spec.h"
#include "neutral/run_pattern.h"

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
    const wchar_t* company = L"Merla Software";
    const wchar_t* product = L"Merla";
    const wchar_t* version = L"0.0.6.0";
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
    case spec_company: value = values->company; break;
    case spec_product: value = values->product; break;
    case spec_version: value = values->version; break;
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

// Templates for the target directory: refused unless every run gets a
// directory of its own that parent and child name alike; the run's own
// directory is the first component by which {PID} and {TIME} both appeared.
TEST(path_spec, target_directory_templates)
{
    const std::wstring too_long = L"C:\\{PID}{TIME}" + std::wstring(4096, L'x');
    struct {
        const wchar_t* spec;
        path_spec_template_problem problem;
        const wchar_t* part;  // the run's directory, or the offending text
    } cases[] = {
        {L"{TEMP}\\onefile_{PID}_{TIME}", template_ok, L"{TEMP}\\onefile_{PID}_{TIME}"},
        {L"{cache_dir}\\app_{pid}_{time}\\files\\x", template_ok, L"{cache_dir}\\app_{pid}_{time}"},
        {L"{HOME}\\{TIME}\\{PID}\\bin", template_ok, L"{HOME}\\{TIME}\\{PID}"},
        {L"{TEMP}\\app_{PID}_{TIME}\\{PRODUCT}\\bin", template_ok, L"{TEMP}\\app_{PID}_{TIME}"},
        {L"D:\\{COMPANY}\\{VERSION}-{PID}_{TIME}}", template_ok, L"D:\\{COMPANY}\\{VERSION}-{PID}_{TIME}}"},
        {L"\\\\server\\share\\{PID}{TIME}", template_ok, L"\\\\server\\share\\{PID}{TIME}"},
        {L"{TEMP}\\x_{PID}", template_no_time, L""},
        {L"{TEMP}\\x_{PID}_{TIME}\\", template_trailing_separator, L""},
        {L"{TEMP}\\x_{TIME}", template_no_pid, L""},
        {L"x_{PID}_{TIME}", template_not_absolute, L""},
        {L"{PID}\\{TEMP}_{TIME}", template_not_absolute, L""},
        {L"C:x_{PID}_{TIME}", template_not_absolute, L""},
        {L"{TEMP}\\{NOPE}_{PID}_{TIME}", template_unknown, L"{NOPE}"},
        {L"{TEMP}\\{}_{PID}_{TIME}", template_unknown, L"{}"},
        {L"{PROGRAM_DIR}\\{PID}_{TIME}", template_program, L"{PROGRAM_DIR}"},
        {L"{TEMP}\\{PROGRAM_BASE}_{PID}_{TIME}", template_program, L"{PROGRAM_BASE}"},
        {L"{TEMP}\\x_{PID}_{TIME}\\\\{TEMP}\\y", template_folder_inside, L"{TEMP}"},
        {L"D:\\{HOME}_{PID}_{TIME}", template_folder_inside, L"{HOME}"},
        {L"{TEMP}\\{PID}_{TIME}_{x", template_unclosed, L"{x"},
        {L"{TEMP}\\a{b{PID}_{TIME}", template_unclosed, L"{b"},
        {too_long.c_str(), template_too_long, L""},
    };
    // A cache's template: one directory for every run.
    const struct {
        const wchar_t* template_text;
        path_spec_template_problem problem;
    } cache_cases[] = {
        {L"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}", template_ok},
        {L"D:\\apps\\rocket", template_ok},
        {L"{CACHE_DIR}\\x_{PID}", template_per_run},
        {L"{CACHE_DIR}\\{TIME}\\x", template_per_run},
        {L"{CACHE_DIR}\\x\\", template_trailing_separator},
        {L"rocket", template_not_absolute},
        {L"{TEMP}\\{PROGRAM_BASE}", template_program},
    };
    for (const auto& c : cache_cases) {
        path_spec_template_facts facts;
        EXPECT_EQ(path_spec_check_template(c.template_text, 4096, &facts, cache_template), c.problem)
            << std::string(c.template_text, c.template_text + wcslen(c.template_text));
        EXPECT_EQ(facts.run_root, c.problem == template_ok ? wcslen(c.template_text) : facts.run_root);
    }
    for (const auto& c : cases) {
        path_spec_template_facts facts;
        std::wstring spec = c.spec;
        EXPECT_EQ(path_spec_check_template(c.spec, 4096, &facts), c.problem) << spec.substr(0, 40).c_str();
        std::wstring part =
            c.problem == template_ok ? spec.substr(0, facts.run_root) : spec.substr(facts.at, facts.length);
        EXPECT_EQ(part, c.part) << spec.substr(0, 40).c_str();
    }
}

}  // namespace

// The directories of other runs of a template: where the search starts, and
// which names at each level are a run's, with the identifier and start time
// they give. Names are taken exactly as a launcher makes them, nothing else.
TEST(run_pattern, finds_only_names_a_launcher_makes)
{
    const std::pair<const wchar_t*, const wchar_t*> bases[] = {
        {L"{TEMP}\\onefile_{PID}_{TIME}", L"{TEMP}"},
        {L"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\run_{PID}_{TIME}", L"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}"},
        {L"{HOME}\\{TIME}\\{PID}", L"{HOME}"},
        {L"\\\\server\\share\\{PID}{TIME}", L"\\\\server\\share"},
    };
    for (const auto& [template_text, base] : bases) {
        path_spec_template_facts facts;
        ASSERT_EQ(path_spec_check_template(template_text, 4096, &facts), template_ok);
        EXPECT_EQ(std::wstring(template_text).substr(0, run_pattern_base(template_text, facts.run_root)), base);
    }

    fake_values values;
    path_spec_provider provider = {fake_append, &values};
    struct {
        const wchar_t* component;
        const wchar_t* name;
        run_match expected;
        unsigned long pid = 0;
        unsigned long long time = 0;
    } cases[] = {
        {L"onefile_{PID}_{TIME}", L"onefile_4711_134411615842502835", run_match_one, 4711, 134411615842502835ull},
        {L"onefile_{pid}_{Time}", L"onefile_8_0", run_match_one, 8, 0},
        {L"onefile_{PID}_{TIME}", L"onefile_0_5", run_match_none},
        {L"onefile_{PID}_{TIME}", L"onefile_012_5", run_match_none},
        {L"onefile_{PID}_{TIME}", L"onefile_4294967295_5", run_match_one, 4294967295ul, 5},
        {L"onefile_{PID}_{TIME}", L"onefile_4294967296_5", run_match_none},
        {L"onefile_{PID}_{TIME}", L"onefile_1_18446744073709551615", run_match_one, 1, 18446744073709551615ull},
        {L"onefile_{PID}_{TIME}", L"onefile_1_18446744073709551616", run_match_none},
        {L"onefile_{PID}_{TIME}", L"onefile_12_34.old", run_match_none},
        {L"onefile_{PID}_{TIME}", L"onefile_12_", run_match_none},
        {L"onefile_{PID}_{TIME}", L"Onefile_12_34", run_match_none},
        {L"onefile_{PID}_{TIME}", L"onefile_1a_34", run_match_none},
        {L"onefile_{PID}_{TIME}", L"onefile_-1_34", run_match_none},
        {L"{PRODUCT} {VERSION}-{PID}-{TIME}", L"Merla 0.0.6.0-3-4", run_match_one, 3, 4},
        {L"{PRODUCT} {VERSION}-{PID}-{TIME}", L"Merla 0.0.7.0-3-4", run_match_none},
        {L"{PID}{TIME}", L"123", run_match_ambiguous},
        {L"{PID}", L"77", run_match_one, 77, 0},
    };
    for (const auto& c : cases) {
        run_identity identity;
        std::wstring component = c.component;
        EXPECT_EQ(run_pattern_match(component.c_str(), component.size(), c.name, &provider, &identity), c.expected)
            << std::string(c.name, c.name + wcslen(c.name));
        if (c.expected == run_match_one) {
            EXPECT_EQ(identity.pid, c.pid);
            EXPECT_EQ(identity.time, c.time);
        }
    }

    // A value seen at a level above must come out the same below.
    run_identity identity;
    identity.time = 5;
    identity.has_time = true;
    EXPECT_EQ(run_pattern_match(L"{TIME}", 6, L"6", &provider, &identity), run_match_none);
    EXPECT_EQ(run_pattern_match(L"{TIME}", 6, L"5", &provider, &identity), run_match_one);
}
