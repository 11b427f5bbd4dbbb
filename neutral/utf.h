#pragma once
// UTF-8 and UTF-16, for the packaging tool: it keeps paths and messages as
// UTF-8 text on every host and entry names as UTF-16 code units. Lossless
// for any UTF-16: an unpaired surrogate, which a Windows file name may hold,
// is encoded like a code point of its own (the generalised form known as
// WTF-8) and decoded back, so a Windows name survives the round trip.
#include <string>

// False for bytes that are not UTF-8 in that sense: overlong forms, values
// past U+10FFFF, cut sequences, stray continuation bytes, and a surrogate
// pair encoded as two halves (one name must have one byte form).
bool utf16_from_utf8(const std::string& text, std::u16string* units);
std::string utf8_from_utf16(const std::u16string& units);
