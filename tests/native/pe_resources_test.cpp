#include "neutral/pe_resources.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "neutral/identity_resources.h"
#include "neutral/little_endian.h"
#include "neutral/manifest.h"
#include "neutral/system_dlls.h"
#include "neutral/version_info.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes seed(const char* name)
{
    bytes file;
    FILE* stream = fopen((std::string(ONEFILE_PE_SEEDS) + "/" + name).c_str(), "rb");
    for (int c; stream != nullptr && (c = fgetc(stream)) != EOF;) {
        file.push_back(static_cast<uint8_t>(c));
    }
    if (stream != nullptr) {
        fclose(stream);
    }
    return file;
}

// A small executable linked like the launcher stubs (resources, then base
// relocations, last), with a manifest, a payload in two languages and a
// resource with a string name.
bytes small_stub() { return seed("small_stub.exe"); }

uint32_t pe_at(const bytes& file) { return load_u32(file.data() + 0x3C); }
uint32_t optional_at(const bytes& file) { return pe_at(file) + 24; }
uint16_t section_count(const bytes& file) { return load_u16(file.data() + pe_at(file) + 6); }
uint32_t section_table(const bytes& file) { return optional_at(file) + load_u16(file.data() + pe_at(file) + 20); }
uint32_t directory(const bytes& file, int index, int field)
{
    return load_u32(file.data() + optional_at(file) + 112 + 8 * index + field);
}
void set_directory(bytes* file, int index, uint32_t address, uint32_t size)
{
    store_u32(file->data() + optional_at(*file) + 112 + 8 * index, address);
    store_u32(file->data() + optional_at(*file) + 112 + 8 * index + 4, size);
}
uint32_t section_field(const bytes& file, int index, int field)
{
    return load_u32(file.data() + section_table(file) + 40 * index + field);
}
int section_named(const bytes& file, const char* name)
{
    for (int i = 0; i < section_count(file); ++i) {
        if (strncmp(reinterpret_cast<const char*>(file.data() + section_table(file) + 40 * i), name, 8) == 0) {
            return i;
        }
    }
    return -1;
}

bool append(void* context, const void* data, size_t size)
{
    const uint8_t* from = static_cast<const uint8_t*>(data);
    static_cast<bytes*>(context)->insert(static_cast<bytes*>(context)->end(), from, from + size);
    return true;
}

// `stub` with `resources`, written out.
pe_edit_problem rewrite(const bytes& stub, const std::vector<pe_resource>& resources, bytes* out)
{
    pe_rewrite plan;
    pe_edit_problem problem = pe_plan_rewrite(stub.data(), stub.size(), resources, &plan);
    out->clear();
    if (problem == pe_edit_ok) {
        EXPECT_TRUE(pe_write_rewrite(plan, append, out));
        EXPECT_EQ(out->size(), plan.size);
    }
    return problem;
}

// The resources of `file` with `payload` in place of its own payload.
std::vector<pe_resource> with_payload(const bytes& file, const bytes& payload)
{
    std::vector<pe_resource> resources;
    EXPECT_EQ(pe_read_resources(file.data(), file.size(), &resources), pe_edit_ok);
    pe_remove_resources(&resources, pe_number(pe_type_rcdata), pe_number(27));
    pe_put_resource(&resources, {pe_number(pe_type_rcdata), pe_number(27), pe_language_neutral, 0, payload.data(),
                                 static_cast<uint32_t>(payload.size())});
    return resources;
}

