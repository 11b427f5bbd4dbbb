#pragma once
// The cache directory's stamp and the names around it.
//
// A cache directory ("<base>_<digest>") holds the payload's files below
// "files" and, beside them, the stamp: what the launcher left there, so
// that a start can tell, without reading any file's contents, that the
// directory is the one this payload made and that every entry is there as
// it was written. The stamp is written when the files are, and the whole
// directory is moved into place in one rename once both are flushed.
//
// Stamp layout, little-endian, nothing aligned:
//   8 bytes   magic "OFSTAMP1"
//   32 bytes  the payload's digest (payload_cache.h)
//   8 bytes   the number of entries
//   16 bytes per entry, in the payload's order: its size, and its file's
//             last-write time as the file system reported it once written
//             (100-ns units since 1601)
#include <stddef.h>
#include <stdint.h>

#include "neutral/payload_cache.h"

constexpr size_t cache_stamp_header_size = 8 + payload_digest_size + 8;
constexpr size_t cache_stamp_entry_size = 16;

// The stamp's size for `count` entries; 0 when that would not fit a size_t.
size_t cache_stamp_size(uint64_t count);

// Writes the header into `stamp` (at least cache_stamp_header_size bytes).
void cache_stamp_begin(uint8_t* stamp, const uint8_t* digest, uint64_t count);

// Entry `index`'s record, in a stamp of cache_stamp_size(count) bytes.
void cache_stamp_set(uint8_t* stamp, uint64_t index, uint64_t size, uint64_t write_time);

// True when `stamp` (of `size` bytes) is a whole stamp for `digest` and
// `count` entries, nothing short, nothing over.
bool cache_stamp_matches(const uint8_t* stamp, size_t size, const uint8_t* digest, uint64_t count);

// Entry `index`'s record of a stamp that matched.
void cache_stamp_get(const uint8_t* stamp, uint64_t index, uint64_t* size, uint64_t* write_time);

// The digest as it names the directory: its first 8 bytes in lower-case
// hexadecimal, 16 characters and a terminator.
constexpr size_t cache_digest_name_size = 17;
void cache_digest_name(const uint8_t* digest, char16_t* name);

// What a name in the cache directory's parent is, for one whose own is
// "<base>_<digest name>":
enum cache_sibling {
    cache_sibling_other,     // not the cache's at all
    cache_sibling_version,   // "<base>_<16 hex>": a cache directory, the own or another payload's
    cache_sibling_staging,   // "<base>_<16 hex>.staging_<pid>_<time>": a first start's files
    cache_sibling_replaced,  // "<base>_<16 hex>.old_<pid>_<time>": a damaged directory moved aside
};
struct cache_sibling_name {
    cache_sibling kind = cache_sibling_other;
    bool own_digest = false;  // the 16 hex digits are the own digest's
    unsigned long pid = 0;    // staging and replaced only
    unsigned long long time = 0;
};
// `name` and `base` are zero-terminated UTF-16; `own` a digest name.
cache_sibling_name cache_classify_sibling(const char16_t* name, const char16_t* base, const char16_t* own);
