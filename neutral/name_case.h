#pragma once
// Entry names compared the way Windows compares file names: code unit by
// code unit, each folded to upper case through the system's table, with no
// regard to the user's locale. Two names that compare equal here name one
// file on Windows, so a payload must not hold both.
#include <stddef.h>
#include <stdint.h>

uint16_t name_upper_case(uint16_t unit);
// <0, 0 or >0, like the ordinal comparison with case ignored; a name that is
// a prefix of the other sorts first.
int name_compare_ignoring_case(const uint16_t* a, size_t a_length, const uint16_t* b, size_t b_length);
