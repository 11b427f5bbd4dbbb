// build and pack: the entries streamed through the payload writer, into a
// file (build) or into memory for the resource section (pack).
#include <stdlib.h>
#include <string.h>

#include "neutral/payload_image.h"
#include "tools/commands.h"
#include "tools/host_files.h"
#include "tools/host_process.h"
#include "tools/identity.h"
#include "tools/pack_inputs.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

// The file an existing output is, so that it is never read as an input:
// the rename at the end would replace the source with the image.
struct output_guard {
    bool exists;
    uint64_t volume;
    uint64_t index;
};

struct memory_sink {
    uint8_t* data;
    uint64_t capacity;
    uint64_t used;
};

bool memory_sink_write(void* context, const void* data, size_t size)
{
    memory_sink* sink = static_cast<memory_sink*>(context);
    if (size > sink->capacity - sink->used) {
        return false;
    }
    memcpy(sink->data + sink->used, data, size);
    sink->used += size;
    return true;
}

void guard_output(const std::string& output_full, output_guard* guard)
{
    host_file_facts facts = {};
    host_error error = 0;
    guard->exists = host_inspect(output_full, &facts, &error);
    guard->volume = facts.volume;
    guard->index = facts.index;
}

// Streams one file's bytes after its header. The size was taken while
// collecting; a file that has changed since is refused rather than stored
// with a header that does not match its data. The size compared is that of
// the file opened, so a link is measured by what it leads to.
bool write_file_entry(const pack_entry& entry, payload_writer* writer, const output_guard& guard,
                      std::vector<uint8_t>* buffer, bool* write_failed)
{
    host_file file;
    host_file_facts facts;
    host_error error = 0;
    if (!host_open_read(entry.source, &file, &facts, &error)) {
        // An interrupt also ends a wait in the system (for a pipe's writer,
        // say) with an error, which is not the input's fault.
        report(host_interrupted() ? std::string("interrupted; no output written")
                                  : "cannot read " + quoted(entry.source) + ": " + host_error_text(error));
        return false;
    }
    if (guard.exists && guard.volume == facts.volume && guard.index == facts.index) {
        report("input " + quoted(entry.source) + " is the output file itself");
        host_close(&file, &error);
        return false;
    }
    bool ok = facts.size == entry.size;
    if (ok && !payload_write_entry_header(writer, units(entry.name), entry.name.size(), facts.size)) {
        *write_failed = true;
        host_close(&file, &error);
        return false;
    }
    uint64_t remaining = ok ? facts.size : 0;
    while (remaining != 0) {
        if (host_interrupted()) {
            report("interrupted; no output written");
            host_close(&file, &error);
            return false;
        }
        size_t want = remaining < buffer->size() ? static_cast<size_t>(remaining) : buffer->size();
        size_t got = 0;
        if (!host_read(&file, buffer->data(), want, &got, &error)) {
            report("cannot read " + quoted(entry.source) + ": " + host_error_text(error));
            host_close(&file, &error);
            return false;
        }
        if (got == 0) {
            ok = false;
            break;
        }
        if (!payload_write_data(writer, buffer->data(), got)) {
            *write_failed = true;
            host_close(&file, &error);
            return false;
        }
        remaining -= got;
        progress_advance(got);
    }
    uint64_t size_now = 0;
    if (ok && (!host_file_size(&file, &size_now, &error) || size_now != facts.size)) {
        ok = false;
    }
    host_close(&file, &error);
    if (!ok) {
        report("input " + quoted(entry.source) + " changed size while it was being packed");
    }
    return ok;
}

bool write_entries(const std::vector<pack_entry>& entries, payload_writer* writer, const output_guard& guard,
                   bool* write_failed)
{
    *write_failed = false;
    std::vector<uint8_t> buffer(copy_buffer_size);
    if (!payload_write_magic(writer)) {
        *write_failed = true;
        return false;
    }
    for (const pack_entry& entry : entries) {
        if (entry.source.empty()) {
            if (!payload_write_entry_header(writer, units(entry.name), entry.name.size(), 0)) {
                *write_failed = true;
                return false;
            }
            continue;
        }
        if (!write_file_entry(entry, writer, guard, &buffer, write_failed)) {
            return false;
        }
    }
    if (!payload_write_end(writer)) {
        *write_failed = true;
        return false;
    }
    return true;
}

uint64_t data_size_of(const std::vector<pack_entry>& entries)
{
    uint64_t data = 0;
    for (const pack_entry& entry : entries) {
        data += entry.size;
    }
    return data;
}

