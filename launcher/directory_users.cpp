#include "launcher/directory_users.h"

#include <windows.h>
#include <tlhelp32.h>

#include "launcher/normalise.h"
#include "launcher/system_library.h"
#include "neutral/wide_bounded.h"

namespace {

// Both spellings of the directory, each with a separator after it so that
// "...\onefile_1_2" does not take in "...\onefile_1_23". Static for their
// size, and so taken by one thread at a time: the parent's end and its sweep
// of earlier runs' directories may ask at once.
SRWLOCK spelling_lock = SRWLOCK_INIT;
constexpr size_t spelling_capacity = 32768;
wchar_t given_spelling[spelling_capacity];
wchar_t final_spelling[spelling_capacity];
wchar_t image_path[spelling_capacity];

using image_name_function = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);

void with_separator(wchar_t* spelling)
{
    size_t length = wcslen(spelling);
    if (length != 0 && spelling[length - 1] != L'\\' && length + 1 < spelling_capacity) {
        spelling[length] = L'\\';
        spelling[length + 1] = 0;
    }
}

// Fills the two spellings; false when the directory is not there.
bool spell_directory(const wchar_t* directory)
{
    if (wcslen(directory) + 2 > spelling_capacity ||
        !resolve_final_path(final_spelling, directory, spelling_capacity - 1, true)) {
        return false;
    }
    with_separator(final_spelling);
    copy_wide_bounded(given_spelling, directory, spelling_capacity);
    with_separator(given_spelling);
    return true;
}

bool starts_with_ignoring_case(const wchar_t* path, const wchar_t* prefix)
{
    size_t length = wcslen(prefix);
    return length != 0 && CompareStringOrdinal(path, static_cast<int>(wcsnlen(path, length)), prefix,
                                               static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// Calls `found` with an open handle (query and synchronise) of each process
// that runs a program from inside the spelled directory, until it returns
// false. Processes of other users cannot be opened, and cannot run anything
// from a directory only this user may enter either.
template <typename visitor>
void for_each_program_inside(visitor found)
{
    auto image_name = bind_system_function<image_name_function>(L"kernel32.dll", "QueryFullProcessImageNameW");
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (image_name == nullptr || snapshot == INVALID_HANDLE_VALUE) {
        if (snapshot != INVALID_HANDLE_VALUE) {
            CloseHandle(snapshot);
        }
        return;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool more = Process32FirstW(snapshot, &entry) != 0;
    for (; more; more = Process32NextW(snapshot, &entry) != 0) {
        if (entry.th32ProcessID == 0 || entry.th32ProcessID == GetCurrentProcessId()) {
            continue;
        }
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        DWORD size = spelling_capacity;
        bool inside = image_name(process, 0, image_path, &size) &&
                      (starts_with_ignoring_case(image_path, given_spelling) ||
                       starts_with_ignoring_case(image_path, final_spelling));
        if (!inside) {
            CloseHandle(process);
        } else if (!found(process)) {  // the visitor owns the handle now
            break;
        }
    }
    CloseHandle(snapshot);
}

}  // namespace

bool programs_run_from(const wchar_t* directory)
{
    AcquireSRWLockExclusive(&spelling_lock);
    bool any = false;
    if (spell_directory(directory)) {
        for_each_program_inside([&any](HANDLE process) {
            any = true;
            CloseHandle(process);
            return false;
        });
    }
    ReleaseSRWLockExclusive(&spelling_lock);
    return any;
}

void wait_for_programs_in(const wchar_t* directory)
{
    // A helper may start another before it ends: the processes are looked
    // for again after every wait, until none is found.
    for (;;) {
        HANDLE waiting[MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        AcquireSRWLockExclusive(&spelling_lock);
        if (spell_directory(directory)) {
            for_each_program_inside([&](HANDLE process) {
                waiting[count++] = process;
                return count < MAXIMUM_WAIT_OBJECTS;
            });
        }
        ReleaseSRWLockExclusive(&spelling_lock);
        if (count == 0) {
            return;
        }
        WaitForMultipleObjects(count, waiting, TRUE, INFINITE);
        for (DWORD i = 0; i < count; ++i) {
            CloseHandle(waiting[i]);
        }
    }
}
