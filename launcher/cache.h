#pragma once
// The unpack cache (neutral/payload_cache.h, neutral/cache_stamp.h), when
// the executable carries it.
//
// Layout, for a cache's template expanding to "...\<base>":
//   ...\<base>_<digest>\                    the cache directory
//       stamp                               what the launcher left there
//       files\...                           the payload; the main library's directory
//   ...\<base>_<digest>.staging_<pid>_<time>\   a first start's run directory, the same inside
//   ...\<base>_<digest>.old_<pid>_<time>\       a damaged cache directory being replaced
//
// A start whose cache directory is this payload's and whole (the stamp
// matches, every entry has the size and write time the stamp gives) loads
// the main library from it in its own process: no unpacking, no second
// process, nothing removed at the end. Any other start is a first start:
// it runs as without the cache, from a staging directory of its own beside
// the cache directory, and at its end a remover (launcher/remover.h)
// flushes the files and the stamp, once the run and its helpers have ended,
// and moves the staging directory into place in one rename. So no start
// ever runs files that a crash or a concurrent start left half-written, and
// what a crash leaves is a staging directory, which a later start removes.
#include <windows.h>
#include <stdint.h>

#include "neutral/payload_cache.h"

// The executable's digest when it uses the cache (its resource holds
// exactly payload_digest_size bytes), null otherwise.
const uint8_t* cache_digest();

// Stage 3 for an executable that uses the cache: from the cache's template
// (`template_text`, checked as one), the cache directory, and as the run's
// own and target directories those of a first start. False when the
// template does not expand.
bool expand_cache_directories(const wchar_t* template_text);

// Parent role: true when the cache directory is this payload's and whole.
// The stamp then stays open, without delete sharing, for the process's
// life, so that no other start removes or replaces the directory while this
// one runs from it. Walks the payload's names and sizes, and leaves the
// reader at its start.
bool cache_is_ready();

// Child role: true when the parent runs a first start (its staging
// directory exists), false when it runs from the cache directory.
bool cache_parent_is_staging();

// Makes the cache directory's files the target directory.
void use_cache_directory();

// Parent role, first start, after the walk wrote entry `index` (of `count`)
// at `path`: records its size and write time for the stamp. Written with
// write_pending_stamp once every entry is.
void record_cached_entry(uint64_t index, uint64_t count, const wchar_t* path);
void write_pending_stamp();

// The remover's part for a cached executable: once the run and its helpers
// have ended, flushes the run's staging directory and moves it into place,
// or removes it when it cannot be (the application changed its files, a
// whole cache directory of this payload is there already, or the one there
// is in use); then removes what other payloads and earlier runs left beside
// the cache directory and nobody uses.
void publish_and_sweep_cache();

// A start from the cache directory: true when something beside it may be
// left over (another payload's directory, a staging directory), for a
// remover to look at.
bool cache_has_leftovers();
