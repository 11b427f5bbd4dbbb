#pragma once
// Running real Windows programs from the tests, under Wine like everything
// else: exit status, standard output and error captured, environment changes
// applied only to the started process.
#include <map>
#include <optional>
#include <string>
#include <vector>

struct program_result {
    unsigned long status = 0;
    std::string out;   // bytes written to standard output
    std::string err;   // bytes written to standard error
    bool timed_out = false;
    unsigned long process_id = 0;  // of the started program
};

// Start-up record fields besides the standard handles (STARTUPINFOW's
// dwFlags, wShowWindow, dwX, dwY, dwXSize, dwYSize, dwXCountChars,
// dwYCountChars, dwFillAttribute and lpTitle, when not empty).
struct startup_fields {
    unsigned long flags = 0;
    unsigned short show = 0;
    unsigned long x = 0, y = 0, width = 0, height = 0, columns = 0, rows = 0, fill = 0;
    std::wstring title;
};

struct program_options {
    // Variables to set (a value) or remove (std::nullopt) in the child's
    // environment; everything else is inherited.
    std::map<std::wstring, std::optional<std::wstring>> environment;
    // Empty: the test program's own, a sentinel directory (see
    // enter_sentinel_directory), which the started program must leave as it
    // found it.
    std::wstring working_directory;
    unsigned long timeout_ms = 60000;
    bool null_standard_handles = false;
    startup_fields startup;  // the standard-handle flag is always added
    // "station\desktop" to start the program on; empty: the test program's.
    std::wstring desktop;
};

// Runs `command_line` exactly as given (the first element is not quoted for
// you) with `application` as the program to start.
program_result run_program(const std::wstring& application, const std::wstring& command_line,
                           const program_options& options = {});

// Makes the test program's current directory a fresh sentinel directory
// (fill_sentinel_directory) for the programs its tests start; the test
// programs' main calls it first, and leave_sentinel_directory last, which
// says what changed in it, if anything, and removes it.
void enter_sentinel_directory();
std::string leave_sentinel_directory();

// Quotes one argument so that the runtime's splitter returns it unchanged.
std::wstring quote_argument(const std::wstring& argument);

// The command line for an argument vector, element 0 included.
std::wstring join_arguments(const std::vector<std::wstring>& arguments);

// True under Wine, whose ntdll alone exports wine_get_version: for what
// only Windows can show.
bool running_under_wine();
