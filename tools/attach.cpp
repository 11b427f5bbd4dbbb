// attach: a copy of the launcher stub with the image as its payload
// resource. The image's bytes are stored as they are, never checked: the
// launcher is the one that judges a payload, and its tests need damaged ones.
#include <string.h>

#include "neutral/payload_image.h"
#include "neutral/pe_check.h"
#include "neutral/pe_resources.h"
#include "tools/commands.h"
#include "tools/host_files.h"
#include "tools/host_process.h"
#include "tools/identity.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

// Reads the payload back from the written file: a write that silently
// dropped or cut the data must not be reported as success.
bool payload_reads_back(const std::string& exe, const uint8_t* data, uint64_t size)
{
    host_view view;
    host_error error = 0;
    if (!host_map_file(exe, &view, &error)) {
        return false;
    }
    std::vector<pe_resource> resources;
    bool ok = pe_read_resources(view.bytes, static_cast<size_t>(view.size), &resources) == pe_edit_ok;
    const pe_resource* payload =
        ok ? pe_find_resource(resources, pe_number(pe_type_rcdata), pe_number(payload_resource_id)) : nullptr;
    if (ok && size == 0) {
        ok = payload == nullptr;
    } else if (ok) {
        ok = payload != nullptr && payload->size == size && memcmp(payload->data, data, size) == 0;
    }
    host_unmap_file(&view);
    return ok;
}

void report_stub_problem(const std::string& stub_full, pe_edit_problem problem)
{
    if (problem == pe_edit_not_executable || problem == pe_edit_damaged_headers) {
        report("launcher stub " + quoted(stub_full) + " is not a Windows executable: " + pe_edit_problem_text(problem));
    } else {
        report("cannot store a payload in launcher stub " + quoted(stub_full) + ": " + pe_edit_problem_text(problem));
    }
}

}  // namespace

bool check_launcher_stub(const std::string& argument, std::string* full)
{
    if (!find_input_file("launcher stub", argument, full)) {
        return false;
    }
    host_view stub;
    host_error error = 0;
    if (!host_map_file(*full, &stub, &error)) {
        report("cannot read the launcher stub " + quoted(*full) + ": " + host_error_text(error));
        return false;
    }
    // Damaged resources are left to the rewrite: what matters first is
    // whether this is a program at all, and whether it is the launcher.
    std::vector<pe_resource> resources;
    pe_edit_problem problem = pe_read_resources(stub.bytes, static_cast<size_t>(stub.size), &resources);
    bool executable = problem != pe_edit_not_executable && problem != pe_edit_damaged_headers;
    // Any other program would run as itself and never look at the payload.
    bool launcher = executable && pe_is_launcher(stub.bytes, static_cast<size_t>(stub.size));
    host_unmap_file(&stub);
    if (!executable) {
        report_stub_problem(*full, problem);
    } else if (!launcher) {
        report("launcher stub " + quoted(*full) +
               " is not a onefile launcher (onefile-launcher.exe, onefile-launcher-console.exe, or an executable "
               "made from either): it would run as itself and ignore the payload");
    }
    return launcher;
}

bool attach_payload(const std::string& stub_full, const uint8_t* data, uint64_t size, const std::string& output_full,
                    host_view* hold, identity* own)
{
    // A resource's size is a 32-bit field; a larger image would be cut.
    if (size > UINT32_MAX) {
        report("the image has " + std::to_string(size) + " bytes; an executable's resource holds 4 GiB at most");
        return false;
    }
    host_view stub;
    host_error error = 0;
    if (!host_map_file(stub_full, &stub, &error)) {
        report("cannot read the launcher stub " + quoted(stub_full) + ": " + host_error_text(error));
        return false;
    }
    // The stub's own resources stay (icon, manifest, version information);
    // every earlier payload goes, in whatever language it was stored. An
    // empty image is attached by leaving the stub without one, which the
    // launcher reads as an empty image.
    std::vector<pe_resource> resources;
    pe_rewrite plan;
    pe_edit_problem problem = pe_read_resources(stub.bytes, static_cast<size_t>(stub.size), &resources);
    if (problem == pe_edit_ok) {
        pe_remove_resources(&resources, pe_number(pe_type_rcdata), pe_number(payload_resource_id));
        if (size != 0) {
            pe_put_resource(&resources, {pe_number(pe_type_rcdata), pe_number(payload_resource_id),
                                         pe_language_neutral, 0, data, static_cast<uint32_t>(size)});
        }
        if (!identity_apply(own, stub_full, output_full, &resources)) {
            host_unmap_file(&stub);
            return false;
        }
        problem = pe_plan_rewrite(stub.bytes, static_cast<size_t>(stub.size), resources, &plan);
    }
    if (problem != pe_edit_ok) {
        report_stub_problem(stub_full, problem);
        host_unmap_file(&stub);
        return false;
    }
    pending_output pending;
    if (!pending_create(&pending, output_full, true, &error)) {
        report("cannot create " + quoted(output_full) + ": " + host_error_text(error));
        host_unmap_file(&stub);
        return false;
    }
    progress_note("storing the payload in the executable", size);
    file_sink sink;
    file_sink_init(&sink, &pending.file);
    bool written = pe_write_rewrite(plan, file_sink_write, &sink) && file_sink_flush(&sink);
    error = sink.error;
    written = written && pending_close(&pending, &error);
    host_unmap_file(&stub);
    if (!written) {
        report("cannot store the payload in " + quoted(output_full) + ": " + host_error_text(error));
        pending_discard(&pending);
        return false;
    }
    if (host_interrupted()) {
        report("interrupted; no output written");
        pending_discard(&pending);
        return false;
    }
    if (!payload_reads_back(pending.temp_path, data, size)) {
        report("the payload resource of " + quoted(output_full) + " does not read back as written");
        pending_discard(&pending);
        return false;
    }
    if (hold != nullptr) {
        host_unmap_file(hold);
    }
    if (!pending_commit(&pending, &error)) {
        report("cannot replace " + quoted(output_full) + ": " + host_error_text(error));
        return false;
    }
    // The signature covered the old file: kept, it would fail every check
    // of the new one, so it is dropped (pe_resources.h) and the user told.
    if (plan.drops_certificates) {
        report("warning: launcher stub " + quoted(stub_full) + " was signed; its signature would not match " +
               quoted(output_full) + " and was left out, so sign that afresh");
    }
    return true;
}

int attach_command(const std::string& launcher, const std::string& image, const std::string& output,
                   const identity_options& options)
{
    std::string stub_full;
    std::string output_full;
    if (!check_launcher_stub(launcher, &stub_full) || !check_output_path(output, &output_full)) {
        return status_failed;
    }
    identity own;
    int status = identity_load(options, &own);
    if (status != status_ok) {
        return status;
    }
    std::string image_full;
    if (!find_input_file("image", image, &image_full)) {
        return status_failed;
    }
    // Mapped, not read: the rewrite copies it straight into the output.
    host_view view;
    host_error error = 0;
    if (!host_map_file(image_full, &view, &error)) {
        report("cannot read image " + quoted(image) + ": " + host_error_text(error));
        return status_failed;
    }
    uint64_t size = view.size;
    bool ok = attach_payload(stub_full, view.bytes, size, output_full, &view, &own);
    host_unmap_file(&view);
    if (!ok) {
        return status_failed;
    }
    print_out(output + ": payload of " + std::to_string(size) + " bytes attached\n");
    return status_ok;
}
