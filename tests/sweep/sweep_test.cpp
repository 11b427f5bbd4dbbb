// The launcher against bad input, through the real executable under Wine:
// every truncation and a few hundred seeded corruptions of a small image,
// unsafe entry names, hostile values of the four variables, and command
// lines at the length limit. Every run must end with a defined status (a
// fixed message and 2, a silent 3, or the application's own status) within
// its time limit, remove its target directory (a failure too), and leave
// everything else in the sweep area as it was.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>

#include "neutral/payload_image.h"
#include "support/files.h"
#include "sweep/sweep_area.h"

namespace {

constexpr unsigned long no_application = 0xFFFFFFFEul;
const char header_message[] = "Error, couldn't find attached data header.\n";

// A main library that is no library, so that a payload that survives the
// damage still ends quickly and in a known way ("Error, load DLL."), and a
// second entry in a subdirectory.
std::string small_image()
{
    return build_image({{L"main.dll", "this is not a library...."}, {L"d\\e.txt", "hello"}});
}

bool image_is_valid(const std::string& image)
{
    payload_summary summary;
    return payload_validate(reinterpret_cast<const uint8_t*>(image.data()), image.size(), &summary) == payload_ok;
}

struct image_run_result {
    program_result result;
    std::string problem;  // empty when everything held
    size_t left = 0;      // entries left in the temporary directory
};

// Attaches the image, runs the launcher once and checks what every run must
// satisfy. A payload the launcher's validator refuses must give exactly the
// header message, before anything is written.
image_run_result run_image(const sweep_area& area, const std::string& image, unsigned index)
{
    image_run_result outcome;
    std::wstring exe = area.bin + L"\\run_" + std::to_wstring(index) + L".exe";
    if (!attach_in_process(exe, image)) {
        outcome.problem = "could not attach the image";
        return outcome;
    }
    tree_snapshot before = take_snapshot(area.root);
    outcome.result = run_in_area(area, {exe, quote_argument(exe), {}});
    std::string undefined = undefined_outcome(outcome.result, no_application);
    std::vector<std::wstring> left = leftovers(area);
    outcome.left = left.size();
    clear_temp(area);
    tree_snapshot after = take_snapshot(area.root);
    DeleteFileW(exe.c_str());

    if (!undefined.empty()) {
        outcome.problem += undefined + "\n";
    }
    if (!image_is_valid(image) && (outcome.result.status != 2 || outcome.result.out != header_message)) {
        outcome.problem += "a refused payload must give the header message\n";
    }
    std::string kept = unexpected_leftovers(outcome.result, left);
    if (!kept.empty()) {
        outcome.problem += kept + "\n";
    }
    std::string difference = describe_difference(before, after);
    if (!difference.empty()) {
        outcome.problem += "written outside the target directory:\n" + difference;
    }
    return outcome;
}

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

class sweep : public testing::Test {
protected:
    void SetUp() override { area_ = make_sweep_area(L"sweep"); }
    void TearDown() override
    {
        if (!HasFailure()) {
            remove_tree(area_.root);
        }
    }
    sweep_area area_;
};

TEST_F(sweep, every_truncation_of_a_small_image)
{
    std::string image = small_image();
    for (size_t length = 0; length <= image.size(); ++length) {
        std::string cut = image.substr(0, length);
        image_run_result outcome = run_image(area_, cut, static_cast<unsigned>(length));
        EXPECT_EQ(outcome.problem, "") << "first " << length << " of " << image.size() << " bytes";
    }
}

TEST_F(sweep, seeded_corruptions_of_a_small_image)
{
    std::string image = small_image();
    std::mt19937 random(20240607u);
    int refused = 0;
    for (unsigned i = 0; i < 300; ++i) {
        std::string damaged = image;
        int changes = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < changes; ++c) {
            size_t at = random() % damaged.size();
            // Half the time a bit flip (names stay nearly readable), else
            // any byte, with zero and 0xFF favoured since they end names
            // and make sizes huge.
            switch (random() % 4) {
            case 0: damaged[at] = static_cast<char>(damaged[at] ^ (1u << (random() % 8))); break;
            case 1: damaged[at] = static_cast<char>(random() % 256); break;
            case 2: damaged[at] = 0; break;
            default: damaged[at] = static_cast<char>(0xFF); break;
            }
        }
        refused += image_is_valid(damaged) ? 0 : 1;
        image_run_result outcome = run_image(area_, damaged, 1000 + i);
        EXPECT_EQ(outcome.problem, "") << "corruption " << i << ": " << hex(damaged);
    }
    // The loop is only worth its time if it reaches both sides.
    EXPECT_GT(refused, 30);
    EXPECT_LT(refused, 270);
}

