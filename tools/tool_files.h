#pragma once
// Input files looked up, all-or-nothing output files and buffered writing
// for the packaging tool, on top of the host's files (host_files.h).
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/host_files.h"

constexpr size_t copy_buffer_size = 1u << 20;

// The absolute path of a file the user named, which must exist and be no
// directory. Otherwise reports "<what> 'argument' not found", "... is a
// directory" followed by `directory_note`, or the system's reason, and
// returns false. `what` may be empty.
bool find_input_file(const char* what, const std::string& argument, std::string* full,
                     const char* directory_note = "");

// An output file written under a temporary name beside its final one and
// renamed over it only when complete; discarded on any failure, so a failed
// run leaves neither a partial output nor a changed old one.
struct pending_output {
    std::string final_path;  // absolute
    std::string temp_path;   // absolute
    host_file file;          // open for writing while it is being written
    bool open;
    bool exists;             // the temporary file is on disk
};
// Creates the temporary file, open for writing.
bool pending_create(pending_output* output, const std::string& final_full, bool executable, host_error* error);
// Closes the temporary file, so that it can be read back.
bool pending_close(pending_output* output, host_error* error);
// Closes, renames over the final name; false (and discarded) on failure.
bool pending_commit(pending_output* output, host_error* error);
void pending_discard(pending_output* output);

// A writer sink that gathers small writes (names and sizes of many small
// files) into one buffer before they reach the file.
struct file_sink {
    host_file* file;
    std::vector<uint8_t> buffer;
    size_t used;
    host_error error;
};
void file_sink_init(file_sink* sink, host_file* file);
bool file_sink_write(void* context, const void* data, size_t size);
bool file_sink_flush(file_sink* sink);
