// The test application's main library. The launcher's child loads it from the
// unpacked directory and calls run_code with its argument vector; whatever
// run_code returns becomes the exit status of both processes.
//
// Commands, taken from the arguments in order (anything else is ignored, so
// tests can pass arbitrary arguments after them):
//   --report          every argument code unit for code unit, the five
//                     variables and this library's directory, in hex
//   --status N        return N (any 32-bit value, signed or not)
//   --sleep MS        sleep before going on
//   --hold NAME       open NAME in this library's directory without delete
//                     sharing and keep it open until the process ends
//   --nested ARGS...  start the executable again (element 0) with ARGS, wait,
//                     print "nested-status=N"; ends the command list
//   --touch NAME      create an empty file NAME in this library's directory
//   --spawn ARGS...   like --nested, but without waiting for the end: it
//                     waits until the new process has made a file "ready" in
//                     this library's directory (or ended; at most 30 s); ends
//                     the list
//   --acl LEVELS      the access list of this library's directory, or of
//                     the one LEVELS above it: entry count, protected flag,
//                     and whether the current user and the system account
//                     each have full access that every file and directory
//                     below inherits (an entry with other inheritance flags
//                     does not count)
//   --list            every file below this library's directory: its
//                     relative name in hex, size and FNV-1a hash
//   --startup         this process's start-up record: flags, show state,
//                     position, size, console fields, and the title in hex
//   --await-window CLASS  wait (at most 30 s) until the launcher's parent
//                     (TALMIR_ONEFILE_PARENT) has a top-level window of
//                     that class; prints "window=found|absent"
//   --ignore-interrupt  Ctrl+C and Ctrl+Break are handled (ignored) from
//                     now on, as by an interactive program
//   --start PROGRAM ARGS...  start PROGRAM with ARGS and go on at once,
//                     handing it no handle: "self" is element 0 (the
//                     executable), a name without a drive lies in this
//                     library's directory; ends the list
//   --copy NAME PATH  copy NAME from this library's directory to PATH;
//                     prints "copy=ok|failed"
//   --load NAME       LoadLibraryW(NAME); prints the path of the module
//                     loaded in hex ("load=") or "load=failed"
// and, in this library's directory, entries the launcher must remove without
// reaching anything outside it (each prints "<command>=made|absent"):
//   --readonly NAME   a read-only file
//   --deep UNITS      directories of 100 units each, one below the other,
//                     until a file at the bottom would have a path longer
//                     than UNITS or the system refuses one; prints the
//                     longest path made, "deep=N"
//   --link NAME       a directory symbolic link to the current directory
//   --junction NAME   a junction to the current directory
//   --hardlink NAME FILE  a hard link to FILE in the current directory
//   --unix-link NAME  under Wine, a Unix symbolic link to the current
//                     directory (Wine 8 makes neither of the two above)
#include <windows.h>
#include <aclapi.h>
#include <winioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

void print_hex(const char* label, const wchar_t* text)
{
    printf("%s=", label);
    for (const wchar_t* at = text; *at != 0; ++at) {
        printf("%04x", static_cast<unsigned>(*at));
    }
    printf("\n");
}

void own_directory(wchar_t* buffer, DWORD capacity)
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&own_directory), &self);
    DWORD length = GetModuleFileNameW(self, buffer, capacity);
    buffer[length < capacity ? length : capacity - 1] = 0;
    wchar_t* last = wcsrchr(buffer, L'\\');
    if (last != nullptr) {
        *last = 0;
    }
}

void own_path(const wchar_t* name, wchar_t* path)
{
    own_directory(path, 32768);
    wcscat(path, L"\\");
    wcscat(path, name);
}

