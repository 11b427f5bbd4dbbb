#include "launcher/cache.h"

#include "launcher/directory_users.h"
#include "launcher/launcher_state.h"
#include "launcher/own_resources.h"
#include "launcher/path_spec_values.h"
#include "launcher/payload_reader.h"
#include "launcher/private_directory.h"
#include "launcher/remove_tree.h"
#include "launcher/sweep.h"
#include "neutral/cache_stamp.h"
#include "neutral/path_spec.h"
#include "neutral/payload_image.h"
#include "neutral/wide_bounded.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "names are UTF-16 code units");

namespace {

// Removals beside the cache directory per remover: old payloads' directories
// are large, and whatever is left waits for the next one.
constexpr int sibling_removal_cap = 16;

const uint8_t* digest = nullptr;
bool digest_read = false;

wchar_t cache_directory[target_directory_capacity];
wchar_t digest_name[cache_digest_name_size];
wchar_t entry_path[32768];

// The stamp of a first start, filled as the walk writes each entry.
uint8_t* pending_stamp = nullptr;
size_t pending_stamp_size = 0;
bool pending_stamp_failed = false;

// A start from the cache directory keeps this open for the process's life.
HANDLE held_stamp = INVALID_HANDLE_VALUE;

unsigned long long filetime_value(const FILETIME& time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// "<directory>\<name>" into entry_path; false when it does not fit.
bool join(const wchar_t* directory, const wchar_t* name)
{
    if (wcslen(directory) + 1 + wcslen(name) >= sizeof entry_path / sizeof entry_path[0]) {
        return false;
    }
    copy_wide_bounded(entry_path, directory, sizeof entry_path / sizeof entry_path[0]);
    append_wide_char_bounded(entry_path, L'\\', sizeof entry_path / sizeof entry_path[0]);
    append_wide_bounded(entry_path, name, sizeof entry_path / sizeof entry_path[0]);
    return true;
}

bool is_directory(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The whole stamp file behind `file`, in a buffer to free with HeapFree;
// null when it is not the size of a stamp of `count` entries.
uint8_t* read_stamp(HANDLE file, uint64_t count)
{
    LARGE_INTEGER size = {};
    size_t expected = cache_stamp_size(count);
    if (expected == 0 || !GetFileSizeEx(file, &size) || static_cast<unsigned long long>(size.QuadPart) != expected) {
        return nullptr;
    }
    uint8_t* data = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, expected));
    size_t done = 0;
    while (data != nullptr && done < expected) {
        DWORD slice = expected - done < (1u << 30) ? static_cast<DWORD>(expected - done) : (1u << 30);
        DWORD got = 0;
        if (!ReadFile(file, data + done, slice, &got, nullptr) || got == 0) {
            HeapFree(GetProcessHeap(), 0, data);
            return nullptr;
        }
        done += got;
    }
    return data;
}

// A cache directory's stamp and every file it lists against the payload:
// true when each file has the payload's size and the size and write time
// that the stamp gives. Nothing is read of the files themselves. With
// `flush`, each file is also opened and flushed to the disk (a first start's
// staging directory, before it moves into place).
bool files_match_stamp(const wchar_t* directory, HANDLE stamp_file, bool flush)
{
    payload_rewind();
    payload_check_header();
    uint64_t count = payload_entry_count();
    uint8_t* stamp = read_stamp(stamp_file, count);
    bool matches = stamp != nullptr && cache_stamp_matches(stamp, cache_stamp_size(count), digest, count);
    wchar_t files[target_directory_capacity];
    matches = matches && wcslen(directory) + 6 < target_directory_capacity;
    if (matches) {
        copy_wide_bounded(files, directory, target_directory_capacity);
        append_wide_bounded(files, L"\\files", target_directory_capacity);
    }
    wchar_t name[payload_name_capacity];
    for (uint64_t index = 0; matches && payload_read_name(name, payload_name_capacity); ++index) {
        uint64_t size = payload_read_size();
        payload_take(size);
        uint64_t stamped_size = 0;
        uint64_t stamped_time = 0;
        cache_stamp_get(stamp, index, &stamped_size, &stamped_time);
        matches = join(files, name) && stamped_size == size;
        if (!matches) {
            break;
        }
        if (!flush) {
            WIN32_FILE_ATTRIBUTE_DATA seen = {};
            matches = GetFileAttributesExW(entry_path, GetFileExInfoStandard, &seen) &&
                      (seen.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                      ((static_cast<uint64_t>(seen.nFileSizeHigh) << 32) | seen.nFileSizeLow) == size &&
                      filetime_value(seen.ftLastWriteTime) == stamped_time;
            continue;
        }
        HANDLE file = CreateFileW(entry_path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        BY_HANDLE_FILE_INFORMATION seen = {};
        matches = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &seen) &&
                  (seen.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                  ((static_cast<uint64_t>(seen.nFileSizeHigh) << 32) | seen.nFileSizeLow) == size &&
                  filetime_value(seen.ftLastWriteTime) == stamped_time && FlushFileBuffers(file);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    if (stamp != nullptr) {
        HeapFree(GetProcessHeap(), 0, stamp);
    }
    payload_rewind();
    return matches;
}

// Opens a directory's stamp for a check that must not race a removal:
// shared for reading only, so that nobody deletes or changes it meanwhile.
HANDLE open_stamp(const wchar_t* directory, DWORD access, DWORD sharing)
{
    if (!join(directory, L"stamp")) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(entry_path, access, sharing, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool is_whole_cache(const wchar_t* directory, HANDLE* stamp)
{
    *stamp = INVALID_HANDLE_VALUE;
    if (!is_private_directory(directory)) {
        return false;
    }
    *stamp = open_stamp(directory, GENERIC_READ, FILE_SHARE_READ);
    if (*stamp != INVALID_HANDLE_VALUE && files_match_stamp(directory, *stamp, false)) {
        return true;
    }
    if (*stamp != INVALID_HANDLE_VALUE) {
        CloseHandle(*stamp);
        *stamp = INVALID_HANDLE_VALUE;
    }
    return false;
}

// "<cache directory><suffix><pid>_<time>" of this run, into `path`.
bool beside_cache(wchar_t* path, const wchar_t* suffix)
{
    wchar_t identity[64];
    if (!expand_path_spec(identity, L"{PID}_{TIME}", 64) ||
        wcslen(cache_directory) + wcslen(suffix) + wcslen(identity) >= target_directory_capacity) {
        return false;
    }
    copy_wide_bounded(path, cache_directory, target_directory_capacity);
    append_wide_bounded(path, suffix, target_directory_capacity);
    append_wide_bounded(path, identity, target_directory_capacity);
    return true;
}

// Takes a cache directory out of use: true once it is this user's private
// one, no program runs from it, and its stamp is gone, so that no start
// runs from it any more. A start from it holds its stamp, which cannot be
// opened alone then: such a directory is in use and stays. The stamp goes
// first, so that a start that comes while the rest goes finds no whole
// directory and runs a first start of its own.
bool retire(const wchar_t* directory)
{
    if (!is_private_directory(directory) || programs_run_from(directory)) {
        return false;
    }
    HANDLE stamp = open_stamp(directory, DELETE | GENERIC_READ, 0);
    if (stamp == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;  // otherwise in use, or not to be had
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool deleted = SetFileInformationByHandle(stamp, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(stamp);
    return deleted;
}

// Puts the staging directory in place of the cache directory: true when it
// is there now. The one there already stays if it is whole (a concurrent
// first start's) or in use, and is moved aside and removed otherwise.
bool move_into_place()
{
    if (MoveFileExW(run_directory, cache_directory, MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    HANDLE stamp = INVALID_HANDLE_VALUE;
    bool whole = is_whole_cache(cache_directory, &stamp);
    if (stamp != INVALID_HANDLE_VALUE) {
        CloseHandle(stamp);
    }
    wchar_t aside[target_directory_capacity];
    if (whole || !retire(cache_directory) || !beside_cache(aside, L".old_") ||
        !MoveFileExW(cache_directory, aside, MOVEFILE_WRITE_THROUGH)) {
        return false;
    }
    bool moved = MoveFileExW(run_directory, cache_directory, MOVEFILE_WRITE_THROUGH) != 0;
    remove_directory_tree(aside);
    return moved;
}

// Calls `visit` with the full path and the classification of every
// directory beside the cache directory whose name is the cache's.
template <typename visitor>
void for_each_sibling(visitor visit)
{
    wchar_t parent[target_directory_capacity];
    copy_wide_bounded(parent, cache_directory, target_directory_capacity);
    wchar_t* last = wcsrchr(parent, L'\\');
    if (last == nullptr) {
        return;
    }
    *last = 0;
    // The base: the cache directory's name without "_<digest>".
    wchar_t base[target_directory_capacity];
    copy_wide_bounded(base, last + 1, target_directory_capacity);
    size_t base_length = wcslen(base);
    if (base_length < 17) {
        return;
    }
    base[base_length - 17] = 0;
    wchar_t pattern[target_directory_capacity + 4];
    if (wcslen(parent) + 1 + wcslen(base) + 2 >= target_directory_capacity) {
        return;
    }
    copy_wide_bounded(pattern, parent, target_directory_capacity);
    append_wide_char_bounded(pattern, L'\\', target_directory_capacity);
    append_wide_bounded(pattern, base, target_directory_capacity);
    append_wide_bounded(pattern, L"_*", target_directory_capacity);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchLimitToDirectories, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY) {
            continue;
        }
        cache_sibling_name kind = cache_classify_sibling(reinterpret_cast<const char16_t*>(found.cFileName),
                                                         reinterpret_cast<const char16_t*>(base),
                                                         reinterpret_cast<const char16_t*>(digest_name));
        wchar_t path[target_directory_capacity];
        if (kind.kind == cache_sibling_other || wcslen(parent) + 1 + wcslen(found.cFileName) >= target_directory_capacity) {
            continue;
        }
        copy_wide_bounded(path, parent, target_directory_capacity);
        append_wide_char_bounded(path, L'\\', target_directory_capacity);
        append_wide_bounded(path, found.cFileName, target_directory_capacity);
        if (!visit(path, kind)) {
            break;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void sweep_siblings()
{
    int removed = 0;
    for_each_sibling([&removed](const wchar_t* path, const cache_sibling_name& kind) {
        bool gone = false;
        if (kind.kind == cache_sibling_version) {
            gone = !kind.own_digest && retire(path);
            if (gone) {
                remove_directory_tree(path);
            }
        } else {
            // What a first start or a replacement left when it was cut
            // short: once its run is over, nobody will move it into place.
            gone = remove_if_left_over(path, kind.pid, kind.time);
        }
        removed += gone ? 1 : 0;
        return removed < sibling_removal_cap;
    });
}

}  // namespace

const uint8_t* cache_digest()
{
    if (!digest_read) {
        digest_read = true;
        size_t size = 0;
        const uint8_t* data = own_resource(MAKEINTRESOURCEW(10), L"" PAYLOAD_CACHE_RESOURCE, &size);
        digest = data != nullptr && size == payload_digest_size ? data : nullptr;
    }
    return digest;
}

bool expand_cache_directories(const wchar_t* template_text)
{
    path_spec_template_facts facts;
    if (cache_digest() == nullptr ||
        path_spec_check_template(template_text, target_directory_capacity, &facts, cache_template) != template_ok ||
        !expand_path_spec(cache_directory, template_text, target_directory_capacity)) {
        return false;
    }
    cache_digest_name(digest, reinterpret_cast<char16_t*>(digest_name));
    if (wcslen(cache_directory) + 1 + wcslen(digest_name) + 8 >= target_directory_capacity) {
        return false;
    }
    append_wide_char_bounded(cache_directory, L'_', target_directory_capacity);
    append_wide_bounded(cache_directory, digest_name, target_directory_capacity);
    if (!beside_cache(run_directory, L".staging_") || wcslen(run_directory) + 6 >= target_directory_capacity) {
        return false;
    }
    copy_wide_bounded(target_directory, run_directory, target_directory_capacity);
    append_wide_bounded(target_directory, L"\\files", target_directory_capacity);
    return true;
}

bool cache_is_ready()
{
    // As for a run's own directory: whoever controls a directory above could
    // move the cache away and put another in its place. A start that finds
    // them so goes on as a first start, which refuses them with the reason.
    wchar_t culprit[target_directory_capacity];
    return judge_directories_above(cache_directory, culprit, target_directory_capacity) ==
               directories_above::private_to_user &&
           is_whole_cache(cache_directory, &held_stamp);
}

bool cache_parent_is_staging()
{
    return is_directory(run_directory);
}

void use_cache_directory()
{
    copy_wide_bounded(run_directory, cache_directory, target_directory_capacity);
    copy_wide_bounded(target_directory, cache_directory, target_directory_capacity);
    append_wide_bounded(target_directory, L"\\files", target_directory_capacity);
}

void record_cached_entry(uint64_t index, uint64_t count, const wchar_t* path)
{
    if (pending_stamp == nullptr && !pending_stamp_failed) {
        pending_stamp_size = cache_stamp_size(count);
        pending_stamp = pending_stamp_size == 0
                            ? nullptr
                            : static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, pending_stamp_size));
        pending_stamp_failed = pending_stamp == nullptr;
        if (pending_stamp != nullptr) {
            cache_stamp_begin(pending_stamp, digest, count);
        }
    }
    WIN32_FILE_ATTRIBUTE_DATA seen = {};
    if (pending_stamp_failed || index >= count || !GetFileAttributesExW(path, GetFileExInfoStandard, &seen)) {
        pending_stamp_failed = true;
        return;
    }
    cache_stamp_set(pending_stamp, index, (static_cast<uint64_t>(seen.nFileSizeHigh) << 32) | seen.nFileSizeLow,
                    filetime_value(seen.ftLastWriteTime));
}

void write_pending_stamp()
{
    // Without a whole stamp the staging directory is never moved into
    // place; the remover then removes it as any run's directory.
    if (pending_stamp == nullptr || pending_stamp_failed || !join(run_directory, L"stamp")) {
        return;
    }
    HANDLE file = CreateFileW(entry_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    size_t done = 0;
    while (done < pending_stamp_size) {
        DWORD slice = pending_stamp_size - done < (1u << 30) ? static_cast<DWORD>(pending_stamp_size - done)
                                                             : (1u << 30);
        DWORD written = 0;
        if (!WriteFile(file, pending_stamp + done, slice, &written, nullptr) || written == 0) {
            break;
        }
        done += written;
    }
    CloseHandle(file);
}

void publish_and_sweep_cache()
{
    // The staging directory only once it is a whole one of this payload's,
    // unchanged since the run wrote it, flushed with its stamp; otherwise
    // it goes, as a run's directory goes without the cache.
    if (is_directory(run_directory) && is_private_directory(run_directory)) {
        HANDLE stamp = open_stamp(run_directory, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
        bool ready = stamp != INVALID_HANDLE_VALUE && files_match_stamp(run_directory, stamp, true) &&
                     FlushFileBuffers(stamp);
        if (stamp != INVALID_HANDLE_VALUE) {
            CloseHandle(stamp);
        }
        if (!ready || !move_into_place()) {
            remove_directory_tree(run_directory);
        }
    }
    sweep_siblings();
}

bool cache_has_leftovers()
{
    bool any = false;
    for_each_sibling([&any](const wchar_t*, const cache_sibling_name& kind) {
        any = kind.kind != cache_sibling_version || !kind.own_digest;
        return !any;
    });
    return any;
}
