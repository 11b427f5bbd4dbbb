#pragma once
// SHA-256 (FIPS 180-4), fed in slices of any size: the payload it digests
// may be hundreds of megabytes, hashed where it lies (a mapped file, the
// image in memory) and never copied whole.
#include <stddef.h>
#include <stdint.h>

constexpr size_t sha256_size = 32;

struct sha256_state {
    uint32_t hash[8];
    uint64_t length;     // bytes fed so far
    uint8_t block[64];   // a block not yet complete
    size_t used;         // bytes of it
};

void sha256_begin(sha256_state* state);
void sha256_feed(sha256_state* state, const void* data, size_t size);
// The digest of everything fed; the state must be begun again before reuse.
void sha256_end(sha256_state* state, uint8_t digest[sha256_size]);
