#pragma once
// Removing the target directory, after the child has ended or when the
// console delivers an interrupt, break, close, logoff or shutdown event.
#include <windows.h>

// Set by the main sequence once the payload header is accepted, never
// cleared; until then a cleanup removes nothing.
void arm_cleanup();

// The main thread keeps the process handle it waits on. The console
// handler's thread gets its own duplicate through these two, handed over by
// an atomic exchange, so each handle is closed exactly once and none is used
// after closing, whichever thread gets there first.
void share_child_process(HANDLE process);
void release_child_process();

void cleanup_target();
BOOL WINAPI console_control_handler(DWORD event);
