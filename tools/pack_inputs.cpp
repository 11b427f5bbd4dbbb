#include "tools/pack_inputs.h"

#include <windows.h>

#include <algorithm>

#include "neutral/payload_image.h"
#include "neutral/payload_names.h"
#include "neutral/pe_check.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

static_assert(sizeof(wchar_t) == sizeof(uint16_t), "entry names are UTF-16 code units");

namespace {

struct input_spec {
    std::wstring argument;  // as given, for messages
    std::wstring full;      // absolute source path
    std::wstring name;      // stored name (or directory prefix), backslashed
    bool named;             // SOURCE=NAME was used
};

const uint16_t* units(const std::wstring& text)
{
    return reinterpret_cast<const uint16_t*>(text.data());
}

// SOURCE=NAME splits at the last '=', since a stored name rarely needs one
// while a source path might: "C:\a=b\x.dll=x.dll" stores C:\a=b\x.dll as
// x.dll. An argument that names an existing path as a whole is a path.
int split_input(const std::wstring& argument, input_spec* given)
{
    given->argument = argument;
    given->named = false;
    std::wstring source = argument;
    size_t equals = argument.rfind(L'=');
    if (equals != std::wstring::npos) {
        DWORD error = 0;
        std::wstring whole = full_path(argument);
        if (whole.empty() || path_attributes(whole, nullptr, &error) == INVALID_FILE_ATTRIBUTES) {
            source = argument.substr(0, equals);
            given->name = backslashed(argument.substr(equals + 1));
            given->named = true;
        }
    }
    if (source.empty()) {
        report(L"input " + quoted(argument) + L" has no path before '=' (write SOURCE=NAME)");
        return status_usage;
    }
    given->full = full_path(source);
    if (given->full.empty()) {
        report(L"cannot make an absolute path of " + quoted(source) + L": " + system_error_text(GetLastError()));
        return status_failed;
    }
    if (!given->named) {
        given->name = base_name(given->full);
    }
    return status_ok;
}

// The source's attributes, or a report naming what is wrong with it.
bool inspect_source(const input_spec& given, const wchar_t* role, DWORD* attributes, uint64_t* size)
{
    DWORD error = 0;
    *attributes = path_attributes(given.full, size, &error);
    if (*attributes != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        report(std::wstring(role) + L" " + quoted(given.argument) + L" not found (" + given.full + L")");
    } else {
        report(L"cannot read " + std::wstring(role) + L" " + quoted(given.argument) + L": " + system_error_text(error));
    }
    return false;
}

bool check_entry_name(const std::wstring& name, const std::wstring& source, const wchar_t* what)
{
    payload_name_problem problem = payload_check_portable_name(units(name), name.size());
    if (problem == name_ok) {
        return true;
    }
    std::wstring reason = to_wide_text(payload_name_problem_text(problem));
    report(L"entry " + quoted(name) + L" (" + what + L" " + source + L"): " + reason);
    return false;
}

struct walk_state {
    std::vector<pack_entry>* entries;
    bool keep_empty_dirs;
};

// Depth needs no limit of its own: every level adds at least two code units
// to the stored names below it, and a name reaching 1024 units is refused,
// so even a directory link that loops back ends the walk.
bool walk_directory(walk_state* state, const std::wstring& directory, const std::wstring& prefix)
{
    if (prefix.size() >= payload_name_capacity) {
        return check_entry_name(prefix, directory, L"from directory");
    }
    WIN32_FIND_DATAW found;
    // FindExInfoBasic skips the 8.3 short names nobody here needs, and the
    // large fetch asks for many entries per call on big directories.
    HANDLE search = FindFirstFileExW(system_path(directory + L"\\*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    size_t children = 0;
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // A drive root has no "." or "..": an empty one finds nothing at all.
        if (error != ERROR_FILE_NOT_FOUND) {
            report(L"cannot read directory " + directory + L": " + system_error_text(error));
            return false;
        }
    } else {
        bool ok = true;
        do {
            std::wstring leaf = found.cFileName;
            if (leaf == L"." || leaf == L"..") {
                continue;
            }
            ++children;
            std::wstring source = directory + L"\\" + leaf;
            std::wstring name = prefix.empty() ? leaf : prefix + L"\\" + leaf;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = walk_directory(state, source, name);
            } else {
                ok = check_entry_name(name, source, L"from");
                uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
                state->entries->push_back({name, source, size});
            }
        } while (ok && FindNextFileW(search, &found));
        DWORD error = GetLastError();
        FindClose(search);
        if (!ok) {
            return false;
        }
        if (error != ERROR_NO_MORE_FILES) {
            report(L"cannot read directory " + directory + L": " + system_error_text(error));
            return false;
        }
    }
    // The top of an input stored at the image's top level is the target
    // directory itself, which exists anyway.
    if (children == 0 && state->keep_empty_dirs && !prefix.empty()) {
        std::wstring name = prefix + L"\\" + empty_directory_placeholder;
        if (!check_entry_name(name, directory, L"placeholder for empty directory")) {
            return false;
        }
        state->entries->push_back({name, L"", 0});
    }
    return true;
}

int add_main_library(const std::wstring& argument, std::vector<pack_entry>* entries)
{
    input_spec given;
    int status = split_input(argument, &given);
    if (status != status_ok) {
        return status;
    }
    DWORD attributes = 0;
    uint64_t size = 0;
    if (!inspect_source(given, L"main library", &attributes, &size)) {
        return status_failed;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        report(L"main library " + quoted(argument) + L" is a directory, not a DLL");
        return status_failed;
    }
    if (given.name.empty()) {
        report(L"main library " + quoted(argument) + L" needs a name after '='");
        return status_failed;
    }
    if (!check_entry_name(given.name, given.full, L"main library")) {
        return status_failed;
    }
    file_view view;
    DWORD error = 0;
    if (!open_file_view(given.full, &view, &error)) {
        report(L"cannot read main library " + quoted(argument) + L": " + system_error_text(error));
        return status_failed;
    }
    pe_facts facts;
    pe_problem problem = pe_check_main_library(view.bytes, static_cast<size_t>(view.size), &facts);
    close_file_view(&view);
    if (problem != pe_ok) {
        std::wstring detail;
        if (problem == pe_not_64_bit) {
            wchar_t machine[32];
            swprintf(machine, 32, L" (machine 0x%04X)", facts.machine);
            detail = machine;
        }
        report(L"main library " + quoted(argument) + L" is " + to_wide_text(pe_problem_text(problem)) + detail);
        return status_failed;
    }
    entries->push_back({given.name, given.full, size});
    return status_ok;
}

int add_input(const std::wstring& argument, walk_state* state)
{
    input_spec given;
    int status = split_input(argument, &given);
    if (status != status_ok) {
        return status;
    }
    DWORD attributes = 0;
    uint64_t size = 0;
    if (!inspect_source(given, L"input", &attributes, &size)) {
        return status_failed;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (given.name.empty() && !given.named) {
            report(L"input " + quoted(argument) + L" has no name of its own; write " + argument +
                   L"=NAME, or " + argument + L"= to store its contents at the top level");
            return status_failed;
        }
        return walk_directory(state, given.full, given.name) ? status_ok : status_failed;
    }
    if (given.name.empty()) {
        report(L"input " + quoted(argument) + L" is a file and needs a name after '='");
        return status_failed;
    }
    if (!check_entry_name(given.name, given.full, L"from")) {
        return status_failed;
    }
    state->entries->push_back({given.name, given.full, size});
    return status_ok;
}

// A stored name and each directory above it, for the collision check.
struct name_use {
    std::wstring name;
    bool is_directory;
    size_t entry;  // the entry that stores it or lies below it
};

int compare_ignoring_case(const std::wstring& a, const std::wstring& b)
{
    // Ordinal with case folding: the way NTFS and the launcher's
    // CreateFileW see two names, independent of the user's locale.
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) -
           CSTR_EQUAL;
}

