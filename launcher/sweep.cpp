#include "launcher/sweep.h"

#include <windows.h>

#include "launcher/directory_users.h"
#include "launcher/launcher_state.h"
#include "launcher/own_resources.h"
#include "launcher/path_spec_values.h"
#include "launcher/private_directory.h"
#include "launcher/remove_tree.h"
#include "launcher/roles.h"
#include "neutral/run_pattern.h"
#include "neutral/wide_bounded.h"

namespace {

// The work of one start, whichever runs out first: directories removed,
// names looked at (a temporary directory may hold many thousands), and time.
constexpr int removal_cap = 16;
constexpr int examined_cap = 4096;
constexpr DWORD time_cap_ms = 10000;
// Background priority is no promise (Wine schedules every thread alike), so
// the sweep also pauses after every directory it removes, leaving the
// processor and the disk to the application's start in between.
constexpr DWORD removal_pause_ms = 20;
// Levels from the shared directory down to a run's own ("{HOME}\{TIME}\{PID}").
constexpr size_t level_cap = 16;
constexpr size_t sweep_path_capacity = 32768;
// The removal keeps the handles of every level on its stack, like the main
// thread's.
constexpr SIZE_T thread_stack = 1 << 20;

struct sweep_state {
    const wchar_t* template_text;
    size_t component_start[level_cap];
    size_t component_length[level_cap];
    size_t levels;
    path_spec_provider provider;
    int examined;
    int removed;
    ULONGLONG deadline;
};

wchar_t sweep_path[sweep_path_capacity];

bool out_of_work(const sweep_state& state)
{
    return state.removed >= removal_cap || state.examined >= examined_cap || GetTickCount64() >= state.deadline;
}

void consider(sweep_state* state, const run_identity& identity)
{
    if (!identity.has_pid || !identity.has_time || CompareStringOrdinal(sweep_path, -1, run_directory, -1, TRUE) ==
                                                        CSTR_EQUAL) {
        return;
    }
    if (remove_if_left_over(sweep_path, identity.pid, identity.time)) {
        ++state->removed;
        Sleep(removal_pause_ms);
    }
}

void visit(sweep_state* state, size_t level, const run_identity& above)
{
    size_t length = wcslen(sweep_path);
    if (length + 3 >= sweep_path_capacity) {
        return;
    }
    wcscat(sweep_path, L"\\*");  // measured above
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(sweep_path, FindExInfoBasic, &found, FindExSearchLimitToDirectories, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    sweep_path[length] = 0;
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        ++state->examined;
        // A link under a run's name is never followed: it is nobody's run.
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY) {
            continue;
        }
        run_identity identity = above;
        if (run_pattern_match(state->template_text + state->component_start[level], state->component_length[level],
                              found.cFileName, &state->provider, &identity) != run_match_one ||
            length + 1 + wcslen(found.cFileName) >= sweep_path_capacity) {
            continue;
        }
        sweep_path[length] = L'\\';
        copy_wide_bounded(sweep_path + length + 1, found.cFileName, sweep_path_capacity - length - 1);
        if (level + 1 == state->levels) {
            consider(state, identity);
        } else {
            visit(state, level + 1, identity);
        }
        sweep_path[length] = 0;
    } while (!out_of_work(*state) && FindNextFileW(search, &found));
    FindClose(search);
}

DWORD WINAPI sweep_thread(void*)
{
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    sweep_state state = {};
    state.template_text = target_directory_template();
    path_spec_template_facts facts;
    if (state.template_text == nullptr ||
        path_spec_check_template(state.template_text, target_directory_capacity, &facts) != template_ok) {
        return 0;
    }
    size_t base = run_pattern_base(state.template_text, facts.run_root);
    for (size_t at = base + 1; at < facts.run_root && state.levels < level_cap;) {
        size_t end = at;
        while (end < facts.run_root && state.template_text[end] != L'\\') {
            ++end;
        }
        state.component_start[state.levels] = at;
        state.component_length[state.levels++] = end - at;
        at = end + 1;
    }
    // The shared directory itself, expanded as the run's own was.
    wchar_t base_template[target_directory_capacity];
    for (size_t i = 0; i < base; ++i) {
        base_template[i] = state.template_text[i];
    }
    base_template[base] = 0;
    if (state.levels == 0 || base == 0 || !expand_path_spec(sweep_path, base_template, sweep_path_capacity)) {
        return 0;
    }
    state.provider = system_values();
    state.deadline = GetTickCount64() + time_cap_ms;
    visit(&state, 0, run_identity());
    return 0;
}

}  // namespace

void start_sweep()
{
    HANDLE thread =
        CreateThread(nullptr, thread_stack, sweep_thread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}

bool run_is_over(unsigned long pid, unsigned long long time)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        return GetLastError() == ERROR_INVALID_PARAMETER;  // no process has the identifier
    }
    // A process that has ended stays there while anyone holds a handle to
    // it (a process it started, a monitor, a scanner).
    unsigned long long creation = 0;
    bool over = WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ||
                (process_creation_time(process, &creation) && !time_not_before(time, creation));
    CloseHandle(process);
    return over;
}

bool remove_if_left_over(const wchar_t* directory, unsigned long pid, unsigned long long time)
{
    if (!run_is_over(pid, time) || programs_run_from(directory) || !is_private_directory(directory)) {
        return false;
    }
    remove_directory_tree(directory);
    return true;
}
