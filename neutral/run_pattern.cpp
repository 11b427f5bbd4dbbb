#include "neutral/run_pattern.h"

namespace {

// A component of a template is at most a name's length; its placeholders
// other than {PID} and {TIME} are expanded into literal text.
constexpr size_t literal_capacity = path_spec_name_capacity;
constexpr size_t segment_capacity = 32;

enum segment_kind { literal_segment, pid_segment, time_segment };

struct segment {
    segment_kind kind;
    size_t start;  // literal text: offset and length in the literal buffer
    size_t length;
};

struct parsed_component {
    segment segments[segment_capacity];
    size_t count = 0;
    wchar_t literal[literal_capacity];
    size_t literal_length = 0;
};

bool add_literal(parsed_component* parsed, const wchar_t* text, size_t length)
{
    if (parsed->literal_length + length >= literal_capacity) {
        return false;
    }
    if (parsed->count == 0 || parsed->segments[parsed->count - 1].kind != literal_segment) {
        if (parsed->count == segment_capacity) {
            return false;
        }
        parsed->segments[parsed->count++] = {literal_segment, parsed->literal_length, 0};
    }
    for (size_t i = 0; i < length; ++i) {
        parsed->literal[parsed->literal_length++] = text[i];
    }
    parsed->segments[parsed->count - 1].length += length;
    return true;
}

bool parse_component(const wchar_t* component, size_t length, const path_spec_provider* provider,
                     parsed_component* parsed)
{
    for (size_t at = 0; at < length;) {
        if (component[at] != L'{') {
            if (!add_literal(parsed, component + at, 1)) {
                return false;
            }
            ++at;
            continue;
        }
        size_t close = at + 1;
        while (close < length && component[close] != L'}') {
            ++close;
        }
        // A checked template has a '}' for every '{' and names only known
        // placeholders; anything else matches nothing.
        if (close == length || close - at - 1 >= path_spec_name_capacity) {
            return false;
        }
        // "{NAME}" with its braces, for the expansion, and NAME alone.
        wchar_t placeholder[path_spec_name_capacity + 2];
        for (size_t i = at; i <= close; ++i) {
            placeholder[i - at] = component[i];
        }
        placeholder[close - at] = 0;
        path_spec_placeholder which = path_spec_lookup(placeholder + 1);
        placeholder[close - at] = L'}';
        placeholder[close - at + 1] = 0;
        at = close + 1;
        if (which == spec_pid || which == spec_time) {
            if (parsed->count == segment_capacity) {
                return false;
            }
            parsed->segments[parsed->count++] = {which == spec_pid ? pid_segment : time_segment, 0, 0};
            continue;
        }
        wchar_t value[literal_capacity];
        if (which == spec_unknown || !expand_path_spec_with(value, placeholder, literal_capacity, provider)) {
            return false;
        }
        size_t value_length = 0;
        while (value[value_length] != 0) {
            ++value_length;
        }
        if (!add_literal(parsed, value, value_length)) {
            return false;
        }
    }
    return true;
}

struct match_state {
    const parsed_component* parsed;
    const wchar_t* name;
    unsigned matches;
    run_identity found;
};

void match_from(match_state* state, size_t index, size_t at, run_identity identity)
{
    if (state->matches > 1) {
        return;
    }
    const wchar_t* name = state->name;
    if (index == state->parsed->count) {
        if (name[at] == 0) {
            if (++state->matches == 1) {
                state->found = identity;
            }
        }
        return;
    }
    const segment& piece = state->parsed->segments[index];
    if (piece.kind == literal_segment) {
        for (size_t i = 0; i < piece.length; ++i) {
            if (name[at + i] != state->parsed->literal[piece.start + i]) {
                return;
            }
        }
        match_from(state, index + 1, at + piece.length, identity);
        return;
    }
    // Every length of the run of digits here, so that "{PID}{TIME}" finds
    // each reading and is told apart as ambiguous.
    bool pid = piece.kind == pid_segment;
    unsigned long long value = 0;
    for (size_t length = 1; name[at + length - 1] >= L'0' && name[at + length - 1] <= L'9'; ++length) {
        unsigned digit = static_cast<unsigned>(name[at + length - 1] - L'0');
        if (value > (~0ull - digit) / 10) {
            return;
        }
        value = value * 10 + digit;
        // No identifier is 0 or written with a leading zero, and longer
        // runs of digits only give larger values.
        if (pid && (name[at] == L'0' || value > 0xFFFFFFFFull)) {
            return;
        }
        run_identity next = identity;
        bool consistent = pid ? (!identity.has_pid || identity.pid == value)
                              : (!identity.has_time || identity.time == value);
        if (!consistent) {
            continue;
        }
        if (pid) {
            next.pid = static_cast<unsigned long>(value);
            next.has_pid = true;
        } else {
            next.time = value;
            next.has_time = true;
        }
        match_from(state, index + 1, at + length, next);
    }
}

}  // namespace

size_t run_pattern_base(const wchar_t* template_text, size_t run_root)
{
    size_t component_start = 0;
    for (size_t at = 0; at < run_root; ++at) {
        if (template_text[at] == L'\\') {
            component_start = at + 1;
            continue;
        }
        if (template_text[at] != L'{') {
            continue;
        }
        size_t close = at + 1;
        while (close < run_root && template_text[close] != L'}') {
            ++close;
        }
        wchar_t name[path_spec_name_capacity];
        size_t length = close - at - 1;
        if (close < run_root && length < path_spec_name_capacity) {
            for (size_t i = 0; i < length; ++i) {
                name[i] = template_text[at + 1 + i];
            }
            name[length] = 0;
            path_spec_placeholder which = path_spec_lookup(name);
            if (which == spec_pid || which == spec_time) {
                return component_start == 0 ? 0 : component_start - 1;
            }
        }
        at = close;
    }
    return run_root;
}

run_match run_pattern_match(const wchar_t* component, size_t length, const wchar_t* name,
                            const path_spec_provider* provider, run_identity* identity)
{
    static_assert(sizeof(parsed_component) < 16384, "the parse lives on the stack");
    parsed_component parsed;
    if (!parse_component(component, length, provider, &parsed)) {
        return run_match_none;
    }
    match_state state = {&parsed, name, 0, {}};
    match_from(&state, 0, 0, *identity);
    if (state.matches == 1) {
        *identity = state.found;
        return run_match_one;
    }
    return state.matches == 0 ? run_match_none : run_match_ambiguous;
}
