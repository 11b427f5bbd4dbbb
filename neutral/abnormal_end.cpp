#include "neutral/abnormal_end.h"

#include <stdlib.h>

// The runtime's abort() is not used: msvcrt.dll's abort writes "This
// application has requested the Runtime to terminate it in an unusual way"
// before it raises SIGABRT, and in a GUI-subsystem program that text appears
// as a modal "Runtime error" dialog, which would hang an unattended start.
// msvcrt.dll has no _set_abort_behavior to turn that off, and a SIGABRT
// handler runs only after the message. _Exit ends the process with the same
// status abort() would give (3) without the message, without atexit handlers
// and without flushing stdio (callers flush what they wrote on purpose).
// Wine prints no such dialog either way, so only Windows can show the
// difference.
[[noreturn]] void abnormal_end()
{
    _Exit(3);
}
