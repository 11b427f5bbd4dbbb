#pragma once
// The packaging tool's commands. Each returns the process's exit status
// (tool_output.h) after reporting any failure on standard error.
#include <stdint.h>

#include <string>
#include <vector>

struct file_view;

int build_command(const std::wstring& output, const std::wstring& main_library, const std::vector<std::wstring>& inputs,
                  bool keep_empty_dirs);
int pack_command(const std::wstring& launcher, const std::wstring& output, const std::wstring& main_library,
                 const std::vector<std::wstring>& inputs, bool keep_empty_dirs);
int attach_command(const std::wstring& launcher, const std::wstring& image, const std::wstring& output);
int list_command(const std::wstring& source);
int extract_command(const std::wstring& source, const std::wstring& output);

// Copies the stub beside `output_full`, stores `data` as its payload
// resource (replacing any earlier one), checks the result and renames it
// over the output. `hold` (may be null) is a view that `data` lies in; it is
// closed before the rename, since a mapped file cannot be replaced.
bool attach_payload(const std::wstring& stub_full, const uint8_t* data, uint64_t size, const std::wstring& output_full,
                    file_view* hold);

// Checks that an output path is not a directory and that the stub of an
// attach or pack exists, before any work is done.
bool check_output_path(const std::wstring& argument, std::wstring* full);
bool check_stub_path(const std::wstring& argument, std::wstring* full);
