#include "tools/pack_inputs.h"

#include <stdio.h>

#include <algorithm>

#include "neutral/payload_image.h"
#include "neutral/payload_names.h"
#include "neutral/pe_check.h"
#include "neutral/utf.h"
#include "tools/host_files.h"
#include "tools/tool_output.h"

namespace {

struct input_spec {
    std::string argument;  // as given, for messages
    std::string full;      // absolute source path
    std::u16string name;   // stored name (or directory prefix), backslashed
    bool named;            // SOURCE=NAME was used
};

// '/' -> '\', the separator that entry names store.
std::u16string backslashed(std::u16string name)
{
    std::replace(name.begin(), name.end(), u'/', u'\\');
    return name;
}

std::string joined(const std::string& directory, const std::string& leaf)
{
    bool has_separator = !directory.empty() && directory.back() == host_separator;
    return has_separator ? directory + leaf : directory + host_separator + leaf;
}

// A file's own name as the UTF-16 of an entry name. On a POSIX host a name
// is any bytes: one that is not UTF-8 has no Windows name at all, and one
// with a backslash would come out as a directory and a file on Windows.
bool name_units(const std::string& leaf, const std::string& source, std::u16string* units)
{
    if (!utf16_from_utf8(leaf, units)) {
        report("name " + quoted(leaf) + " (of " + source + ") is not UTF-8 text, so it has no Windows form");
        return false;
    }
    if (units->find(u'\\') != std::u16string::npos) {
        report("name " + quoted(leaf) + " (of " + source +
               ") holds a backslash, which Windows reads as a directory separator");
        return false;
    }
    return true;
}

// SOURCE=NAME splits at the last '=', since a stored name rarely needs one
// while a source path might: "C:\a=b\x.dll=x.dll" stores C:\a=b\x.dll as
// x.dll. An argument that names an existing path as a whole is a path.
int split_input(const std::string& argument, input_spec* given)
{
    given->argument = argument;
    given->named = false;
    std::string source = argument;
    size_t equals = argument.rfind('=');
    host_error error = 0;
    if (equals != std::string::npos) {
        std::string whole;
        host_file_facts facts;
        if (!host_full_path(argument, &whole, &error) || !host_inspect(whole, &facts, &error)) {
            source = argument.substr(0, equals);
            std::string name = argument.substr(equals + 1);
            if (!utf16_from_utf8(name, &given->name)) {
                report("name " + quoted(name) + " (in " + quoted(argument) + ") is not UTF-8 text");
                return status_failed;
            }
            given->name = backslashed(given->name);
            given->named = true;
        }
    }
    if (source.empty()) {
        report("input " + quoted(argument) + " has no path before '=' (write SOURCE=NAME)");
        return status_usage;
    }
    if (!host_full_path(source, &given->full, &error)) {
        report("cannot make an absolute path of " + quoted(source) + ": " + host_error_text(error));
        return status_failed;
    }
    if (!given->named && !name_units(host_base_name(given->full), given->full, &given->name)) {
        return status_failed;
    }
    return status_ok;
}

// What the source leads to, or a report naming what is wrong with it.
bool inspect_source(const input_spec& given, const char* role, host_file_facts* facts)
{
    host_error error = 0;
    if (host_inspect(given.full, facts, &error)) {
        return true;
    }
    if (host_error_is_not_found(error)) {
        report(std::string(role) + " " + quoted(given.argument) + " not found (" + given.full + ")");
    } else {
        report("cannot read " + std::string(role) + " " + quoted(given.argument) + ": " + host_error_text(error));
    }
    return false;
}

bool check_entry_name(const std::u16string& name, const std::string& source, const char* what)
{
    payload_name_problem problem = payload_check_portable_name(units(name), name.size());
    if (problem == name_ok) {
        return true;
    }
    report("entry " + quoted(shown(name)) + " (" + what + " " + source + "): " + payload_name_problem_text(problem));
    return false;
}

struct open_directory {
    std::string path;
    uint64_t volume;
    uint64_t index;
};

struct walk_state {
    std::vector<pack_entry>* entries;
    bool keep_empty_dirs;
    std::vector<open_directory> open;  // the directories being walked, outermost first
};

struct child {
    std::u16string units;
    host_directory_entry listed;
};

// Depth needs no limit of its own: a directory that is one of those being
// walked is refused by its identity, and otherwise every level adds at
// least two code units to the stored names below it, which end at 1024.
bool walk_directory(walk_state* state, const std::string& directory, const std::u16string& prefix,
                    const host_file_facts& facts)
{
    if (prefix.size() >= payload_name_capacity) {
        return check_entry_name(prefix, directory, "from directory");
    }
    for (const open_directory& outer : state->open) {
        if (outer.volume == facts.volume && outer.index == facts.index) {
            report("directory " + directory + " leads back to " + outer.path +
                   ", which holds it (a loop of links)");
            return false;
        }
    }
    std::vector<host_directory_entry> listed;
    host_error error = 0;
    if (!host_list_directory(directory, &listed, &error)) {
        report("cannot read directory " + directory + ": " + host_error_text(error));
        return false;
    }
    // In the order of the names' code units, not the system's, so that the
    // first refusal is the same on every host.
    std::vector<child> children;
    for (const host_directory_entry& entry : listed) {
        children.push_back({u"", entry});
        if (!name_units(entry.leaf, directory, &children.back().units)) {
            return false;
        }
    }
    std::sort(children.begin(), children.end(), [](const child& a, const child& b) { return a.units < b.units; });
    state->open.push_back({directory, facts.volume, facts.index});
    for (const child& found : children) {
        std::string source = joined(directory, found.listed.leaf);
        std::u16string name = prefix.empty() ? found.units : prefix + u"\\" + found.units;
        // A listing describes a link itself (a symbolic link to a file has
        // size 0 on Windows): what it leads to comes from following it.
        // Directories are looked at too, for their identity.
        host_file_facts target = {found.listed.is_directory, false, found.listed.size, 0, 0};
        if ((found.listed.is_link || found.listed.is_directory) && !host_inspect(source, &target, &error)) {
            report("cannot read " + quoted(source) + ": " + host_error_text(error));
            return false;
        }
        if (target.is_directory) {
            if (!walk_directory(state, source, name, target)) {
                return false;
            }
            continue;
        }
        if (!check_entry_name(name, source, "from")) {
            return false;
        }
        state->entries->push_back({name, source, target.size});
    }
    state->open.pop_back();
    // The top of an input stored at the image's top level is the target
    // directory itself, which exists anyway.
    if (children.empty() && state->keep_empty_dirs && !prefix.empty()) {
        std::u16string name = prefix + u"\\" + empty_directory_placeholder;
        if (!check_entry_name(name, directory, "placeholder for empty directory")) {
            return false;
        }
        state->entries->push_back({name, "", 0});
    }
    return true;
}

int add_main_library(const std::string& argument, std::vector<pack_entry>* entries)
{
    input_spec given;
    int status = split_input(argument, &given);
    if (status != status_ok) {
        return status;
    }
    host_file_facts facts;
    if (!inspect_source(given, "main library", &facts)) {
        return status_failed;
    }
    if (facts.is_directory) {
        report("main library " + quoted(argument) + " is a directory, not a DLL");
        return status_failed;
    }
    if (given.name.empty()) {
        report("main library " + quoted(argument) + " needs a name after '='");
        return status_failed;
    }
    if (!check_entry_name(given.name, given.full, "main library")) {
        return status_failed;
    }
    host_view view;
    host_error error = 0;
    if (!host_map_file(given.full, &view, &error)) {
        report("cannot read main library " + quoted(argument) + ": " + host_error_text(error));
        return status_failed;
    }
    pe_facts checked;
    pe_problem problem = pe_check_main_library(view.bytes, static_cast<size_t>(view.size), &checked);
    uint64_t size = view.size;
    host_unmap_file(&view);
    if (problem == pe_run_code_mangled) {
        report("main library " + quoted(argument) + " exports run_code only under its C++ name " +
               quoted(checked.mangled_name) + "; declare it extern \"C\" so that the launcher finds it");
        return status_failed;
    }
    if (problem != pe_ok) {
        char detail[32] = "";
        if (problem == pe_not_64_bit) {
            snprintf(detail, sizeof detail, " (machine 0x%04X)", checked.machine);
        }
        report("main library " + quoted(argument) + " is " + pe_problem_text(problem) + detail);
        return status_failed;
    }
    entries->push_back({given.name, given.full, size});
    return status_ok;
}

int add_input(const std::string& argument, walk_state* state)
{
    input_spec given;
    int status = split_input(argument, &given);
    if (status != status_ok) {
        return status;
    }
    host_file_facts facts;
    if (!inspect_source(given, "input", &facts)) {
        return status_failed;
    }
    if (facts.is_directory) {
        if (given.name.empty() && !given.named) {
            report("input " + quoted(argument) + " has no name of its own; write " + argument + "=NAME, or " +
                   argument + "= to store its contents at the top level");
            return status_failed;
        }
        return walk_directory(state, given.full, given.name, facts) ? status_ok : status_failed;
    }
    if (given.name.empty()) {
        report("input " + quoted(argument) + " is a file and needs a name after '='");
        return status_failed;
    }
    if (!check_entry_name(given.name, given.full, "from")) {
        return status_failed;
    }
    state->entries->push_back({given.name, given.full, facts.size});
    return status_ok;
}

// A stored name and each directory above it, for the collision check.
struct name_use {
    std::u16string name;
    bool is_directory;
    size_t entry;  // the entry that stores it or lies below it
};

std::string describe_source(const pack_entry& entry)
{
    return entry.source.empty() ? std::string("an empty-directory placeholder") : entry.source;
}

// Two stored names that the file system would take for one: the same name
// in another case, or a file where another entry needs a directory.
bool check_collisions(const std::vector<pack_entry>& entries)
{
    std::vector<name_use> uses;
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::u16string& name = entries[i].name;
        uses.push_back({name, false, i});
        for (size_t at = name.find(u'\\'); at != std::u16string::npos; at = name.find(u'\\', at + 1)) {
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
                    report("two inputs are stored as " + quoted(shown(a.name)) + ": " + describe_source(a) + " and " +
                           describe_source(b));
                } else {
                    report("entries " + quoted(shown(a.name)) + " and " + quoted(shown(b.name)) +
                           " differ only in case, and Windows would store them as one file (from " +
                           describe_source(a) + " and " + describe_source(b) + ")");
                }
            } else {
                report("entry " + quoted(shown(a.name)) + " (from " + describe_source(a) + ") is a file, but " +
                       quoted(shown(b.name)) + " needs a directory of that name");
            }
            return false;
        }
        start = end;
    }
    return true;
}

}  // namespace

int collect_entries(const std::string& main_library, const std::vector<std::string>& inputs, bool keep_empty_dirs,
                    std::vector<pack_entry>* entries)
{
    entries->clear();
    int status = add_main_library(main_library, entries);
    if (status != status_ok) {
        return status;
    }
    walk_state state = {entries, keep_empty_dirs, {}};
    for (const std::string& input : inputs) {
        status = add_input(input, &state);
        if (status != status_ok) {
            return status;
        }
    }
    // The ordinal order of UTF-16 code units (char16_t is unsigned): it
    // makes the image independent of the order of the arguments, of the
    // directory listings and of the host.
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
