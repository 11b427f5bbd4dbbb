#pragma once
// The packaging tool's view of the host's files: paths, directories, reading,
// mapping and writing. One implementation per host family
// (host_files_windows.cpp, host_files_posix.cpp); everything else in tools/
// is the same on every host.
//
// Paths are UTF-8 text in the host's own form ("C:\x\y" or "/x/y"), since
// messages name them the way the host writes them. On Windows the text is
// converted to UTF-16 at each call, losslessly (neutral/utf.h).
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// An error as the host reports it: GetLastError() or errno.
using host_error = unsigned long;
bool host_error_is_not_found(host_error error);
// The system's text for the error, then the code: "... (error 2)".
std::string host_error_text(host_error error);

// The separator the host puts between path components.
extern const char host_separator;

// The absolute form of a path as the user wrote it (relative to the current
// directory), with "." and ".." resolved by the text alone, the way the
// system does it.
bool host_full_path(const std::string& path, std::string* full, host_error* error);
// The last component of an absolute path, ignoring trailing separators;
// empty for a root.
std::string host_base_name(const std::string& full);

struct host_file_facts {
    bool is_directory;
    bool is_link;     // the path itself is a link (symbolic link, junction, other reparse point)
    uint64_t size;    // of what it leads to
    uint64_t volume;  // volume and index: the identity of what it leads to
    uint64_t index;
};
// What `full` leads to, links followed.
bool host_inspect(const std::string& full, host_file_facts* facts, host_error* error);

struct host_directory_entry {
    std::string leaf;
    bool is_directory;  // as listed; a link may say either
    bool is_link;
    uint64_t size;      // as listed; for a link, that of the link itself
};
// Every entry of a directory but "." and "..", in the system's order.
bool host_list_directory(const std::string& full, std::vector<host_directory_entry>* entries, host_error* error);
// Creates a directory and every missing one above it.
bool host_create_directories(const std::string& full, host_error* error);

// An open file, read or written in slices.
struct host_file {
    intptr_t handle;  // HANDLE or file descriptor
};
// Opens for reading, shared only with other readers, and gives the facts of
// the file actually opened: through a link, the target's.
bool host_open_read(const std::string& full, host_file* file, host_file_facts* facts, host_error* error);
bool host_read(host_file* file, void* buffer, size_t size, size_t* got, host_error* error);
bool host_file_size(host_file* file, uint64_t* size, host_error* error);
// Creates a file for writing; `exclusive` fails with *exists set when the
// name is taken, otherwise an existing file is truncated. An executable
// output is made runnable where the host marks that on the file.
bool host_create_file(const std::string& full, bool exclusive, bool executable, host_file* file, bool* exists,
                      host_error* error);
bool host_write(host_file* file, const void* data, size_t size, host_error* error);
// Closes; false when the system reports that written data was lost.
bool host_close(host_file* file, host_error* error);

// Replaces `to` by `from` in one step; both in the same directory.
bool host_rename_over(const std::string& from, const std::string& to, host_error* error);
void host_delete(const std::string& full);

// A whole file as read-only bytes, mapped rather than read, so that even a
// payload of hundreds of megabytes costs address space, not memory.
struct host_view {
    const uint8_t* bytes;
    uint64_t size;
    intptr_t file;
    intptr_t mapping;
};
bool host_map_file(const std::string& full, host_view* view, host_error* error);
void host_unmap_file(host_view* view);
