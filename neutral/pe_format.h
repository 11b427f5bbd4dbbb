#pragma once
// What the main-library check and the resource writer both read of the PE
// format: the headers up to the section table, the data directories, the
// section table and the mapping from an image address (RVA) to the bytes of
// the file that hold it. Every read is bounds-checked against the bytes
// given, whatever the headers claim.
#include <stddef.h>
#include <stdint.h>

#include "neutral/little_endian.h"

constexpr size_t pe_section_header_size = 40;

// The headers of a PE image, up to its section table; offsets count from
// the start of the file. A field is 0 until the headers are read that far.
struct pe_headers {
    const uint8_t* bytes;
    uint64_t size;
    uint64_t coff;              // offset of the COFF header
    uint16_t machine;
    uint16_t characteristics;
    uint32_t section_count;
    uint64_t optional;          // offset of the optional header
    uint16_t magic;             // 0x10B (PE32) or 0x20B (PE32+)
    uint64_t section_alignment;
    uint64_t file_alignment;
    uint64_t header_size;       // SizeOfHeaders: the part mapped at RVA 0
    uint64_t directories;       // offset of the data directory array
    uint32_t directory_count;   // entries present in both the count and the header
    uint64_t section_table;
};

// How far pe_read_headers got, in reading order. A caller may tell a
// program for another machine from a damaged one: the COFF fields are read
// before the optional header is checked, and the magic before the rest.
enum pe_header_stage {
    pe_headers_not_pe,        // no MZ header, or no PE signature where it points
    pe_headers_cut_coff,      // the COFF header runs past the end
    pe_headers_cut_optional,  // the optional header runs past the end, or is too short for its magic
    pe_headers_damaged,       // an unknown magic, no room for the directories, or the section table cut
    pe_headers_ok,
};

pe_header_stage pe_read_headers(const uint8_t* bytes, size_t size, pe_headers* headers);

struct pe_data_directory {
    uint32_t rva;
    uint32_t size;
};

// Data directory `index`, or zeros when the headers hold no such entry.
pe_data_directory pe_directory(const pe_headers& headers, uint32_t index);

// One row of the section table. All fields widened to 64 bits, so that no
// header value, however large, can wrap a sum of two of them.
struct pe_section {
    uint64_t virtual_address;
    uint64_t virtual_size;
    uint64_t raw_size;
    uint64_t raw_pointer;
    uint32_t characteristics;
};

pe_section pe_read_section(const uint8_t* row);

// [offset, offset + length) lies inside `size` bytes.
inline bool pe_inside(uint64_t size, uint64_t offset, uint64_t length)
{
    return offset <= size && length <= size - offset;
}

// Maps [rva, rva + length) to a file offset when the whole range is backed
// by the file bytes of one section, or of the headers (the first
// header_size bytes, mapped at RVA 0). *available is how many bytes from
// there on belong to the same region, for reading strings and tables.
//
// A section's file bytes count up to its VirtualSize rounded up to
// `span_alignment`: the loader maps whole pages of the section alignment,
// and some resource updaters (Wine's) fill a resource section's raw bytes
// past the VirtualSize they leave unchanged. 1 counts only what VirtualSize
// covers.
bool pe_rva_to_offset(const pe_headers& headers, uint64_t span_alignment, uint64_t rva, uint64_t length,
                      uint64_t* offset, uint64_t* available);