void report(int argc, wchar_t** argv)
{
    printf("argc=%d\n", argc);
    for (int i = 0; i < argc; ++i) {
        char label[32];
        snprintf(label, sizeof label, "argv[%d]", i);
        print_hex(label, argv[i]);
    }
    static const wchar_t* const names[] = {L"TALMIR_ONEFILE_PARENT", L"TALMIR_ONEFILE_START",
                                           L"TALMIR_ONEFILE_DIRECTORY", L"TALMIR_ORIGINAL_ARGV0",
                                           L"TALMIR_ONEFILE_PAYLOAD_DIRECTORY"};
    static wchar_t value[32768];
    for (const wchar_t* name : names) {
        char label[64];
        snprintf(label, sizeof label, "env %ls", name);
        DWORD length = GetEnvironmentVariableW(name, value, 32768);
        if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            printf("%s absent\n", label);
        } else {
            print_hex(label, value);
        }
    }
    static wchar_t directory[32768];
    own_directory(directory, 32768);
    print_hex("dir", directory);
    printf("pid=%lu\n", GetCurrentProcessId());
    fflush(stdout);
}

void report_startup()
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    printf("startup flags=%lx show=%u x=%lu y=%lu width=%lu height=%lu columns=%lu rows=%lu fill=%lx\n",
           startup.dwFlags, static_cast<unsigned>(startup.wShowWindow), startup.dwX, startup.dwY, startup.dwXSize,
           startup.dwYSize, startup.dwXCountChars, startup.dwYCountChars, startup.dwFillAttribute);
    print_hex("title", startup.lpTitle != nullptr ? startup.lpTitle : L"");
    fflush(stdout);
}

unsigned long long fnv1a(HANDLE file, unsigned long long* size)
{
    unsigned long long hash = 14695981039346656037ull;
    static unsigned char chunk[65536];
    DWORD got = 0;
    *size = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) {
        for (DWORD i = 0; i < got; ++i) {
            hash = (hash ^ chunk[i]) * 1099511628211ull;
        }
        *size += got;
    }
    return hash;
}

