#pragma once
// Files and directories for the tests, in Windows form (Z:\... under Wine).
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

// The build tree's outputs, from the generated paths header.
std::wstring launcher_stub_path();          // GUI-subsystem stub, no payload
std::wstring console_launcher_stub_path();  // console-subsystem stub
std::wstring pack_tool_path();              // the packaging tool
std::wstring test_library_path();           // the test application's main library
std::wstring test_helper_path();            // the same commands as a program of its own
std::wstring test_library_no_entry_path();  // a library without run_code
std::wstring build_directory();

std::wstring to_wide(const std::string& utf8);
std::string to_utf8(const std::wstring& wide);

// A fresh, empty directory below the build tree's scratch area, unique per
// call; removed by remove_tree.
std::wstring make_scratch_directory(const std::wstring& hint);
bool remove_tree(const std::wstring& path);

bool write_file(const std::wstring& path, const std::string& bytes);
bool read_file(const std::wstring& path, std::string* bytes);
bool file_exists(const std::wstring& path);
bool directory_exists(const std::wstring& path);
// Calls `visit` for every file and directory below `root`, depth first, with
// its name relative to `root`. Directories are entered unless they are links
// (so nothing outside the tree is reached) or `visit` returns false.
void walk_tree(const std::wstring& root,
               const std::function<bool(const std::wstring& relative, const WIN32_FIND_DATAW& found)>& visit);
// Every file below `root`, as relative names with backslashes, sorted.
std::vector<std::wstring> list_files(const std::wstring& root);
std::wstring temp_directory();  // GetTempPathW without its trailing backslash

// Every file and directory below a root: relative name -> size (-1 for a
// directory), last-write time (files only: a directory's changes with every
// entry made and removed in it) and attributes.
using tree_snapshot = std::map<std::wstring, std::tuple<long long, unsigned long long, unsigned long>>;
tree_snapshot take_snapshot(const std::wstring& root);
// The differences in a few readable lines, empty when there are none.
std::string describe_difference(const tree_snapshot& before, const tree_snapshot& after);

// Fills `directory` with what nobody may touch: a file, a read-only file
// (readonly.txt) and a subdirectory holding a file. Every program the tests
// start runs in such a directory unless a test gives it another one, so
// that a program which acts on its current directory by mistake is caught.
void fill_sentinel_directory(const std::wstring& directory);

// A payload image built in memory: magic, entries, end marker and trailer.
struct image_entry {
    std::wstring name;
    std::string data;
};
std::string build_image(const std::vector<image_entry>& entries);

// Copies the stub to `exe` and attaches `image` as its payload resource,
// with the packaging tool's `options` (--target-directory and the like).
bool make_launcher(const std::wstring& exe, const std::string& image, bool console = false,
                   const std::vector<std::wstring>& options = {});
