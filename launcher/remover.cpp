#include "launcher/remover.h"

#include <windows.h>
#include <stdlib.h>

#include "launcher/cache.h"
#include "launcher/cleanup.h"
#include "launcher/directory_users.h"
#include "launcher/environment.h"
#include "launcher/launcher_state.h"
#include "launcher/own_resources.h"
#include "launcher/payload_reader.h"
#include "launcher/private_directory.h"
#include "launcher/roles.h"
#include "neutral/wide_bounded.h"

namespace {

constexpr size_t identity_capacity = 64;
constexpr DWORD remover_path_capacity = 32768;

wchar_t remover_path[remover_path_capacity];
wchar_t remover_line[remover_path_capacity + 2];

bool all_digits(const wchar_t* text)
{
    if (text == nullptr || *text == 0) {
        return false;
    }
    for (; *text != 0; ++text) {
        if (*text < L'0' || *text > L'9') {
            return false;
        }
    }
    return true;
}

// "<identifier>_<start>" from the two variables, or false when either is
// not a number that fits.
bool run_identity(wchar_t* identity)
{
    wchar_t* parent = get_environment_value("TALMIR_ONEFILE_PARENT");
    wchar_t* start = get_environment_value("TALMIR_ONEFILE_START");
    bool usable = all_digits(parent) && all_digits(start) && wcslen(parent) + 1 + wcslen(start) < identity_capacity;
    if (usable) {
        copy_wide_bounded(identity, parent, identity_capacity);
        append_wide_char_bounded(identity, L'_', identity_capacity);
        append_wide_bounded(identity, start, identity_capacity);
    }
    free(parent);
    free(start);
    return usable;
}

// The parent has ended or is about to; a process under its identifier that
// was created after the run's start is a later one, and the parent is gone.
void wait_for_parent()
{
    wchar_t* parent = get_environment_value("TALMIR_ONEFILE_PARENT");
    DWORD identifier = parent != nullptr ? static_cast<DWORD>(wcstoul(parent, nullptr, 10)) : 0;
    free(parent);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, identifier);
    if (process == nullptr) {
        return;
    }
    if (start_not_before_creation_of(process)) {
        WaitForSingleObject(process, INFINITE);
    }
    CloseHandle(process);
}

}  // namespace

bool hand_removal_to_remover()
{
    return (cache_digest() != nullptr || programs_run_from(run_directory)) && start_remover();
}

bool start_remover()
{
    wchar_t identity[identity_capacity];
    if (!run_identity(identity)) {
        return false;
    }
    DWORD length = GetModuleFileNameW(nullptr, remover_path, remover_path_capacity);
    if (length == 0 || length >= remover_path_capacity) {
        return false;
    }
    copy_wide_bounded(remover_line, L"\"", remover_path_capacity + 2);
    append_wide_bounded(remover_line, remover_path, remover_path_capacity + 2);
    append_wide_char_bounded(remover_line, L'"', remover_path_capacity + 2);
    // Outside the directory, where no removal can reach and nobody else's
    // current directory is kept from going.
    wchar_t system_directory[MAX_PATH];
    UINT system_length = GetSystemDirectoryW(system_directory, MAX_PATH);
    if (system_length == 0 || system_length >= MAX_PATH) {
        return false;
    }

    // Only for this start: the application's processes, started long
    // before, never see the variable.
    set_environment_value("TALMIR_ONEFILE_REMOVER", identity);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // and none of them
    PROCESS_INFORMATION process = {};
    // No console (a closing one would end it), a process group of its own
    // (no Ctrl+C of the caller's reaches it), no handle of the caller's
    // (which would keep a pipe open for whoever reads the application's
    // output), and out of every job that lets it go: a job that ends with
    // the caller (a terminal's, a build's) would end it before the helpers.
    DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB;
    BOOL started = CreateProcessW(remover_path, remover_line, nullptr, nullptr, FALSE, flags, nullptr,
                                  system_directory, &startup, &process);
    if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
        // A job that allows no breakaway: the remover lives as long as it.
        started = CreateProcessW(remover_path, remover_line, nullptr, nullptr, FALSE,
                                 flags & ~CREATE_BREAKAWAY_FROM_JOB, nullptr, system_directory, &startup, &process);
    }
    unset_environment_value("TALMIR_ONEFILE_REMOVER");
    if (!started) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool is_remover_start()
{
    wchar_t* named = get_environment_value("TALMIR_ONEFILE_REMOVER");
    if (named == nullptr) {
        return false;
    }
    unset_environment_value("TALMIR_ONEFILE_REMOVER");
    wchar_t identity[identity_capacity];
    bool remover = run_identity(identity) && wcscmp(named, identity) == 0;
    free(named);
    return remover;
}

int run_remover()
{
    const wchar_t* template_text = nullptr;
    if (!expand_target_directory(&template_text)) {
        return 3;
    }
    if (cache_digest() != nullptr) {
        // A first start's staging directory, once the run is over; or only
        // what lies beside the cache directory, for a start from it.
        if (cache_parent_is_staging()) {
            wait_for_parent();
            wait_for_programs_in(run_directory);
        }
        payload_open();
        publish_and_sweep_cache();
        return 0;
    }
    wait_for_parent();
    wait_for_programs_in(run_directory);
    if (is_private_directory(run_directory)) {
        arm_cleanup();
        remove_target();
    }
    return 0;
}
