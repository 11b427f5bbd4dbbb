#pragma once
// Building launchers with payloads and reading what the test application
// reports from inside the child.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

struct app_report {
    int argc = -1;
    std::vector<std::wstring> argv;
    std::map<std::wstring, std::optional<std::wstring>> environment;  // the launcher's variables
    std::wstring directory;                                           // the main library's
    std::map<std::wstring, std::pair<unsigned long long, std::string>> files;  // --list: size, hash
    std::vector<std::string> other_lines;
};

// Reads the lines that --report and --list print (hex-encoded texts).
app_report parse_report(const std::string& output);

std::string test_library_bytes();
std::string library_bytes(const std::wstring& path);

// The FNV-1a hash the test application prints for --list.
std::string fnv1a_hex(const std::string& bytes);

// A start value unique to this call, later than any process started today;
// given as TALMIR_ONEFILE_START to a parent, it names that parent's target
// directory "onefile_<pid>_<value>".
std::wstring unique_start_value();

// Directories below the temporary directory whose name ends in "_<start>":
// target directories, or the run's own directory that holds one.
std::vector<std::wstring> target_directories(const std::wstring& start);

// A scratch directory with a launcher "app.exe" whose payload is `entries`.
struct built_launcher {
    std::wstring directory;
    std::wstring exe;
};
// `options` are the packaging tool's (--target-directory and the like).
built_launcher build_launcher(const std::wstring& hint, const std::vector<image_entry>& entries,
                              bool console = false, const std::vector<std::wstring>& options = {});
built_launcher build_launcher_from_image(const std::wstring& hint, const std::string& image, bool console = false,
                                         const std::vector<std::wstring>& options = {});

// Runs the launcher with `arguments` after element 0 (the exe path, quoted).
// Sets TALMIR_ONEFILE_START to `start` and removes TALMIR_ONEFILE_PARENT
// unless `options` says otherwise. Fails the test when the run changed
// anything but target directories in the temporary directory (this test
// program's own), in the launcher's directory, or in the working directory.
program_result run_launcher(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                            const std::wstring& start, program_options options = {});
