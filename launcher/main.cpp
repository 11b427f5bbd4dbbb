// The launcher's entry point and its main sequence, top to bottom. Each stage
// lives in its own file; this one only decides the order.
#include <windows.h>
#include <stdlib.h>

#include "launcher/cache.h"
#include "launcher/child.h"
#include "launcher/environment.h"
#include "launcher/extract.h"
#include "launcher/failures.h"
#include "launcher/handoff.h"
#include "launcher/launcher_state.h"
#include "launcher/own_resources.h"
#include "launcher/payload_reader.h"
#include "launcher/remover.h"
#include "launcher/roles.h"
#include "launcher/run_end.h"
#include "neutral/pe_check.h"
#include "neutral/wide_bounded.h"

int launcher_argc = 0;
wchar_t** launcher_argv = nullptr;
wchar_t target_directory[target_directory_capacity];
wchar_t run_directory[target_directory_capacity];
wchar_t main_library_path[main_library_path_capacity];
const wchar_t* parent_identifier = nullptr;

// How the packaging tool tells a launcher from any other program, which
// would run as itself and ignore a payload given to it. In a section of its
// own, kept although nothing refers to it, rather than among the resources,
// which an application replaces with its own.
__attribute__((used, section(PE_LAUNCHER_SECTION))) extern const char launcher_marker[] = PE_LAUNCHER_MARKER;

namespace {

wchar_t plain_module_path[module_path_capacity];
wchar_t executable_directory[module_path_capacity];

// Stage 10: the directory exactly as the system reports the executable's
// location, neither resolved nor shortened.
void export_executable_directory()
{
    if (plain_module_path[0] == 0) {
        GetModuleFileNameW(nullptr, plain_module_path, module_path_capacity);
    }
    copy_wide_bounded(executable_directory, plain_module_path, module_path_capacity);
    wchar_t* last = wcsrchr(executable_directory, L'\\');
    if (last != nullptr) {
        *last = 0;
    }
    set_environment_value("TALMIR_ONEFILE_DIRECTORY", executable_directory);
}

// Where the main library lies, and below it the rest of the payload: for
// scripts and programs the application runs, which cannot ask for the main
// library's own path.
void export_payload_directory()
{
    wchar_t payload_directory[main_library_path_capacity];
    copy_wide_bounded(payload_directory, main_library_path, main_library_path_capacity);
    wchar_t* last = wcsrchr(payload_directory, L'\\');
    if (last != nullptr) {
        *last = 0;
    }
    set_environment_value("TALMIR_ONEFILE_PAYLOAD_DIRECTORY", payload_directory);
}

void export_application_view()
{
    export_executable_directory();
    export_payload_directory();
    set_environment_value("TALMIR_ORIGINAL_ARGV0",
                          (launcher_argc > 0 && launcher_argv[0] != nullptr) ? launcher_argv[0] : L"");
}

// A start from the cache directory: the application runs in this very
// process, as an installed program runs, and sees what a child would see.
int run_from_cache()
{
    use_cache_directory();
    payload_check_header();
    if (!find_main_library()) {
        fail_plain("Error, attached data holds no main library.");
    }
    if (!is_child_role()) {
        export_application_view();
        use_child_arguments();
        // Another payload's directory, or a first start's that was cut
        // short: a remover of its own looks at them, off this start's road.
        if (cache_has_leftovers()) {
            start_remover();
        }
    }
    return run_main_library();
}

}  // namespace

// The four parameters are ignored: the argument data comes from the runtime.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // 1. Arguments, kept for the hand-off and for TALMIR_ORIGINAL_ARGV0.
    launcher_argc = __argc;
    launcher_argv = __wargv;

    // 2. Role. The parent exports its own identifier here. A remover, which
    //    a parent starts to remove its run's directory after the helpers
    //    that outlive the application, does only that.
    if (is_remover_start()) {
        return run_remover();
    }
    parent_identifier = decide_role();

    // 3. Target directory, from the executable's own template or the
    //    default; the result is acted on after the payload is open.
    const wchar_t* target_directory_spec = nullptr;
    bool expanded = expand_target_directory(&target_directory_spec);

    // 4. Payload.
    payload_open();

    // 5. Only now, so that the payload has been opened either way.
    if (!expanded) {
        write_error(L"Error, couldn't runtime expand spec '%ls'.\n", target_directory_spec);
        abnormal_end();
    }

    // 5a. An executable with the cache whose cache directory is whole (and
    //    a child of a start from it) runs the application from there; every
    //    other start unpacks into a directory of its own, as without it.
    if (cache_digest() != nullptr && !(is_child_role() && cache_parent_is_staging()) && cache_is_ready()) {
        return run_from_cache();
    }

    // 6. Parent: the console handler, before anything can be written. (The
    //    child joined the parent's job while its role was decided.)
    if (!is_child_role() && !register_console_handler()) {
        fail_plain("Error, failed to register signal handler.");
    }

    // 7. Header, and one pass over every name and size.
    payload_check_header();

    // 8. The cleanup is armed by the walk, once it has created the target
    //    directory itself.
    if (!is_child_role()) {
        // Before the walk: an argument list too long to pass on is an
        // internal limit like any other full buffer, and ends the process
        // before anything is created rather than after the whole payload
        // has been written.
        prepare_child_command_line();
    }

    // 9. Walk. The child hands over to the main library and ends with its
    //    result. The parent stops before its next entry when a console event
    //    ends the run meanwhile.
    unpack_result walked = unpack_payload();
    if (walked.handed_over) {
        return walked.status;
    }
    if (is_child_role()) {
        // A payload without entries has no main library; starting another
        // child would only repeat this.
        fail_plain("Error, attached data holds no main library.");
    }

    // 10., 11. What the child learns about where it was started from, and
    //    where its files are.
    export_application_view();

    // 12. Start the child and wait for it and for every launcher that joined
    //     the run's job, with an ear open for the session's end.
    unsigned long status = launch_child_and_wait();

    // 13. Remove the target directory; the child's status is the parent's.
    return static_cast<int>(end_run(status));
}
