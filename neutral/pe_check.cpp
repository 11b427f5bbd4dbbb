#include "neutral/pe_check.h"

#include <string.h>

#include "neutral/pe_format.h"

namespace {

constexpr uint16_t machine_amd64 = 0x8664;
constexpr uint16_t magic_pe32_plus = 0x20B;
constexpr uint16_t characteristic_dll = 0x2000;
constexpr size_t export_directory_size = 40;

struct pe_view {
    const uint8_t* bytes;
    uint64_t size;
    uint64_t sections;       // offset of the section table
    uint32_t section_count;
    uint32_t header_size;    // SizeOfHeaders: the part mapped at RVA 0
};

bool inside(const pe_view& view, uint64_t offset, uint64_t length)
{
    return pe_inside(view.size, offset, length);
}

bool rva_to_offset(const pe_view& view, uint64_t rva, uint64_t length, uint64_t* offset, uint64_t* available)
{
    return pe_rva_to_offset(view.bytes, view.size, view.sections, view.section_count, view.header_size, 1, rva,
                            length, offset, available);
}

bool name_is_entry(const pe_view& view, uint32_t name_rva)
{
    uint64_t offset = 0;
    uint64_t available = 0;
    if (!rva_to_offset(view, name_rva, 1, &offset, &available)) {
        return false;
    }
    // The terminator counts: "run_codex" is another export.
    return available >= sizeof pe_entry_name && memcmp(view.bytes + offset, pe_entry_name, sizeof pe_entry_name) == 0;
}

}  // namespace

pe_problem pe_check_main_library(const uint8_t* bytes, size_t size, pe_facts* facts)
{
    memset(facts, 0, sizeof *facts);
    pe_view view = {bytes, size, 0, 0, 0};
    if (bytes == nullptr || size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') {
        return pe_not_executable;
    }
    uint64_t pe_offset = load_u32(bytes + 0x3C);
    if (!inside(view, pe_offset, 4) || memcmp(bytes + pe_offset, "PE\0\0", 4) != 0) {
        return pe_not_executable;
    }
    uint64_t coff = pe_offset + 4;
    if (!inside(view, coff, 20)) {
        return pe_damaged_headers;
    }
    facts->machine = load_u16(bytes + coff);
    uint16_t section_count = load_u16(bytes + coff + 2);
    uint16_t optional_size = load_u16(bytes + coff + 16);
    uint16_t characteristics = load_u16(bytes + coff + 18);
    if (facts->machine != machine_amd64) {
        return pe_not_64_bit;
    }
    uint64_t optional = coff + 20;
    if (optional_size < 2 || !inside(view, optional, optional_size)) {
        return pe_damaged_headers;
    }
    facts->optional_magic = load_u16(bytes + optional);
    if (facts->optional_magic != magic_pe32_plus) {
        return pe_not_64_bit;
    }
    if ((characteristics & characteristic_dll) == 0) {
        return pe_not_dll;
    }
    // PE32+ layout: SizeOfHeaders at 60, NumberOfRvaAndSizes at 108, the
    // data directories from 112, the export table first among them.
    if (optional_size < 112) {
        return pe_damaged_headers;
    }
    view.header_size = load_u32(bytes + optional + 60);
    view.sections = optional + optional_size;
    view.section_count = section_count;
    if (!inside(view, view.sections, static_cast<uint64_t>(section_count) * pe_section_header_size)) {
        return pe_damaged_headers;
    }
    uint32_t directory_count = load_u32(bytes + optional + 108);
    if (directory_count < 1 || optional_size < 112 + 8) {
        return pe_no_export_table;
    }
    uint32_t export_rva = load_u32(bytes + optional + 112);
    uint32_t export_size = load_u32(bytes + optional + 116);
    if (export_rva == 0 || export_size == 0) {
        return pe_no_export_table;
    }
    uint64_t directory = 0;
    uint64_t available = 0;
    if (!rva_to_offset(view, export_rva, export_directory_size, &directory, &available)) {
        return pe_damaged_export_table;
    }
    const uint8_t* exports = bytes + directory;
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
        if (!name_is_entry(view, load_u32(bytes + names + static_cast<uint64_t>(i) * 4))) {
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
    return pe_no_run_code;
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
    }
    return "unknown problem";
}
