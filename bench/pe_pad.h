#pragma once
// Growing a small, real DLL to a shipped main library's size with a large
// initialised data section, so that the loader maps (or, under Wine, reads)
// as much as it would for the real thing and the library still loads.
#include <stddef.h>
#include <stdint.h>

#include <vector>

enum pe_pad_result {
    pe_pad_ok = 0,
    pe_pad_not_pe,          // no PE32+ headers where the DOS header points
    pe_pad_has_trailing,    // a symbol table or other bytes after the last section
    pe_pad_no_header_room,  // no free, zeroed slot for one more section header
    pe_pad_bad_size,        // the target is not larger by at least one file-alignment unit
};

// Appends section ".bench" of initialised, read-only data so that the file
// has exactly `target_size` bytes; its bytes come from `fill`. A section's
// raw size must be a multiple of the file alignment, so when the growth is
// not (a page-aligned library grown to a size that is a multiple of 512
// only), the rest follows the section as appended data that no section
// covers, the way a signature or an installer's archive follows an image:
// the loader neither maps nor reads it.
pe_pad_result pe_pad_to_size(std::vector<uint8_t>* image, uint64_t target_size,
                             void (*fill)(void* context, uint8_t* out, size_t count), void* context);

// The image's file alignment, 0 when it is not a PE32+ image.
uint32_t pe_file_alignment(const std::vector<uint8_t>& image);

const char* pe_pad_result_text(pe_pad_result result);
