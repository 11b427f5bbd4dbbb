#include "tools/tool_output.h"

#include "neutral/utf.h"
#include "tools/host_process.h"

namespace {

constexpr uint64_t progress_threshold = 64ull << 20;

struct progress_state {
    bool active;
    const char* verb;
    uint64_t total;
    uint64_t done;
    int shown_percent;
};
progress_state progress = {false, nullptr, 0, 0, -1};

}  // namespace

void print_out(const std::string& text)
{
    host_print(false, text);
}

void print_err(const std::string& text)
{
    host_print(true, text);
}

void report(const std::string& reason)
{
    if (progress.active && progress.shown_percent >= 0) {
        print_err("\n");  // leave the progress line intact above the message
        progress.shown_percent = -1;
    }
    print_err("onefile-pack: " + reason + "\n");
}

std::string quoted(const std::string& text)
{
    return "'" + text + "'";
}

std::string shown(const std::u16string& name)
{
    return utf8_from_utf16(name);
}

void progress_begin(const char* verb, uint64_t total)
{
    progress = {false, verb, total, 0, -1};
    progress.active = total > progress_threshold && host_error_is_terminal();
}

void progress_advance(uint64_t bytes)
{
    if (!progress.active) {
        return;
    }
    progress.done += bytes;
    int percent = static_cast<int>(progress.done * 100 / progress.total);
    if (percent > 100) {
        percent = 100;
    }
    if (percent == progress.shown_percent) {
        return;
    }
    progress.shown_percent = percent;
    print_err("\ronefile-pack: " + std::string(progress.verb) + " " + std::to_string(percent) + "% (" +
              std::to_string(progress.done >> 20) + " of " + std::to_string(progress.total >> 20) + " MiB)");
}

void progress_end()
{
    if (progress.active && progress.shown_percent >= 0) {
        print_err("\n");
    }
    progress = {false, nullptr, 0, 0, -1};
}

void progress_note(const char* text, uint64_t size)
{
    if (size > progress_threshold && host_error_is_terminal()) {
        print_err("onefile-pack: " + std::string(text) + "\n");
    }
}
