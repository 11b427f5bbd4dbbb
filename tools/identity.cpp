#include "tools/identity.h"

#include <string.h>

#include <algorithm>

#include "neutral/manifest.h"
#include "neutral/path_spec.h"
#include "neutral/utf.h"
#include "neutral/version_info.h"
#include "tools/commands.h"
#include "tools/host_files.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

const char* const execution_levels[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

bool read_whole_file(const char* what, const std::string& path, std::vector<uint8_t>* bytes)
{
    std::string full;
    if (!find_input_file(what, path, &full)) {
        return false;
    }
    host_view view;
    host_error error = 0;
    if (!host_map_file(full, &view, &error)) {
        report("cannot read " + std::string(what) + " " + quoted(path) + ": " + host_error_text(error));
        return false;
    }
    bytes->assign(view.bytes, view.bytes + view.size);
    host_unmap_file(&view);
    return true;
}

bool text_option(const char* name, const std::string& given, std::u16string* units)
{
    if (given.empty()) {
        return true;
    }
    if (!utf16_from_utf8(given, units)) {
        report(std::string(name) + " is not UTF-8 text");
        return false;
    }
    return true;
}

int load_icon(identity* loaded)
{
    const std::string& path = loaded->options.icon;
    if (!read_whole_file("icon", path, &loaded->icon_file)) {
        return status_failed;
    }
    size_t bad = 0;
    icon_problem problem = icon_file_read(loaded->icon_file.data(), loaded->icon_file.size(), &loaded->icon_images,
                                          &bad);
    if (problem != icon_ok) {
        std::string reason = bad == 0 ? icon_problem_text(problem)
                                      : "its image " + std::to_string(bad) + " " + icon_problem_text(problem);
        report("icon " + quoted(path) + " is not an icon file (.ico): " + reason);
        return status_failed;
    }
    return status_ok;
}

int load_manifest(identity* loaded)
{
    const std::string& path = loaded->options.manifest;
    if (!read_whole_file("manifest", path, &loaded->manifest)) {
        return status_failed;
    }
    std::string reason;
    if (!manifest_check(loaded->manifest.data(), loaded->manifest.size(), &reason)) {
        report("manifest " + quoted(path) + " is not a well-formed assembly manifest: " + reason);
        return status_failed;
    }
    return status_ok;
}

// Why a template breaks the rules of the executable's kind (naming the
// placeholder at fault, if any), or empty when it keeps them.
std::string template_problem(const std::u16string& units, bool cached)
{
    std::wstring template_text(units.begin(), units.end());
    path_spec_template_facts facts;
    path_spec_template_problem problem = path_spec_check_template(
        template_text.c_str(), path_spec_target_capacity, &facts, cached ? cache_template : run_template);
    if (problem == template_ok) {
        return std::string();
    }
    std::string reason = path_spec_template_problem_text(problem);
    if (facts.length != 0) {
        reason += " ('" + utf8_from_utf16(units.substr(facts.at, facts.length)) + "')";
    }
    return reason;
}

int load_target_directory(identity* loaded, const stub_facts* stub)
{
    const std::string& given = loaded->options.target_directory;
    std::u16string units;
    if (!text_option("--target-directory", given, &units)) {
        return status_failed;
    }
    // '/' separates directories too, as in entry names: it spares the
    // doubled backslashes of CMake strings and shells.
    std::replace(units.begin(), units.end(), u'/', u'\\');
    std::string reason = template_problem(units, loaded->cached);
    if (!reason.empty()) {
        // The cache may come from the stub, unasked for here.
        if (loaded->cached && !loaded->options.cache) {
            reason += " (launcher stub " + quoted(stub->full) + " uses the cache, and so does what is made from it)";
        }
        report("--target-directory " + quoted(given) + ": " + reason);
        return status_failed;
    }
    for (char16_t unit : units) {
        loaded->target_directory.push_back(static_cast<uint8_t>(unit));
        loaded->target_directory.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return status_ok;
}

// The template the executable keeps from its stub must suit it too: a
// stub's template for every run's own directory cannot name the cache's.
int check_stored_template(const identity* loaded, const stub_facts& stub)
{
    const std::vector<uint8_t>& bytes = stub.target_directory;
    // Text as the launcher reads it: whole UTF-16 units, none of them zero.
    std::u16string units;
    bool text = !bytes.empty() && bytes.size() % 2 == 0;
    for (size_t i = 0; text && i < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        text = units.back() != 0;
    }
    std::string reason = text ? template_problem(units, loaded->cached) : "it is not UTF-16 text without zero units";
    if (reason.empty()) {
        return status_ok;
    }
    std::string shown_template = text ? " " + quoted(utf8_from_utf16(units)) : std::string();
    report("launcher stub " + quoted(stub.full) + " stores the target directory template" + shown_template +
           ", which " + (loaded->cached ? "an executable that uses the cache" : "an executable without the cache") +
           " cannot keep: " + reason + "; give --target-directory");
    return status_failed;
}

// The first resource of `type`, or null.
pe_resource* first_of_type(std::vector<pe_resource>* resources, uint16_t type)
{
    for (pe_resource& resource : *resources) {
        if (pe_same_id(resource.type, pe_number(type))) {
            return &resource;
        }
    }
    return nullptr;
}

void remove_type(std::vector<pe_resource>* resources, uint16_t type)
{
    resources->erase(std::remove_if(resources->begin(), resources->end(),
                                    [&](const pe_resource& resource) {
                                        return pe_same_id(resource.type, pe_number(type));
                                    }),
                     resources->end());
}

// Puts `data` in place of every language of the resource `kept` names, in
// the language `kept` has.
void replace_resource(std::vector<pe_resource>* resources, pe_resource kept, const std::vector<uint8_t>& data)
{
    pe_remove_resources(resources, kept.type, kept.name);
    kept.data = data.data();
    kept.size = static_cast<uint32_t>(data.size());
    pe_put_resource(resources, kept);
}

bool apply_version(identity* loaded, const std::string& stub_full, const std::string& output_full,
                   std::vector<pe_resource>* resources)
{
    pe_resource* found = first_of_type(resources, pe_type_version);
    version_info info;
    if (found == nullptr || !version_info_read(found->data, found->size, &info)) {
        report("launcher stub " + quoted(stub_full) + " has no version information to change");
        return false;
    }
    const struct {
        const char* key;
        const std::u16string& value;
    } strings[] = {
        {"CompanyName", loaded->company},       {"ProductName", loaded->product},
        {"FileVersion", loaded->version},       {"ProductVersion", loaded->version},
        {"FileDescription", loaded->description}, {"LegalCopyright", loaded->copyright},
    };
    for (const auto& entry : strings) {
        if (!entry.value.empty()) {
            version_info_set_string(&info, entry.key, entry.value);
        }
    }
    std::u16string file_name;
    utf16_from_utf8(host_base_name(output_full), &file_name);
    version_info_set_string(&info, "OriginalFilename", file_name);
    if (!loaded->version.empty()) {
        version_info_set_numbers(&info, loaded->version_parts);
    }
    if (!version_info_write(info, &loaded->version_resource)) {
        report("the version information would be larger than the 64 KiB it can count");
        return false;
    }
    replace_resource(resources, *found, loaded->version_resource);
    return true;
}

// Every icon group goes, with every image: the application's group alone
// is what Explorer and the window manager show.
void apply_icon(identity* loaded, std::vector<pe_resource>* resources)
{
    pe_resource* old_group = first_of_type(resources, pe_type_group_icon);
    pe_resource group = old_group != nullptr ? *old_group
                                             : pe_resource{pe_number(pe_type_group_icon), pe_number(1),
                                                           pe_language_neutral, 0, nullptr, 0};
    remove_type(resources, pe_type_group_icon);
    remove_type(resources, pe_type_icon);
    std::vector<uint16_t> ids;
    for (size_t i = 0; i < loaded->icon_images.size(); ++i) {
        ids.push_back(static_cast<uint16_t>(i + 1));
        const icon_image& image = loaded->icon_images[i];
        pe_put_resource(resources, {pe_number(pe_type_icon), pe_number(ids.back()), group.language, 0, image.data,
                                    image.size});
    }
    icon_group_build(loaded->icon_images, ids, &loaded->group_resource);
    replace_resource(resources, group, loaded->group_resource);
}

bool apply_manifest(identity* loaded, const std::string& stub_full, std::vector<pe_resource>* resources)
{
    pe_resource* found = first_of_type(resources, pe_type_manifest);
    pe_resource manifest = found != nullptr ? *found
                                            : pe_resource{pe_number(pe_type_manifest), pe_number(1),
                                                          pe_language_neutral, 0, nullptr, 0};
    if (!loaded->options.manifest.empty()) {
        loaded->manifest_resource = loaded->manifest;
    } else {
        std::string text = found == nullptr ? std::string()
                                            : std::string(reinterpret_cast<const char*>(found->data), found->size);
        std::string changed;
        if (!manifest_set_execution_level(text, loaded->options.execution_level, &changed)) {
            report("launcher stub " + quoted(stub_full) + " has no manifest with an execution level to change");
            return false;
        }
        loaded->manifest_resource.assign(changed.begin(), changed.end());
    }
    replace_resource(resources, manifest, loaded->manifest_resource);
    return true;
}

}  // namespace

int identity_load(const identity_options& options, const stub_facts* stub, identity* loaded)
{
    loaded->options = options;
    loaded->cached = options.cache || (stub != nullptr && stub->cached);
    const identity_options& o = options;
    if (!o.manifest.empty() && !o.execution_level.empty()) {
        report("--manifest and --execution-level exclude each other: give the level in the manifest "
               "(see onefile-pack --help)");
        return status_usage;
    }
    if (!o.execution_level.empty() &&
        std::none_of(std::begin(execution_levels), std::end(execution_levels),
                     [&](const char* level) { return o.execution_level == level; })) {
        report("--execution-level " + quoted(o.execution_level) +
               " is none of asInvoker, highestAvailable, requireAdministrator");
        return status_failed;
    }
    if (!o.version.empty() && !version_parse_number(o.version.c_str(), loaded->version_parts)) {
        report("--version " + quoted(o.version) + " is not 1 to 4 numbers from 0 to 65535 separated by dots");
        return status_failed;
    }
    if (!text_option("--company", o.company, &loaded->company) ||
        !text_option("--product", o.product, &loaded->product) ||
        !text_option("--version", o.version, &loaded->version) ||
        !text_option("--description", o.description, &loaded->description) ||
        !text_option("--copyright", o.copyright, &loaded->copyright)) {
        return status_failed;
    }
    int status = status_ok;
    if (!o.target_directory.empty()) {
        status = load_target_directory(loaded, stub);
    } else if (stub != nullptr && stub->has_template) {
        status = check_stored_template(loaded, *stub);
    }
    if (status == status_ok && !o.icon.empty()) {
        status = load_icon(loaded);
    }
    if (status == status_ok && !o.manifest.empty()) {
        status = load_manifest(loaded);
    }
    return status;
}

int check_command(const identity_options& options)
{
    identity loaded;
    return identity_load(options, nullptr, &loaded);
}

bool identity_apply(identity* loaded, const std::string& stub_full, const std::string& output_full,
                    std::vector<pe_resource>* resources)
{
    const identity_options& o = loaded->options;
    bool version = !(o.company.empty() && o.product.empty() && o.version.empty() && o.description.empty() &&
                     o.copyright.empty());
    if (version && !apply_version(loaded, stub_full, output_full, resources)) {
        return false;
    }
    if (!o.icon.empty()) {
        apply_icon(loaded, resources);
    }
    if ((!o.manifest.empty() || !o.execution_level.empty()) && !apply_manifest(loaded, stub_full, resources)) {
        return false;
    }
    if (!o.target_directory.empty()) {
        pe_resource_id name = {0, u"" PATH_SPEC_TEMPLATE_RESOURCE};
        pe_remove_resources(resources, pe_number(pe_type_rcdata), name);
        pe_put_resource(resources, {pe_number(pe_type_rcdata), name, pe_language_neutral, 0,
                                    loaded->target_directory.data(),
                                    static_cast<uint32_t>(loaded->target_directory.size())});
    }
    return true;
}