TEST(pe_resources, reads_types_names_and_languages_and_finds_the_neutral_one_first)
{
    bytes stub = small_stub();
    ASSERT_FALSE(stub.empty()) << "the seed executable is missing";
    std::vector<pe_resource> resources;
    ASSERT_EQ(pe_read_resources(stub.data(), stub.size(), &resources), pe_edit_ok);
    ASSERT_EQ(resources.size(), 4u);
    const pe_resource* payload = pe_find_resource(resources, pe_number(pe_type_rcdata), pe_number(27));
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->language, pe_language_neutral);
    EXPECT_EQ(memcmp(payload->data, "KAX", 3), 0);
    const pe_resource* named = pe_find_resource(resources, pe_number(pe_type_rcdata), {0, u"ICONDATA"});
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(memcmp(named->data, "named", 5), 0);
    pe_remove_resources(&resources, pe_number(pe_type_rcdata), pe_number(27));
    EXPECT_EQ(resources.size(), 2u) << "every language of the payload goes";
    EXPECT_EQ(pe_find_resource(resources, pe_number(pe_type_rcdata), pe_number(27)), nullptr);
}

struct layout_case {
    const char* label;
    std::function<void(bytes*)> change;
    pe_edit_problem expected;
};

void PrintTo(const layout_case& value, std::ostream* out) { *out << value.label; }

class pe_layouts : public testing::TestWithParam<layout_case> {};

TEST_P(pe_layouts, rewrite_or_refuse)
{
    const bytes original = small_stub();
    ASSERT_FALSE(original.empty()) << "the seed executable is missing";
    bytes stub = original;
    GetParam().change(&stub);
    bytes payload(70000);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    // The resources come from the unchanged stub, so that a changed table
    // tests the layout alone.
    std::vector<pe_resource> resources = with_payload(original, payload);
    bytes out;
    ASSERT_EQ(rewrite(stub, resources, &out), GetParam().expected);
    if (GetParam().expected != pe_edit_ok) {
        return;
    }
    // Every resource reads back as given.
    std::vector<pe_resource> after;
    ASSERT_EQ(pe_read_resources(out.data(), out.size(), &after), pe_edit_ok);
    ASSERT_EQ(after.size(), resources.size());
    for (const pe_resource& given : resources) {
        const pe_resource* now = pe_find_resource(after, given.type, given.name);
        ASSERT_NE(now, nullptr);
        EXPECT_TRUE(now->language == given.language && now->size == given.size &&
                    memcmp(now->data, given.data, given.size) == 0)
            << "a resource changed";
    }
    // What the loader checks: the image ends with its last section, the
    // relocations moved with their directory, nothing lies past the
    // sections (a signature included), and the file is the stub's up to
    // the resource section.
    int last = section_count(out) - 1;
    uint32_t end = section_field(out, last, 12) + section_field(out, last, 8);
    EXPECT_EQ(load_u32(out.data() + optional_at(out) + 56), (end + 0xFFF) & ~0xFFFu);
    int relocations = section_named(out, ".reloc");
    ASSERT_EQ(relocations, last);
    EXPECT_EQ(directory(out, 5, 0), section_field(out, relocations, 12));
    EXPECT_EQ(directory(out, 4, 0), 0u);
    EXPECT_EQ(out.size(), section_field(out, last, 20) + section_field(out, last, 16));
    uint32_t table_end = section_table(out) + 40 * (last + 1);
    uint32_t resources_at = section_field(out, section_named(out, ".rsrc"), 20);
    EXPECT_EQ(memcmp(out.data() + table_end, stub.data() + table_end, resources_at - table_end), 0);
    // The same inputs give the same bytes: a rewrite of the result with its
    // own resources changes nothing.
    bytes again;
    ASSERT_EQ(rewrite(out, with_payload(out, payload), &again), pe_edit_ok);
    EXPECT_TRUE(again == out);
}

