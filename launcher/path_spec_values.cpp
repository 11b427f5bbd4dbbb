// The system's values for the path spec placeholders.
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/environment.h"
#include "launcher/launcher_state.h"
#include "launcher/own_resources.h"
#include "launcher/path_spec_values.h"
#include "launcher/shell_functions.h"
#include "neutral/path_spec.h"
#include "neutral/wide_bounded.h"

namespace {

// The launcher's own version information says the same; an executable
// without version information (the unit tests) falls back on these.
const wchar_t default_company[] = L"Merla Software";
const wchar_t default_product[] = L"Merla";
const wchar_t default_version[] = L"0.0.6.0";

// The application's value as its version information shows it, so that the
// directory names and Explorer's properties cannot disagree.
void append_version_value(wchar_t* output, const char* key, const wchar_t* fallback, size_t capacity)
{
    wchar_t value[target_directory_capacity];
    own_version_string(key, fallback, value, target_directory_capacity);
    append_wide_bounded(output, value, capacity);
}

bool append_known_folder(wchar_t* output, int folder, size_t capacity)
{
    wchar_t path[MAX_PATH];
    if (shell_get_folder_path(folder, path) != S_OK) {
        return false;
    }
    append_wide_bounded(output, path, capacity);
    return true;
}

bool is_all_digits(const wchar_t* text)
{
    for (const wchar_t* at = text; *at != 0; ++at) {
        if (!iswctype(*at, _DIGIT)) {
            return false;
        }
    }
    return true;
}

// A variable is read twice on purpose: the first read only tests presence,
// the second copy is the one appended. Gone between the two reads is an
// internal limit.
void append_variable_again(wchar_t* output, const char* name, size_t capacity)
{
    wchar_t* value = get_environment_value(name);
    if (value == nullptr) {
        abnormal_end();
    }
    append_wide_bounded(output, value, capacity);
    free(value);
}

bool append_system_value(void*, path_spec_placeholder which, wchar_t* output, size_t capacity)
{
    size_t length = wcslen(output);
    switch (which) {
    case spec_temp: {
        // Written straight at the end. The result is not examined: when the
        // call fails or the room is too small it writes nothing usable, and
        // the expansion goes on with nothing appended.
        DWORD room = static_cast<DWORD>(capacity - length);
        DWORD written = GetTempPathW(room, output + length);
        if (written == 0 || written >= room) {
            output[length] = 0;
        }
        return true;
    }
    case spec_program:
        if (launcher_argc < 1 || launcher_argv == nullptr || launcher_argv[0] == nullptr) {
            abnormal_end();
        }
        append_wide_bounded(output, launcher_argv[0], capacity);
        return true;
    case spec_pid: {
        wchar_t* parent = get_environment_value("TALMIR_ONEFILE_PARENT");
        if (parent != nullptr) {
            bool digits = is_all_digits(parent);
            free(parent);
            if (!digits) {
                abnormal_end();
            }
            append_variable_again(output, "TALMIR_ONEFILE_PARENT", capacity);
            return true;
        }
        char text[128];
        snprintf(text, sizeof text, "%ld", static_cast<long>(GetCurrentProcessId()));
        append_narrow_bounded(output, text, capacity);
        return true;
    }
    case spec_company:
        append_version_value(output, "CompanyName", default_company, capacity);
        return true;
    case spec_product:
        append_version_value(output, "ProductName", default_product, capacity);
        return true;
    case spec_version:
        append_version_value(output, "ProductVersion", default_version, capacity);
        return true;
    case spec_home:
        return append_known_folder(output, CSIDL_PROFILE, capacity);
    case spec_cache_dir:
        return append_known_folder(output, CSIDL_LOCAL_APPDATA, capacity);
    case spec_time: {
        wchar_t* start = get_environment_value("TALMIR_ONEFILE_START");
        if (start != nullptr) {
            free(start);
            append_variable_again(output, "TALMIR_ONEFILE_START", capacity);
            return true;
        }
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        long long count = static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                                                 now.dwLowDateTime);
        wchar_t text[1024];
        _snwprintf(text, 1024, L"%lld", count);
        text[1023] = 0;
        // Exported before it is appended, so that a child started later
        // computes the same directory.
        set_environment_value("TALMIR_ONEFILE_START", text);
        append_wide_bounded(output, text, capacity);
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

path_spec_provider system_values()
{
    return {append_system_value, nullptr};
}

bool expand_path_spec(wchar_t* output, const wchar_t* spec, size_t capacity)
{
    path_spec_provider provider = system_values();
    return expand_path_spec_with(output, spec, capacity, &provider);
}