void print_summary(const std::string& output, const std::vector<pack_entry>& entries, uint64_t image_size)
{
    print_out(output + ": " + std::to_string(entries.size()) + " entries, " + std::to_string(data_size_of(entries)) +
              " data bytes, " + std::to_string(image_size) + " image bytes\n");
}

}  // namespace

bool check_output_path(const std::string& argument, std::string* full)
{
    host_error error = 0;
    if (!host_full_path(argument, full, &error)) {
        report("cannot make an absolute path of " + quoted(argument) + ": " + host_error_text(error));
        return false;
    }
    host_file_facts facts;
    if (host_inspect(*full, &facts, &error) && facts.is_directory) {
        report("output " + quoted(argument) + " is a directory");
        return false;
    }
    return true;
}

int build_command(const std::string& output, const std::string& main_library, const std::vector<std::string>& inputs,
                  bool keep_empty_dirs, const std::vector<std::string>& allowed_dlls)
{
    std::string output_full;
    if (!check_output_path(output, &output_full)) {
        return status_failed;
    }
    std::vector<pack_entry> entries;
    int status = collect_entries(main_library, inputs, keep_empty_dirs, &entries);
    if (status == status_ok) {
        status = check_imports(entries, allowed_dlls, main_library);
    }
    if (status != status_ok) {
        return status;
    }
    uint64_t total = 0;
    if (!image_size_of(entries, &total)) {
        report("the inputs add up to more bytes than an image can count");
        return status_failed;
    }
    output_guard guard;
    guard_output(output_full, &guard);

    pending_output pending;
    host_error error = 0;
    if (!pending_create(&pending, output_full, false, &error)) {
        report("cannot create " + quoted(output) + ": " + host_error_text(error));
        return status_failed;
    }
    file_sink sink;
    file_sink_init(&sink, &pending.file);
    payload_writer writer;
    payload_writer_init(&writer, file_sink_write, &sink);
    progress_begin("writing", data_size_of(entries));
    bool write_failed = false;
    bool ok = write_entries(entries, &writer, guard, &write_failed);
    if (ok && !file_sink_flush(&sink)) {
        ok = false;
        write_failed = true;
    }
    progress_end();
    if (!ok) {
        if (write_failed) {
            report("cannot write " + quoted(output) + ": " + host_error_text(sink.error));
        }
        pending_discard(&pending);
        return status_failed;
    }
    if (!pending_commit(&pending, &error)) {
        report("cannot replace " + quoted(output) + ": " + host_error_text(error));
        return status_failed;
    }
    print_summary(output, entries, total);
    return status_ok;
}

int pack_command(const std::string& launcher, const std::string& output, const std::string& main_library,
                 const std::vector<std::string>& inputs, bool keep_empty_dirs,
                 const std::vector<std::string>& allowed_dlls, const identity_options& options)
{
    stub_facts stub;
    std::string output_full;
    if (!check_launcher_stub(launcher, &stub) || !check_output_path(output, &output_full)) {
        return status_failed;
    }
    const std::string& stub_full = stub.full;
    // Before the inputs are read, which may take long.
    identity own;
    int status = identity_load(options, &stub, &own);
    if (status != status_ok) {
        return status;
    }
    std::vector<pack_entry> entries;
    status = collect_entries(main_library, inputs, keep_empty_dirs, &entries);
    if (status == status_ok) {
        status = check_imports(entries, allowed_dlls, main_library);
    }
    if (status != status_ok) {
        return status;
    }
    uint64_t total = 0;
    // A resource's size is a 32-bit field: anything larger would be cut.
    if (!image_size_of(entries, &total) || total > UINT32_MAX) {
        report("the image would be too large for an executable's resource (4 GiB at most)");
        return status_failed;
    }
    output_guard guard;
    guard_output(output_full, &guard);

    // The resource section holds the whole image, so it is built in memory
    // rather than in a temporary file. malloc leaves the pages untouched,
    // so the system commits them only as they are written.
    memory_sink sink = {static_cast<uint8_t*>(malloc(total)), total, 0};
    if (sink.data == nullptr) {
        report("not enough memory for an image of " + std::to_string(total) + " bytes");
        return status_failed;
    }
    payload_writer writer;
    payload_writer_init(&writer, memory_sink_write, &sink);
    progress_begin("reading", data_size_of(entries));
    bool write_failed = false;
    bool ok = write_entries(entries, &writer, guard, &write_failed);
    progress_end();
    if (!ok && write_failed) {
        report("the image grew past its computed size while being built");
    }
    if (ok) {
        ok = attach_payload(stub_full, sink.data, sink.used, output_full, nullptr, &own);
    }
    free(sink.data);
    if (!ok) {
        return status_failed;
    }
    print_summary(output, entries, total);
    return status_ok;
}
