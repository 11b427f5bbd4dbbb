// The benchmark's main library. Without arguments run_code returns at once,
// so that a start measures the launcher and nothing of an application.
//
//   --times PATH     append "parent child entered" to PATH: the parent's and
//                    this process's creation times and the moment run_code
//                    was entered, in 100 ns units of the system clock (the
//                    same clock on both sides of Wine, so the benchmark can
//                    split a start into its stages)
//   --ready PATH     write TALMIR_ONEFILE_PARENT's value to PATH, complete
//                    when it appears (written aside, then renamed)
//   --wait-for PATH  return once PATH exists (polled every 10 ms, at most
//                    ten minutes, so a forgotten run still ends)
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

unsigned long long as_count(const FILETIME& time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

unsigned long long now()
{
    // Looked up: the precise clock is missing before Windows 8, and the
    // coarse one ticks every 15.6 ms there, too coarse for these stages.
    using precise_function = void(WINAPI*)(FILETIME*);
    static precise_function precise = reinterpret_cast<precise_function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    FILETIME time;
    if (precise != nullptr) {
        precise(&time);
    } else {
        GetSystemTimeAsFileTime(&time);
    }
    return as_count(time);
}

unsigned long long creation_time(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return as_count(created);
}

unsigned long parent_identifier()
{
    wchar_t value[64];
    DWORD length = GetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", value, 64);
    return (length == 0 || length >= 64) ? 0 : wcstoul(value, nullptr, 10);
}

void append_times(const wchar_t* path, unsigned long long entered)
{
    unsigned long long parent = 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_identifier());
    if (process != nullptr) {
        parent = creation_time(process);
        CloseHandle(process);
    }
    FILE* file = _wfopen(path, L"a");
    if (file != nullptr) {
        fprintf(file, "%llu %llu %llu\n", parent, creation_time(GetCurrentProcess()), entered);
        fclose(file);
    }
}

void write_ready(const wchar_t* path)
{
    wchar_t aside[4096];
    _snwprintf(aside, 4096, L"%ls.part", path);
    aside[4095] = 0;
    FILE* file = _wfopen(aside, L"w");
    if (file == nullptr) {
        return;
    }
    fprintf(file, "%lu\n", parent_identifier());
    fclose(file);
    MoveFileExW(aside, path, MOVEFILE_REPLACE_EXISTING);
}

void wait_for(const wchar_t* path)
{
    for (int i = 0; i < 60000 && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(10);
    }
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv)
{
    unsigned long long entered = now();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (wcscmp(argv[i], L"--times") == 0) {
            append_times(argv[i + 1], entered);
        } else if (wcscmp(argv[i], L"--ready") == 0) {
            write_ready(argv[i + 1]);
        } else if (wcscmp(argv[i], L"--wait-for") == 0) {
            wait_for(argv[i + 1]);
        }
    }
    return 0;
}
