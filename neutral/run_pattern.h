#pragma once
// Finding the directories of other runs of the same template: a run's own
// directory (path_spec_template_facts::run_root) read as a pattern in which
// {PID} and {TIME} stand for the digits any run put there and every other
// placeholder for this executable's own value. A start uses it to find
// what earlier runs that were killed outright left behind.
#include <stddef.h>
#include <wchar.h>

#include "neutral/path_spec.h"

// The units of `template_text`, a checked template, before the separator that ends
// the directory every run shares: the components up to the first one that
// holds {PID} or {TIME}. The components from there to the run's own
// directory each name one level of the search.
size_t run_pattern_base(const wchar_t* template_text, size_t run_root);

// A run's identifier and start time as its directory's name gives them.
// Each is taken from the first level that holds it; a later level that
// holds it again must give the same value.
struct run_identity {
    unsigned long pid = 0;
    unsigned long long time = 0;
    bool has_pid = false;
    bool has_time = false;
};

enum run_match {
    run_match_none,
    run_match_one,
    run_match_ambiguous,  // more than one reading ("{PID}{TIME}" and the like)
};

// Matches the directory name `name` against one component of the template
// (`length` units, no separator): {PID} as decimal digits without a leading
// zero that fit 32 bits, {TIME} as decimal digits that fit 64 bits, every
// other placeholder as its value from `provider`, the rest exactly. On
// run_match_one, `identity` holds what the name gave; otherwise it is left
// as it was.
run_match run_pattern_match(const wchar_t* component, size_t length, const wchar_t* name,
                            const path_spec_provider* provider, run_identity* identity);