INSTANTIATE_TEST_SUITE_P(
    stubs, pe_layouts,
    testing::Values(
        layout_case{"as_linked", [](bytes*) {}, pe_edit_ok},
        layout_case{"signed",
                    [](bytes* file) {
                        set_directory(file, 4, static_cast<uint32_t>(file->size()), 24);
                        file->insert(file->end(), {24, 0, 0, 0, 0, 2, 2, 0});
                        file->insert(file->end(), 16, 0xA5);
                    },
                    pe_edit_ok},
        layout_case{"zeros_after_the_sections", [](bytes* file) { file->insert(file->end(), 100, 0); },
                    pe_edit_ok},
        layout_case{"without_resources",
                    [](bytes* file) {
                        // The section is still there, but nothing refers to it:
                        // a new one is added.
                        set_directory(file, 2, 0, 0);
                    },
                    pe_edit_ok},
        layout_case{"data_after_the_sections",
                    [](bytes* file) { file->insert(file->end(), {'e', 'x', 't', 'r', 'a'}); },
                    pe_edit_trailing_data},
        layout_case{"resources_before_other_sections",
                    [](bytes* file) { set_directory(file, 2, section_field(*file, 1, 12), 16); },
                    pe_edit_sections_after_resources},
        layout_case{"resources_inside_a_section",
                    [](bytes* file) { set_directory(file, 2, directory(*file, 2, 0) + 8, 16); },
                    pe_edit_resources_not_a_section},
        layout_case{"no_room_for_a_new_section",
                    [](bytes* file) {
                        set_directory(file, 2, 0, 0);
                        (*file)[section_table(*file) + 40 * section_count(*file) + 3] = 1;
                    },
                    pe_edit_no_room_for_section},
        layout_case{"not_an_executable", [](bytes* file) { (*file)[0] = 'X'; }, pe_edit_not_executable},
        layout_case{"cut_in_the_section_table", [](bytes* file) { file->resize(section_table(*file) + 20); },
                    pe_edit_damaged_headers},
        layout_case{"sections_out_of_order",
                    [](bytes* file) { store_u32(file->data() + section_table(*file) + 40 + 12, 0x1000); },
                    pe_edit_damaged_headers},
        layout_case{"section_within_the_pages_of_another",
                    [](bytes* file) { store_u32(file->data() + section_table(*file) + 40 + 12, 0x1800); },
                    pe_edit_damaged_headers}),
    [](const testing::TestParamInfo<layout_case>& info) { return std::string(info.param.label); });

// The resources an identity is built from. -----------------------------------

std::u16string lookup(const bytes& resource, const char* key, size_t capacity = 64)
{
    std::vector<uint16_t> value(capacity, 0xFFFF);
    switch (version_find_string(resource.data(), resource.size(), key, value.data(), capacity)) {
    case version_found: return std::u16string(value.begin(), std::find(value.begin(), value.end(), 0));
    case version_absent: return u"<absent>";
    case version_too_long: return u"<too long>";
    }
    return u"";
}