std::wstring describe_source(const pack_entry& entry)
{
    return entry.source.empty() ? std::wstring(L"an empty-directory placeholder") : entry.source;
}

// Two stored names that the file system would take for one: the same name
// in another case, or a file where another entry needs a directory.
bool check_collisions(const std::vector<pack_entry>& entries)
{
    std::vector<name_use> uses;
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::wstring& name = entries[i].name;
        uses.push_back({name, false, i});
        for (size_t at = name.find(L'\\'); at != std::wstring::npos; at = name.find(L'\\', at + 1)) {
            uses.push_back({name.substr(0, at), true, i});
        }
    }
    std::sort(uses.begin(), uses.end(), [](const name_use& a, const name_use& b) {
        int order = compare_ignoring_case(a.name, b.name);
        if (order != 0) {
            return order < 0;
        }
        if (a.is_directory != b.is_directory) {
            return !a.is_directory;  // files first within a group
        }
        return a.entry < b.entry;
    });
    for (size_t start = 0; start < uses.size();) {
        size_t end = start + 1;
        while (end < uses.size() && compare_ignoring_case(uses[start].name, uses[end].name) == 0) {
            ++end;
        }
        const name_use& first = uses[start];
        if (!first.is_directory && end - start > 1) {
            const name_use& second = uses[start + 1];
            const pack_entry& a = entries[first.entry];
            const pack_entry& b = entries[second.entry];
            if (!second.is_directory) {
                if (a.name == b.name) {
                    report(L"two inputs are stored as " + quoted(a.name) + L": " + describe_source(a) + L" and " +
                           describe_source(b));
                } else {
                    report(L"entries " + quoted(a.name) + L" and " + quoted(b.name) +
                           L" differ only in case, and Windows would store them as one file (from " +
                           describe_source(a) + L" and " + describe_source(b) + L")");
                }
            } else {
                report(L"entry " + quoted(a.name) + L" (from " + describe_source(a) + L") is a file, but " +
                       quoted(b.name) + L" needs a directory of that name");
            }
            return false;
        }
        start = end;
    }
    return true;
}

}  // namespace

int collect_entries(const std::wstring& main_library, const std::vector<std::wstring>& inputs, bool keep_empty_dirs,
                    std::vector<pack_entry>* entries)
{
    entries->clear();
    int status = add_main_library(main_library, entries);
    if (status != status_ok) {
        return status;
    }
    walk_state state = {entries, keep_empty_dirs};
    for (const std::wstring& input : inputs) {
        status = add_input(input, &state);
        if (status != status_ok) {
            return status;
        }
    }
    // wchar_t is an unsigned 16-bit code unit here, so this is the ordinal
    // order on UTF-16 code units; it makes the image independent of the
    // order of the arguments and of the directory listings.
    std::sort(entries->begin() + 1, entries->end(),
              [](const pack_entry& a, const pack_entry& b) { return a.name < b.name; });
    return check_collisions(*entries) ? status_ok : status_failed;
}

bool image_size_of(const std::vector<pack_entry>& entries, uint64_t* size)
{
    uint64_t total = 3 + 2 + 2 + 8;  // magic, end marker, trailer
    for (const pack_entry& entry : entries) {
        uint64_t header = 2 * (static_cast<uint64_t>(entry.name.size()) + 1) + 8;
        if (entry.size > UINT64_MAX - header || total > UINT64_MAX - header - entry.size) {
            return false;
        }
        total += header + entry.size;
    }
    *size = total;
    return true;
}
