#pragma once
// What the packaging tool says: results on standard output, one-line
// messages ("onefile-pack: <reason>") and progress on standard error. All
// text is UTF-8.
#include <stdint.h>

#include <string>

constexpr int status_ok = 0;
constexpr int status_failed = 1;  // refused input, or a step that failed
constexpr int status_usage = 2;

void print_out(const std::string& text);
void print_err(const std::string& text);
// "onefile-pack: " + reason + newline, on standard error.
void report(const std::string& reason);
// 'text', the way messages name files and entries.
std::string quoted(const std::string& text);
// An entry name (UTF-16) as message text.
std::string shown(const std::u16string& name);

// Progress for long runs: shown only for totals over 64 MiB and only when
// standard error is a terminal, so logs and tests never see it.
void progress_begin(const char* verb, uint64_t total);
void progress_advance(uint64_t bytes);
void progress_end();
// One line for a long step without intermediate progress, on the same terms.
void progress_note(const char* text, uint64_t size);
