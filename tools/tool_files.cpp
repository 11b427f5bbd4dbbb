#include "tools/tool_files.h"

#include <string.h>

#include "tools/host_process.h"
#include "tools/tool_output.h"

bool find_input_file(const char* what, const std::string& argument, std::string* full, const char* directory_note)
{
    std::string named = (*what == '\0' ? "" : std::string(what) + " ") + quoted(argument);
    host_error error = 0;
    host_file_facts facts = {};
    if (!host_full_path(argument, full, &error) || !host_inspect(*full, &facts, &error)) {
        report(host_error_is_not_found(error) ? named + " not found"
                                              : "cannot read " + named + ": " + host_error_text(error));
        return false;
    }
    if (facts.is_directory) {
        report(named + " is a directory" + directory_note);
        return false;
    }
    return true;
}

bool pending_create(pending_output* output, const std::string& final_full, bool executable, host_error* error)
{
    output->final_path = final_full;
    output->open = false;
    output->exists = false;
    // "<output>.<pid>.partial" beside the output: the same directory, hence
    // the same volume, which replacing the output by a rename needs.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        output->temp_path = final_full + "." + std::to_string(host_process_id()) +
                            (attempt == 0 ? "" : "-" + std::to_string(attempt)) + ".partial";
        bool exists = false;
        if (host_create_file(output->temp_path, true, executable, &output->file, &exists, error)) {
            output->open = true;
            output->exists = true;
            host_count_pending_output(1);
            return true;
        }
        // A leftover of an earlier run that was killed with the same
        // process id: never overwrite it, pick another name.
        if (!exists) {
            return false;
        }
    }
    return false;
}

bool pending_close(pending_output* output, host_error* error)
{
    if (!output->open) {
        return true;
    }
    output->open = false;
    return host_close(&output->file, error);
}

bool pending_commit(pending_output* output, host_error* error)
{
    if (!pending_close(output, error) || !host_rename_over(output->temp_path, output->final_path, error)) {
        pending_discard(output);
        return false;
    }
    output->exists = false;
    host_count_pending_output(-1);
    return true;
}

void pending_discard(pending_output* output)
{
    host_error ignored = 0;
    pending_close(output, &ignored);
    if (output->exists) {
        host_delete(output->temp_path);
        output->exists = false;
        host_count_pending_output(-1);
    }
}

void file_sink_init(file_sink* sink, host_file* file)
{
    sink->file = file;
    sink->buffer.assign(copy_buffer_size, 0);
    sink->used = 0;
    sink->error = 0;
}

bool file_sink_flush(file_sink* sink)
{
    if (sink->used == 0) {
        return true;
    }
    size_t used = sink->used;
    sink->used = 0;
    return host_write(sink->file, sink->buffer.data(), used, &sink->error);
}

bool file_sink_write(void* context, const void* data, size_t size)
{
    file_sink* sink = static_cast<file_sink*>(context);
    const uint8_t* at = static_cast<const uint8_t*>(data);
    while (size != 0) {
        if (sink->used == 0 && size >= sink->buffer.size()) {
            return host_write(sink->file, at, size, &sink->error);
        }
        size_t room = sink->buffer.size() - sink->used;
        size_t take = size < room ? size : room;
        memcpy(sink->buffer.data() + sink->used, at, take);
        sink->used += take;
        at += take;
        size -= take;
        if (sink->used == sink->buffer.size() && !file_sink_flush(sink)) {
            return false;
        }
    }
    return true;
}
