#include "neutral/payload_names.h"

#include "neutral/payload_image.h"

namespace {

uint16_t ascii_upper(uint16_t unit)
{
    return (unit >= 'a' && unit <= 'z') ? static_cast<uint16_t>(unit - 'a' + 'A') : unit;
}

bool component_is(const uint16_t* component, size_t length, const char* word)
{
    size_t i = 0;
    for (; i < length && word[i] != 0; ++i) {
        if (ascii_upper(component[i]) != static_cast<uint8_t>(word[i])) {
            return false;
        }
    }
    return i == length && word[i] == 0;
}

// Windows keeps the device names reserved whatever extension follows them
// ("nul.txt" opens the device), and ignores trailing blanks before the dot.
bool is_reserved_device(const uint16_t* component, size_t length)
{
    size_t stem = 0;
    while (stem < length && component[stem] != '.') {
        ++stem;
    }
    while (stem > 0 && component[stem - 1] == ' ') {
        --stem;
    }
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* word : plain) {
        if (component_is(component, stem, word)) {
            return true;
        }
    }
    if (stem == 4) {
        bool com = component_is(component, 3, "COM");
        bool lpt = component_is(component, 3, "LPT");
        uint16_t digit = component[3];
        // Superscript digits 1-3 are reserved as well.
        bool numbered = (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
        if ((com || lpt) && numbered) {
            return true;
        }
    }
    return false;
}

payload_name_problem check(const uint16_t* name, size_t length, bool portable)
{
    if (length == 0) {
        return name_empty;
    }
    if (portable && length >= payload_name_capacity) {
        return name_too_long;
    }
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && name[i] != '\\') {
            uint16_t unit = name[i];
            if (unit < 0x20) {
                return name_control_character;
            }
            if (unit == '/') {
                return name_forward_slash;
            }
            if (unit == ':') {
                return name_colon;
            }
            if (portable && (unit == '<' || unit == '>' || unit == '"' || unit == '|' || unit == '?' ||
                             unit == '*')) {
                return name_forbidden_character;
            }
            continue;
        }
        const uint16_t* component = name + start;
        size_t component_length = i - start;
        if (component_length == 0) {
            return name_empty_component;
        }
        // Windows drops trailing dots and blanks from path components, so
        // "..." or ".. " can come out as ".." and climb out of the target
        // directory: a component of nothing but dots and blanks is refused
        // like "." and "..".
        bool only_dots_and_blanks = true;
        for (size_t k = 0; k < component_length; ++k) {
            if (component[k] != '.' && component[k] != ' ') {
                only_dots_and_blanks = false;
                break;
            }
        }
        if (only_dots_and_blanks) {
            return name_dot_component;
        }
        // A device name opens the device, not a file: payload bytes would
        // go to a serial port or a printer.
        if (is_reserved_device(component, component_length)) {
            return name_reserved_device;
        }
        if (portable) {
            uint16_t last = component[component_length - 1];
            if (last == '.' || last == ' ') {
                return name_trailing_dot_or_space;
            }
        }
        start = i + 1;
    }
    return name_ok;
}

}  // namespace

payload_name_problem payload_check_name(const uint16_t* name, size_t length)
{
    return check(name, length, false);
}

payload_name_problem payload_check_portable_name(const uint16_t* name, size_t length)
{
    return check(name, length, true);
}

const char* payload_name_problem_text(payload_name_problem problem)
{
    switch (problem) {
    case name_ok: return "valid";
    case name_empty: return "the name is empty";
    case name_empty_component: return "the name has an empty component (leading, trailing or doubled backslash)";
    case name_dot_component: return "the name has a \".\", \"..\" or dots-and-blanks component";
    case name_forward_slash: return "the name holds a forward slash";
    case name_colon: return "the name holds a colon (drive or stream)";
    case name_control_character: return "the name holds a control character";
    case name_reserved_device: return "a component is a reserved device name (CON, NUL, COM1, ...)";
    case name_trailing_dot_or_space: return "a component ends in a dot or a space";
    case name_forbidden_character: return "the name holds one of < > \" | ? *";
    case name_too_long: return "the name has 1024 code units or more";
    }
    return "unknown problem";
}
