#pragma once
// Decides from a file's bytes whether the launcher could load it as a main
// library: a 64-bit Windows DLL that exports run_code by name. Also reads
// the DLLs a library imports, and recognises the launcher stubs. Free of
// the platform so that it can be fuzzed natively; every read is
// bounds-checked against the bytes given, whatever the headers claim.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

enum pe_problem {
    pe_ok = 0,
    pe_not_executable,      // no MZ/PE signature: not a Windows program at all
    pe_damaged_headers,     // headers or section table run past the file
    pe_not_64_bit,          // machine is not AMD64, or not a PE32+ optional header
    pe_not_dll,             // an executable (IMAGE_FILE_DLL not set)
    pe_no_export_table,     // exports nothing
    pe_damaged_export_table,// export directory or its tables run outside the file
    pe_no_run_code,         // exports, but not run_code by name
    pe_run_code_mangled,    // exports run_code only under a C++ name (no extern "C")
    pe_damaged_import_table,// import descriptors or DLL names run outside the file
};

struct pe_facts {
    uint16_t machine;       // COFF machine field, 0 when not read
    uint16_t optional_magic;// 0x10B (PE32) or 0x20B (PE32+), 0 when not read
    uint32_t name_count;    // names in the export table
    char mangled_name[64];  // with pe_run_code_mangled: that name (cut to fit), terminated
};

// The name the launcher asks GetProcAddress for.
constexpr char pe_entry_name[] = "run_code";

pe_problem pe_check_main_library(const uint8_t* bytes, size_t size, pe_facts* facts);
const char* pe_problem_text(pe_problem problem);

// The DLLs that a 64-bit DLL's import table names, in the table's order:
// those the loader must find before the library runs. Delay-loaded DLLs are
// not among them (they load, or fail, only when first called). pe_ok, or
// the problem that stops the reading (a library that is no 64-bit DLL too).
pe_problem pe_list_imports(const uint8_t* bytes, size_t size, std::vector<std::string>* names);

// Every launcher stub, and every executable linked from the launcher's
// objects, carries this text at the start of a section of this name. It
// lives in the launcher's code rather than in its resources, which an
// application's own icon, version information and manifest replace.
// A macro as well, for the launcher's section attribute and initialiser.
#define PE_LAUNCHER_SECTION ".onefile"  // a section name holds 8 bytes
#define PE_LAUNCHER_MARKER "onefile launcher, payload RT_RCDATA 27, format 1"
constexpr char pe_launcher_section[] = PE_LAUNCHER_SECTION;
constexpr char pe_launcher_marker[] = PE_LAUNCHER_MARKER;

bool pe_is_launcher(const uint8_t* bytes, size_t size);
