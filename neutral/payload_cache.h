#pragma once
// The unpack cache: an executable packed with it keeps its payload's files
// between runs in a directory of the user's own, named after the
// application and a digest of the payload, instead of unpacking them at
// every start and removing them at every end.
#include <stddef.h>
#include <stdint.h>

// The executable's mark that it uses the cache, and the payload's digest:
// RT_RCDATA named PAYLOAD_CACHE_RESOURCE holding the SHA-256 of the payload
// image exactly as resource 27 holds it (magic to trailer), 32 bytes. The
// packaging tool computes it; the launcher never reads the payload to check
// it. A macro, so that each side spells it in its own string type.
#define PAYLOAD_CACHE_RESOURCE "ONEFILE_CACHE"
constexpr size_t payload_digest_size = 32;

// The cache's template when the executable stores none of its own
// (path_spec.h, cache_template): below the user's local application data,
// named after the product.
#define PAYLOAD_CACHE_DEFAULT_TEMPLATE "{CACHE_DIR}\\onefile\\{PRODUCT}"
