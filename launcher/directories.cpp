#include "launcher/directories.h"

#include <windows.h>
#include <stdlib.h>

#include "launcher/failures.h"
#include "launcher/path_spec_values.h"
#include "neutral/path_spec.h"
#include "neutral/wide_bounded.h"

namespace {

constexpr size_t work_capacity = 4096;

// Copies owned by the table for the process's life. A lookup is a linear
// scan of exact code-unit comparisons: case and spelling count.
wchar_t* known_directories[known_directory_capacity];
int known_directory_count = 0;

void store(const wchar_t* path)
{
    if (known_directory_count >= known_directory_capacity) {
        return;
    }
    wchar_t* copy = _wcsdup(path);
    // Without a copy there is nothing to compare later: leave it unknown,
    // which only costs another system call for that directory.
    if (copy != nullptr) {
        known_directories[known_directory_count++] = copy;
    }
}

// Entry 0 is the user's profile folder, added on the first call whatever its
// path and without asking whether the folder exists.
void seed()
{
    if (known_directory_count != 0) {
        return;
    }
    wchar_t home[work_capacity];
    if (!expand_path_spec(home, L"{HOME}", work_capacity)) {
        write_error(L"Error, couldn't runtime expand spec '%ls'.\n", L"{HOME}");
        abnormal_end();
    }
    wchar_t* copy = _wcsdup(home);
    if (copy == nullptr) {
        // The table must never hold an entry that cannot be compared, and
        // a seed-less table would seed again on every call.
        abnormal_end();
    }
    known_directories[known_directory_count++] = copy;
}

}  // namespace

void remember_directory(const wchar_t* path)
{
    seed();
    store(path);
}

bool ensure_directory(const wchar_t* path)
{
    seed();
    for (int i = 0; i < known_directory_count; ++i) {
        if (wcscmp(known_directories[i], path) == 0) {
            return true;
        }
    }
    // A drive designator ("C:") is never created; any first code unit counts.
    if (path[0] != 0 && path[1] == L':' && path[2] == 0) {
        return true;
    }
    // ERROR_ALREADY_EXISTS counts as success whatever kind of object is there.
    if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    store(path);
    return true;
}

// The chain of missing directories is created from the outermost missing one
// inwards. Written as a loop over the cut positions rather than recursion, so
// the stack stays flat for any depth a 4096-unit path allows, while making
// the same calls in the same order: going outwards, each level tries its
// directory once until one exists (or no separator is left); coming back,
// each level that failed tries once more, innermost last, and the first
// level's answer is the result.
bool ensure_parent_directories(const wchar_t* file_path)
{
    if (file_path == nullptr) {
        abnormal_end();
    }
    wchar_t work[work_capacity];
    copy_wide_bounded(work, file_path, work_capacity);

    // cuts[k] is where level k cut the path (its separator, at index >= 1).
    unsigned short cuts[work_capacity];
    int cut_count = 0;
    int failed = 0;  // levels whose first try failed: 0 .. failed-1
    size_t end = wcslen(work);
    for (;;) {
        // Backwards from the last code unit down to the second; the first
        // is never examined.
        size_t cut = 0;
        for (size_t i = end; i > 1; --i) {
            if (work[i - 1] == L'\\') {
                cut = i - 1;
                break;
            }
        }
        if (cut == 0) {
            break;  // nothing above this level: it counts as success
        }
        work[cut] = 0;
        cuts[cut_count++] = static_cast<unsigned short>(cut);
        if (ensure_directory(work)) {
            break;
        }
        ++failed;
        end = cut;
    }
    if (failed == 0) {
        return true;
    }
    // Coming back inwards: each failed level tries once more.
    bool result = false;
    for (int level = failed - 1; level >= 0; --level) {
        if (level + 1 < cut_count) {
            work[cuts[level + 1]] = L'\\';  // undo the inner level's cut
        }
        result = ensure_directory(work);
    }
    return result;
}
