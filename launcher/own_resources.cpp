#include "launcher/own_resources.h"

#include <windows.h>

#include "launcher/cache.h"
#include "launcher/launcher_state.h"
#include "launcher/path_spec_values.h"
#include "neutral/little_endian.h"
#include "neutral/path_spec.h"
#include "neutral/payload_cache.h"
#include "neutral/version_info.h"
#include "neutral/wide_bounded.h"

namespace {

const wchar_t default_template[] = L"{TEMP}\\onefile_{PID}_{TIME}";
const wchar_t default_cache_template[] = L"" PAYLOAD_CACHE_DEFAULT_TEMPLATE;

wchar_t stored_template[target_directory_capacity];
const wchar_t* expanded_template = nullptr;

// The executable's template, or the default when it has none. False when
// the stored one is not text that fits or holds a zero unit; what fits of
// it is in `stored_template` for the message.
bool read_template(const wchar_t** template_text)
{
    size_t size = 0;
    const uint8_t* data = own_resource(MAKEINTRESOURCEW(10), L"" PATH_SPEC_TEMPLATE_RESOURCE, &size);
    if (data == nullptr) {
        *template_text = cache_digest() != nullptr ? default_cache_template : default_template;
        return true;
    }
    size_t units = size / 2;
    size_t shown = units < target_directory_capacity ? units : target_directory_capacity - 1;
    bool clean = size % 2 == 0 && units < target_directory_capacity && units != 0;
    for (size_t i = 0; i < shown; ++i) {
        stored_template[i] = static_cast<wchar_t>(load_u16(data + 2 * i));
        clean = clean && stored_template[i] != 0;
    }
    stored_template[shown] = 0;
    *template_text = stored_template;
    return clean;
}

}  // namespace

const uint8_t* own_resource(const wchar_t* type, const wchar_t* name, size_t* size)
{
    HRSRC found = FindResourceW(nullptr, name, type);
    HGLOBAL loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
    const void* locked = loaded != nullptr ? LockResource(loaded) : nullptr;
    *size = locked != nullptr ? SizeofResource(nullptr, found) : 0;
    return static_cast<const uint8_t*>(locked);
}

void own_version_string(const char* key, const wchar_t* fallback, wchar_t* value, size_t capacity)
{
    static_assert(sizeof(wchar_t) == sizeof(uint16_t), "version strings are UTF-16 code units");
    size_t size = 0;
    const uint8_t* data = own_resource(MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1), &size);
    switch (version_find_string(data, size, key, reinterpret_cast<uint16_t*>(value), capacity)) {
    case version_found:
        return;
    case version_too_long:
        abnormal_end();
    case version_absent:
        copy_wide_bounded(value, fallback, capacity);
        return;
    }
}

bool expand_target_directory(const wchar_t** template_text)
{
    run_directory[0] = 0;
    if (!read_template(template_text)) {
        return false;
    }
    if (cache_digest() != nullptr) {
        if (!expand_cache_directories(*template_text)) {
            return false;
        }
        expanded_template = *template_text;
        return true;
    }
    // The stored template was checked when the executable was built; a
    // damaged executable is refused here the same way.
    path_spec_template_facts facts;
    if (path_spec_check_template(*template_text, target_directory_capacity, &facts) != template_ok ||
        !expand_path_spec(target_directory, *template_text, target_directory_capacity)) {
        return false;
    }
    expanded_template = *template_text;
    // The run's own directory: the target directory itself, or the first
    // directory above it whose name holds the run's identifier and start
    // time. {TIME} was exported by the first expansion, so this one gives
    // the same text.
    wchar_t root_template[target_directory_capacity];
    for (size_t i = 0; i < facts.run_root; ++i) {
        root_template[i] = (*template_text)[i];
    }
    root_template[facts.run_root] = 0;
    if (!expand_path_spec(run_directory, root_template, target_directory_capacity)) {
        return false;
    }
    size_t root_length = wcslen(run_directory);
    return wcsncmp(run_directory, target_directory, root_length) == 0 &&
           (target_directory[root_length] == 0 || target_directory[root_length] == L'\\');
}

const wchar_t* target_directory_template()
{
    return expanded_template;
}
