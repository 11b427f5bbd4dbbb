#include "neutral/utf.h"

namespace {

bool is_high_surrogate(uint32_t value) { return value >= 0xD800 && value <= 0xDBFF; }
bool is_low_surrogate(uint32_t value) { return value >= 0xDC00 && value <= 0xDFFF; }

void append_utf8(std::string* text, uint32_t value)
{
    if (value < 0x80) {
        text->push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        text->push_back(static_cast<char>(0xC0 | (value >> 6)));
        text->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        text->push_back(static_cast<char>(0xE0 | (value >> 12)));
        text->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        text->push_back(static_cast<char>(0xF0 | (value >> 18)));
        text->push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        text->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

}  // namespace

bool utf16_from_utf8(const std::string& text, std::u16string* units)
{
    units->clear();
    bool after_encoded_high = false;  // the last code point was a lone high surrogate
    for (size_t i = 0; i < text.size();) {
        uint8_t lead = static_cast<uint8_t>(text[i]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (length == 0 || lead > 0xF4 || text.size() - i < length) {
            return false;
        }
        uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            uint8_t next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (next & 0x3F);
        }
        static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < smallest[length] || value > 0x10FFFF) {
            return false;
        }
        if (after_encoded_high && is_low_surrogate(value)) {
            return false;
        }
        after_encoded_high = is_high_surrogate(value);
        if (value >= 0x10000) {
            value -= 0x10000;
            units->push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
            units->push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
        } else {
            units->push_back(static_cast<char16_t>(value));
        }
        i += length;
    }
    return true;
}

std::string utf8_from_utf16(const std::u16string& units)
{
    std::string text;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t value = units[i];
        if (is_high_surrogate(value) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
            value = 0x10000 + ((value - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        append_utf8(&text, value);
    }
    return text;
}
