#include "neutral/pe_check.h"

#include <string.h>

#include "neutral/pe_format.h"

namespace {

constexpr uint16_t machine_amd64 = 0x8664;
constexpr uint16_t magic_pe32_plus = 0x20B;
constexpr uint16_t characteristic_dll = 0x2000;
constexpr size_t export_directory_size = 40;
constexpr size_t import_descriptor_size = 20;
// A real import table names a few dozen DLLs; the bounds keep a hostile one
// from holding the tool for long.
constexpr size_t max_imports = 4096;
constexpr size_t max_import_name = 260;

bool rva_to_offset(const pe_headers& view, uint64_t rva, uint64_t length, uint64_t* offset, uint64_t* available)
{
    return pe_rva_to_offset(view, 1, rva, length, offset, available);
}

// The headers of a 64-bit Windows program, up to its section table. The
// machine decides first: an i386 program is not 64-bit even when its
// optional header is cut.
pe_problem read_view(const uint8_t* bytes, size_t size, pe_headers* view, pe_facts* facts)
{
    memset(facts, 0, sizeof *facts);
    pe_header_stage stage = pe_read_headers(bytes, size, view);
    if (stage == pe_headers_not_pe) {
        return pe_not_executable;
    }
    facts->machine = view->machine;
    if (stage > pe_headers_cut_coff && view->machine != machine_amd64) {
        return pe_not_64_bit;
    }
    facts->optional_magic = view->magic;
    if (stage > pe_headers_cut_optional && view->magic != magic_pe32_plus) {
        return pe_not_64_bit;
    }
    return stage == pe_headers_ok ? pe_ok : pe_damaged_headers;
}

pe_problem read_dll_view(const uint8_t* bytes, size_t size, pe_headers* view, pe_facts* facts)
{
    pe_problem problem = read_view(bytes, size, view, facts);
    if (problem == pe_ok && (view->characteristics & characteristic_dll) == 0) {
        return pe_not_dll;
    }
    return problem;
}

// The zero-terminated text at `rva`, whole within its region, or null.
const char* text_at(const pe_headers& view, uint32_t rva, size_t limit, size_t* length)
{
    uint64_t offset = 0;
    uint64_t available = 0;
    if (!rva_to_offset(view, rva, 1, &offset, &available)) {
        return nullptr;
    }
    const char* text = reinterpret_cast<const char*>(view.bytes + offset);
    size_t room = available < limit ? static_cast<size_t>(available) : limit;
    const void* end = memchr(text, 0, room);
    if (end == nullptr) {
        return nullptr;
    }
    *length = static_cast<size_t>(static_cast<const char*>(end) - text);
    return text;
}

bool name_is_entry(const pe_headers& view, uint32_t name_rva)
{
    uint64_t offset = 0;
    uint64_t available = 0;
    if (!rva_to_offset(view, name_rva, 1, &offset, &available)) {
        return false;
    }
    // The terminator counts: "run_codex" is another export.
    return available >= sizeof pe_entry_name && memcmp(view.bytes + offset, pe_entry_name, sizeof pe_entry_name) == 0;
}

// run_code as a C++ compiler names it when extern "C" is missing: GCC and
// Clang write "_Z8run_codeiPPw" (with "N...E" around a namespace), MSVC
// "?run_code@@YAHHPEAPEA_W@Z". "8run_code" must not be the end of a longer
// length, such as "18run_code_and_more".
bool name_is_mangled_entry(const char* name, size_t length)
{
    static const char msvc[] = "?run_code@";
    if (length >= sizeof msvc - 1 && memcmp(name, msvc, sizeof msvc - 1) == 0) {
        return true;
    }
    static const char itanium[] = "8run_code";
    if (length < 2 || name[0] != '_' || name[1] != 'Z') {
        return false;
    }
    for (size_t at = 2; at + sizeof itanium - 1 <= length; ++at) {
        bool after_digit = name[at - 1] >= '0' && name[at - 1] <= '9';
        if (!after_digit && memcmp(name + at, itanium, sizeof itanium - 1) == 0) {
            return true;
        }
    }
    return false;
}

void keep_mangled(const pe_headers& view, uint32_t name_rva, pe_facts* facts)
{
    size_t length = 0;
    const char* name = text_at(view, name_rva, 4096, &length);
    if (facts->mangled_name[0] != 0 || name == nullptr || !name_is_mangled_entry(name, length)) {
        return;
    }
    size_t kept = length < sizeof facts->mangled_name - 1 ? length : sizeof facts->mangled_name - 1;
    memcpy(facts->mangled_name, name, kept);
    facts->mangled_name[kept] = 0;
}

pe_problem check_main_library(const uint8_t* bytes, size_t size, pe_facts* facts)
{
    pe_headers view;
    pe_problem problem = read_dll_view(bytes, size, &view, facts);
    if (problem != pe_ok) {
        return problem;
    }
    pe_data_directory export_directory = pe_directory(view, 0);
    if (export_directory.rva == 0 || export_directory.size == 0) {
        return pe_no_export_table;
    }
    uint64_t exports_at = 0;
    uint64_t available = 0;
    if (!rva_to_offset(view, export_directory.rva, export_directory_size, &exports_at, &available)) {
        return pe_damaged_export_table;
    }
    const uint8_t* exports = bytes + exports_at;
    uint32_t function_count = load_u32(exports + 20);
    uint32_t name_count = load_u32(exports + 24);
    uint32_t functions_rva = load_u32(exports + 28);
    uint32_t names_rva = load_u32(exports + 32);
    uint32_t ordinals_rva = load_u32(exports + 36);
    facts->name_count = name_count;
    if (name_count == 0) {
        return pe_no_run_code;
    }
    uint64_t names = 0;
    uint64_t ordinals = 0;
    if (!rva_to_offset(view, names_rva, static_cast<uint64_t>(name_count) * 4, &names, &available) ||
        !rva_to_offset(view, ordinals_rva, static_cast<uint64_t>(name_count) * 2, &ordinals, &available)) {
        return pe_damaged_export_table;
    }
    for (uint32_t i = 0; i < name_count; ++i) {
        uint32_t name_rva = load_u32(bytes + names + static_cast<uint64_t>(i) * 4);
        if (!name_is_entry(view, name_rva)) {
            keep_mangled(view, name_rva, facts);
            continue;
        }
        // A name whose ordinal points past the address table, or at an empty
        // slot, is one GetProcAddress would not resolve.
        uint16_t index = load_u16(bytes + ordinals + static_cast<uint64_t>(i) * 2);
        uint64_t slot = 0;
        if (index >= function_count ||
            !rva_to_offset(view, static_cast<uint64_t>(functions_rva) + static_cast<uint64_t>(index) * 4, 4, &slot,
                           &available)) {
            return pe_damaged_export_table;
        }
        if (load_u32(bytes + slot) == 0) {
            return pe_damaged_export_table;
        }
        return pe_ok;
    }
    return facts->mangled_name[0] != 0 ? pe_run_code_mangled : pe_no_run_code;
}

}  // namespace

