#pragma once
// What the packaging tool says: results on standard output, one-line
// messages ("onefile-pack: <reason>") and progress on standard error.
#include <stdint.h>

#include <string>

constexpr int status_ok = 0;
constexpr int status_failed = 1;  // refused input, or a step that failed
constexpr int status_usage = 2;

void print_out(const std::wstring& text);
void print_err(const std::wstring& text);
// "onefile-pack: " + reason + newline, on standard error.
void report(const std::wstring& reason);
// 'text', the way messages name files and entries.
std::wstring quoted(const std::wstring& text);
// ASCII text (the neutral code's messages) as a wide string.
std::wstring to_wide_text(const char* ascii);
// The system's text for an error code, without its trailing line break,
// followed by the code itself.
std::wstring system_error_text(unsigned long error);

// Progress for long runs: shown only for totals over 64 MiB and only when
// standard error is a terminal, so logs and tests never see it.
void progress_begin(const wchar_t* verb, uint64_t total);
void progress_advance(uint64_t bytes);
void progress_end();
// One line for a long step without intermediate progress, on the same terms.
void progress_note(const wchar_t* text, uint64_t size);
