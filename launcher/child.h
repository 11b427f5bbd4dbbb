#pragma once
// Starting the second copy of the executable and waiting for it.
#include <wchar.h>

// Starts the child with the re-quoted arguments, the three standard handles
// and the whole environment, waits for it without limit, runs the cleanup
// and returns the child's exit code (1 when it cannot be read).
unsigned long launch_child_and_wait();

// Fills the child command line from the split raw command line, element 0
// replaced by the executable's full path.
void build_child_command_line(wchar_t** arguments, int count);
