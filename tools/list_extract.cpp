// list and extract: reading an image from a raw image file or from the
// payload resource of a launcher executable.
#include <windows.h>
#include <wchar.h>

#include "neutral/payload_image.h"
#include "tools/commands.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

struct image_source {
    HMODULE module;  // the executable, loaded as data, when the payload is its resource
    file_view view;  // the raw image file otherwise
    const uint8_t* bytes;
    uint64_t size;
};

void close_image_source(image_source* source)
{
    if (source->module != nullptr) {
        FreeLibrary(source->module);
        source->module = nullptr;
    }
    close_file_view(&source->view);
}

bool open_image_source(const std::wstring& argument, image_source* source)
{
    source->module = nullptr;
    source->view = {INVALID_HANDLE_VALUE, nullptr, nullptr, 0};
    source->bytes = nullptr;
    source->size = 0;
    std::wstring full = full_path(argument);
    DWORD error = 0;
    DWORD attributes = full.empty() ? INVALID_FILE_ATTRIBUTES : path_attributes(full, nullptr, &error);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        report(quoted(argument) + L" not found");
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        report(quoted(argument) + L" is a directory, not an image or an executable");
        return false;
    }
    if (!open_file_view(full, &source->view, &error)) {
        report(L"cannot read " + quoted(argument) + L": " + system_error_text(error));
        return false;
    }
    bool executable = source->view.size >= 2 && source->view.bytes[0] == 'M' && source->view.bytes[1] == 'Z';
    if (!executable) {
        source->bytes = source->view.bytes;
        source->size = source->view.size;
        return true;
    }
    close_file_view(&source->view);
    // Found the way the launcher finds its own payload, so that what is
    // listed is what the launcher would unpack.
    source->module = LoadLibraryExW(system_path(full).c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (source->module == nullptr) {
        report(quoted(argument) + L" starts like an executable but cannot be read as one: " +
               system_error_text(GetLastError()));
        return false;
    }
    HRSRC found = FindResourceW(source->module, MAKEINTRESOURCE(payload_resource_id), RT_RCDATA);
    HGLOBAL loaded = found != nullptr ? LoadResource(source->module, found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        report(quoted(argument) + L" has no payload (no RT_RCDATA resource " + std::to_wstring(payload_resource_id) +
               L")");
        close_image_source(source);
        return false;
    }
    source->bytes = static_cast<const uint8_t*>(bytes);
    source->size = SizeofResource(source->module, found);
    return true;
}

std::wstring problem_description(payload_problem problem, const payload_summary& summary)
{
    std::wstring text = to_wide_text(payload_problem_text(problem));
    if (problem == payload_bad_magic) {
        return text;
    }
    return text + L" (entry " + std::to_wstring(summary.problem_entry) + L" at byte offset " +
           std::to_wstring(summary.problem_offset) + L")";
}

// Calls `visit` for the first `count` entries, which payload_validate has
// already found whole and safe.
template <typename Visit>
bool for_each_entry(const image_source& source, uint64_t count, Visit visit)
{
    const uint8_t* cursor = source.bytes + 3;
    const uint8_t* end = source.bytes + source.size;
    uint16_t units[payload_name_capacity];
    for (uint64_t i = 0; i < count; ++i) {
        bool is_end = false;
        uint64_t size = 0;
        const uint8_t* data = nullptr;
        if (!payload_span_read_name(&cursor, end, units, payload_name_capacity, &is_end) || is_end ||
            !payload_span_read_size(&cursor, end, &size) || !payload_span_take(&cursor, end, size, &data)) {
            return false;
        }
        std::wstring name(reinterpret_cast<const wchar_t*>(units));
        if (!visit(name, data, size)) {
            return false;
        }
    }
    return true;
}

bool write_entry_file(const std::wstring& path, const uint8_t* data, uint64_t size)
{
    HANDLE file = CreateFileW(system_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        report(L"cannot create " + quoted(path) + L": " + system_error_text(GetLastError()));
        return false;
    }
    while (size != 0) {
        // WriteFile takes a 32-bit count.
        DWORD slice = size > copy_buffer_size ? static_cast<DWORD>(copy_buffer_size) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, data, slice, &written, nullptr) || written != slice) {
            report(L"cannot write " + quoted(path) + L": " + system_error_text(GetLastError()));
            CloseHandle(file);
            return false;
        }
        data += slice;
        size -= slice;
        progress_advance(slice);
    }
    if (!CloseHandle(file)) {
        report(L"cannot write " + quoted(path) + L": " + system_error_text(GetLastError()));
        return false;
    }
    return true;
}

}  // namespace

int list_command(const std::wstring& argument)
{
    image_source source;
    if (!open_image_source(argument, &source)) {
        return status_failed;
    }
    payload_summary summary;
    payload_problem problem = payload_validate(source.bytes, static_cast<size_t>(source.size), &summary);
    std::wstring listing;
    for_each_entry(source, summary.entry_count, [&](const std::wstring& name, const uint8_t*, uint64_t size) {
        wchar_t column[32];
        swprintf(column, 32, L"%14llu  ", static_cast<unsigned long long>(size));
        listing += column + name + L"\n";
        return true;
    });
    if (problem == payload_ok) {
        listing += std::to_wstring(summary.entry_count) + L" entries, " + std::to_wstring(summary.data_bytes) +
                   L" data bytes, " + std::to_wstring(source.size) + L" image bytes\n";
    }
    print_out(listing);
    close_image_source(&source);
    if (problem != payload_ok) {
        report(quoted(argument) + L": damaged payload: " + problem_description(problem, summary));
        return status_failed;
    }
    return status_ok;
}

int extract_command(const std::wstring& argument, const std::wstring& output)
{
    image_source source;
    if (!open_image_source(argument, &source)) {
        return status_failed;
    }
    payload_summary summary;
    payload_problem problem = payload_validate(source.bytes, static_cast<size_t>(source.size), &summary);
    if (problem != payload_ok) {
        report(quoted(argument) + L": damaged payload, nothing extracted: " + problem_description(problem, summary));
        close_image_source(&source);
        return status_failed;
    }
    std::wstring root = full_path(output);
    DWORD error = 0;
    if (root.empty() || !create_directories(root, &error)) {
        report(L"cannot create directory " + quoted(output) + L": " + system_error_text(error));
        close_image_source(&source);
        return status_failed;
    }
    while (!root.empty() && root.back() == L'\\') {
        root.pop_back();
    }
    std::wstring made_directory;  // the last one created, to skip asking again for its siblings
    progress_begin(L"extracting", summary.data_bytes);
    bool ok = for_each_entry(source, summary.entry_count,
                             [&](const std::wstring& name, const uint8_t* data, uint64_t size) {
        std::wstring path = root + L"\\" + name;
        std::wstring directory = path.substr(0, path.rfind(L'\\'));
        if (directory != made_directory) {
            DWORD failure = 0;
            if (!create_directories(directory, &failure)) {
                report(L"cannot create directory " + quoted(directory) + L": " + system_error_text(failure));
                return false;
            }
            made_directory = directory;
        }
        return write_entry_file(path, data, size);
    });
    progress_end();
    close_image_source(&source);
    if (!ok) {
        return status_failed;
    }
    print_out(std::to_wstring(summary.entry_count) + L" files, " + std::to_wstring(summary.data_bytes) +
              L" bytes extracted to " + output + L"\n");
    return status_ok;
}
