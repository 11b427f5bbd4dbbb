#include "launcher/environment.h"

#include <windows.h>
#include <stdlib.h>

#include "neutral/wide_bounded.h"

namespace {

constexpr size_t name_capacity = 40;       // 39 bytes and the terminator
constexpr DWORD value_capacity = 32768;    // the platform's longest value and its terminator

void convert_name(const char* name, wchar_t (&wide)[name_capacity])
{
    wide[0] = 0;
    append_narrow_bounded(wide, name, name_capacity);
}

}  // namespace

wchar_t* get_environment_value(const char* name)
{
    wchar_t wide_name[name_capacity];
    convert_name(name, wide_name);
    // 64 KiB: static would do on the main thread, but the stack keeps the
    // function free of shared state.
    wchar_t value[value_capacity];
    // The result is the value's length without the terminator, 0 for a
    // missing or empty variable, or the room needed (terminator included)
    // when the value does not fit; "too long" therefore reads as absent.
    DWORD length = GetEnvironmentVariableW(wide_name, value, value_capacity);
    if (length == 0 || length >= value_capacity) {
        return nullptr;
    }
    return _wcsdup(value);
}

bool set_environment_value(const char* name, const wchar_t* value)
{
    wchar_t wide_name[name_capacity];
    convert_name(name, wide_name);
    return SetEnvironmentVariableW(wide_name, value) != 0;
}

bool unset_environment_value(const char* name)
{
    wchar_t wide_name[name_capacity];
    convert_name(name, wide_name);
    return SetEnvironmentVariableW(wide_name, nullptr) != 0;
}