TEST(version_info, the_launchers_own_is_read_changed_and_read_back_as_windows_reads_it)
{
    // As the resource compiler wrote it for the launcher.
    bytes original = seed("launcher_version");
    ASSERT_FALSE(original.empty()) << "the seed is missing";
    EXPECT_EQ(lookup(original, "CompanyName"), u"Merla Software");
    EXPECT_EQ(lookup(original, "ProductVersion"), u"0.0.6.0");
    EXPECT_EQ(lookup(original, "LegalCopyright"), u"<absent>");
    EXPECT_EQ(lookup(original, "CompanyName", 14), u"<too long>");
    EXPECT_EQ(lookup(original, "CompanyName", 15), u"Merla Software");

    version_info info;
    ASSERT_TRUE(version_info_read(original.data(), original.size(), &info));
    bytes same;
    ASSERT_TRUE(version_info_write(info, &same));
    version_info_set_string(&info, "CompanyName", u"Acme \u00c6");
    version_info_set_string(&info, "LegalCopyright", u"(c) Acme");
    const uint16_t parts[4] = {1, 2, 65535, 4};
    version_info_set_numbers(&info, parts);
    bytes changed;
    ASSERT_TRUE(version_info_write(info, &changed));
    EXPECT_EQ(lookup(changed, "CompanyName"), u"Acme \u00c6");
    EXPECT_EQ(lookup(changed, "LegalCopyright"), u"(c) Acme");
    EXPECT_EQ(lookup(changed, "ProductName"), u"Merla") << "the others stay";
    version_node root;
    ASSERT_TRUE(version_find_root(changed.data(), changed.size(), &root));
    EXPECT_EQ(root.end, changed.size());
    for (size_t field : {version_fixed_file_version, version_fixed_product_version}) {
        EXPECT_EQ(load_u32(changed.data() + root.value + field), 0x00010002u);
        EXPECT_EQ(load_u32(changed.data() + root.value + field + 4), 0xFFFF0004u);
    }
    // Every text value counts its units with the terminator, as the
    // resource compiler writes them and VerQueryValueW hands them on: the
    // changed ones and those kept from the launcher alike.
    version_node table;
    ASSERT_TRUE(version_find_first_table(changed.data(), root, &table));
    size_t strings = 0;
    version_node entry;
    bool more = version_node_next_child(changed.data(), table, nullptr, &entry);
    while (more) {
        size_t units = 0;
        while (load_u16(changed.data() + entry.value + 2 * units) != 0) {
            ++units;
        }
        EXPECT_EQ(entry.value_length, units + 1) << "string " << strings;
        ++strings;
        version_node previous = entry;
        more = version_node_next_child(changed.data(), table, &previous, &entry);
    }
    EXPECT_EQ(strings, 6u) << "the launcher's five and LegalCopyright";
    // Translations and the rest stay byte for byte; cut short anywhere, the
    // resource is only ever read inside its bytes.
    EXPECT_TRUE(std::search(changed.begin(), changed.end(), original.end() - 68, original.end()) != changed.end());
    for (size_t cut = 0; cut < changed.size(); ++cut) {
        bytes prefix(changed.begin(), changed.begin() + cut);
        lookup(prefix, "LegalCopyright");
        version_info_read(prefix.data(), prefix.size(), &info);
    }
    version_info huge;
    ASSERT_TRUE(version_info_read(original.data(), original.size(), &huge));
    version_info_set_string(&huge, "Comments", std::u16string(40000, u'x'));
    EXPECT_FALSE(version_info_write(huge, &changed)) << "no node counts past 64 KiB";
}

TEST(version_info, numbers)
{
    struct {
        const char* text;
        bool ok;
        uint16_t parts[4];
    } cases[] = {
        {"1", true, {1, 0, 0, 0}},          {"1.2.3.4", true, {1, 2, 3, 4}},
        {"65535.0.007", true, {65535, 0, 7, 0}},
        {"", false, {}},  {"1.", false, {}},       {".1", false, {}},  {"1..2", false, {}},
        {"1.2.3.4.5", false, {}}, {"65536", false, {}}, {"1a", false, {}}, {"-1", false, {}},
        {" 1", false, {}}, {"99999999999999999999", false, {}},
    };
    for (const auto& c : cases) {
        uint16_t parts[4] = {9, 9, 9, 9};
        EXPECT_EQ(version_parse_number(c.text, parts), c.ok) << c.text;
        if (c.ok) {
            EXPECT_TRUE(memcmp(parts, c.parts, sizeof parts) == 0) << c.text;
        }
    }
}

// An icon file of the given images, each (offset, size) as its directory
// entry says; the bytes are a bitmap header or PNG signature as asked.
bytes icon_file(uint16_t type, std::vector<std::pair<uint32_t, uint32_t>> entries, size_t size, bool png)
{
    bytes file(size, 0);
    store_u16(file.data() + 2, type);
    store_u16(file.data() + 4, static_cast<uint16_t>(entries.size()));
    for (size_t i = 0; i < entries.size() && 6 + 16 * i + 16 <= size; ++i) {
        uint8_t* entry = file.data() + 6 + 16 * i;
        entry[0] = entry[1] = static_cast<uint8_t>(16 * (i + 1));
        store_u32(entry + 8, entries[i].second);
        store_u32(entry + 12, entries[i].first);
        uint8_t* image = file.data() + entries[i].first;
        if (entries[i].first + 40 > size) {
            continue;
        }
        if (png) {
            memcpy(image, "\x89PNG\r\n\x1a\n", 8);
        } else {
            store_u32(image, 40);
            store_u16(image + 12, 1);
            store_u16(image + 14, 24);
        }
    }
    return file;
}

