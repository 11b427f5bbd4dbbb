#include "neutral/path_spec.h"

#include "neutral/wide_bounded.h"

namespace {

struct table_row {
    const wchar_t* name;
    path_spec_placeholder which;
    bool strips_trailing_backslashes;
};

// The order in which names are tried.
const table_row table[] = {
    {L"TEMP", spec_temp, true},
    {L"PROGRAM", spec_program, false},
    {L"PROGRAM_BASE", spec_program_base, false},
    {L"PROGRAM_DIR", spec_program_dir, false},
    {L"PID", spec_pid, false},
    {L"HOME", spec_home, true},
    {L"CACHE_DIR", spec_cache_dir, true},
    {L"COMPANY", spec_company, false},
    {L"PRODUCT", spec_product, false},
    {L"VERSION", spec_version, false},
    {L"TIME", spec_time, false},
};

wchar_t fold(wchar_t unit)
{
    return (unit >= L'a' && unit <= L'z') ? static_cast<wchar_t>(unit - L'a' + L'A') : unit;
}

// Names are ASCII, and the runtime's case-insensitive compare folds only
// ASCII letters in the default locale, which the launcher never changes.
bool equal_ignoring_case(const wchar_t* a, const wchar_t* b)
{
    while (*a != 0 && fold(*a) == fold(*b)) {
        ++a;
        ++b;
    }
    return fold(*a) == fold(*b);
}

size_t length_of(const wchar_t* text)
{
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

// PROGRAM_BASE and PROGRAM_DIR: "{PROGRAM}" expanded into the output's tail,
// with the remaining room as its capacity.
bool append_program_derived(wchar_t* output, size_t length, size_t capacity, bool base,
                            const path_spec_provider* provider)
{
    wchar_t* tail = output + length;
    if (!expand_path_spec_with(tail, L"{PROGRAM}", capacity - length, provider)) {
        return false;
    }
    size_t appended = length_of(tail);
    if (base) {
        if (appended >= 4 && equal_ignoring_case(tail + appended - 4, L".exe")) {
            tail[appended - 4] = 0;
        }
        return true;
    }
    for (size_t i = appended; i > 0; --i) {
        if (tail[i - 1] == L'\\') {
            tail[i - 1] = 0;
            break;
        }
    }
    return true;
}

bool append_placeholder(wchar_t* output, size_t length, size_t capacity, path_spec_placeholder which,
                        const path_spec_provider* provider)
{
    switch (which) {
    case spec_program_base:
        return append_program_derived(output, length, capacity, true, provider);
    case spec_program_dir:
        return append_program_derived(output, length, capacity, false, provider);
    case spec_unknown:
        return false;
    default:
        return provider->append_value(provider->context, which, output, capacity);
    }
}

}  // namespace

path_spec_placeholder path_spec_lookup(const wchar_t* name)
{
    for (const table_row& row : table) {
        if (equal_ignoring_case(name, row.name)) {
            return row.which;
        }
    }
    return spec_unknown;
}

bool expand_path_spec_with(wchar_t* output, const wchar_t* spec, size_t capacity, const path_spec_provider* provider)
{
    if (capacity == 0) {
        abnormal_end();
    }
    output[0] = 0;
    size_t length = 0;
    wchar_t name[path_spec_name_capacity];
    size_t name_length = 0;
    bool name_open = false;

    for (const wchar_t* at = spec; *at != 0; ++at) {
        wchar_t unit = *at;
        if (unit == L'{') {
            // A second opening brace starts the name again.
            name_open = true;
            name_length = 0;
            continue;
        }
        if (unit == L'}' && name_open) {
            name[name_length] = 0;
            name_open = false;
            path_spec_placeholder which = path_spec_lookup(name);
            if (which == spec_unknown) {
                return false;
            }
            if (!append_placeholder(output, length, capacity, which, provider)) {
                return false;
            }
            length = length_of(output);
            bool strips = false;
            for (const table_row& row : table) {
                if (row.which == which) {
                    strips = row.strips_trailing_backslashes;
                }
            }
            while (strips && length > 0 && output[length - 1] == L'\\') {
                output[--length] = 0;
            }
            continue;
        }
        if (name_open) {
            // A name longer than its buffer cannot be in the table: the
            // expansion fails instead of reading or writing past the buffer.
            if (name_length + 1 >= path_spec_name_capacity) {
                return false;
            }
            name[name_length++] = unit;
            continue;
        }
        // Literal text, a closing brace with no name open included. Unlike a
        // placeholder value, literal text that does not fit only fails.
        if (length + 1 >= capacity) {
            return false;
        }
        output[length++] = unit;
        output[length] = 0;
    }
    return true;
}

path_spec_template_problem path_spec_check_template(const wchar_t* spec, size_t capacity,
                                                    path_spec_template_facts* facts, path_spec_template_kind kind)
{
    *facts = {0, 0, 0};
    size_t length = length_of(spec);
    if (length + 1 > capacity) {
        return template_too_long;
    }
    bool pid = false;
    bool time = false;
    bool rooted = false;
    bool folder_inside = false;
    size_t folder_at = 0;
    size_t folder_length = 0;
    size_t open_at = 0;
    bool name_open = false;
    for (size_t i = 0; i < length; ++i) {
        wchar_t unit = spec[i];
        if (unit == L'{') {
            // The expansion would start the name again and drop what came
            // before: never what a template means.
            if (name_open) {
                *facts = {open_at, i - open_at, 0};
                return template_unclosed;
            }
            name_open = true;
            open_at = i;
            continue;
        }
        if (name_open && unit == L'}') {
            name_open = false;
            wchar_t name[path_spec_name_capacity];
            size_t name_length = i - open_at - 1;
            path_spec_placeholder which = spec_unknown;
            if (name_length < path_spec_name_capacity) {
                for (size_t k = 0; k < name_length; ++k) {
                    name[k] = spec[open_at + 1 + k];
                }
                name[name_length] = 0;
                which = path_spec_lookup(name);
            }
            // The run's own directory, once found, stays what it is: a
            // placeholder further down names a directory inside it.
            *facts = {open_at, i + 1 - open_at, facts->run_root};
            if (which == spec_unknown) {
                return template_unknown;
            }
            // The parent sees its first argument as its caller typed it
            // (perhaps relative, perhaps without ".exe"), its child the full
            // path: the two would name different directories.
            if (which == spec_program || which == spec_program_base || which == spec_program_dir) {
                return template_program;
            }
            bool folder = which == spec_temp || which == spec_home || which == spec_cache_dir;
            if (open_at == 0) {
                rooted = folder;
            } else if (folder && !folder_inside) {
                // A whole folder's path further in names nothing sensible,
                // and its expansion drops the separators before it, so
                // that a directory would run into the next.
                folder_inside = true;
                folder_at = open_at;
                folder_length = i + 1 - open_at;
            }
            pid |= which == spec_pid;
            time |= which == spec_time;
            continue;
        }
        if (name_open) {
            continue;
        }
        if (unit == L'\\' && pid && time && facts->run_root == 0) {
            facts->run_root = i;
        }
    }
    if (name_open) {
        *facts = {open_at, length - open_at, 0};
        return template_unclosed;
    }
    *facts = {0, 0, facts->run_root};
    bool drive = length >= 3 && spec[1] == L':' && spec[2] == L'\\' &&
                 ((spec[0] >= L'A' && spec[0] <= L'Z') || (spec[0] >= L'a' && spec[0] <= L'z'));
    bool share = length >= 2 && spec[0] == L'\\' && spec[1] == L'\\';
    if (!rooted && !drive && !share) {
        return template_not_absolute;
    }
    if (folder_inside) {
        *facts = {folder_at, folder_length, 0};
        return template_folder_inside;
    }
    if (kind == cache_template && (pid || time)) {
        return template_per_run;
    }
    if (kind == run_template && !pid) {
        return template_no_pid;
    }
    if (kind == run_template && !time) {
        return template_no_time;
    }
    // "…\app_{PID}_{TIME}\" names the run's own directory with a separator
    // after it; the launcher would find that directory already made when it
    // came to make the target. (A cache's directory, which has no {PID} or
    // {TIME} to mark it, is the whole template.)
    if (spec[length - 1] == L'\\') {
        return template_trailing_separator;
    }
    if (facts->run_root == 0) {
        facts->run_root = length;
    }
    return template_ok;
}

const char* path_spec_template_problem_text(path_spec_template_problem problem)
{
    switch (problem) {
    case template_ok: return "a usable template";
    case template_too_long: return "it is longer than a target directory can be";
    case template_trailing_separator: return "it ends with a separator";
    case template_folder_inside:
        return "{TEMP}, {HOME} and {CACHE_DIR} name whole folders and may only start it";
    case template_per_run:
        return "with the cache every run shares one directory, and {PID} and {TIME} would give each run its own";
    case template_unclosed: return "a '{' has no '}'";
    case template_unknown: return "it names an unknown placeholder";
    case template_program:
        return "{PROGRAM}, {PROGRAM_BASE} and {PROGRAM_DIR} name the executable as its caller typed it, "
               "which the launcher's second start does not share";
    case template_not_absolute:
        return "it must start with {TEMP}, {HOME}, {CACHE_DIR}, a drive (C:\\) or a share (\\\\server\\share)";
    case template_no_pid: return "it lacks {PID}, without which two runs at a time would share a directory";
    case template_no_time:
        return "it lacks {TIME}, without which a run would meet the directory of an earlier one with its "
               "process identifier";
    }
    return "unknown problem";
}
