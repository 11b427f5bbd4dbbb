#include "launcher/extract.h"

#include <windows.h>
#include <string.h>

#include "launcher/cache.h"
#include "launcher/cleanup.h"
#include "launcher/directories.h"
#include "launcher/failures.h"
#include "launcher/handoff.h"
#include "launcher/launcher_state.h"
#include "launcher/payload_reader.h"
#include "launcher/private_directory.h"
#include "launcher/run_end.h"
#include "neutral/payload_image.h"
#include "neutral/wide_bounded.h"

namespace {

wchar_t name_buffer[payload_name_capacity];
wchar_t entry_path[entry_path_capacity];
// Every slice is copied here and written from here, so memory does not grow
// with the size of an entry or of the payload.
unsigned char staging[payload_slice_size];

// The parent creates the run's directory itself, before its first file,
// and refuses one that is already there: whoever made it could replace
// what is unpacked below it. The directories above it are shared with other
// runs and stay. A payload without entries never gets here, so it creates
// nothing.
void create_target_directory()
{
    if (target_directory[0] == 0) {
        return;  // entry paths then start at the root of the current drive
    }
    // Whoever controls a directory above could move the run's away after
    // the unpacking and put another main library in its place.
    wchar_t culprit[target_directory_capacity];
    switch (judge_directories_above(run_directory, culprit, target_directory_capacity)) {
    case directories_above::controlled_by_others:
        fail_with_text(L"Error, other users could move the target directory away through '%ls'.\n", culprit);
    case directories_above::unreadable:
        fail_with_system_error("Error, couldn't unpack file to target path.", GetLastError());
    case directories_above::private_to_user:
        break;
    }
    ensure_parent_directories(run_directory);
    if (!create_private_directory(run_directory)) {
        fail_with_system_error("Error, couldn't unpack file to target path.", GetLastError());
    }
    if (!hold_run_directory()) {
        fail_with_system_error("Error, couldn't unpack file to target path.", GetLastError());
    }
    // Only now: before its creation (and, should it have been swapped, at
    // all) a directory of that name is someone else's, and an end of the run
    // must leave it alone.
    arm_cleanup();
    remember_directory(run_directory);
    // A target directory further down lies inside the run's own.
    if (wcscmp(run_directory, target_directory) != 0) {
        ensure_parent_directories(target_directory);
        if (!create_private_directory(target_directory)) {
            fail_with_system_error("Error, couldn't unpack file to target path.", GetLastError());
        }
        remember_directory(target_directory);
    }
}

// The target directory, one separator and the entry's name.
void join_entry_path()
{
    entry_path[0] = 0;
    if (target_directory[0] != 0) {
        copy_wide_bounded(entry_path, target_directory, entry_path_capacity);
    }
    append_wide_char_bounded(entry_path, L'\\', entry_path_capacity);
    append_wide_bounded(entry_path, name_buffer, entry_path_capacity);
}

// An end of the run has begun on another thread (a console event): write
// nothing more into a directory that is going away, and hold no file open
// in it, which would keep it from going.
void give_way_if_ending(HANDLE file)
{
    if (!is_child_role() && run_is_ending()) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        give_way_to_end();
    }
}

void write_entry(uint64_t remaining)
{
    ensure_parent_directories(entry_path);
    HANDLE file = CreateFileW(entry_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail_with_text(L"Error, failed to open '%ls' for writing.\n", entry_path);
    }
    while (remaining != 0) {
        give_way_if_ending(file);
        DWORD slice = remaining <= payload_slice_size ? static_cast<DWORD>(remaining)
                                                      : static_cast<DWORD>(payload_slice_size);
        memcpy(staging, payload_take(slice), slice);
        DWORD written = 0;
        if (!WriteFile(file, staging, slice, &written, nullptr)) {
            fail_with_system_error("Error, couldn't unpack file to target path.", GetLastError());
        }
        remaining -= slice;
    }
    CloseHandle(file);
}

}  // namespace

bool find_main_library()
{
    if (!payload_read_name(name_buffer, payload_name_capacity)) {
        return false;
    }
    join_entry_path();
    copy_wide_bounded(main_library_path, entry_path, main_library_path_capacity);
    return true;
}

unpack_result unpack_payload()
{
    bool cached = cache_digest() != nullptr;
    for (uint64_t index = 0;; ++index) {
        give_way_if_ending(INVALID_HANDLE_VALUE);
        if (!payload_read_name(name_buffer, payload_name_capacity)) {
            if (cached && !is_child_role() && index != 0) {
                write_pending_stamp();
            }
            return {false, 0};
        }
        join_entry_path();

        bool first = main_library_path[0] == 0;
        if (first) {
            // A first entry path longer than the main-library buffer is an
            // internal limit like any other full buffer: the process ends
            // before anything is created for it.
            copy_wide_bounded(main_library_path, entry_path, main_library_path_capacity);
            if (is_child_role()) {
                return {true, run_main_library()};
            }
        }
        uint64_t size = payload_read_size();
        if (first) {
            create_target_directory();
        }
        write_entry(size);
        if (cached) {
            record_cached_entry(index, payload_entry_count(), entry_path);
        }
    }
}
