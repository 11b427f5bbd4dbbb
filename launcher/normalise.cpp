#include "launcher/normalise.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "neutral/wide_bounded.h"

namespace {

using final_path_function = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// Looked up at run time rather than imported: systems before Vista lack it,
// and the launcher must still start there with the unresolved path.
final_path_function find_final_path_function()
{
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<final_path_function>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetFinalPathNameByHandleW")));
}

bool starts_with(const wchar_t* text, const wchar_t* prefix)
{
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

}  // namespace

bool resolve_final_path(wchar_t* destination, const wchar_t* source, size_t capacity, bool resolve)
{
    if (destination != source && wcslen(source) >= capacity) {
        return false;
    }
    if (!resolve) {
        copy_wide_bounded(destination, source, capacity);
        return true;
    }
    // Access 0: the handle serves queries only, so no sharing mode of the
    // running executable can refuse it. Backup semantics: a directory opens
    // too.
    HANDLE file = CreateFileW(source, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    copy_wide_bounded(destination, source, capacity);
    DWORD result = 0;
    final_path_function final_path = find_final_path_function();
    if (final_path != nullptr) {
        // The result is the path's length without the terminator, or the
        // room needed (terminator included) when it does not fit; 0 on
        // failure, which leaves the copy above in place.
        result = final_path(file, destination, static_cast<DWORD>(capacity), 0);
    }
    CloseHandle(file);
    if (result >= capacity) {
        return false;
    }
    if (result == 0) {
        // A failed call may have scribbled on the buffer; the copy stands.
        copy_wide_bounded(destination, source, capacity);
    }

    if (starts_with(destination, L"\\\\?\\")) {
        if (wcscmp(destination + 4, source) == 0) {
            copy_wide_bounded(destination, source, capacity);
        } else if (destination[4] != 0 && destination[5] == L':') {
            // Moves left over itself; the forward copy is safe.
            wchar_t* to = destination;
            for (const wchar_t* from = destination + 4; (*to = *from) != 0; ++to, ++from) {
            }
        }
    }
    if (starts_with(destination, L"\\\\?\\UNC\\")) {
        // "\\?\UNC\server\share" -> "\\server\share"
        wchar_t* to = destination + 2;
        for (const wchar_t* from = destination + 8; (*to = *from) != 0; ++to, ++from) {
        }
    }
    return true;
}

bool make_short_dir_path(wchar_t* path, size_t capacity)
{
    wchar_t* last_component = nullptr;
    wchar_t* separator = wcsrchr(path, L'\\');
    if (separator != nullptr) {
        last_component = _wcsdup(separator + 1);
        if (last_component == nullptr) {
            // Without its copy the last component would be lost.
            abnormal_end();
        }
        *separator = 0;
    }

    // The size query counts the terminator.
    DWORD needed = GetShortPathNameW(path, nullptr, 0);
    if (needed != 0) {
        wchar_t* short_form = static_cast<wchar_t*>(malloc((static_cast<size_t>(needed) + 1) * sizeof(wchar_t)));
        if (short_form == nullptr) {
            abnormal_end();
        }
        // On success the result is the length without the terminator; a
        // result above `needed` means the path grew between the calls.
        DWORD written = GetShortPathNameW(path, short_form, needed);
        bool fits = written <= needed && written < capacity;
        // A second query that fails after a first that succeeded leaves the
        // directory part as it was, as a failed first query does.
        if (fits && written != 0) {
            copy_wide_bounded(path, short_form, capacity);
        }
        free(short_form);
        if (!fits) {
            free(last_component);
            return false;
        }
    }

    if (last_component != nullptr) {
        bool fits = wcslen(path) + 1 + wcslen(last_component) < capacity;
        if (fits) {
            append_wide_char_bounded(path, L'\\', capacity);
            append_wide_bounded(path, last_component, capacity);
        }
        free(last_component);
        return fits;
    }
    return true;
}
