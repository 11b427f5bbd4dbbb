#pragma once
// Running onefile-pack from the tests and the inputs they give it.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

// Runs the tool with `arguments` (after the program name) in `directory`.
program_result run_tool(const std::vector<std::wstring>& arguments, const std::wstring& directory);

std::wstring fixture_entry_path();  // 64-bit DLL exporting run_code
std::wstring fixture_other_path();  // 64-bit DLL exporting run_cod and run_codex
std::wstring fixture_mangled_path();  // exports run_code as _Z8run_codeiPPw only
std::wstring fixture_runtime_path();  // imports libstdc++-6.dll
std::string fixture_entry_bytes();

// A file below `root` (relative name with backslashes), its directories
// created first. Names go through "\\?\" so that names Win32 would treat
// specially (aux.txt, trailing dots) are made as they are.
void put_file(const std::wstring& root, const std::wstring& relative, const std::string& bytes);
void put_directory(const std::wstring& root, const std::wstring& relative);

// The payload resource of an executable, read the way the launcher finds
// it; false when there is none. `languages` gets every language it has.
bool read_payload_resource(const std::wstring& exe, std::string* bytes, std::vector<WORD>* languages);

// Every resource of an executable as the system reads it: "type/name/language"
// (numbers as "#N") to bytes.
std::map<std::wstring, std::string> all_resources(const std::wstring& exe);

// The checksum in an executable's headers is the one the system computes
// (MapFileAndCheckSumW), as signing tools and the loader of drivers demand.
bool checksum_matches(const std::wstring& exe);

// The SHA-256 of `bytes` as the system computes it (bcrypt), a reader
// independent of the tool's own.
std::string system_sha256(const std::string& bytes);

// Lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string& text);

// Bytes that differ from position to position, so a misplaced slice shows.
std::string patterned_bytes(size_t size, unsigned seed);

// A scratch directory removed when the test ends; one left behind fails the
// test, since the next runs would pile them up.
struct scratch {
    std::wstring path;
    explicit scratch(const wchar_t* hint) : path(make_scratch_directory(hint)) {}
    ~scratch() { EXPECT_TRUE(remove_tree(path)) << "scratch directory left behind: " << to_utf8(path); }
    std::wstring operator/(const std::wstring& relative) const { return path + L"\\" + relative; }
};
