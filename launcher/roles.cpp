#include "launcher/roles.h"

#include <windows.h>
#include <errno.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/environment.h"
#include "launcher/launcher_state.h"
#include "launcher/normalise.h"
#include "launcher/run_job.h"
#include "neutral/wide_bounded.h"

namespace {

// The longest path the system reports for a module: 32767 units and the
// terminator. A parent may live that deep, and its resolved or expanded
// form may be longer than the spelling it was started with.
constexpr DWORD peer_path_capacity = 32768;

wchar_t resolved_module_path[module_path_capacity];
// The named process's executable path; static for its size.
wchar_t peer_path[peer_path_capacity];

bool normalise(wchar_t* path, size_t capacity)
{
    return resolve_final_path(path, path, capacity, true) && make_short_dir_path(path, capacity);
}

// The peer's executable path, with K32GetModuleFileNameExW's convention: the
// length without the terminator, capacity - 1 for a path that was cut, 0
// when there is none. That call reads the peer's module list from its
// memory, which Wine does through ptrace and so cannot while a debugger or
// `strace -f` traces the peer (ERROR_ACCESS_DENIED). A traced parent would
// then look like a stranger, its child would become a parent too, and under
// `strace -f` so would every child after it, each unpacking the whole
// payload. QueryFullProcessImageNameW asks the system instead; it is looked
// up because systems before Vista lack it.
DWORD peer_module_path(HANDLE process, wchar_t* path, DWORD capacity)
{
    DWORD length = K32GetModuleFileNameExW(process, nullptr, path, capacity);
    if (length != 0) {
        return length;
    }
    using image_name_function = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    auto image_name = kernel == nullptr ? nullptr
                                        : reinterpret_cast<image_name_function>(reinterpret_cast<void*>(
                                              GetProcAddress(kernel, "QueryFullProcessImageNameW")));
    if (image_name == nullptr) {
        return 0;
    }
    // In: the buffer's size; out: the length without the terminator.
    DWORD size = capacity;
    if (image_name(process, 0, path, &size)) {
        return size < capacity ? size : 0;
    }
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? capacity - 1 : 0;
}

// True when the named process runs this very executable file. A path that
// the buffer cut is never compared: it would name another file. A peer whose
// file can no longer be opened (renamed by an updater, on a share that went
// away) or whose normal form does not fit is not this launcher's parent
// either: its child cannot tell, and ending every such child would stop the
// application from starting at all.
bool runs_same_executable(HANDLE process)
{
    // The result is the length copied without the terminator; a path that
    // does not fit is cut and comes back as capacity - 1 units.
    DWORD length = peer_module_path(process, peer_path, peer_path_capacity);
    bool usable = length != 0 && length < peer_path_capacity - 1 && normalise(peer_path, peer_path_capacity);

    // The own side runs on every route that opened the process; the own
    // file must be there, so a failure here is an internal limit.
    if (resolved_module_path[0] == 0) {
        GetModuleFileNameW(nullptr, resolved_module_path, module_path_capacity);
        if (!normalise(resolved_module_path, module_path_capacity)) {
            abnormal_end();
        }
    }
    return usable && wcscmp(peer_path, resolved_module_path) == 0;
}

}  // namespace

// The start value comes from GetSystemTimeAsFileTime, which advances only
// at each timer tick (up to 15.6 ms), while the system may record a
// process's creation more precisely: a parent's own value can then lie a
// tick before its creation. An instance that reuses the identifier of an
// ended parent was created long after that parent's start.
static constexpr unsigned long long clock_tick_allowance = 1000000;  // 100 ms in 100-ns units

bool process_creation_time(HANDLE process, unsigned long long* creation)
{
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return false;
    }
    *creation = (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return true;
}

bool time_not_before(unsigned long long time, unsigned long long creation)
{
    return time >= creation || creation - time <= clock_tick_allowance;
}

// A parent reads its start time after it was created, so its own value
// passes. Process identifiers are reused: a marker left behind by a parent
// that has ended can name a later instance of the same executable, and a
// child of that instance would look for a directory named after the old
// time.
bool start_not_before_creation_of(HANDLE process)
{
    wchar_t* text = get_environment_value("TALMIR_ONEFILE_START");
    if (text == nullptr) {
        return false;
    }
    unsigned long long start = 0;
    bool number = true;
    for (const wchar_t* at = text; *at != 0 && number; ++at) {
        unsigned digit = static_cast<unsigned>(*at - L'0');
        number = digit <= 9 && start <= (~0ull - digit) / 10;
        start = start * 10 + digit;
    }
    free(text);
    unsigned long long creation = 0;
    return number && process_creation_time(process, &creation) && time_not_before(start, creation);
}

const wchar_t* decide_role()
{
    wchar_t* parent = get_environment_value("TALMIR_ONEFILE_PARENT");
    if (parent != nullptr) {
        errno = 0;
        wchar_t* end = nullptr;
        // The runtime's rules: leading white space and a sign are accepted;
        // beyond 32 bits sets errno.
        unsigned long identifier = wcstoul(parent, &end, 10);
        bool clean = errno == 0 && end != nullptr && *end == 0 && end != parent;
        if (clean) {
            HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                         static_cast<DWORD>(identifier));
            if (process != nullptr) {
                bool ours = runs_same_executable(process) && start_not_before_creation_of(process);
                CloseHandle(process);
                // Into the parent's job before any of the application's
                // code runs, so that the parent keeps the directory while
                // this launcher uses it; unless the parent has begun to
                // remove it, when this launcher starts a run of its own.
                if (ours && join_run_job(static_cast<DWORD>(identifier)) != run_ending) {
                    return parent;
                }
            }
        }
        // A stale or foreign marker: neither variable may leak into this
        // launcher's own directory name.
        unset_environment_value("TALMIR_ONEFILE_PARENT");
        unset_environment_value("TALMIR_ONEFILE_START");
        free(parent);
    }
    // An inherited start time stays only if this launcher's children will
    // accept it (above); otherwise {TIME} makes a fresh one.
    if (!start_not_before_creation_of(GetCurrentProcess())) {
        unset_environment_value("TALMIR_ONEFILE_START");
    }

    char narrow[128];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
    wchar_t wide[128];
    wide[0] = 0;
    append_narrow_bounded(wide, narrow, 128);
    set_environment_value("TALMIR_ONEFILE_PARENT", wide);
    return nullptr;
}
