#pragma once
// What the main-library check and the resource writer both read of the PE
// format: the section table and the mapping from an image address (RVA) to
// the bytes of the file that hold it. Every read is bounds-checked against
// the bytes given, whatever the headers claim.
#include <stddef.h>
#include <stdint.h>

#include "neutral/little_endian.h"

constexpr size_t pe_section_header_size = 40;

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
bool pe_rva_to_offset(const uint8_t* bytes, uint64_t size, uint64_t section_table, uint32_t section_count,
                      uint64_t header_size, uint64_t span_alignment, uint64_t rva, uint64_t length,
                      uint64_t* offset, uint64_t* available);
