#pragma once
// The payload image: the byte layout that the packaging tool writes and the
// launcher reads. Free of the platform so that it can be tested and fuzzed
// natively.
//
//   "KAX"                                    magic, 3 bytes
//   entries, back to back:
//     name  UTF-16LE code units, then one zero code unit (n >= 1 units)
//     size  unsigned 64-bit little-endian count of the data bytes
//     data  the file's bytes, stored as they are
//   end marker                               one zero code unit
//   trailer (ignored by the launcher)        two zero bytes, then a 64-bit
//                                            count of the bytes before it
//
// Nothing is aligned: every field after the magic may sit at an odd offset,
// so all multi-byte reads go byte by byte.
#include <stddef.h>
#include <stdint.h>

constexpr int payload_resource_id = 27;        // of type RT_RCDATA (10)
constexpr size_t payload_name_capacity = 1024; // code units, terminator included
constexpr size_t payload_slice_size = 32768;   // bytes written per WriteFile
constexpr uint8_t payload_magic[3] = {0x4B, 0x41, 0x58};  // "KAX"

// Forward-only reads over [cursor, end). Each returns false, without moving
// the cursor, when the field would run past end.
uint64_t payload_load_u64(const uint8_t* at);
bool payload_span_read_size(const uint8_t** cursor, const uint8_t* end, uint64_t* size);
bool payload_span_take(const uint8_t** cursor, const uint8_t* end, uint64_t count, const uint8_t** data);

// Reads one name into units[0..capacity) including its terminator. Fails when
// the name runs past end or does not fit. *is_end_marker is set when the very
// first code unit is zero.
bool payload_span_read_name(const uint8_t** cursor, const uint8_t* end, uint16_t* units,
                            size_t capacity, bool* is_end_marker);

enum payload_problem {
    payload_ok = 0,
    payload_bad_magic,       // shorter than the magic, or other bytes
    payload_truncated,       // a name, size or data runs past the image
    payload_name_too_long,   // a name does not fit its 1024-unit buffer
    payload_unsafe_name,     // a name that could leave the target directory
};

struct payload_summary {
    uint64_t entry_count;
    uint64_t data_bytes;
    uint64_t end_offset;      // just past the end marker
    uint64_t problem_offset;  // where the first problem starts
    uint64_t problem_entry;   // index of the entry with the problem
};

// Walks names and sizes once without touching any data, checking that every
// field lies inside the image and that every name is safe to join below a
// directory (see payload_check_name). Cost grows with the entry count only.
payload_problem payload_validate(const uint8_t* image, size_t size, payload_summary* summary);

const char* payload_problem_text(payload_problem problem);

// Writing. The sink receives the image in order; the writer tracks the
// position so that the trailer can hold the byte count before it.
struct payload_writer {
    bool (*write)(void* context, const void* data, size_t size);
    void* context;
    uint64_t position;
    bool failed;
};

void payload_writer_init(payload_writer* writer, bool (*write)(void*, const void*, size_t), void* context);
bool payload_write_magic(payload_writer* writer);
// The name is n >= 1 code units without terminator; the data follows through
// payload_write_data, exactly `size` bytes in total.
bool payload_write_entry_header(payload_writer* writer, const uint16_t* name, size_t length, uint64_t size);
bool payload_write_data(payload_writer* writer, const void* data, size_t size);
// End marker, two zero bytes, and the 64-bit count of the bytes before it.
bool payload_write_end(payload_writer* writer);
