#include "neutral/payload_image.h"

#include <string.h>

#include "neutral/payload_names.h"

uint64_t payload_load_u64(const uint8_t* at)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

bool payload_span_read_size(const uint8_t** cursor, const uint8_t* end, uint64_t* size)
{
    if (static_cast<size_t>(end - *cursor) < 8) {
        return false;
    }
    *size = payload_load_u64(*cursor);
    *cursor += 8;
    return true;
}

bool payload_span_take(const uint8_t** cursor, const uint8_t* end, uint64_t count, const uint8_t** data)
{
    if (static_cast<uint64_t>(end - *cursor) < count) {
        return false;
    }
    *data = *cursor;
    *cursor += count;
    return true;
}

bool payload_span_read_name(const uint8_t** cursor, const uint8_t* end, uint16_t* units,
                            size_t capacity, bool* is_end_marker)
{
    const uint8_t* at = *cursor;
    size_t count = 0;
    for (;;) {
        if (end - at < 2) {
            return false;
        }
        if (count >= capacity) {
            return false;
        }
        uint16_t unit = static_cast<uint16_t>(at[0] | (at[1] << 8));
        at += 2;
        units[count++] = unit;
        if (unit == 0) {
            break;
        }
    }
    *is_end_marker = (count == 1);
    *cursor = at;
    return true;
}

payload_problem payload_validate(const uint8_t* image, size_t size, payload_summary* summary)
{
    memset(summary, 0, sizeof *summary);
    if (image == nullptr || size < 3 || memcmp(image, payload_magic, 3) != 0) {
        return payload_bad_magic;
    }
    const uint8_t* cursor = image + 3;
    const uint8_t* end = image + size;
    uint16_t name[payload_name_capacity];
    for (;;) {
        summary->problem_offset = static_cast<uint64_t>(cursor - image);
        summary->problem_entry = summary->entry_count;
        bool is_end = false;
        const uint8_t* name_start = cursor;
        if (!payload_span_read_name(&cursor, end, name, payload_name_capacity, &is_end)) {
            // Tell a name that merely runs long from one cut off by the end.
            const uint8_t* probe = name_start;
            size_t units = 0;
            while (end - probe >= 2 && (probe[0] | probe[1]) != 0) {
                probe += 2;
                ++units;
            }
            bool terminated = end - probe >= 2;
            return (terminated && units + 1 > payload_name_capacity) ? payload_name_too_long
                                                                      : payload_truncated;
        }
        if (is_end) {
            summary->end_offset = static_cast<uint64_t>(cursor - image);
            return payload_ok;
        }
        size_t length = 0;
        while (name[length] != 0) {
            ++length;
        }
        if (payload_check_name(name, length) != name_ok) {
            return payload_unsafe_name;
        }
        uint64_t data_size = 0;
        const uint8_t* data = nullptr;
        if (!payload_span_read_size(&cursor, end, &data_size) ||
            !payload_span_take(&cursor, end, data_size, &data)) {
            return payload_truncated;
        }
        summary->entry_count += 1;
        summary->data_bytes += data_size;
    }
}

const char* payload_problem_text(payload_problem problem)
{
    switch (problem) {
    case payload_ok: return "valid";
    case payload_bad_magic: return "no payload header";
    case payload_truncated: return "an entry runs past the end of the image";
    case payload_name_too_long: return "an entry name does not fit 1024 code units";
    case payload_unsafe_name: return "an entry name could leave the target directory";
    }
    return "unknown problem";
}

void payload_writer_init(payload_writer* writer, bool (*write)(void*, const void*, size_t), void* context)
{
    writer->write = write;
    writer->context = context;
    writer->position = 0;
    writer->failed = false;
}

static bool put(payload_writer* writer, const void* data, size_t size)
{
    if (writer->failed) {
        return false;
    }
    if (size != 0 && !writer->write(writer->context, data, size)) {
        writer->failed = true;
        return false;
    }
    writer->position += size;
    return true;
}

static bool put_u64(payload_writer* writer, uint64_t value)
{
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return put(writer, bytes, 8);
}

bool payload_write_magic(payload_writer* writer)
{
    return put(writer, payload_magic, 3);
}

bool payload_write_entry_header(payload_writer* writer, const uint16_t* name, size_t length, uint64_t size)
{
    if (length == 0) {
        // An empty name is the end marker; it cannot start an entry.
        writer->failed = true;
        return false;
    }
    uint8_t chunk[512];
    size_t used = 0;
    for (size_t i = 0; i <= length; ++i) {
        uint16_t unit = i < length ? name[i] : 0;
        if (i < length && unit == 0) {
            writer->failed = true;
            return false;
        }
        chunk[used++] = static_cast<uint8_t>(unit);
        chunk[used++] = static_cast<uint8_t>(unit >> 8);
        if (used == sizeof chunk && !put(writer, chunk, used)) {
            return false;
        }
        if (used == sizeof chunk) {
            used = 0;
        }
    }
    return put(writer, chunk, used) && put_u64(writer, size);
}

bool payload_write_data(payload_writer* writer, const void* data, size_t size)
{
    return put(writer, data, size);
}

bool payload_write_end(payload_writer* writer)
{
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    if (!put(writer, zeros, 4)) {
        return false;
    }
    // The count stands for the bytes that precede it.
    return put_u64(writer, writer->position);
}
