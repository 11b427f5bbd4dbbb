// The main library's imports, checked before anything is written: a DLL it
// needs that is neither a system DLL nor in the payload where the loader
// looks would fail the application's start on the user's machine with
// "Error, load DLL." and error 126, however well it ran on the machine
// that built it (where the compiler's runtime DLLs lie on the PATH).
#include "neutral/pe_check.h"
#include "neutral/system_dlls.h"
#include "neutral/utf.h"
#include "tools/host_files.h"
#include "tools/pack_inputs.h"
#include "tools/tool_output.h"

namespace {

struct needed_dll {
    std::string name;    // as the import table has it
    std::string needer;  // the payload DLL that imports it; empty for the main library
};

bool allowed(const std::vector<std::string>& allowed_dlls, const std::string& name)
{
    for (const std::string& allowed_dll : allowed_dlls) {
        if (dll_name_key(allowed_dll) == dll_name_key(name)) {
            return true;
        }
    }
    return false;
}

// The entry a DLL name resolves to: the launcher loads the main library with
// the altered search path, so its imports are looked for in its own
// directory first, then in the system's. Elsewhere in the payload they are
// not found. -1 when there is none.
int entry_beside(const std::vector<pack_entry>& entries, const std::u16string& directory, const std::string& name)
{
    std::u16string wanted;
    if (!utf16_from_utf8(name, &wanted) || wanted.find(u'\\') != std::u16string::npos ||
        wanted.find(u'/') != std::u16string::npos) {
        return -1;
    }
    wanted = directory + wanted;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].source.empty() && compare_ignoring_case(entries[i].name, wanted) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

int check_imports(const std::vector<pack_entry>& entries, const std::vector<std::string>& allowed_dlls,
                  const std::string& main_argument)
{
    if (entries.empty()) {
        return status_ok;
    }
    std::u16string directory = entries[0].name.substr(0, entries[0].name.rfind(u'\\') + 1);
    // The DLLs of the payload that the loader will load, the main library
    // first; each is checked in turn, since a runtime DLL carried in the
    // payload has imports of its own (libstdc++-6.dll needs
    // libgcc_s_seh-1.dll and libwinpthread-1.dll).
    std::vector<size_t> loaded = {0};
    std::vector<std::string> loaded_by = {""};
    std::vector<needed_dll> missing;
    for (size_t next = 0; next < loaded.size(); ++next) {
        const pack_entry& entry = entries[loaded[next]];
        host_view view;
        host_error error = 0;
        if (!host_map_file(entry.source, &view, &error)) {
            report("cannot read " + quoted(entry.source) + ": " + host_error_text(error));
            return status_failed;
        }
        std::vector<std::string> imports;
        pe_problem problem = pe_list_imports(view.bytes, static_cast<size_t>(view.size), &imports);
        host_unmap_file(&view);
        if (problem != pe_ok) {
            report((next == 0 ? "main library " + quoted(main_argument) + " is "
                              : quoted(shown(entry.name)) + " in the payload, needed by " + loaded_by[next] + ", is ") +
                   pe_problem_text(problem));
            return status_failed;
        }
        std::string needer = next == 0 ? std::string() : shown(entry.name);
        for (const std::string& name : imports) {
            if (is_system_dll(name) || allowed(allowed_dlls, name)) {
                continue;
            }
            int found = entry_beside(entries, directory, name);
            if (found < 0) {
                bool known = false;
                for (const needed_dll& earlier : missing) {
                    known = known || dll_name_key(earlier.name) == dll_name_key(name);
                }
                if (!known) {
                    missing.push_back({name, needer});
                }
                continue;
            }
            bool queued = false;
            for (size_t index : loaded) {
                queued = queued || index == static_cast<size_t>(found);
            }
            if (!queued) {
                loaded.push_back(static_cast<size_t>(found));
                loaded_by.push_back(needer.empty() ? quoted(main_argument) : quoted(needer));
            }
        }
    }
    if (missing.empty()) {
        return status_ok;
    }
    std::string list;
    for (const needed_dll& dll : missing) {
        list += (list.empty() ? "" : ", ") + dll.name + (dll.needer.empty() ? "" : " (needed by " + dll.needer + ")");
    }
    report("main library " + quoted(main_argument) +
           " needs DLLs that are neither system DLLs nor in the payload beside it: " + list +
           "; put them in the payload next to it, link it statically (-static-libgcc -static-libstdc++ -static), "
           "or allow each one that the users' machines have with --allow-dll NAME (ALLOW_DLLS in "
           "onefile_add_executable)");
    return status_failed;
}
