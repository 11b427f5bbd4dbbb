#pragma once
// Hearing of the end of the session (logoff, shutdown, restart, an update's
// reboot). The system tells only top-level windows: a program without one
// is simply terminated, and a console program that has loaded user32 (as
// shell32 does) no longer gets CTRL_LOGOFF_EVENT or CTRL_SHUTDOWN_EVENT
// either. So the parent, once its child runs, keeps a hidden top-level
// window and waits in a loop that dispatches its messages.
#include <windows.h>

// Parent role, once the child runs. When user32 or the window is not to be
// had, the waits below simply wait and a session end goes unheard.
void open_session_end_window();

// Waits until `handle` is signalled (true) or `timeout_ms` has passed
// (false), dispatching the window's messages meanwhile. A null handle only
// waits for the time.
bool wait_dispatching(HANDLE handle, DWORD timeout_ms);
