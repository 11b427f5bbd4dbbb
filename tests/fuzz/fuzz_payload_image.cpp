// Arbitrary bytes as a payload image. Whatever payload_validate accepts must
// walk with the span reader entry by entry to exactly its end marker, with
// every name safe, and the writer must reproduce those bytes.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "fuzz_support.h"
#include "neutral/payload_image.h"
#include "neutral/payload_names.h"

namespace {

bool append_to_vector(void* context, const void* data, size_t size)
{
    std::vector<uint8_t>* out = static_cast<std::vector<uint8_t>*>(context);
    const uint8_t* in = static_cast<const uint8_t*>(data);
    out->insert(out->end(), in, in + size);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    payload_summary summary;
    payload_problem problem = payload_validate(data, size, &summary);
    if (problem != payload_ok) {
        require(summary.problem_offset <= size, "problem offset inside the image");
        return 0;
    }
    require(summary.end_offset >= 5 && summary.end_offset <= size, "end offset inside the image");

    std::vector<uint8_t> rewritten;
    payload_writer writer;
    payload_writer_init(&writer, append_to_vector, &rewritten);
    require(payload_write_magic(&writer), "magic written");

    const uint8_t* cursor = data + 3;
    const uint8_t* end = data + size;
    uint16_t name[payload_name_capacity];
    uint64_t entries = 0;
    uint64_t data_bytes = 0;
    for (;;) {
        bool is_end = false;
        require(payload_span_read_name(&cursor, end, name, payload_name_capacity, &is_end), "name readable");
        if (is_end) {
            break;
        }
        size_t length = 0;
        while (name[length] != 0) {
            ++length;
        }
        require(payload_check_name(name, length) == name_ok, "accepted name is safe");
        uint64_t entry_size = 0;
        const uint8_t* entry_data = nullptr;
        require(payload_span_read_size(&cursor, end, &entry_size), "size readable");
        require(payload_span_take(&cursor, end, entry_size, &entry_data), "data inside the image");
        require(payload_write_entry_header(&writer, name, length, entry_size), "header written");
        require(payload_write_data(&writer, entry_data, static_cast<size_t>(entry_size)), "data written");
        ++entries;
        data_bytes += entry_size;
    }
    require(static_cast<uint64_t>(cursor - data) == summary.end_offset, "walk stops at the end marker");
    require(entries == summary.entry_count && data_bytes == summary.data_bytes, "walk agrees with the summary");

    require(payload_write_end(&writer), "end written");
    require(rewritten.size() == summary.end_offset + 10, "trailer follows the end marker");
    require(memcmp(rewritten.data(), data, summary.end_offset) == 0, "writer reproduces the image");
    require(payload_load_u64(rewritten.data() + rewritten.size() - 8) == rewritten.size() - 8,
            "trailer counts the bytes before it");
    return 0;
}
