// The packaging tool reads executables it did not write: the main-library
// check, the import listing, the launcher check, the resource reader and the
// resource rewrite must stay inside the bytes they were given, whatever the
// headers claim, and give the same answer twice. A rewrite that succeeds must read back: the payload as
// given, every other resource kept, and a second rewrite of the result with
// its own resources must give the same bytes. The same input is also read
// as the resources the tool builds an identity from: version information
// (which the launcher reads too), an icon file and a manifest.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_support.h"
#include "neutral/identity_resources.h"
#include "neutral/little_endian.h"
#include "neutral/manifest.h"
#include "neutral/pe_check.h"
#include "neutral/pe_resources.h"
#include "neutral/utf.h"
#include "neutral/version_info.h"

namespace {

bool append(void* context, const void* data, size_t size)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    static_cast<std::vector<uint8_t>*>(context)->insert(static_cast<std::vector<uint8_t>*>(context)->end(), bytes,
                                                         bytes + size);
    return true;
}

void check_main_library(const uint8_t* copy, size_t size)
{
    pe_facts first = {};
    pe_facts second = {};
    pe_problem answer = pe_check_main_library(copy, size, &first);
    require(pe_check_main_library(copy, size, &second) == answer && memcmp(&first, &second, sizeof first) == 0,
            "the main-library check answers the same twice");
    require(pe_problem_text(answer) != nullptr, "every answer has a text");
    require(strlen(first.mangled_name) < sizeof first.mangled_name, "a C++ name is cut to fit");
    require((answer == pe_run_code_mangled) == (first.mangled_name[0] != 0), "a C++ name only when it is all");

    std::vector<std::string> imports;
    std::vector<std::string> again;
    pe_problem listed = pe_list_imports(copy, size, &imports);
    require(pe_list_imports(copy, size, &again) == listed && again == imports, "the imports read the same twice");
    require(listed == pe_ok || imports.empty(), "a failed listing lists nothing");
    for (const std::string& name : imports) {
        require(!name.empty() && name.size() < 260 && name.find('\0') == std::string::npos,
                "an import is a name of its own");
    }
    require(pe_is_launcher(copy, size) == pe_is_launcher(copy, size), "the launcher check answers the same twice");
}

void check_rewrite(const uint8_t* copy, size_t size)
{
    std::vector<pe_resource> resources;
    if (pe_read_resources(copy, size, &resources) != pe_edit_ok) {
        return;
    }
    for (const pe_resource& resource : resources) {
        require(resource.size == 0 || (resource.data >= copy && resource.data + resource.size <= copy + size),
                "every resource lies inside the file");
    }
    // The second half of the input serves as the payload.
    const uint8_t* payload = copy + size / 2;
    uint32_t payload_size = static_cast<uint32_t>(size - size / 2);
    pe_remove_resources(&resources, pe_number(pe_type_rcdata), pe_number(27));
    pe_put_resource(&resources, {pe_number(pe_type_rcdata), pe_number(27), pe_language_neutral, 0, payload,
                                 payload_size});
    pe_rewrite plan;
    pe_edit_problem problem = pe_plan_rewrite(copy, size, resources, &plan);
    require(pe_edit_problem_text(problem) != nullptr, "every problem has a text");
    if (problem != pe_edit_ok) {
        return;
    }
    std::vector<uint8_t> written;
    require(pe_write_rewrite(plan, append, &written) && written.size() == plan.size, "the plan writes its size");
    std::vector<pe_resource> again;
    require(pe_read_resources(written.data(), written.size(), &again) == pe_edit_ok &&
                again.size() == resources.size(),
            "the rewritten file reads back with every resource");
    const pe_resource* found = pe_find_resource(again, pe_number(pe_type_rcdata), pe_number(27));
    require(found != nullptr && found->size == payload_size &&
                (payload_size == 0 || memcmp(found->data, payload, payload_size) == 0),
            "the payload reads back as given");
    pe_rewrite second;
    std::vector<uint8_t> rewritten;
    require(pe_plan_rewrite(written.data(), written.size(), again, &second) == pe_edit_ok &&
                pe_write_rewrite(second, append, &rewritten) && rewritten == written,
            "rewriting the result changes nothing");
}

bool same_version_info(const version_info& a, const version_info& b)
{
    if (a.fixed != b.fixed || a.table_key != b.table_key || a.strings.size() != b.strings.size() ||
        a.other_tables != b.other_tables || a.children.size() != b.children.size() ||
        a.string_file_info != b.string_file_info) {
        return false;
    }
    for (size_t i = 0; i < a.strings.size(); ++i) {
        if (a.strings[i].key != b.strings[i].key || a.strings[i].value != b.strings[i].value) {
            return false;
        }
    }
    for (size_t i = 0; i < a.children.size(); ++i) {
        if (i != a.string_file_info && a.children[i] != b.children[i]) {
            return false;
        }
    }
    return true;
}

void check_identity_formats(const uint8_t* copy, size_t size)
{
    uint16_t value[32];
    for (uint16_t& unit : value) {
        unit = 0xFFFF;
    }
    bool terminated = false;
    if (version_find_string(copy, size, "CompanyName", value, 32) == version_found) {
        for (uint16_t unit : value) {
            terminated |= unit == 0;
        }
        require(terminated, "a string found ends within its buffer");
    }
    version_info info;
    std::vector<uint8_t> written;
    if (version_info_read(copy, size, &info) && version_info_write(info, &written)) {
        version_info again;
        require(version_info_read(written.data(), written.size(), &again) && same_version_info(info, again),
                "version information reads back as written");
    }
    std::vector<icon_image> images;
    size_t bad = 0;
    if (icon_file_read(copy, size, &images, &bad) == icon_ok) {
        for (const icon_image& image : images) {
            require(image.data >= copy && image.size <= size && image.data + image.size <= copy + size,
                    "every icon image lies inside the file");
        }
    }
    std::string reason;
    require(manifest_check(copy, size, &reason) || !reason.empty(), "a refused manifest has a reason");
    // Names and texts pass between UTF-8 and UTF-16 losslessly, and each
    // sequence of units has one byte form only.
    std::string text(reinterpret_cast<const char*>(copy), size);
    std::u16string units;
    if (utf16_from_utf8(text, &units)) {
        require(utf8_from_utf16(units) == text, "accepted UTF-8 reads back as given");
    }
    std::u16string read_as_units(size / 2, u'\0');
    for (size_t i = 0; i < read_as_units.size(); ++i) {
        read_as_units[i] = static_cast<char16_t>(load_u16(copy + 2 * i));
    }
    std::u16string again;
    require(utf16_from_utf8(utf8_from_utf16(read_as_units), &again) && again == read_as_units,
            "any UTF-16 survives the round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size heap copy, so that AddressSanitizer catches a read one
    // byte past the end.
    uint8_t* copy = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
    if (size != 0) {
        memcpy(copy, data, size);
    }
    check_main_library(copy, size);
    check_rewrite(copy, size);
    check_identity_formats(copy, size);
    free(copy);
    return 0;
}
