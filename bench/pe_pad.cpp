#include "bench/pe_pad.h"

#include <string.h>

namespace {

uint32_t load_u16(const std::vector<uint8_t>& image, size_t at)
{
    return static_cast<uint32_t>(image[at] | (image[at + 1] << 8));
}

uint32_t load_u32(const std::vector<uint8_t>& image, size_t at)
{
    return load_u16(image, at) | (load_u16(image, at + 2) << 16);
}

void store_u16(std::vector<uint8_t>* image, size_t at, uint32_t value)
{
    (*image)[at] = static_cast<uint8_t>(value);
    (*image)[at + 1] = static_cast<uint8_t>(value >> 8);
}

void store_u32(std::vector<uint8_t>* image, size_t at, uint32_t value)
{
    store_u16(image, at, value & 0xFFFF);
    store_u16(image, at + 2, value >> 16);
}

uint64_t align_up(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

constexpr size_t section_header_size = 40;
constexpr uint32_t initialised_readable = 0x40000040;  // CNT_INITIALIZED_DATA | MEM_READ

}  // namespace

pe_pad_result pe_pad_to_size(std::vector<uint8_t>* image, uint64_t target_size,
                             void (*fill)(void* context, uint8_t* out, size_t count), void* context)
{
    const std::vector<uint8_t>& bytes = *image;
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') {
        return pe_pad_not_pe;
    }
    size_t pe = load_u32(bytes, 0x3C);
    if (pe > bytes.size() || bytes.size() - pe < 24 + 240 || memcmp(&bytes[pe], "PE\0\0", 4) != 0) {
        return pe_pad_not_pe;
    }
    size_t coff = pe + 4;
    size_t optional = coff + 20;
    uint32_t section_count = load_u16(bytes, coff + 2);
    uint32_t optional_size = load_u16(bytes, coff + 16);
    if (load_u16(bytes, optional) != 0x20B || optional_size < 240) {
        return pe_pad_not_pe;
    }
    uint32_t section_alignment = load_u32(bytes, optional + 32);
    uint32_t file_alignment = load_u32(bytes, optional + 36);
    uint32_t headers_size = load_u32(bytes, optional + 60);
    size_t table = optional + optional_size;
    size_t table_end = table + section_count * section_header_size;
    if (section_alignment == 0 || file_alignment == 0 || table_end > bytes.size() || headers_size > bytes.size()) {
        return pe_pad_not_pe;
    }

    // Debug symbols or an overlay after the last section would end up in the
    // middle of the file; the input must be stripped.
    uint64_t raw_end = headers_size;
    uint64_t virtual_end = 0;
    for (uint32_t i = 0; i < section_count; ++i) {
        size_t header = table + i * section_header_size;
        uint64_t raw_size = load_u32(bytes, header + 16);
        uint64_t raw_pointer = load_u32(bytes, header + 20);
        uint64_t virtual_size = load_u32(bytes, header + 8);
        uint64_t virtual_address = load_u32(bytes, header + 12);
        if (raw_size != 0 && raw_pointer + raw_size > raw_end) {
            raw_end = raw_pointer + raw_size;
        }
        uint64_t extent = virtual_address + (virtual_size > raw_size ? virtual_size : raw_size);
        if (extent > virtual_end) {
            virtual_end = extent;
        }
    }
    if (load_u32(bytes, coff + 8) != 0 || raw_end != bytes.size()) {
        return pe_pad_has_trailing;
    }
    if (table_end + section_header_size > headers_size) {
        return pe_pad_no_header_room;
    }
    for (size_t i = table_end; i < table_end + section_header_size; ++i) {
        if (bytes[i] != 0) {
            return pe_pad_no_header_room;
        }
    }
    if (target_size <= bytes.size() || target_size - bytes.size() > 0x7FFFFFFF ||
        target_size - bytes.size() < file_alignment) {
        return pe_pad_bad_size;
    }

    uint32_t growth = static_cast<uint32_t>(target_size - bytes.size());
    uint32_t pad = growth / file_alignment * file_alignment;
    uint32_t address = static_cast<uint32_t>(align_up(virtual_end, section_alignment));
    uint32_t raw_pointer = static_cast<uint32_t>(bytes.size());
    memcpy(&(*image)[table_end], ".bench\0\0", 8);
    store_u32(image, table_end + 8, pad);
    store_u32(image, table_end + 12, address);
    store_u32(image, table_end + 16, pad);
    store_u32(image, table_end + 20, raw_pointer);
    store_u32(image, table_end + 36, initialised_readable);
    store_u16(image, coff + 2, section_count + 1);
    store_u32(image, optional + 8, load_u32(bytes, optional + 8) + pad);  // SizeOfInitializedData
    store_u32(image, optional + 56, static_cast<uint32_t>(align_up(uint64_t(address) + pad, section_alignment)));
    store_u32(image, optional + 64, 0);  // no checksum: DLLs are loaded without one

    size_t old_size = image->size();
    image->resize(static_cast<size_t>(target_size));
    fill(context, image->data() + old_size, growth);
    return pe_pad_ok;
}

uint32_t pe_file_alignment(const std::vector<uint8_t>& image)
{
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
        return 0;
    }
    size_t pe = load_u32(image, 0x3C);
    if (pe > image.size() || image.size() - pe < 24 + 240 || memcmp(&image[pe], "PE\0\0", 4) != 0 ||
        load_u16(image, pe + 24) != 0x20B) {
        return 0;
    }
    return load_u32(image, pe + 24 + 36);
}

const char* pe_pad_result_text(pe_pad_result result)
{
    switch (result) {
    case pe_pad_ok: return "padded";
    case pe_pad_not_pe: return "not a 64-bit PE image";
    case pe_pad_has_trailing: return "bytes after the last section (link with -s)";
    case pe_pad_no_header_room: return "no room for another section header";
    case pe_pad_bad_size: return "the target size is not at least one file-alignment unit above the file size";
    }
    return "unknown result";
}
