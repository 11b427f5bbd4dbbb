#include "launcher/roles.h"

#include <windows.h>
#include <errno.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/launcher_state.h"
#include "paths/environment.h"
#include "paths/normalise.h"
#include "paths/wide_bounded.h"

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
    DWORD length = K32GetModuleFileNameExW(process, nullptr, peer_path, peer_path_capacity);
    wchar_t* long_peer = nullptr;
    if (length >= peer_path_capacity - 1) {
        // A long-path-aware parent can live deeper than 2047 code units.
        // Reading it whole keeps its child from taking it for a stranger and
        // becoming a parent itself, which would start yet another child.
        long_peer = static_cast<wchar_t*>(malloc(long_peer_path_capacity * sizeof(wchar_t)));
        length = 0;
        if (long_peer != nullptr) {
            length = K32GetModuleFileNameExW(process, nullptr, long_peer, long_peer_path_capacity);
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
