#pragma once
// The walk over the payload's entries.
#include <stdint.h>

struct unpack_result {
    bool handed_over;  // child role: the main library ran
    int status;        // its run_code result
};

// Parent role: writes every entry below the target directory and returns at
// the end marker. Child role: records the first entry's path, runs the main
// library and returns its status without reading any size or data.
unpack_result unpack_payload();

// A start from the cache: records the first entry's path below the target
// directory, as the child role does; false for a payload without entries.
bool find_main_library();