pe_problem pe_check_main_library(const uint8_t* bytes, size_t size, pe_facts* facts)
{
    pe_problem problem = check_main_library(bytes, size, facts);
    // A C++ name matters only where no plain run_code was found.
    if (problem != pe_run_code_mangled) {
        facts->mangled_name[0] = 0;
    }
    return problem;
}

pe_problem pe_list_imports(const uint8_t* bytes, size_t size, std::vector<std::string>* names)
{
    names->clear();
    pe_headers view;
    pe_facts facts;
    pe_problem problem = read_dll_view(bytes, size, &view, &facts);
    if (problem != pe_ok) {
        return problem;
    }
    uint32_t table = pe_directory(view, 1).rva;
    if (table == 0) {
        return pe_ok;
    }
    // The loader reads descriptors up to the first without a name or an
    // address table, whatever the directory's size says.
    for (size_t i = 0;; ++i) {
        uint64_t at = 0;
        uint64_t available = 0;
        if (i == max_imports ||
            !rva_to_offset(view, table + uint64_t{i} * import_descriptor_size, import_descriptor_size, &at,
                           &available)) {
            names->clear();
            return pe_damaged_import_table;
        }
        uint32_t name_rva = load_u32(bytes + at + 12);
        uint32_t thunks_rva = load_u32(bytes + at + 16);
        if (name_rva == 0 || thunks_rva == 0) {
            return pe_ok;
        }
        size_t length = 0;
        const char* name = text_at(view, name_rva, max_import_name, &length);
        if (name == nullptr || length == 0) {
            names->clear();
            return pe_damaged_import_table;
        }
        names->push_back(std::string(name, length));
    }
}

bool pe_is_launcher(const uint8_t* bytes, size_t size)
{
    pe_headers view;
    pe_facts facts;
    if (read_view(bytes, size, &view, &facts) != pe_ok) {
        return false;
    }
    for (uint32_t i = 0; i < view.section_count; ++i) {
        const uint8_t* row = bytes + view.section_table + uint64_t{i} * pe_section_header_size;
        if (memcmp(row, pe_launcher_section, 8) != 0) {
            continue;
        }
        pe_section section = pe_read_section(row);
        uint64_t length = sizeof pe_launcher_marker;
        return section.raw_size >= length && section.virtual_size >= length &&
               pe_inside(view.size, section.raw_pointer, length) &&
               memcmp(bytes + section.raw_pointer, pe_launcher_marker, length) == 0;
    }
    return false;
}

const char* pe_problem_text(pe_problem problem)
{
    switch (problem) {
    case pe_ok: return "a 64-bit DLL exporting run_code";
    case pe_not_executable: return "not a Windows DLL (no MZ/PE header)";
    case pe_damaged_headers: return "damaged PE headers (they run past the end of the file)";
    case pe_not_64_bit: return "not a 64-bit (PE32+, AMD64) DLL; the launcher is 64-bit";
    case pe_not_dll: return "an executable, not a DLL";
    case pe_no_export_table: return "a DLL that exports nothing; it must export run_code";
    case pe_damaged_export_table: return "a DLL with a damaged export table";
    case pe_no_run_code: return "a DLL that does not export run_code by name";
    case pe_run_code_mangled:
        return "a DLL that exports run_code only under its C++ name; declare it extern \"C\" so that it is "
               "exported as run_code";
    case pe_damaged_import_table: return "a DLL with a damaged import table";
    }
    return "unknown problem";
}
