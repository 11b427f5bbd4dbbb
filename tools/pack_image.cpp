// build and pack: the entries streamed through the payload writer, into a
// file (build) or into memory for the resource update (pack).
#include <windows.h>
#include <string.h>

#include "neutral/payload_image.h"
#include "tools/commands.h"
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

void guard_output(const std::wstring& output_full, output_guard* guard)
{
    guard->exists = file_identity(output_full, &guard->volume, &guard->index);
}

// Streams one file's bytes after its header. The size was taken while
// collecting; a file that has changed since is refused rather than stored
// with a header that does not match its data.
bool write_file_entry(const pack_entry& entry, payload_writer* writer, const output_guard& guard,
                      std::vector<uint8_t>* buffer, bool* write_failed)
{
    // Shared for reading only: nobody can change the file while it is read.
    HANDLE file = CreateFileW(system_path(entry.source).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        report(L"cannot read " + quoted(entry.source) + L": " + system_error_text(GetLastError()));
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) {
        report(L"cannot read " + quoted(entry.source) + L": " + system_error_text(GetLastError()));
        CloseHandle(file);
        return false;
    }
    uint64_t index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    if (guard.exists && guard.volume == information.dwVolumeSerialNumber && guard.index == index) {
        report(L"input " + quoted(entry.source) + L" is the output file itself");
        CloseHandle(file);
        return false;
    }
    uint64_t size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    bool ok = size == entry.size;
    if (ok && !payload_write_entry_header(writer, reinterpret_cast<const uint16_t*>(entry.name.data()),
                                          entry.name.size(), size)) {
        *write_failed = true;
        CloseHandle(file);
        return false;
    }
    uint64_t remaining = ok ? size : 0;
    while (remaining != 0) {
        if (tool_interrupted()) {
            report(L"interrupted; no output written");
            CloseHandle(file);
            return false;
        }
        DWORD want = remaining < buffer->size() ? static_cast<DWORD>(remaining) : static_cast<DWORD>(buffer->size());
        DWORD got = 0;
        if (!ReadFile(file, buffer->data(), want, &got, nullptr)) {
            report(L"cannot read " + quoted(entry.source) + L": " + system_error_text(GetLastError()));
            CloseHandle(file);
            return false;
        }
        if (got == 0) {
            ok = false;
            break;
        }
        if (!payload_write_data(writer, buffer->data(), got)) {
            *write_failed = true;
            CloseHandle(file);
            return false;
        }
        remaining -= got;
        progress_advance(got);
    }
    LARGE_INTEGER size_now;
    if (ok && (!GetFileSizeEx(file, &size_now) || static_cast<uint64_t>(size_now.QuadPart) != size)) {
        ok = false;
    }
    CloseHandle(file);
    if (!ok) {
        report(L"input " + quoted(entry.source) + L" changed size while it was being packed");
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
            if (!payload_write_entry_header(writer, reinterpret_cast<const uint16_t*>(entry.name.data()),
                                            entry.name.size(), 0)) {
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

void print_summary(const std::wstring& output, const std::vector<pack_entry>& entries, uint64_t image_size)
{
    print_out(output + L": " + std::to_wstring(entries.size()) + L" entries, " + std::to_wstring(data_size_of(entries)) +
              L" data bytes, " + std::to_wstring(image_size) + L" image bytes\n");
}

}  // namespace

bool check_output_path(const std::wstring& argument, std::wstring* full)
{
    *full = full_path(argument);
    if (full->empty()) {
        report(L"cannot make an absolute path of " + quoted(argument) + L": " + system_error_text(GetLastError()));
        return false;
    }
    DWORD error = 0;
    DWORD attributes = path_attributes(*full, nullptr, &error);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        report(L"output " + quoted(argument) + L" is a directory");
        return false;
    }
    return true;
}

bool check_stub_path(const std::wstring& argument, std::wstring* full)
{
    *full = full_path(argument);
    DWORD error = 0;
    DWORD attributes = full->empty() ? INVALID_FILE_ATTRIBUTES : path_attributes(*full, nullptr, &error);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        report(L"launcher stub " + quoted(argument) + L" not found");
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        report(L"launcher stub " + quoted(argument) + L" is a directory");
        return false;
    }
    return true;
}

