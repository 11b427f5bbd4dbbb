#include "launcher/session_end_window.h"

#include "launcher/run_end.h"
#include "launcher/system_library.h"

namespace {

// user32, bound on first use so that a child-role start never loads it.
struct user_functions {
    decltype(&RegisterClassW) register_class;
    decltype(&CreateWindowExW) create_window;
    decltype(&DefWindowProcW) default_procedure;
    decltype(&PeekMessageW) peek_message;
    decltype(&DispatchMessageW) dispatch_message;
    decltype(&MsgWaitForMultipleObjects) wait_for_messages;
    // Vista and later; optional.
    BOOL(WINAPI* block_reason_create)(HWND, LPCWSTR);
    BOOL(WINAPI* block_reason_destroy)(HWND);
};

user_functions user = {};
HWND window = nullptr;

LRESULT CALLBACK session_end_procedure(HWND handle, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        // Yes, at once: the launcher has nothing to save, and a late answer
        // only makes the system ask the user. The reason is shown should the
        // cleanup below take long enough for the system to list who holds
        // up the end.
        if (user.block_reason_create != nullptr) {
            user.block_reason_create(handle, L"Removing temporary files");
        }
        return TRUE;
    case WM_ENDSESSION:
        // After the return the process may be ended at any moment: the
        // cleanup must be complete by then.
        if (wparam) {
            end_run_for_session();
        } else if (user.block_reason_destroy != nullptr) {
            user.block_reason_destroy(handle);
        }
        return 0;
    default:
        return user.default_procedure(handle, message, wparam, lparam);
    }
}

template <typename function>
bool bind(function* slot, const char* name)
{
    *slot = bind_system_function<function>(L"user32.dll", name);
    return *slot != nullptr;
}

}  // namespace

void open_session_end_window()
{
    if (!bind(&user.register_class, "RegisterClassW") || !bind(&user.create_window, "CreateWindowExW") ||
        !bind(&user.default_procedure, "DefWindowProcW") || !bind(&user.peek_message, "PeekMessageW") ||
        !bind(&user.dispatch_message, "DispatchMessageW") ||
        !bind(&user.wait_for_messages, "MsgWaitForMultipleObjects")) {
        return;
    }
    bind(&user.block_reason_create, "ShutdownBlockReasonCreate");
    bind(&user.block_reason_destroy, "ShutdownBlockReasonDestroy");

    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = session_end_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"onefile_session_end";
    if (user.register_class(&window_class) == 0) {
        return;
    }
    // Top-level and never shown. Not a message-only window (parent
    // HWND_MESSAGE): those are not told of the session's end.
    window = user.create_window(0, window_class.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                window_class.hInstance, nullptr);
}

bool wait_dispatching(HANDLE handle, DWORD timeout_ms)
{
    DWORD count = handle != nullptr ? 1 : 0;
    if (window == nullptr) {
        if (handle == nullptr) {
            Sleep(timeout_ms);
            return false;
        }
        return WaitForSingleObject(handle, timeout_ms) == WAIT_OBJECT_0;
    }
    ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD remaining = timeout_ms;
        if (timeout_ms != INFINITE) {
            ULONGLONG spent = GetTickCount64() - start;
            remaining = spent >= timeout_ms ? 0 : static_cast<DWORD>(timeout_ms - spent);
        }
        // QS_ALLINPUT includes sent messages: WM_QUERYENDSESSION and
        // WM_ENDSESSION are sent, and reach the window procedure only while
        // this thread looks at its queue.
        DWORD result = user.wait_for_messages(count, &handle, FALSE, remaining, QS_ALLINPUT);
        if (count == 1 && result == WAIT_OBJECT_0) {
            return true;
        }
        if (result == WAIT_TIMEOUT) {
            return false;
        }
        if (result == WAIT_FAILED) {
            window = nullptr;  // plain waits from here on
            return wait_dispatching(handle, remaining);
        }
        MSG message;
        while (user.peek_message(&message, nullptr, 0, 0, PM_REMOVE)) {
            user.dispatch_message(&message);
        }
    }
}
