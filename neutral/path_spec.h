#pragma once
// Path spec expansion: a UTF-16 template whose names in braces stand for
// values known only at run time. The parser and the placeholder table live
// here, free of the platform; the values that need the system come from a
// provider (the launcher's launcher/path_spec_values.cpp, fakes in tests).
#include <stddef.h>
#include <wchar.h>

enum path_spec_placeholder {
    spec_temp,
    spec_program,
    spec_program_base,
    spec_program_dir,
    spec_pid,
    spec_home,
    spec_cache_dir,
    spec_company,
    spec_product,
    spec_version,
    spec_time,
    spec_unknown,
};

constexpr size_t path_spec_name_capacity = 1024;  // code units, terminator included

// Product data fixed when the executable is built; the version information
// resource carries the same three texts.
#define ONEFILE_COMPANY L"Merla Software"
#define ONEFILE_PRODUCT L"Merla"
#define ONEFILE_VERSION L"0.0.6.0"

struct path_spec_provider {
    // Appends the value of `which` (never one of the three product texts, nor
    // PROGRAM_BASE or PROGRAM_DIR, which derive from PROGRAM) at the output's
    // end, with the bounded operations and the given capacity. False fails
    // the expansion; values that do not fit end the process instead.
    bool (*append_value)(void* context, path_spec_placeholder which, wchar_t* output, size_t capacity);
    void* context;
};

// Looks a name up in the table without regard to (ASCII) case.
path_spec_placeholder path_spec_lookup(const wchar_t* name);

// True: the output holds the expansion. False: an unknown placeholder, a
// system folder the platform did not deliver, or literal text that did not
// fit; the output then holds what was expanded so far.
bool expand_path_spec_with(wchar_t* output, const wchar_t* spec, size_t capacity, const path_spec_provider* provider);