TEST(icon_file, images_and_their_group_or_what_is_wrong)
{
    struct {
        const char* label;
        bytes file;
        icon_problem problem;
        size_t bad;
    } cases[] = {
        {"bitmaps", icon_file(1, {{38, 40}, {78, 50}}, 128, false), icon_ok, 0},
        {"png", icon_file(1, {{22, 40}}, 62, true), icon_ok, 0},
        {"cursor", icon_file(2, {{22, 40}}, 62, false), icon_cursor, 0},
        {"text", bytes{'h', 'e', 'l', 'l', 'o', '!', '!'}, icon_not_icon, 0},
        {"short", bytes{0, 0, 1}, icon_not_icon, 0},
        {"no_images", icon_file(1, {}, 6, false), icon_no_images, 0},
        {"directory_cut", icon_file(1, {{22, 40}, {62, 40}}, 30, false), icon_directory_cut, 0},
        {"image_past_the_end", icon_file(1, {{38, 40}, {78, 51}}, 128, false), icon_image_outside, 2},
        {"image_in_the_directory", icon_file(1, {{21, 40}}, 62, false), icon_image_outside, 1},
        {"empty_image", icon_file(1, {{22, 0}}, 62, false), icon_image_outside, 1},
        {"neither_png_nor_bitmap", icon_file(1, {{22, 40}}, 62, false), icon_image_unknown, 1},
    };
    store_u32(cases[10].file.data() + 22, 12);  // a header of another size
    for (const auto& c : cases) {
        std::vector<icon_image> images;
        size_t bad = 99;
        EXPECT_EQ(icon_file_read(c.file.data(), c.file.size(), &images, &bad), c.problem) << c.label;
        EXPECT_EQ(bad, c.bad) << c.label;
    }
    // The group: the directory's fields, planes and depth taken from a
    // bitmap whose entry leaves them out, and the images' sizes and ids.
    bytes file = icon_file(1, {{38, 40}, {78, 50}}, 128, false);
    store_u16(file.data() + 6 + 16 + 6, 32);
    std::vector<icon_image> images;
    size_t bad = 0;
    ASSERT_EQ(icon_file_read(file.data(), file.size(), &images, &bad), icon_ok);
    EXPECT_EQ(images[1].data, file.data() + 78);
    bytes group;
    icon_group_build(images, {7, 9}, &group);
    const bytes expected = {0, 0, 1, 0, 2, 0,                                  // header: icons, two
                            16, 16, 0, 0, 1, 0, 24, 0, 40, 0, 0, 0, 7, 0,      // from the bitmap
                            32, 32, 0, 0, 1, 0, 32, 0, 50, 0, 0, 0, 9, 0};     // depth as the entry says
    EXPECT_TRUE(group == expected);
}

