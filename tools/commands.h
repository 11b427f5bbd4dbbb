#pragma once
// The packaging tool's commands. Each returns the process's exit status
// (tool_output.h) after reporting any failure on standard error. Paths are
// UTF-8 text as the user gave them.
#include <stdint.h>

#include <string>
#include <vector>

struct host_view;
struct identity;
struct identity_options;
struct stub_facts;

// `allowed_dlls`: DLLs the main library may import although they are neither
// system DLLs nor in the payload (--allow-dll).
int build_command(const std::string& output, const std::string& main_library, const std::vector<std::string>& inputs,
                  bool keep_empty_dirs, const std::vector<std::string>& allowed_dlls);
int pack_command(const std::string& launcher, const std::string& output, const std::string& main_library,
                 const std::vector<std::string>& inputs, bool keep_empty_dirs,
                 const std::vector<std::string>& allowed_dlls, const identity_options& options);
int attach_command(const std::string& launcher, const std::string& image, const std::string& output,
                   const identity_options& options);
int list_command(const std::string& source);
int extract_command(const std::string& source, const std::string& output);
// The identity options checked as attach and pack check them, the files
// they name read, and nothing written: what the CMake function runs when
// CMake configures, so that a bad value is named there.
int check_command(const identity_options& options);

// Writes the stub with `data` as its payload resource (replacing any
// earlier one) under a temporary name beside `output_full`, reads the
// payload back and renames the result over the output. The stub has passed
// check_launcher_stub; a signed one loses its signature, with a warning.
// `hold` (may be null) is a view that `data` lies in; it is closed before
// the rename, since a mapped file cannot be replaced on Windows. The
// identity's resources take the place of the stub's; an executable that
// uses the cache (own->cached) carries the digest of `data`, which must
// then not be empty.
bool attach_payload(const std::string& stub_full, const uint8_t* data, uint64_t size, const std::string& output_full,
                    host_view* hold, identity* own);

// Check, before any work is done, that an output path is not a directory
// and that the stub of an attach or pack is a Windows executable made from
// the launcher.
bool check_output_path(const std::string& argument, std::string* full);
// The stub's facts are those identity_load takes.
bool check_launcher_stub(const std::string& argument, stub_facts* stub);
