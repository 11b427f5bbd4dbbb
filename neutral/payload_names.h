#pragma once
// Rules for entry names, shared by the launcher (which refuses a payload that
// could write outside its target directory) and the packaging tool (which
// also refuses names that Windows cannot store as ordinary files).
#include <stddef.h>
#include <stdint.h>

enum payload_name_problem {
    name_ok = 0,
    name_empty,                 // no code units at all
    name_empty_component,       // leading, trailing or doubled backslash
    name_dot_component,         // ".", "..", or any component of only dots and blanks
    name_forward_slash,         // '/' would be a second separator on Windows
    name_colon,                 // drive designator or alternate stream
    name_control_character,     // code units below 0x20
    name_reserved_device,       // CON, PRN, AUX, NUL, COM1-9, LPT1-9 (any extension)
    // The stricter rules below are the packaging tool's only.
    name_trailing_dot_or_space, // Windows strips them, so two names collide
    name_forbidden_character,   // < > " | ? *
    name_too_long,              // 1024 code units or more
};

// The launcher's rules: nothing that could escape or misbehave when the name
// is joined below the target directory.
payload_name_problem payload_check_name(const uint16_t* name, size_t length);
// The launcher's rules plus those of ordinary Windows file names.
payload_name_problem payload_check_portable_name(const uint16_t* name, size_t length);
const char* payload_name_problem_text(payload_name_problem problem);

