#include "neutral/pe_format.h"

pe_section pe_read_section(const uint8_t* row)
{
    return {load_u32(row + 12), load_u32(row + 8), load_u32(row + 16), load_u32(row + 20), load_u32(row + 36)};
}

bool pe_rva_to_offset(const uint8_t* bytes, uint64_t size, uint64_t section_table, uint32_t section_count,
                      uint64_t header_size, uint64_t span_alignment, uint64_t rva, uint64_t length,
                      uint64_t* offset, uint64_t* available)
{
    if (rva < header_size && pe_inside(size, 0, header_size)) {
        if (length <= header_size - rva) {
            *offset = rva;
            *available = header_size - rva;
            return true;
        }
        return false;
    }
    for (uint32_t i = 0; i < section_count; ++i) {
        pe_section section = pe_read_section(bytes + section_table + static_cast<uint64_t>(i) * pe_section_header_size);
        // Only the bytes present in the file hold data: past SizeOfRawData
        // the loader fills zeros, and past VirtualSize nothing is mapped.
        uint64_t backed = section.raw_size;
        uint64_t span = (section.virtual_size + span_alignment - 1) / span_alignment * span_alignment;
        if (section.virtual_size != 0 && span < backed) {
            backed = span;
        }
        if (rva < section.virtual_address || rva - section.virtual_address >= backed) {
            continue;
        }
        uint64_t into = rva - section.virtual_address;
        if (length > backed - into || !pe_inside(size, section.raw_pointer + into, length)) {
            return false;
        }
        *offset = section.raw_pointer + into;
        uint64_t in_section = backed - into;
        uint64_t in_file = size - *offset;
        *available = in_section < in_file ? in_section : in_file;
        return true;
    }
    return false;
}