// Names that Windows cannot store as ordinary files (the packaging tool
// refuses them all). The launcher refuses the device names itself, before
// anything is written, since writing to COM1 would send the payload to a
// serial port; the others fail at the open, with a defined message.
TEST_F(sweep, entry_names_windows_cannot_store)
{
    const wchar_t* const names[] = {
        L"star*name", L"question?", L"less<than", L"pipe|name", L"quote\"name", L"trailing.", L"trailing ",
        L"NUL", L"d\\NUL.txt", L"CON", L"CONIN$", L"COM1", L"lpt1.txt", L"AUX", L"COM\u00b9", L"LPT\u00b2",
        L"COM\u00b3.txt",
    };
    unsigned index = 2000;
    for (const wchar_t* name : names) {
        std::string image = build_image({{L"main.dll", "this is not a library...."}, {name, "payload bytes"}});
        image_run_result outcome = run_image(area_, image, index++);
        EXPECT_EQ(outcome.problem, "") << to_utf8(name);
    }
    // A file where a later entry needs a directory, and the other way round.
    const std::vector<image_entry> conflicts[] = {
        {{L"main.dll", "x"}, {L"d", "a file"}, {L"d\\e.txt", "below it"}},
        {{L"main.dll", "x"}, {L"d\\e.txt", "below"}, {L"d", "a file over a directory"}},
    };
    for (const auto& entries : conflicts) {
        image_run_result outcome = run_image(area_, build_image(entries), index++);
        EXPECT_EQ(outcome.problem, "") << to_utf8(entries[1].name) << " then " << to_utf8(entries[2].name);
    }
}

// Paths beyond MAX_PATH below the target directory, up to the longest
// entry name: unpacked and removed like any other, and nothing else touched
// (the working directory least of all).
TEST_F(sweep, paths_beyond_max_path)
{
    std::wstring nested = std::wstring(60, L'a');
    for (int level = 1; level < 5; ++level) {
        nested += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + level));
    }
    std::wstring longest;
    while (longest.size() + 101 < 1023 - 9) {
        longest += std::wstring(100, L'n') + L"\\";
    }
    longest += std::wstring(1023 - longest.size(), L'f');
    const std::wstring names[] = {nested + L"\\leaf.txt", longest};
    unsigned index = 3000;
    for (const std::wstring& name : names) {
        std::string image = build_image({{L"main.dll", "this is not a library...."}, {name, "deep"}});
        image_run_result outcome = run_image(area_, image, index++);
        EXPECT_EQ(outcome.problem, "") << name.size() << " units";
        // The child cannot load the main library; the parent removes all.
        EXPECT_EQ(outcome.result.status, 2u) << outcome.result.err;
        EXPECT_EQ(outcome.left, 0u) << name.size() << " units";
    }
}

class sweep_with_application : public sweep {
protected:
    void SetUp() override
    {
        sweep::SetUp();
        exe_ = area_.bin + L"\\app.exe";
        ASSERT_TRUE(attach_in_process(exe_, build_image({{L"test_app.dll", test_library_bytes()}})));
    }

    // Runs the test application through the launcher and checks the
    // invariants; it returns 7 when it ran.
    program_result run_checked(const std::wstring& command_line,
                               const std::map<std::wstring, std::optional<std::wstring>>& environment,
                               const std::string& label)
    {
        tree_snapshot before = take_snapshot(area_.root);
        program_result result = run_in_area(area_, {exe_, command_line, environment});
        std::vector<std::wstring> left = leftovers(area_);
        clear_temp(area_);
        std::string difference = describe_difference(before, take_snapshot(area_.root));
        EXPECT_EQ(undefined_outcome(result, 7), "") << label;
        EXPECT_EQ(unexpected_leftovers(result, left), "") << label;
        EXPECT_EQ(difference, "") << label << ": written outside the target directory";
        return result;
    }

    static std::string test_library_bytes()
    {
        std::string bytes;
        read_file(test_library_path(), &bytes);
        return bytes;
    }

    std::wstring exe_;
};

TEST_F(sweep_with_application, hostile_values_of_the_four_variables)
{
    // Wine keeps at most 32766 units of a value.
    const std::wstring huge(32766, L'7');
    const std::pair<const wchar_t*, std::wstring> values[] = {
        {L"empty", L""},          {L"huge", huge},          {L"letters", L"abc"},       {L"negative", L"-5"},
        {L"plus", L"+5"},         {L"leading blank", L" 5"}, {L"trailing blank", L"5 "}, {L"zero", L"0"},
        {L"leading zeros", L"0005"}, {L"beyond 32 bits", L"4294967301"}, {L"separators", L"..\\..\\x"},
    };
    const wchar_t* const variables[] = {L"TALMIR_ONEFILE_PARENT", L"TALMIR_ONEFILE_START",
                                        L"TALMIR_ONEFILE_DIRECTORY", L"TALMIR_ORIGINAL_ARGV0"};
    for (const wchar_t* variable : variables) {
        for (const auto& [label, value] : values) {
            std::string name = to_utf8(variable) + " " + to_utf8(label);
            program_result result = run_checked(quote_argument(exe_) + L" --status 7", {{variable, value}}, name);
            // Only the start value names a directory; none of the others
            // can keep the application from running.
            if (std::wstring(variable) != L"TALMIR_ONEFILE_START") {
                EXPECT_EQ(result.status, 7u) << name << result.out << result.err;
            }
        }
    }
}

