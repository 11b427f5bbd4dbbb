#pragma once
// The benchmark payload: the names and sizes of a shipped application's
// payload (one large main library first, libraries and modules at the top
// level, data files in nested directories, one empty placeholder), fixed
// so that every machine measures the same image byte for byte.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct shape_entry {
    std::wstring name;  // backslash-separated, as stored in the image
    uint64_t size;
};

struct payload_shape {
    std::vector<shape_entry> entries;  // main library first, then by name
    uint64_t image_size;               // magic to trailer, inclusive
};

// The full-size payload: 192 entries in an image of 166,957,808 bytes whose
// first entry, "main.dll", has 69,942,784 bytes.
constexpr uint64_t full_image_size = 166957808;
constexpr uint64_t full_main_library_size = 69942784;
constexpr size_t shape_entry_count = 192;
constexpr size_t shape_longest_name = 49;

// divisor 1 gives the full payload, 10 the ten-times-smaller one. The main
// library's size stays a multiple of 512 (the file alignment of the DLL that
// is padded to it), and one large library takes up the remainder so that
// the image size is exact.
bool make_payload_shape(unsigned divisor, payload_shape* shape);

// Bytes of the image for these entries: magic, names with terminators,
// sizes, data, end marker and trailer.
uint64_t image_size_of(const std::vector<shape_entry>& entries);

// A fast deterministic byte stream for file contents, so that no two runs or
// machines differ and nothing compresses better than a real binary would.
struct byte_stream {
    uint64_t state;
};
void fill_bytes(byte_stream* stream, uint8_t* out, size_t count);
