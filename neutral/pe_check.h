#pragma once
// Decides from a file's bytes whether the launcher could load it as a main
// library: a 64-bit Windows DLL that exports run_code by name. Free of the
// platform so that it can be fuzzed natively; every read is bounds-checked
// against the bytes given, whatever the headers claim.
#include <stddef.h>
#include <stdint.h>

enum pe_problem {
    pe_ok = 0,
    pe_not_executable,      // no MZ/PE signature: not a Windows program at all
    pe_damaged_headers,     // headers or section table run past the file
    pe_not_64_bit,          // machine is not AMD64, or not a PE32+ optional header
    pe_not_dll,             // an executable (IMAGE_FILE_DLL not set)
    pe_no_export_table,     // exports nothing
    pe_damaged_export_table,// export directory or its tables run outside the file
    pe_no_run_code,         // exports, but not run_code by name
};

struct pe_facts {
    uint16_t machine;       // COFF machine field, 0 when not read
    uint16_t optional_magic;// 0x10B (PE32) or 0x20B (PE32+), 0 when not read
    uint32_t name_count;    // names in the export table
};

// The name the launcher asks GetProcAddress for.
constexpr char pe_entry_name[] = "run_code";

pe_problem pe_check_main_library(const uint8_t* bytes, size_t size, pe_facts* facts);
const char* pe_problem_text(pe_problem problem);
