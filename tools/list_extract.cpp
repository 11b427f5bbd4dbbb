// list and extract: reading an image from a raw image file or from the
// payload resource of a launcher executable.
#include <stdio.h>

#include "neutral/payload_image.h"
#include "neutral/pe_resources.h"
#include "tools/commands.h"
#include "tools/host_files.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

struct image_source {
    host_view view;  // the raw image file, or the executable that holds it
    const uint8_t* bytes;
    uint64_t size;
};

bool open_image_source(const std::string& argument, image_source* source)
{
    source->bytes = nullptr;
    source->size = 0;
    std::string full;
    if (!find_input_file("", argument, &full, ", not an image or an executable")) {
        return false;
    }
    host_error error = 0;
    if (!host_map_file(full, &source->view, &error)) {
        report("cannot read " + quoted(argument) + ": " + host_error_text(error));
        return false;
    }
    const host_view& view = source->view;
    bool executable = view.size >= 2 && view.bytes[0] == 'M' && view.bytes[1] == 'Z';
    if (!executable) {
        source->bytes = view.bytes;
        source->size = view.size;
        return true;
    }
    // The payload the launcher would find: the language-neutral one.
    std::vector<pe_resource> resources;
    pe_edit_problem problem = pe_read_resources(view.bytes, static_cast<size_t>(view.size), &resources);
    if (problem != pe_edit_ok) {
        report(quoted(argument) + " starts like an executable but cannot be read as one: " +
               pe_edit_problem_text(problem));
        host_unmap_file(&source->view);
        return false;
    }
    const pe_resource* payload =
        pe_find_resource(resources, pe_number(pe_type_rcdata), pe_number(payload_resource_id));
    if (payload == nullptr) {
        report(quoted(argument) + " has no payload (no RT_RCDATA resource " + std::to_string(payload_resource_id) +
               ")");
        host_unmap_file(&source->view);
        return false;
    }
    source->bytes = payload->data;
    source->size = payload->size;
    return true;
}

std::string problem_description(payload_problem problem, const payload_summary& summary)
{
    std::string text = payload_problem_text(problem);
    if (problem == payload_bad_magic) {
        return text;
    }
    return text + " (entry " + std::to_string(summary.problem_entry) + " at byte offset " +
           std::to_string(summary.problem_offset) + ")";
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
        std::u16string name(reinterpret_cast<const char16_t*>(units));
        if (!visit(name, data, size)) {
            return false;
        }
    }
    return true;
}

bool write_entry_file(const std::string& path, const uint8_t* data, uint64_t size)
{
    host_file file;
    host_error error = 0;
    bool exists = false;
    if (!host_create_file(path, false, false, &file, &exists, &error)) {
        report("cannot create " + quoted(path) + ": " + host_error_text(error));
        return false;
    }
    while (size != 0) {
        size_t slice = size > copy_buffer_size ? copy_buffer_size : static_cast<size_t>(size);
        if (!host_write(&file, data, slice, &error)) {
            report("cannot write " + quoted(path) + ": " + host_error_text(error));
            host_close(&file, &error);
            return false;
        }
        data += slice;
        size -= slice;
        progress_advance(slice);
    }
    if (!host_close(&file, &error)) {
        report("cannot write " + quoted(path) + ": " + host_error_text(error));
        return false;
    }
    return true;
}

// An entry name as a path below `root`, in the host's separators.
std::string host_path_below(const std::string& root, const std::u16string& name)
{
    std::string path = root + host_separator + shown(name);
    for (size_t i = root.size() + 1; i < path.size(); ++i) {
        if (path[i] == '\\') {
            path[i] = host_separator;
        }
    }
    return path;
}

}  // namespace

int list_command(const std::string& argument)
{
    image_source source;
    if (!open_image_source(argument, &source)) {
        return status_failed;
    }
    payload_summary summary;
    payload_problem problem = payload_validate(source.bytes, static_cast<size_t>(source.size), &summary);
    std::string listing;
    for_each_entry(source, summary.entry_count, [&](const std::u16string& name, const uint8_t*, uint64_t size) {
        char column[32];
        snprintf(column, sizeof column, "%14llu  ", static_cast<unsigned long long>(size));
        listing += column + shown(name) + "\n";
        return true;
    });
    if (problem == payload_ok) {
        listing += std::to_string(summary.entry_count) + " entries, " + std::to_string(summary.data_bytes) +
                   " data bytes, " + std::to_string(source.size) + " image bytes\n";
    }
    print_out(listing);
    host_unmap_file(&source.view);
    if (problem != payload_ok) {
        report(quoted(argument) + ": damaged payload: " + problem_description(problem, summary));
        return status_failed;
    }
    return status_ok;
}

int extract_command(const std::string& argument, const std::string& output)
{
    image_source source;
    if (!open_image_source(argument, &source)) {
        return status_failed;
    }
    payload_summary summary;
    payload_problem problem = payload_validate(source.bytes, static_cast<size_t>(source.size), &summary);
    if (problem != payload_ok) {
        report(quoted(argument) + ": damaged payload, nothing extracted: " + problem_description(problem, summary));
        host_unmap_file(&source.view);
        return status_failed;
    }
    std::string root;
    host_error error = 0;
    if (!host_full_path(output, &root, &error) || !host_create_directories(root, &error)) {
        report("cannot create directory " + quoted(output) + ": " + host_error_text(error));
        host_unmap_file(&source.view);
        return status_failed;
    }
    while (root.size() > 1 && root.back() == host_separator) {
        root.pop_back();
    }
    std::string made_directory;  // the last one created, to skip asking again for its siblings
    progress_begin("extracting", summary.data_bytes);
    bool ok = for_each_entry(source, summary.entry_count,
                             [&](const std::u16string& name, const uint8_t* data, uint64_t size) {
        std::string path = host_path_below(root, name);
        std::string directory = path.substr(0, path.rfind(host_separator));
        if (directory != made_directory) {
            host_error failure = 0;
            if (!host_create_directories(directory, &failure)) {
                report("cannot create directory " + quoted(directory) + ": " + host_error_text(failure));
                return false;
            }
            made_directory = directory;
        }
        return write_entry_file(path, data, size);
    });
    progress_end();
    host_unmap_file(&source.view);
    if (!ok) {
        return status_failed;
    }
    print_out(std::to_string(summary.entry_count) + " files, " + std::to_string(summary.data_bytes) +
              " bytes extracted to " + output + "\n");
    return status_ok;
}
