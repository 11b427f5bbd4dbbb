#pragma once
// The packaging tool's process on its host: the entry point, the standard
// streams, interrupts and the process id. One implementation per host family
// (host_process_windows.cpp, host_process_posix.cpp).
#include <string>
#include <vector>

// The tool itself (tools/main.cpp): called by the host's entry point with
// the arguments after the program name, as UTF-8, and returns the status.
int tool_main(const std::vector<std::string>& arguments);

// UTF-8 text to standard output or error. A Windows console gets it as
// UTF-16, so that it shows every character whatever its code page; files,
// pipes and POSIX terminals get the bytes.
void host_print(bool to_error, const std::string& text);
// Standard error is a terminal: progress is shown only there.
bool host_error_is_terminal();

unsigned long host_process_id();

// Interrupts (Ctrl+C; Ctrl+Break on Windows, SIGTERM on POSIX) while an
// output is pending set a flag that long loops look at, so that the pending
// output is discarded instead of the process dying mid-way. With no output
// pending, an interrupt ends the process as usual.
void host_count_pending_output(int change);
bool host_interrupted();
