#include "launcher/roles.h"

#include <windows.h>
#include <errno.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/environment.h"
#include "launcher/launcher_state.h"
#include "launcher/normalise.h"
#include "neutral/wide_bounded.h"

namespace {

constexpr DWORD peer_path_capacity = 2048;
// The longest path the platform can report for a module.
constexpr DWORD long_peer_path_capacity = 32768;

wchar_t resolved_module_path[module_path_capacity];

void normalise(wchar_t* path, size_t capacity)
{
    resolve_final_path(path, path, capacity, true);
    make_short_dir_path(path, capacity);
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
// the buffer cut is never compared: it would name another file, and
// resolving a cut path could even end the process.
bool runs_same_executable(HANDLE process)
{
    wchar_t peer_path[peer_path_capacity];
    wchar_t* peer = peer_path;
    DWORD capacity = peer_path_capacity;
    // The result is the length copied without the terminator; a path that
    // does not fit is cut and comes back as capacity - 1 units.
    DWORD length = peer_module_path(process, peer_path, peer_path_capacity);
    wchar_t* long_peer = nullptr;
    if (length >= peer_path_capacity - 1) {
        // A long-path-aware parent can live deeper than 2047 code units.
        // Reading it whole keeps its child from taking it for a stranger and
        // becoming a parent itself, which would start yet another child.
        long_peer = static_cast<wchar_t*>(malloc(long_peer_path_capacity * sizeof(wchar_t)));
        length = 0;
        if (long_peer != nullptr) {
            length = peer_module_path(process, long_peer, long_peer_path_capacity);
            if (length >= long_peer_path_capacity - 1) {
                length = 0;
            }
            peer = long_peer;
            capacity = long_peer_path_capacity;
        }
    }
    if (length != 0) {
        normalise(peer, capacity);
    }

    // The own side runs on every route that opened the process.
    if (resolved_module_path[0] == 0) {
        GetModuleFileNameW(nullptr, resolved_module_path, module_path_capacity);
        normalise(resolved_module_path, module_path_capacity);
    }
    bool same = length != 0 && wcscmp(peer, resolved_module_path) == 0;
    free(long_peer);
    return same;
}

}  // namespace

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
                bool same = runs_same_executable(process);
                CloseHandle(process);
                if (same) {
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

    char narrow[128];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
    wchar_t wide[128];
    wide[0] = 0;
    append_narrow_bounded(wide, narrow, 128);
    set_environment_value("TALMIR_ONEFILE_PARENT", wide);
    return nullptr;
}
