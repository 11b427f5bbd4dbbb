#pragma once
// Paths, read-only file views and all-or-nothing output files for the
// packaging tool.
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr size_t copy_buffer_size = 1u << 20;

// The absolute form of a path as the user wrote it (relative to the current
// directory); empty when the system cannot make one.
std::wstring full_path(const std::wstring& path);
// The form handed to file APIs: "\\?\" before an absolute path.
std::wstring system_path(const std::wstring& full);
// The last component of an absolute path, ignoring trailing separators;
// empty for a drive or share root.
std::wstring base_name(const std::wstring& full);
// '/' -> '\', the separator that entry names store.
std::wstring backslashed(std::wstring name);

// Attributes of an absolute path, or INVALID_FILE_ATTRIBUTES with *error set.
DWORD path_attributes(const std::wstring& full, uint64_t* size, DWORD* error);
// Creates a directory and every missing one above it.
bool create_directories(const std::wstring& full, DWORD* error);

// A whole file as read-only bytes, mapped rather than read, so that even a
// payload of hundreds of megabytes costs address space, not memory.
struct file_view {
    HANDLE file;
    HANDLE mapping;
    const uint8_t* bytes;
    uint64_t size;
};
bool open_file_view(const std::wstring& full, file_view* view, DWORD* error);
void close_file_view(file_view* view);

// The file's identity (volume and index), for telling whether two paths
// name the same file. False when the file cannot be opened.
bool file_identity(const std::wstring& full, uint64_t* volume, uint64_t* index);

// An output file written under a temporary name beside its final one and
// renamed over it only when complete; discarded on any failure, so a failed
// run leaves neither a partial output nor a changed old one.
struct pending_output {
    std::wstring final_path;  // absolute
    std::wstring temp_path;   // absolute
    HANDLE handle;            // open for writing while it is being written
    bool exists;              // the temporary file is on disk
};
// Creates the temporary file, open for writing.
bool pending_create(pending_output* output, const std::wstring& final_full);
// Copies `source` to the temporary name instead of creating it empty.
bool pending_create_copy(pending_output* output, const std::wstring& final_full, const std::wstring& source_full);
void pending_close_handle(pending_output* output);
// Closes, renames over the final name; false (and discarded) on failure.
bool pending_commit(pending_output* output);
void pending_discard(pending_output* output);

// Set by Ctrl+C or Ctrl+Break while an output is pending; long loops stop
// and the pending output is discarded instead of the process dying mid-way.
bool tool_interrupted();
void install_interrupt_handler();

// A payload writer sink that gathers small writes (names and sizes of many
// small files) into one buffer before WriteFile.
struct file_sink {
    HANDLE handle;
    std::vector<uint8_t> buffer;
    size_t used;
    DWORD error;
};
void file_sink_init(file_sink* sink, HANDLE handle);
bool file_sink_write(void* context, const void* data, size_t size);
bool file_sink_flush(file_sink* sink);