void list_below(const wchar_t* root, const wchar_t* prefix)
{
    wchar_t pattern[4096];
    _snwprintf(pattern, 4096, L"%ls\\*", root);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        wchar_t path[4096];
        wchar_t relative[4096];
        _snwprintf(path, 4096, L"%ls\\%ls", root, found.cFileName);
        _snwprintf(relative, 4096, prefix[0] != 0 ? L"%ls\\%ls" : L"%ls%ls", prefix, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            list_below(path, relative);
            continue;
        }
        HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        unsigned long long size = 0;
        unsigned long long hash = file != INVALID_HANDLE_VALUE ? fnv1a(file, &size) : 0;
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        print_hex("file", relative);
        printf("size=%llu hash=%016llx\n", size, hash);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void report_acl(unsigned long levels)
{
    static wchar_t directory[32768];
    own_directory(directory, 32768);
    for (wchar_t* last = nullptr; levels-- > 0 && (last = wcsrchr(directory, L'\\')) != nullptr;) {
        *last = 0;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL acl = nullptr;
    if (GetNamedSecurityInfoW(directory, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                              &descriptor) != ERROR_SUCCESS || acl == nullptr) {
        printf("acl=unreadable\n");
        return;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);

    alignas(TOKEN_USER) unsigned char user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    HANDLE token = nullptr;
    DWORD needed = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &needed);
    CloseHandle(token);
    PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid;
    unsigned char system[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system;
    CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size);

    bool user_full = false;
    bool system_full = false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        bool full = (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS &&
                    ace->Header.AceFlags == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        user_full |= full && EqualSid(&ace->SidStart, user);
        system_full |= full && EqualSid(&ace->SidStart, system);
    }
    printf("acl aces=%u protected=%d user=%d system=%d\n", static_cast<unsigned>(acl->AceCount),
           (control & SE_DACL_PROTECTED) ? 1 : 0, user_full ? 1 : 0, system_full ? 1 : 0);
    LocalFree(descriptor);
}

int nested(wchar_t** argv, int first, int argc, bool wait)
{
    // Element 0 is the executable's full path, as the parent passed it.
    static wchar_t line[32768];
    _snwprintf(line, 32768, L"\"%ls\"", argv[0]);
    for (int i = first; i < argc; ++i) {
        wcscat(line, L" ");
        wcscat(line, argv[i]);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    fflush(stdout);
    if (!CreateProcessW(argv[0], line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        printf("nested-start-failed=%lu\n", GetLastError());
        return 1;
    }
    if (!wait) {
        printf("spawned=%lu\n", process.dwProcessId);
        fflush(stdout);
        static wchar_t ready[32768];
        own_path(L"ready", ready);
        for (int i = 0; i < 3000 && GetFileAttributesW(ready) == INVALID_FILE_ATTRIBUTES; ++i) {
            if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
                break;
            }
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return 0;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    printf("nested-status=%lu\n", status);
    fflush(stdout);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

void print_made(const wchar_t* command, const wchar_t* path, DWORD required)
{
    DWORD attributes = GetFileAttributesW(path);
    bool made = attributes != INVALID_FILE_ATTRIBUTES && (attributes & required) == required;
    printf("%ls=%s\n", command, made ? "made" : "absent");
    fflush(stdout);
}

void make_deep(DWORD units)
{
    static wchar_t path[32768];
    wcscpy(path, L"\\\\?\\");
    own_directory(path + 4, 32768 - 4);
    size_t made = 0;
    // Room for "\leaf.txt" below the next level.
    while (wcslen(path) - 4 + 101 + 9 <= units) {
        size_t length = wcslen(path);
        path[length] = L'\\';
        wmemset(path + length + 1, L'd', 100);
        path[length + 101] = 0;
        if (!CreateDirectoryW(path, nullptr)) {
            path[length] = 0;
            break;
        }
    }
    wcscat(path, L"\\leaf.txt");
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        made = wcslen(path) - 4;
    }
    printf("deep=%zu\n", made);
    fflush(stdout);
}

// A junction is a mount-point reparse point on an empty directory: the
// substitute name in the object manager's form, then the printable one.
void make_junction(const wchar_t* path, const wchar_t* target)
{
    if (!CreateDirectoryW(path, nullptr)) {
        return;
    }
    HANDLE directory = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return;
    }
    static wchar_t substitute[4096];
    _snwprintf(substitute, 4096, L"\\??\\%ls", target);
    USHORT substitute_bytes = static_cast<USHORT>(wcslen(substitute) * 2);
    USHORT print_bytes = static_cast<USHORT>(wcslen(target) * 2);
    static unsigned char buffer[16384];
    struct mount_point {
        DWORD tag;
        WORD data_length;
        WORD reserved;
        WORD substitute_offset, substitute_length, print_offset, print_length;
        wchar_t names[1];
    };
    auto* reparse = reinterpret_cast<mount_point*>(buffer);
    reparse->tag = IO_REPARSE_TAG_MOUNT_POINT;
    reparse->reserved = 0;
    reparse->substitute_offset = 0;
    reparse->substitute_length = substitute_bytes;
    reparse->print_offset = static_cast<WORD>(substitute_bytes + 2);
    reparse->print_length = print_bytes;
    memcpy(reparse->names, substitute, substitute_bytes + 2);
    memcpy(reinterpret_cast<unsigned char*>(reparse->names) + reparse->print_offset, target, print_bytes + 2);
    reparse->data_length = static_cast<WORD>(8 + substitute_bytes + 2 + print_bytes + 2);
    DWORD returned = 0;
    DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, buffer, 8 + reparse->data_length, nullptr, 0, &returned,
                    nullptr);
    CloseHandle(directory);
}

// Wine starts a Unix program given to CreateProcessW; wine_get_unix_file_name
// exists only there.
void make_unix_link(const wchar_t* path, const wchar_t* target)
{
    using unix_name_function = char*(CDECL*)(const wchar_t*);
    auto unix_name = reinterpret_cast<unix_name_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr) {
        return;
    }
    char* unix_path = unix_name(path);
    char* unix_target = unix_name(target);
    static wchar_t line[65536];
    _snwprintf(line, 65536, L"ln -s \"%hs\" \"%hs\"", unix_target, unix_path);
    HeapFree(GetProcessHeap(), 0, unix_path);
    HeapFree(GetProcessHeap(), 0, unix_target);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\ln", line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The handle of a Unix process does not tell when it has ended.
    for (int i = 0; i < 1000 && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(10);
    }
}

struct window_search {
    const wchar_t* class_name;
    DWORD process;
    bool found;
    int (WINAPI* class_of)(HWND, LPWSTR, int);
    DWORD (WINAPI* process_of)(HWND, LPDWORD);
};

BOOL CALLBACK look_at_window(HWND window, LPARAM context)
{
    window_search* search = reinterpret_cast<window_search*>(context);
    wchar_t name[256];
    DWORD process = 0;
    search->process_of(window, &process);
    if (process == search->process && search->class_of(window, name, 256) > 0 &&
        wcscmp(name, search->class_name) == 0) {
        search->found = true;
        return FALSE;
    }
    return TRUE;
}

// user32 only when asked: every other start of the test application stays
// as light as an application without windows.
void await_window(const wchar_t* class_name)
{
    HMODULE user = LoadLibraryW(L"user32.dll");
    using enumerate_function = BOOL(WINAPI*)(WNDENUMPROC, LPARAM);
    auto enumerate = user == nullptr ? nullptr
                                     : reinterpret_cast<enumerate_function>(
                                           reinterpret_cast<void*>(GetProcAddress(user, "EnumWindows")));
    window_search search = {class_name, 0, false, nullptr, nullptr};
    if (user != nullptr) {
        search.class_of = reinterpret_cast<int(WINAPI*)(HWND, LPWSTR, int)>(
            reinterpret_cast<void*>(GetProcAddress(user, "GetClassNameW")));
        search.process_of = reinterpret_cast<DWORD(WINAPI*)(HWND, LPDWORD)>(
            reinterpret_cast<void*>(GetProcAddress(user, "GetWindowThreadProcessId")));
    }
    wchar_t parent[32] = L"";
    GetEnvironmentVariableW(L"TALMIR_ONEFILE_PARENT", parent, 32);
    search.process = static_cast<DWORD>(wcstoul(parent, nullptr, 10));
    for (int i = 0; i < 600 && enumerate != nullptr && search.class_of != nullptr && search.process_of != nullptr;
         ++i) {
        enumerate(look_at_window, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            break;
        }
        Sleep(50);
    }
    printf("window=%s\n", search.found ? "found" : "absent");
    fflush(stdout);
}

BOOL WINAPI ignore_interrupt(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

void start_program(wchar_t** argv, int first, int argc)
{
    static wchar_t program[32768];
    const wchar_t* name = first < argc ? argv[first] : L"self";
    if (wcscmp(name, L"self") == 0) {
        wcscpy(program, argv[0]);
    } else if (wcschr(name, L':') != nullptr) {
        wcscpy(program, name);
    } else {
        own_path(name, program);
    }
    static wchar_t line[32768];
    _snwprintf(line, 32768, L"\"%ls\"", program);
    for (int i = first + 1; i < argc; ++i) {
        wcscat(line, L" ");
        wcscat(line, argv[i]);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // No standard handles either: Wine hands on the caller's unasked.
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        printf("start-failed=%lu\n", GetLastError());
        fflush(stdout);
        return;
    }
    printf("started=%lu\n", process.dwProcessId);
    fflush(stdout);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* command = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : L"";
        if (wcscmp(command, L"--report") == 0) {
            report(argc, argv);
        } else if (wcscmp(command, L"--status") == 0) {
            // Through a 64-bit value so that 4294967295 and -5 both work.
            status = static_cast<int>(static_cast<unsigned int>(wcstoll(value, nullptr, 10)));
            ++i;
        } else if (wcscmp(command, L"--sleep") == 0) {
            Sleep(static_cast<DWORD>(wcstoul(value, nullptr, 10)));
            ++i;
        } else if (wcscmp(command, L"--hold") == 0 || wcscmp(command, L"--touch") == 0) {
            static wchar_t path[32768];
            own_directory(path, 32768);
            wcscat(path, L"\\");
            wcscat(path, value);
            bool hold = command[2] == L'h';
            // Share mode without FILE_SHARE_DELETE: nobody can remove the
            // file, nor so its directory, while this process lives.
            HANDLE file = CreateFileW(path, GENERIC_WRITE, hold ? FILE_SHARE_READ : 0, nullptr, OPEN_ALWAYS, 0,
                                      nullptr);
            printf("%s=%s\n", hold ? "hold" : "touch", file == INVALID_HANDLE_VALUE ? "failed" : "ok");
            fflush(stdout);
            if (!hold && file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
            }
            ++i;
        } else if (wcscmp(command, L"--nested") == 0 || wcscmp(command, L"--spawn") == 0) {
            nested(argv, i + 1, argc, command[2] == L'n');
            break;
        } else if (wcscmp(command, L"--await-window") == 0) {
            await_window(value);
            ++i;
        } else if (wcscmp(command, L"--ignore-interrupt") == 0) {
            SetConsoleCtrlHandler(ignore_interrupt, TRUE);
        } else if (wcscmp(command, L"--start") == 0) {
            start_program(argv, i + 1, argc);
            break;
        } else if (wcscmp(command, L"--copy") == 0) {
            static wchar_t from[32768];
            own_path(value, from);
            bool copied = CopyFileW(from, i + 2 < argc ? argv[i + 2] : L"", FALSE) != 0;
            printf("copy=%s\n", copied ? "ok" : "failed");
            fflush(stdout);
            i += 2;
        } else if (wcscmp(command, L"--load") == 0) {
            HMODULE module = LoadLibraryW(value);
            static wchar_t path[32768];
            if (module != nullptr && GetModuleFileNameW(module, path, 32768) != 0) {
                print_hex("load", path);
            } else {
                printf("load=failed\n");
            }
            fflush(stdout);
            ++i;
        } else if (wcscmp(command, L"--startup") == 0) {
            report_startup();
        } else if (wcscmp(command, L"--acl") == 0) {
            report_acl(wcstoul(value, nullptr, 10));
            fflush(stdout);
            ++i;
        } else if (wcscmp(command, L"--deep") == 0) {
            make_deep(static_cast<DWORD>(wcstoul(value, nullptr, 10)));
            ++i;
        } else if (wcscmp(command, L"--readonly") == 0 || wcscmp(command, L"--link") == 0 ||
                   wcscmp(command, L"--junction") == 0 || wcscmp(command, L"--hardlink") == 0 ||
                   wcscmp(command, L"--unix-link") == 0) {
            static wchar_t path[32768];
            static wchar_t current[32768];
            own_path(value, path);
            GetCurrentDirectoryW(32768, current);
            DWORD required = FILE_ATTRIBUTE_REPARSE_POINT;
            if (command[2] == L'r') {
                HANDLE file =
                    CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
                CloseHandle(file);
                required = FILE_ATTRIBUTE_READONLY;
            } else if (command[2] == L'l') {
                CreateSymbolicLinkW(path, current,
                                    SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
            } else if (command[2] == L'j') {
                make_junction(path, current);
            } else if (command[2] == L'h') {
                wcscat(current, L"\\");
                wcscat(current, i + 2 < argc ? argv[i + 2] : L"");
                CreateHardLinkW(path, current, nullptr);
                required = 0;
                ++i;
            } else {
                make_unix_link(path, current);
                required = FILE_ATTRIBUTE_DIRECTORY;
            }
            print_made(command + 2, path, required);
            ++i;
        } else if (wcscmp(command, L"--list") == 0) {
            static wchar_t directory[32768];
            own_directory(directory, 32768);
            list_below(directory, L"");
            fflush(stdout);
        }
    }
    return status;
}

#ifdef TEST_APP_PROGRAM
// The same commands as a program of its own: a helper that the application
// starts from its payload and that may outlive it.
int wmain(int argc, wchar_t** argv)
{
    return run_code(argc, argv);
}
#endif
