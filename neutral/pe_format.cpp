#include "neutral/pe_format.h"

#include <string.h>

pe_header_stage pe_read_headers(const uint8_t* bytes, size_t size, pe_headers* headers)
{
    *headers = {};
    headers->bytes = bytes;
    headers->size = size;
    if (bytes == nullptr || size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') {
        return pe_headers_not_pe;
    }
    uint64_t signature = load_u32(bytes + 0x3C);
    if (!pe_inside(size, signature, 4) || memcmp(bytes + signature, "PE\0\0", 4) != 0) {
        return pe_headers_not_pe;
    }
    headers->coff = signature + 4;
    if (!pe_inside(size, headers->coff, 20)) {
        return pe_headers_cut_coff;
    }
    const uint8_t* coff = bytes + headers->coff;
    headers->machine = load_u16(coff);
    headers->section_count = load_u16(coff + 2);
    uint16_t optional_size = load_u16(coff + 16);
    headers->characteristics = load_u16(coff + 18);
    headers->optional = headers->coff + 20;
    if (optional_size < 2 || !pe_inside(size, headers->optional, optional_size)) {
        return pe_headers_cut_optional;
    }
    // The data directories start at 96 in a PE32 header, at 112 in PE32+,
    // their count just before them; the fields before that which matter
    // here sit alike in both.
    const uint8_t* optional = bytes + headers->optional;
    headers->magic = load_u16(optional);
    uint64_t directories_at = headers->magic == 0x20B ? 112 : headers->magic == 0x10B ? 96 : 0;
    if (directories_at == 0 || optional_size < directories_at) {
        return pe_headers_damaged;
    }
    headers->section_alignment = load_u32(optional + 32);
    headers->file_alignment = load_u32(optional + 36);
    headers->header_size = load_u32(optional + 60);
    headers->directories = headers->optional + directories_at;
    uint64_t room = (optional_size - directories_at) / 8;
    uint64_t count = load_u32(optional + directories_at - 4);
    headers->directory_count = static_cast<uint32_t>(count < room ? count : room);
    headers->section_table = headers->optional + optional_size;
    if (!pe_inside(size, headers->section_table, uint64_t{headers->section_count} * pe_section_header_size)) {
        return pe_headers_damaged;
    }
    return pe_headers_ok;
}

pe_data_directory pe_directory(const pe_headers& headers, uint32_t index)
{
    if (index >= headers.directory_count) {
        return {0, 0};
    }
    const uint8_t* entry = headers.bytes + headers.directories + uint64_t{index} * 8;
    return {load_u32(entry), load_u32(entry + 4)};
}

pe_section pe_read_section(const uint8_t* row)
{
    return {load_u32(row + 12), load_u32(row + 8), load_u32(row + 16), load_u32(row + 20), load_u32(row + 36)};
}

bool pe_rva_to_offset(const pe_headers& headers, uint64_t span_alignment, uint64_t rva, uint64_t length,
                      uint64_t* offset, uint64_t* available)
{
    if (rva < headers.header_size && pe_inside(headers.size, 0, headers.header_size)) {
        if (length <= headers.header_size - rva) {
            *offset = rva;
            *available = headers.header_size - rva;
            return true;
        }
        return false;
    }
    for (uint32_t i = 0; i < headers.section_count; ++i) {
        pe_section section =
            pe_read_section(headers.bytes + headers.section_table + uint64_t{i} * pe_section_header_size);
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
        if (length > backed - into || !pe_inside(headers.size, section.raw_pointer + into, length)) {
            return false;
        }
        *offset = section.raw_pointer + into;
        uint64_t in_section = backed - into;
        uint64_t in_file = headers.size - *offset;
        *available = in_section < in_file ? in_section : in_file;
        return true;
    }
    return false;
}
