#pragma once
// Turning the command line's MAIN_LIBRARY and INPUTs into the list of
// entries of an image, with every refusal made before anything is written.
#include <stdint.h>

#include <string>
#include <vector>

struct pack_entry {
    std::wstring name;    // stored name, backslash-separated
    std::wstring source;  // absolute path of the file; empty for a placeholder
    uint64_t size;        // as seen while collecting; checked again on reading
};

// The empty file that --keep-empty-dirs stores so that a directory exists.
constexpr wchar_t empty_directory_placeholder[] = L".keep_dir.txt";

// Fills `entries` with the main library first and every other entry after it
// in ordinal order of the stored names. Returns status_ok, or reports the
// first refused input and returns status_failed (or status_usage for a
// malformed SOURCE=NAME argument).
int collect_entries(const std::wstring& main_library, const std::vector<std::wstring>& inputs, bool keep_empty_dirs,
                    std::vector<pack_entry>* entries);

// Bytes of the image the entries make; false if that overflows 64 bits.
bool image_size_of(const std::vector<pack_entry>& entries, uint64_t* size);