// The same variables naming a live parent of this very executable, in the
// spellings the runtime's number parser accepts besides plain digits.
TEST_F(sweep_with_application, parent_marker_spellings_for_a_live_parent)
{
    SetEnvironmentVariableW(L"TEMP", area_.temp.c_str());
    SetEnvironmentVariableW(L"TMP", area_.temp.c_str());
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_START", nullptr);
    SetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", nullptr);
    std::wstring line = quote_argument(exe_) + L" --touch ready.txt --sleep 6000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION parent = {};
    BOOL started = CreateProcessW(exe_.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, area_.work.c_str(),
                                  &startup, &parent);
    ASSERT_TRUE(started);
    // The parent's own start time names its directory, the only one there.
    std::wstring pid = std::to_wstring(parent.dwProcessId);
    std::wstring start;
    for (int i = 0; i < 300 && start.empty(); ++i) {
        for (const std::wstring& name : leftovers(area_)) {
            if (name.rfind(L"onefile_" + pid + L"_", 0) == 0 &&
                file_exists(area_.temp + L"\\" + name + L"\\ready.txt")) {
                start = name.substr(name.rfind(L'_') + 1);
            }
        }
        Sleep(20);
    }
    ASSERT_FALSE(start.empty());

    tree_snapshot before = take_snapshot(area_.root);
    const std::pair<std::wstring, unsigned long> spellings[] = {
        {pid, 7},             // the child role: runs the application from the parent's directory
        {L"+" + pid, 3},      // accepted as the parent, but no directory name can be made of it
        {L" " + pid, 3},
        {L"0" + pid, 2},      // the parent, but a directory that does not exist: no library to load
        {pid + L" ", 7},      // not a clean number: a parent of its own
    };
    for (const auto& [spelling, expected] : spellings) {
        program_options options;
        options.environment[L"TEMP"] = area_.temp;
        options.environment[L"TMP"] = area_.temp;
        options.environment[L"TALMIR_ONEFILE_PARENT"] = spelling;
        options.environment[L"TALMIR_ONEFILE_START"] = start;
        options.working_directory = area_.work;
        options.timeout_ms = 20000;
        program_result result = run_program(exe_, quote_argument(exe_) + L" --status 7", options);
        EXPECT_EQ(result.status, expected) << "'" << to_utf8(spelling) << "' " << result.out << result.err;
        EXPECT_EQ(undefined_outcome(result, 7), "") << to_utf8(spelling);
    }
    // Nothing but the parent's own directory may have changed, and that
    // only by what the application itself touched.
    std::string difference = describe_difference(before, take_snapshot(area_.root));
    EXPECT_EQ(difference.find("onefile_") == std::string::npos ? difference : "", "") << difference;

    EXPECT_EQ(WaitForSingleObject(parent.hProcess, 30000), WAIT_OBJECT_0);
    CloseHandle(parent.hThread);
    CloseHandle(parent.hProcess);
    SetEnvironmentVariableW(L"TEMP", nullptr);
    SetEnvironmentVariableW(L"TMP", nullptr);
    EXPECT_EQ(leftovers(area_), std::vector<std::wstring>());
}

// CreateProcessW takes at most 32766 units and the terminator. Element 0 is
// replaced by the executable's full path, so a parent started by a short
// name can receive a line that no longer fits once it is rebuilt. Up to the
// limit the child gets every unit: the status is the line's last argument,
// which a line cut short by a unit would lose. Past it the parent ends as
// at any full buffer, silently with 3, before it has written anything.
TEST_F(sweep_with_application, command_lines_at_the_length_limit)
{
    size_t full_length = exe_.size() + (exe_.find(L' ') == std::wstring::npos ? 0 : 2);
    for (size_t child_length : {32700u, 32765u, 32766u, 32767u, 32768u}) {
        // The child's line: full path, blank, filler, " --status 7".
        size_t filler = child_length - full_length - 1 - 11;
        std::wstring line = L"a " + std::wstring(filler, L'x') + L" --status 7";
        std::string label = "child line of " + std::to_string(child_length) + " units";
        program_result result = run_checked(line, {}, label);
        EXPECT_EQ(result.status, child_length <= 32766 ? 7u : 3u) << label << result.out << result.err;
    }
}

}  // namespace
