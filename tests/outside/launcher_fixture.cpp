#include "outside/launcher_fixture.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>

#include "test_paths.h"

namespace {

// A temporary directory of this test program's own, with sentinel files: the
// launchers it starts unpack below it (TEMP and TMP are inherited), so that
// each run can be checked for changes next to its target directory.
class private_temp : public testing::Environment {
public:
    void SetUp() override
    {
        directory_ = make_scratch_directory(L"temp");
        fill_sentinel_directory(directory_);
        SetEnvironmentVariableW(L"TEMP", directory_.c_str());
        SetEnvironmentVariableW(L"TMP", directory_.c_str());
    }
    void TearDown() override { remove_tree(directory_); }

private:
    std::wstring directory_;
};

testing::Environment* const temp_environment = testing::AddGlobalTestEnvironment(new private_temp);

// Everything in the temporary directory but the target directories, which
// other runs of this program (a sleeping parent, a held directory) make and
// remove on their own, and the launcher's own directory.
tree_snapshot outside_targets(const std::wstring& exe)
{
    tree_snapshot snapshot;
    for (const auto& [name, state] : take_snapshot(temp_directory())) {
        if (name.rfind(L"onefile_", 0) != 0) {
            snapshot[L"temp\\" + name] = state;
        }
    }
    for (const auto& [name, state] : take_snapshot(exe.substr(0, exe.rfind(L'\\')))) {
        snapshot[L"exe\\" + name] = state;
    }
    return snapshot;
}

std::wstring from_hex(const std::string& hex)
{
    std::wstring text;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4) {
        text.push_back(static_cast<wchar_t>(std::stoul(hex.substr(i, 4), nullptr, 16)));
    }
    return text;
}

}  // namespace

app_report parse_report(const std::string& output)
{
    app_report report;
    std::istringstream lines(output);
    std::string line;
    std::wstring pending_file;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("argc=", 0) == 0) {
            report.argc = std::stoi(line.substr(5));
        } else if (line.rfind("argv[", 0) == 0) {
            report.argv.push_back(from_hex(line.substr(line.find('=') + 1)));
        } else if (line.rfind("env ", 0) == 0) {
            size_t equals = line.find('=');
            if (equals == std::string::npos) {
                std::string name = line.substr(4, line.find(' ', 4) - 4);
                report.environment[to_wide(name)] = std::nullopt;
            } else {
                report.environment[to_wide(line.substr(4, equals - 4))] = from_hex(line.substr(equals + 1));
            }
        } else if (line.rfind("dir=", 0) == 0) {
            report.directory = from_hex(line.substr(4));
        } else if (line.rfind("file=", 0) == 0) {
            pending_file = from_hex(line.substr(5));
        } else if (line.rfind("size=", 0) == 0) {
            unsigned long long size = std::stoull(line.substr(5));
            report.files[pending_file] = {size, line.substr(line.find("hash=") + 5)};
        } else {
            report.other_lines.push_back(line);
        }
    }
    return report;
}

std::string library_bytes(const std::wstring& path)
{
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

std::string test_library_bytes()
{
    static std::string bytes = library_bytes(test_library_path());
    return bytes;
}

std::string fnv1a_hex(const std::string& bytes)
{
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) {
        hash = (hash ^ byte) * 1099511628211ull;
    }
    char text[17];
    snprintf(text, sizeof text, "%016llx", hash);
    return text;
}

std::wstring unique_start_value()
{
    static std::atomic<unsigned> counter{0};
    // A child accepts its parent only with a start value not earlier than
    // the parent's creation, so the value is a time a day ahead, its last
    // six digits (a tenth of a second) made unique by process and call.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long time = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    time += 864000000000ull;
    time = time / 1000000 * 1000000 + GetCurrentProcessId() % 1000 * 1000 + counter++ % 1000;
    return std::to_wstring(time);
}

std::vector<std::wstring> target_directories(const std::wstring& start)
{
    std::vector<std::wstring> found;
    std::wstring temp = temp_directory();
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((temp + L"\\*_" + start).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        found.push_back(temp + L"\\" + entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

built_launcher build_launcher_from_image(const std::wstring& hint, const std::string& image, bool console,
                                         const std::vector<std::wstring>& options)
{
    built_launcher built;
    built.directory = make_scratch_directory(hint);
    built.exe = built.directory + L"\\app.exe";
    EXPECT_TRUE(make_launcher(built.exe, image, console, options)) << "could not attach the payload";
    return built;
}

built_launcher build_launcher(const std::wstring& hint, const std::vector<image_entry>& entries, bool console,
                              const std::vector<std::wstring>& options)
{
    return build_launcher_from_image(hint, build_image(entries), console, options);
}

program_result run_launcher(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                            const std::wstring& start, program_options options)
{
    if (options.environment.find(L"TALMIR_ONEFILE_START") == options.environment.end()) {
        options.environment[L"TALMIR_ONEFILE_START"] = start;
    }
    if (options.environment.find(L"TALMIR_ONEFILE_PARENT") == options.environment.end()) {
        options.environment[L"TALMIR_ONEFILE_PARENT"] = std::nullopt;
    }
    std::vector<std::wstring> all = {exe};
    all.insert(all.end(), arguments.begin(), arguments.end());
    // The working directory is checked by run_program.
    tree_snapshot before = outside_targets(exe);
    program_result result = run_program(exe, join_arguments(all), options);
    EXPECT_EQ(describe_difference(before, outside_targets(exe)), "")
        << "changed outside the target directory by a run of " << to_utf8(join_arguments(arguments));
    return result;
}
