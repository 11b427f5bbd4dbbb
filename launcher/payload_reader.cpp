#include "launcher/payload_reader.h"

#include <windows.h>
#include <string.h>

#include "launcher/failures.h"
#include "neutral/payload_image.h"

static_assert(sizeof(wchar_t) == sizeof(uint16_t), "names are read as UTF-16 code units");

namespace {

const uint8_t* payload_base = nullptr;
const uint8_t* payload_cursor = nullptr;
// One past the image's last byte, from SizeofResource: no read goes beyond.
const uint8_t* payload_end = nullptr;
uint64_t entry_count = 0;

[[noreturn]] void fail_header()
{
    fail_plain("Error, couldn't find attached data header.");
}

}  // namespace

void payload_open()
{
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(payload_resource_id), MAKEINTRESOURCEA(10));
    HGLOBAL loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
    const void* locked = loaded != nullptr ? LockResource(loaded) : nullptr;
    DWORD size = found != nullptr ? SizeofResource(nullptr, found) : 0;
    if (locked == nullptr) {
        size = 0;
    }
    payload_base = static_cast<const uint8_t*>(locked);
    payload_cursor = payload_base;
    payload_end = payload_base + size;
}

void payload_check_header()
{
    if (payload_base == nullptr || payload_end - payload_cursor < 3) {
        fail_header();
    }
    const uint8_t* magic = payload_cursor;
    payload_cursor += 3;
    if (magic[0] != payload_magic[0] || magic[1] != payload_magic[1] || magic[2] != payload_magic[2]) {
        fail_header();
    }
    payload_summary summary;
    if (payload_validate(payload_base, static_cast<size_t>(payload_end - payload_base), &summary) != payload_ok) {
        fail_header();
    }
    entry_count = summary.entry_count;
}

uint64_t payload_entry_count()
{
    return entry_count;
}

void payload_rewind()
{
    payload_cursor = payload_base;
}

bool payload_read_name(wchar_t* name, size_t capacity)
{
    uint16_t units[payload_name_capacity];
    bool is_end = false;
    size_t room = capacity < payload_name_capacity ? capacity : payload_name_capacity;
    // The image was validated; these checks only keep a broken invariant
    // from turning into a read past the image.
    if (!payload_span_read_name(&payload_cursor, payload_end, units, room, &is_end)) {
        fail_header();
    }
    size_t count = 0;
    while (units[count] != 0) {
        ++count;
    }
    memcpy(name, units, (count + 1) * sizeof(uint16_t));
    return !is_end;
}

uint64_t payload_read_size()
{
    uint64_t size = 0;
    if (!payload_span_read_size(&payload_cursor, payload_end, &size)) {
        fail_header();
    }
    return size;
}

const uint8_t* payload_take(uint64_t count)
{
    const uint8_t* data = nullptr;
    if (!payload_span_take(&payload_cursor, payload_end, count, &data)) {
        fail_header();
    }
    return data;
}
