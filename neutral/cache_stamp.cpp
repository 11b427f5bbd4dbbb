#include "neutral/cache_stamp.h"

#include "neutral/little_endian.h"

namespace {

const uint8_t magic[8] = {'O', 'F', 'S', 'T', 'A', 'M', 'P', '1'};

bool same_bytes(const uint8_t* a, const uint8_t* b, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

bool is_lower_hex(char16_t unit)
{
    return (unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f');
}

// Decimal digits at `at` into `value`, no more than `limit`; the index after
// them, or 0 when there are none or they do not fit.
size_t read_number(const char16_t* text, size_t at, unsigned long long limit, bool leading_zero,
                   unsigned long long* value)
{
    size_t start = at;
    *value = 0;
    while (text[at] >= u'0' && text[at] <= u'9') {
        unsigned digit = static_cast<unsigned>(text[at] - u'0');
        if (*value > (limit - digit) / 10) {
            return 0;
        }
        *value = *value * 10 + digit;
        ++at;
    }
    if (at == start || (!leading_zero && text[start] == u'0')) {
        return 0;
    }
    return at;
}

}  // namespace

size_t cache_stamp_size(uint64_t count)
{
    if (count > (static_cast<uint64_t>(static_cast<size_t>(-1)) - cache_stamp_header_size) / cache_stamp_entry_size) {
        return 0;
    }
    return cache_stamp_header_size + static_cast<size_t>(count) * cache_stamp_entry_size;
}

void cache_stamp_begin(uint8_t* stamp, const uint8_t* digest, uint64_t count)
{
    for (size_t i = 0; i < sizeof magic; ++i) {
        stamp[i] = magic[i];
    }
    for (size_t i = 0; i < payload_digest_size; ++i) {
        stamp[8 + i] = digest[i];
    }
    store_u64(stamp + 8 + payload_digest_size, count);
}

void cache_stamp_set(uint8_t* stamp, uint64_t index, uint64_t size, uint64_t write_time)
{
    uint8_t* record = stamp + cache_stamp_header_size + index * cache_stamp_entry_size;
    store_u64(record, size);
    store_u64(record + 8, write_time);
}

bool cache_stamp_matches(const uint8_t* stamp, size_t size, const uint8_t* digest, uint64_t count)
{
    size_t expected = cache_stamp_size(count);
    return expected != 0 && size == expected && same_bytes(stamp, magic, sizeof magic) &&
           same_bytes(stamp + 8, digest, payload_digest_size) && load_u64(stamp + 8 + payload_digest_size) == count;
}

void cache_stamp_get(const uint8_t* stamp, uint64_t index, uint64_t* size, uint64_t* write_time)
{
    const uint8_t* record = stamp + cache_stamp_header_size + index * cache_stamp_entry_size;
    *size = load_u64(record);
    *write_time = load_u64(record + 8);
}

void cache_digest_name(const uint8_t* digest, char16_t* name)
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < 8; ++i) {
        name[2 * i] = static_cast<char16_t>(hex[digest[i] >> 4]);
        name[2 * i + 1] = static_cast<char16_t>(hex[digest[i] & 15]);
    }
    name[16] = 0;
}

cache_sibling_name cache_classify_sibling(const char16_t* name, const char16_t* base, const char16_t* own)
{
    cache_sibling_name result;
    size_t at = 0;
    for (; base[at] != 0; ++at) {
        if (name[at] != base[at]) {
            return result;
        }
    }
    if (name[at++] != u'_') {
        return result;
    }
    bool own_digest = true;
    for (size_t i = 0; i < 16; ++i, ++at) {
        if (!is_lower_hex(name[at])) {
            return result;
        }
        own_digest = own_digest && name[at] == own[i];
    }
    result.own_digest = own_digest;
    if (name[at] == 0) {
        result.kind = cache_sibling_version;
        return result;
    }
    static const struct {
        const char16_t* marker;
        cache_sibling kind;
    } suffixes[] = {{u".staging_", cache_sibling_staging}, {u".old_", cache_sibling_replaced}};
    cache_sibling kind = cache_sibling_other;
    for (const auto& suffix : suffixes) {
        size_t i = 0;
        while (suffix.marker[i] != 0 && name[at + i] == suffix.marker[i]) {
            ++i;
        }
        if (suffix.marker[i] == 0) {
            kind = suffix.kind;
            at += i;
            break;
        }
    }
    unsigned long long pid = 0;
    unsigned long long time = 0;
    if (kind == cache_sibling_other || (at = read_number(name, at, 0xFFFFFFFFull, false, &pid)) == 0 ||
        name[at++] != u'_' || (at = read_number(name, at, ~0ull, true, &time)) == 0 || name[at] != 0) {
        result.own_digest = false;
        return result;
    }
    result.kind = kind;
    result.pid = static_cast<unsigned long>(pid);
    result.time = time;
    return result;
}