int build_command(const std::wstring& output, const std::wstring& main_library, const std::vector<std::wstring>& inputs,
                  bool keep_empty_dirs)
{
    std::wstring output_full;
    if (!check_output_path(output, &output_full)) {
        return status_failed;
    }
    std::vector<pack_entry> entries;
    int status = collect_entries(main_library, inputs, keep_empty_dirs, &entries);
    if (status != status_ok) {
        return status;
    }
    uint64_t total = 0;
    if (!image_size_of(entries, &total)) {
        report(L"the inputs add up to more bytes than an image can count");
        return status_failed;
    }
    output_guard guard;
    guard_output(output_full, &guard);

    pending_output pending;
    if (!pending_create(&pending, output_full)) {
        report(L"cannot create " + quoted(output) + L": " + system_error_text(GetLastError()));
        return status_failed;
    }
    file_sink sink;
    file_sink_init(&sink, pending.handle);
    payload_writer writer;
    payload_writer_init(&writer, file_sink_write, &sink);
    progress_begin(L"writing", data_size_of(entries));
    bool write_failed = false;
    bool ok = write_entries(entries, &writer, guard, &write_failed);
    if (ok && !file_sink_flush(&sink)) {
        ok = false;
        write_failed = true;
    }
    progress_end();
    if (!ok) {
        if (write_failed) {
            report(L"cannot write " + quoted(output) + L": " + system_error_text(sink.error));
        }
        pending_discard(&pending);
        return status_failed;
    }
    if (!pending_commit(&pending)) {
        report(L"cannot replace " + quoted(output) + L": " + system_error_text(GetLastError()));
        return status_failed;
    }
    print_summary(output, entries, total);
    return status_ok;
}

int pack_command(const std::wstring& launcher, const std::wstring& output, const std::wstring& main_library,
                 const std::vector<std::wstring>& inputs, bool keep_empty_dirs)
{
    std::wstring stub_full;
    std::wstring output_full;
    if (!check_stub_path(launcher, &stub_full) || !check_output_path(output, &output_full)) {
        return status_failed;
    }
    std::vector<pack_entry> entries;
    int status = collect_entries(main_library, inputs, keep_empty_dirs, &entries);
    if (status != status_ok) {
        return status;
    }
    uint64_t total = 0;
    // UpdateResourceW takes a 32-bit size: anything larger would be cut.
    if (!image_size_of(entries, &total) || total > UINT32_MAX) {
        report(L"the image would be too large for an executable's resource (4 GiB at most)");
        return status_failed;
    }
    output_guard guard;
    guard_output(output_full, &guard);

    // The resource update needs the whole image in memory in any case, so
    // it is built there rather than in a temporary file. Pages are committed
    // only as they are written.
    memory_sink sink = {static_cast<uint8_t*>(VirtualAlloc(nullptr, total, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)),
                        total, 0};
    if (sink.data == nullptr) {
        report(L"not enough memory for an image of " + std::to_wstring(total) + L" bytes");
        return status_failed;
    }
    payload_writer writer;
    payload_writer_init(&writer, memory_sink_write, &sink);
    progress_begin(L"reading", data_size_of(entries));
    bool write_failed = false;
    bool ok = write_entries(entries, &writer, guard, &write_failed);
    progress_end();
    if (!ok && write_failed) {
        report(L"the image grew past its computed size while being built");
    }
    if (ok) {
        ok = attach_payload(stub_full, sink.data, sink.used, output_full, nullptr);
    }
    VirtualFree(sink.data, 0, MEM_RELEASE);
    if (!ok) {
        return status_failed;
    }
    print_summary(output, entries, total);
    return status_ok;
}