TEST(manifest, well_formed_assembly_manifests_only)
{
    const std::string root = "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">";
    struct {
        std::string text;
        const char* reason;  // null: accepted
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + root + "<!-- c --><?pi x?><a b='&amp;&#x41;&#65;'/>"
         "<![CDATA[<&>]]>text</assembly>\n<!-- after -->\n", nullptr},
        {"\xEF\xBB\xBF" + root + "</assembly>", nullptr},
        {"<m:assembly xmlns:m=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>", nullptr},
        {"", "line 1: no root element"},
        {"<a/>", "its root element is <a>, not"},
        {"<assembly xmlns=\"urn:other\" manifestVersion=\"1.0\"/>", "its root element is <assembly>, not"},
        {"<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\"/>", "its root element"},
        {root + "\n<x>\n</assembly>", "line 3: </assembly> closes <x>"},
        {root + "<x>", "element <x> is not closed"},
        {root + "<x a='1' a='2'/></assembly>", "attribute 'a' given twice"},
        {root + "<x a=1/></assembly>", "must be quoted"},
        {root + "<x a='1'b='2'/></assembly>", "separated by white space"},
        {root + "&nbsp;</assembly>", "unknown entity '&nbsp;'"},
        {root + "a & b</assembly>", "'&' starts no reference"},
        {root + "&#0;</assembly>", "names no character"},
        {root + "&#xD800;</assembly>", "names no character"},
        {root + "<x a='&#57343;'/></assembly>", "names no character"},
        {root + "]]></assembly>", "']]>' in text"},
        {root + "<!-- a -- b --></assembly>", "'--' inside a comment"},
        {"<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + root + "</assembly>", "declares the encoding 'UTF-16'"},
        {"<!DOCTYPE assembly>" + root + "</assembly>", "document type declaration"},
        {root + "</assembly><assembly/>", "more after the root element"},
        {"text" + root + "</assembly>", "text before the root element"},
        {root + "\x01</assembly>", "a control character"},
        {root + "\xC3</assembly>", "not UTF-8"},
        {root + "<?xml version='1.0'?></assembly>", "not at the very start"},
    };
    for (const auto& c : cases) {
        std::string reason;
        bool ok = manifest_check(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size(), &reason);
        EXPECT_EQ(ok, c.reason == nullptr) << c.text << ": " << reason;
        if (c.reason != nullptr) {
            EXPECT_NE(reason.find(c.reason), std::string::npos) << c.text << ": " << reason;
        }
    }
}

TEST(manifest, execution_level_replaced_in_place)
{
    struct {
        const char* manifest;
        const char* changed;  // null: no level to change
    } cases[] = {
        {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
         "<requestedExecutionLevel level=\"X\" uiAccess=\"false\"/>"},
        {"<r/><requestedExecutionLevel uiAccess='false'\n  level = 'asInvoker'/>",
         "<r/><requestedExecutionLevel uiAccess='false'\n  level = 'X'/>"},
        {"<requestedExecutionLevel xlevel=\"a\" level=\"b\"/>", "<requestedExecutionLevel xlevel=\"a\" level=\"X\"/>"},
        {"<requestedExecutionLevel uiAccess=\"false\"/><x level=\"a\"/>", nullptr},
        {"<trustInfo/>", nullptr},
    };
    for (const auto& c : cases) {
        std::string changed;
        EXPECT_EQ(manifest_set_execution_level(c.manifest, "X", &changed), c.changed != nullptr) << c.manifest;
        if (c.changed != nullptr) {
            EXPECT_EQ(changed, c.changed);
        }
    }
}

// What a main library may import without carrying it: the names as import
// tables hold them, in any case, the loader's ".dll" for a bare name.
TEST(system_dlls, are_windows_own_and_api_sets_not_runtimes_or_drivers)
{
    for (const char* name : {"KERNEL32.dll", "msvcrt.dll", "User32", "ucrtbase.DLL", "WINSPOOL.DRV", "ws2_32.dll",
                             "api-ms-win-crt-runtime-l1-1-0.dll", "API-MS-WIN-CORE-SYNCH-L1-2-0.dll"}) {
        EXPECT_TRUE(is_system_dll(name)) << name;
    }
    for (const char* name : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "vcruntime140.dll",
                             "msvcp140.dll", "nvcuda.dll", "winspool.dll", "kernel32.exe", "api-foo.dll", "",
                             "ext-ms-win-ntuser-window-l1-1-0.dll"}) {
        EXPECT_FALSE(is_system_dll(name)) << name;
    }
}

}  // namespace
