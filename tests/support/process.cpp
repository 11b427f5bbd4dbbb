#include "support/process.h"

#include <windows.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/files.h"

namespace {

std::wstring environment_block(const program_options& options)
{
    std::map<std::wstring, std::wstring, bool (*)(const std::wstring&, const std::wstring&)> variables(
        [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* at = current; *at != 0; at += wcslen(at) + 1) {
        std::wstring entry(at);
        size_t equals = entry.find(L'=', 1);  // "=C:=C:\..." entries start with '='
        if (equals == std::wstring::npos) {
            continue;
        }
        variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    FreeEnvironmentStringsW(current);
    for (const auto& change : options.environment) {
        if (change.second) {
            variables[change.first] = *change.second;
        } else {
            variables.erase(change.first);
        }
    }
    std::wstring block;
    for (const auto& variable : variables) {
        block += variable.first + L"=" + variable.second;
        block.push_back(0);
    }
    block.push_back(0);
    return block;
}

HANDLE scratch_file(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

std::wstring sentinel_directory;
std::wstring original_directory;
tree_snapshot sentinel_state;
tree_snapshot sentinel_seen;  // after the last run, so each change is blamed once

}  // namespace

void enter_sentinel_directory()
{
    wchar_t current[32768];
    DWORD length = GetCurrentDirectoryW(32768, current);
    original_directory.assign(current, length);
    sentinel_directory = make_scratch_directory(L"cwd");
    fill_sentinel_directory(sentinel_directory);
    sentinel_state = take_snapshot(sentinel_directory);
    sentinel_seen = sentinel_state;
    SetCurrentDirectoryW(sentinel_directory.c_str());
}

std::string leave_sentinel_directory()
{
    std::string changes = describe_difference(sentinel_state, take_snapshot(sentinel_directory));
    SetCurrentDirectoryW(original_directory.c_str());
    // A program a test left running may still be in it; the scratch area
    // goes with the build tree.
    remove_tree(sentinel_directory);
    return changes;
}

std::wstring quote_argument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        if (unit == L'"') {
            quoted.append(2 * backslashes + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted.push_back(unit);
    }
    quoted.append(2 * backslashes, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring join_arguments(const std::vector<std::wstring>& arguments)
{
    std::wstring line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) {
            line.push_back(L' ');
        }
        line += quote_argument(arguments[i]);
    }
    return line;
}

program_result run_program(const std::wstring& application, const std::wstring& command_line,
                           const program_options& options)
{
    program_result result;
    std::wstring scratch = make_scratch_directory(L"io");
    std::wstring out_path = scratch + L"\\out";
    std::wstring err_path = scratch + L"\\err";
    HANDLE out = scratch_file(out_path);
    HANDLE err = scratch_file(err_path);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = options.startup.flags | STARTF_USESTDHANDLES;
    startup.wShowWindow = options.startup.show;
    startup.dwX = options.startup.x;
    startup.dwY = options.startup.y;
    startup.dwXSize = options.startup.width;
    startup.dwYSize = options.startup.height;
    startup.dwXCountChars = options.startup.columns;
    startup.dwYCountChars = options.startup.rows;
    startup.dwFillAttribute = options.startup.fill;
    std::wstring title = options.startup.title;
    startup.lpTitle = title.empty() ? nullptr : &title[0];
    std::wstring desktop = options.desktop;
    startup.lpDesktop = desktop.empty() ? nullptr : &desktop[0];
    if (!options.null_standard_handles) {
        startup.hStdInput = nullptr;
        startup.hStdOutput = out;
        startup.hStdError = err;
    }
    std::wstring environment = environment_block(options);
    bool in_sentinel = options.working_directory.empty() && !sentinel_directory.empty();
    std::wstring line = command_line;
    PROCESS_INFORMATION process = {};
    // Wine now and then fails a start with ERROR_INTERNAL_ERROR when the new
    // process dies in Wine's own start-up, before any of its code ran; such
    // a start is made again (and logged), since nothing of the program under
    // test was tried.
    BOOL started = FALSE;
    DWORD start_error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        started = CreateProcessW(application.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                 &environment[0],
                                 options.working_directory.empty() ? nullptr : options.working_directory.c_str(),
                                 &startup, &process);
        start_error = started ? 0 : GetLastError();
        if (start_error != ERROR_INTERNAL_ERROR) {
            break;
        }
        fprintf(stderr, "run_program: Wine failed a start with 1359; starting again\n");
    }
    if (started) {
        result.process_id = process.dwProcessId;
        if (WaitForSingleObject(process.hProcess, options.timeout_ms) != WAIT_OBJECT_0) {
            result.timed_out = true;
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
        }
        DWORD status = 0;
        GetExitCodeProcess(process.hProcess, &status);
        result.status = status;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    read_file(out_path, &result.out);
    read_file(err_path, &result.err);
    // The runtime's text mode writes every line break as CR LF; the tests
    // compare the text, so the CRs go.
    for (std::string* text : {&result.out, &result.err}) {
        text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
    }
    remove_tree(scratch);
    if (in_sentinel) {
        tree_snapshot now = take_snapshot(sentinel_directory);
        EXPECT_EQ(describe_difference(sentinel_seen, now), "")
            << "changed in the working directory by: " << to_utf8(command_line.substr(0, 200));
        sentinel_seen = now;
    }
    if (!started) {
        result.status = 0xFFFFFFFF;
        result.err = "run_program: CreateProcessW failed with " + std::to_string(start_error);
    }
    return result;
}

bool running_under_wine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
