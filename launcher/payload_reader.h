#pragma once
// The launcher's forward-only reader over its own payload resource. The image
// stays mapped as the executable's resource and is never copied whole.
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// Finds, loads and locks resource 27 of type RT_RCDATA. A missing resource
// leaves an empty image, which the header check then refuses.
void payload_open();
// The magic, then one pass over every name and size: a damaged image, or one
// whose names could leave the target directory, ends the process with the
// header message and status 2 before anything is written.
void payload_check_header();
// The number of entries the header check counted.
uint64_t payload_entry_count();
// Back to the image's start, for another check and walk.
void payload_rewind();
// True with the name (terminated) in `name`, or false at the end marker.
bool payload_read_name(wchar_t* name, size_t capacity);
uint64_t payload_read_size();
const uint8_t* payload_take(uint64_t count);
