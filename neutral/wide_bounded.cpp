#include "neutral/wide_bounded.h"

#include <stdlib.h>

namespace {

// Writes source at destination + length with the room left; the caller has
// already counted length code units of content.
void store_bounded(wchar_t* destination, size_t length, const wchar_t* source, size_t capacity)
{
    if (source == nullptr || length >= capacity) {
        abnormal_end();
    }
    size_t room = capacity - length;  // counts the terminator's place
    wchar_t* out = destination + length;
    for (const wchar_t* in = source; *in != 0; ++in) {
        if (room <= 1) {
            abnormal_end();
        }
        *out++ = *in;
        --room;
    }
    *out = 0;
}

// Scans to the first zero, never past the capacity: a buffer without a
// terminator inside its capacity is already broken and ends the process.
size_t bounded_length(const wchar_t* text, size_t capacity)
{
    size_t length = 0;
    while (length < capacity && text[length] != 0) {
        ++length;
    }
    if (length >= capacity) {
        abnormal_end();
    }
    return length;
}

}  // namespace

void copy_wide_bounded(wchar_t* destination, const wchar_t* source, size_t capacity)
{
    if (destination == source) {
        // Same text in place: only the capacity is enforced.
        (void)bounded_length(destination, capacity);
        return;
    }
    store_bounded(destination, 0, source, capacity);
}

void append_wide_bounded(wchar_t* destination, const wchar_t* source, size_t capacity)
{
    store_bounded(destination, bounded_length(destination, capacity), source, capacity);
}

void append_wide_char_bounded(wchar_t* destination, wchar_t unit, size_t capacity)
{
    size_t length = bounded_length(destination, capacity);
    if (capacity - length <= 1) {
        abnormal_end();
    }
    destination[length] = unit;
    destination[length + 1] = 0;
}

void append_narrow_bounded(wchar_t* destination, const char* source, size_t capacity)
{
    if (source == nullptr) {
        abnormal_end();
    }
    size_t length = bounded_length(destination, capacity);
    for (const char* in = source; *in != 0; ++in) {
        char single[2] = {*in, 0};
        wchar_t converted[2] = {0, 0};
        if (mbstowcs(converted, single, 2) != 1) {
            abnormal_end();
        }
        if (capacity - length <= 1) {
            abnormal_end();
        }
        destination[length++] = converted[0];
        destination[length] = 0;
    }
}
