#pragma once
// Starting the second copy of the executable and waiting for it.
#include <wchar.h>

// Builds the child's command line once. The parent does it before it
// unpacks anything: an argument list that cannot be rebuilt within the
// 32767 units (terminator included) that CreateProcessW accepts ends the
// process (status 3) before the target directory exists, instead of after
// the whole payload has been written.
void prepare_child_command_line();

// Starts the child with the re-quoted arguments, the three standard handles,
// the caller's window and console start-up state and the whole environment,
// in the run's job. Waits without limit for it and then for every launcher
// that joined the job, dispatching the session-end window's messages
// meanwhile, and returns the child's exit code (1 when it cannot be read).
unsigned long launch_child_and_wait();

// Fills the child command line from the split raw command line, element 0
// replaced by the executable's full path.
void build_child_command_line(wchar_t** arguments, int count);

// For a start that runs the application in its own process (from the
// cache): the arguments a child would get, element 0 the executable's full
// path, into launcher_argc and launcher_argv.
void use_child_arguments();
