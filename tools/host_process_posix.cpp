// The tool's process on Linux, macOS and other POSIX hosts: main, the
// standard streams, SIGINT and SIGTERM.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "tools/host_process.h"

namespace {

volatile sig_atomic_t interrupted = 0;
volatile sig_atomic_t pending_count = 0;

void on_signal(int number)
{
    // Only a run with an output in flight needs to stop politely; otherwise
    // the signal ends the process as it would have without the handler.
    if (pending_count > 0) {
        interrupted = 1;
        return;
    }
    signal(number, SIG_DFL);
    raise(number);
}

}  // namespace

void host_print(bool to_error, const std::string& text)
{
    int descriptor = to_error ? STDERR_FILENO : STDOUT_FILENO;
    const char* at = text.data();
    size_t left = text.size();
    while (left != 0) {
        ssize_t written = write(descriptor, at, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        at += written;
        left -= static_cast<size_t>(written);
    }
}

bool host_error_is_terminal()
{
    return isatty(STDERR_FILENO) != 0;
}

unsigned long host_process_id()
{
    return static_cast<unsigned long>(getpid());
}

void host_count_pending_output(int change)
{
    // Only the main thread changes it; the handler only reads it.
    pending_count = pending_count + change;
}

bool host_interrupted()
{
    return interrupted != 0;
}

int main(int argc, char** argv)
{
    // SIGTERM is how build tools and timeouts ask a POSIX program to stop,
    // where Windows has only the console's events.
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed pipe on standard output reports an error instead of ending
    // the process before it has discarded a pending output.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return tool_main(arguments);
}
