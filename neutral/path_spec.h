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
constexpr size_t path_spec_target_capacity = 4096;  // code units, terminator included
// A macro, so that each side spells it in its own string type.
#define PATH_SPEC_TEMPLATE_RESOURCE "TARGET_DIRECTORY"

struct path_spec_provider {
    // Appends the value of `which` (never PROGRAM_BASE or PROGRAM_DIR, which
    // derive from PROGRAM) at the output's end, with the bounded operations
    // and the given capacity. False fails the expansion; values that do not
    // fit end the process instead.
    bool (*append_value)(void* context, path_spec_placeholder which, wchar_t* output, size_t capacity);
    void* context;
};

// Looks a name up in the table without regard to (ASCII) case.
path_spec_placeholder path_spec_lookup(const wchar_t* name);

// True: the output holds the expansion. False: an unknown placeholder, a
// system folder the platform did not deliver, or literal text that did not
// fit; the output then holds what was expanded so far.
bool expand_path_spec_with(wchar_t* output, const wchar_t* spec, size_t capacity, const path_spec_provider* provider);

// A template for the target directory, as the packaging tool stores it and
// the launcher reads it back: RT_RCDATA named PATH_SPEC_TEMPLATE_RESOURCE,
// UTF-16LE without a terminator, at most path_spec_target_capacity - 1
// units (the launcher's target directory buffer). It must give every run a directory of its own
// that the run's later launchers find again: {PID} and {TIME} in it, an
// absolute start, and nothing that depends on how the executable was
// started.
// A run's template gives every run a directory of its own; a cache's names
// one directory that every run of the executable shares (the launcher
// appends the payload's digest to it), so it holds neither {PID} nor {TIME}.
enum path_spec_template_kind { run_template, cache_template };

enum path_spec_template_problem {
    template_ok = 0,
    template_too_long,      // the template alone does not fit the target directory's buffer
    template_unclosed,      // a '{' without its '}', or a '{' inside a name
    template_unknown,       // a name outside the table, the empty name included
    template_program,       // {PROGRAM}, {PROGRAM_BASE} or {PROGRAM_DIR}
    template_not_absolute,  // does not start with {TEMP}, {HOME}, {CACHE_DIR}, a drive or a share
    template_no_pid,
    template_no_time,
    template_trailing_separator,  // the run would be given a directory it has made already
    template_per_run,             // {PID} or {TIME} in a cache's template
    template_folder_inside,       // {TEMP}, {HOME} or {CACHE_DIR} anywhere but at the start
};

struct path_spec_template_facts {
    size_t at;        // the placeholder or brace at fault: offset and length in units
    size_t length;
    // The units of the template that give the run's own outermost directory:
    // up to the end of the first component by which both {PID} and {TIME}
    // have appeared. What lies above it is shared with other runs.
    size_t run_root;
};

path_spec_template_problem path_spec_check_template(const wchar_t* spec, size_t capacity,
                                                    path_spec_template_facts* facts,
                                                    path_spec_template_kind kind = run_template);
const char* path_spec_template_problem_text(path_spec_template_problem problem);
