// attach: a copy of the launcher stub with the image as its payload
// resource. The image's bytes are stored as they are, never checked: the
// launcher is the one that judges a payload, and its tests need damaged ones.
#include <string.h>

#include "neutral/path_spec.h"
#include "neutral/payload_cache.h"
#include "neutral/payload_image.h"
#include "neutral/pe_check.h"
#include "neutral/pe_resources.h"
#include "neutral/sha256.h"
#include "tools/commands.h"
#include "tools/host_files.h"
#include "tools/host_process.h"
#include "tools/identity.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

const pe_resource_id cache_resource_name = {0, u"" PAYLOAD_CACHE_RESOURCE};

// The digest the cache is named after, of the image as resource 27 holds
// it, taken where the image lies (mapped or built in memory) in slices, so
// that an interrupt is heard in a payload of hundreds of megabytes.
bool payload_digest(const uint8_t* data, uint64_t size, uint8_t digest[payload_digest_size])
{
    static_assert(payload_digest_size == sha256_size, "the cache's digest is a SHA-256");
    sha256_state state;
    sha256_begin(&state);
    progress_begin("computing the payload's digest", size);
    for (uint64_t at = 0; at < size; at += copy_buffer_size) {
        if (host_interrupted()) {
            progress_end();
            report("interrupted; no output written");
            return false;
        }
        size_t slice = size - at < copy_buffer_size ? static_cast<size_t>(size - at) : copy_buffer_size;
        sha256_feed(&state, data + at, slice);
        progress_advance(slice);
    }
    progress_end();
    sha256_end(&state, digest);
    return true;
}

// Reads the payload, and the digest of a cached executable, back from the
// written file: a write that silently dropped or cut the data must not be
// reported as success.
bool payload_reads_back(const std::string& exe, const uint8_t* data, uint64_t size, const uint8_t* digest)
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
    const pe_resource* cache =
        ok ? pe_find_resource(resources, pe_number(pe_type_rcdata), cache_resource_name) : nullptr;
    if (ok && digest == nullptr) {
        ok = cache == nullptr;
    } else if (ok) {
        ok = cache != nullptr && cache->size == payload_digest_size &&
             memcmp(cache->data, digest, payload_digest_size) == 0;
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

bool check_launcher_stub(const std::string& argument, stub_facts* facts)
{
    std::string* full = &facts->full;
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
    // What an executable made from it keeps (identity_load judges it).
    facts->cached = pe_find_resource(resources, pe_number(pe_type_rcdata), cache_resource_name) != nullptr;
    const pe_resource* stored =
        pe_find_resource(resources, pe_number(pe_type_rcdata), pe_resource_id{0, u"" PATH_SPEC_TEMPLATE_RESOURCE});
    facts->has_template = stored != nullptr;
    if (stored != nullptr) {
        facts->target_directory.assign(stored->data, stored->data + stored->size);
    }
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
    // An empty image leaves the executable without a payload resource, so
    // there is nothing a digest could name.
    uint8_t digest[payload_digest_size];
    if (own->cached && size == 0) {
        report(std::string("the image is empty; an executable that uses the cache needs a payload") +
               (own->options.cache ? "" : " (the launcher stub uses the cache, and so does what is made from it)"));
        return false;
    }
    if (own->cached && !payload_digest(data, size, digest)) {
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
        // A stub's digest named its own payload: always the new one's.
        pe_remove_resources(&resources, pe_number(pe_type_rcdata), cache_resource_name);
        if (own->cached) {
            pe_put_resource(&resources, {pe_number(pe_type_rcdata), cache_resource_name, pe_language_neutral, 0,
                                         digest, payload_digest_size});
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
    if (!payload_reads_back(pending.temp_path, data, size, own->cached ? digest : nullptr)) {
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
    stub_facts stub;
    std::string output_full;
    if (!check_launcher_stub(launcher, &stub) || !check_output_path(output, &output_full)) {
        return status_failed;
    }
    identity own;
    int status = identity_load(options, &stub, &own);
    if (status != status_ok) {
        return status;
    }
    const std::string& stub_full = stub.full;
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
