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
// Appends a discardable section, as GNU ld places a debug section after
// .reloc in a program linked without -s.
void add_debug_section(bytes* file)
{
    int count = section_count(*file);
    uint8_t* row = file->data() + section_table(*file) + 40 * count;
    uint32_t address = (section_field(*file, count - 1, 12) + section_field(*file, count - 1, 8) + 0xFFF) & ~0xFFFu;
    memcpy(row, "/4\0\0\0\0\0\0", 8);  // a long name, in the symbol table's strings
    store_u32(row + 8, 0x100);
    store_u32(row + 12, address);
    store_u32(row + 16, 0x200);
    store_u32(row + 20, static_cast<uint32_t>(file->size()));
    store_u32(row + 36, 0x42100040);  // discardable, readable, initialised data
    file->insert(file->end(), 0x200, 0xDB);
    store_u16(file->data() + pe_at(*file) + 6, static_cast<uint16_t>(count + 1));
    store_u32(file->data() + optional_at(*file) + 56, address + 0x1000);
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

// As many resources as the reader takes back, and no more: one past them
// is refused by count (an icon of 65,535 images reaches it), not as if the
// sizes had passed the format's 4 GiB.
TEST(pe_resources, as_many_as_read_back_and_one_more_refused_by_count)
{
    bytes stub = small_stub();
    std::vector<pe_resource> resources;
    ASSERT_EQ(pe_read_resources(stub.data(), stub.size(), &resources), pe_edit_ok);
    const uint8_t image[4] = {1, 2, 3, 4};
    for (uint16_t id = 1; resources.size() < 65535; ++id) {
        resources.push_back({pe_number(pe_type_icon), pe_number(id), pe_language_neutral, 0, image, sizeof image});
    }
    bytes out;
    ASSERT_EQ(rewrite(stub, resources, &out), pe_edit_ok);
    std::vector<pe_resource> after;
    ASSERT_EQ(pe_read_resources(out.data(), out.size(), &after), pe_edit_ok);
    EXPECT_EQ(after.size(), 65535u);
    resources.push_back({pe_number(pe_type_icon), {0, u"ONE_MORE"}, pe_language_neutral, 0, image, sizeof image});
    EXPECT_EQ(rewrite(stub, resources, &out), pe_edit_too_many_resources);
    EXPECT_NE(std::string(pe_edit_problem_text(pe_edit_too_many_resources)).find("65,535 resources"),
              std::string::npos);
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
    // Rows of dropped sections are zeros.
    uint32_t table_end = section_table(out) + 40 * (last + 1);
    uint32_t stub_table_end = section_table(stub) + 40 * section_count(stub);
    uint32_t resources_at = section_field(out, section_named(out, ".rsrc"), 20);
    uint32_t same_from = std::max(table_end, stub_table_end);
    EXPECT_EQ(memcmp(out.data() + same_from, stub.data() + same_from, resources_at - same_from), 0);
    EXPECT_TRUE(std::all_of(out.data() + table_end, out.data() + same_from, [](uint8_t b) { return b == 0; }));
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
        layout_case{"debug_sections_dropped",
                    [](bytes* file) {
                        add_debug_section(file);
                        add_debug_section(file);
                    },
                    pe_edit_ok},
        layout_case{"debug_section_that_a_directory_names",
                    [](bytes* file) {
                        add_debug_section(file);
                        set_directory(file, 6, section_field(*file, section_count(*file) - 1, 12), 28);
                    },
                    pe_edit_resources_not_a_section},
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
    const std::string end = "</assembly>";
    // The rules of XML 1.0 (fifth edition) and Namespaces in XML 1.0 (third
    // edition) that make a document not well-formed, each with a case; what
    // they allow beside them is accepted.
    struct {
        std::string text;
        const char* reason;  // null: accepted
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + root + "<!-- c --><?pi x?><a b='&amp;&#x41;&#65;'/>"
         "<![CDATA[<&>]]>text</assembly>\n<!-- after -->\n", nullptr},
        {"\xEF\xBB\xBF" + root + end, nullptr},
        {"<m:assembly xmlns:m=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>", nullptr},
        {"<?xml version='1.0' standalone='no'?><?xml-stylesheet href='a'?>" + root + end, nullptr},
        {root + "<x\xC3\xA9l\xC2\xB7" "a\xF0\x90\x80\x80 xml:lang='en'>&#x10000;\xF0\x9F\x98\x80</x\xC3\xA9l\xC2\xB7"
         "a\xF0\x90\x80\x80>" + end, nullptr},
        {root + "<a:x xmlns:a='urn:a'><a:y a:z='1'/></a:x><x xmlns=''/>" + end, nullptr},
        {root + "<x xmlns:a='urn:a' xmlns:b='urn:b' a:y='1' b:y='2' y='3'/>" + end, nullptr},
        {root + "<x xmlns:xml='http://www.w3.org/XML/1998/namespace'/><?pix?>" + end, nullptr},
        // Structure.
        {"", "line 1: no root element"},
        {"<a/>", "its root element is <a>, not"},
        {"<assembly xmlns=\"urn:other\" manifestVersion=\"1.0\"/>", "its root element is <assembly>, not"},
        {"<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\"/>", "its root element"},
        {"<a:assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" xmlns:a='urn:a' manifestVersion=\"1.0\"/>",
         "its root element is <a:assembly>"},
        {root + "\n<x>\n" + end, "line 3: </assembly> closes <x>"},
        {root + "<x>", "element <x> is not closed"},
        {root + "<x a='1' a='2'/>" + end, "attribute 'a' given twice"},
        {root + "<x a=1/>" + end, "must be quoted"},
        {root + "<x a='1'b='2'/>" + end, "separated by white space"},
        {root + "&nbsp;" + end, "unknown entity '&nbsp;'"},
        {root + "a & b" + end, "'&' starts no reference"},
        {root + "&#0;" + end, "names no character"},
        {root + "&#xD800;" + end, "names no character"},
        {root + "<x a='&#57343;'/>" + end, "names no character"},
        {root + "&#xFFFE;" + end, "names no character"},
        {root + "]]>" + end, "']]>' in text"},
        {root + "<!-- a -- b -->" + end, "'--' inside a comment"},
        {"<!DOCTYPE assembly>" + root + end, "document type declaration"},
        {"<![CDATA[x]]>" + root + end, "line 1: a CDATA section outside the root element"},
        {root + end + "<![CDATA[x]]>", "a CDATA section outside the root element"},
        {root + end + "<assembly/>", "more after the root element"},
        {"text" + root + end, "text before the root element"},
        {root + "<?xml version='1.0'?>" + end, "not at the very start"},
        {root + "<?a:b x?>" + end, "target 'a:b' holds a colon"},
        {root + "<?pi\"x\"?>" + end, "white space must follow processing instruction target 'pi'"},
        // The XML declaration: version first, then encoding and standalone.
        {"<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + root + end, "declares the encoding 'UTF-16'"},
        {"<?xml encoding='UTF-8'?>" + root + end, "an XML declaration without a version"},
        {"<?xml?>" + root + end, "an XML declaration without a version"},
        {"<?xml version='1.1'?>" + root + end, "XML version '1.1'"},
        {"<?xml version='1.0' foo='bar'?>" + root + end, "'foo' in the XML declaration"},
        {"<?xml version='1.0' standalone='yes' encoding='UTF-8'?>" + root + end, "'encoding' in the XML declaration"},
        {"<?xml version='1.0' standalone='maybe'?>" + root + end, "standalone='maybe'"},
        // Characters and their encoding.
        {root + "\x01" + end, "a control character (U+0001)"},
        {root + "\xC3" + end, "not UTF-8"},
        {root + "\xED\xA0\x80" + end, "encodes the surrogate U+D800"},
        {root + "<x a='\xED\xBF\xBF'/>" + end, "encodes the surrogate U+DFFF"},
        {root + "\xEF\xBF\xBE" + end, "U+FFFE, which is no XML character"},
        {root + "\xEF\xBF\xBF" + end, "U+FFFF, which is no XML character"},
        {std::string("\xFF\xFE<\0a\0/\0>\0", 10), "UTF-16 (it starts with a UTF-16 byte-order mark)"},
        {std::string("<\0a\0/\0>\0", 8), "UTF-16 without a byte-order mark"},
        // Names.
        {root + "<\xC3\x97x/>" + end, "a name may not start with U+00D7"},
        {root + "<x \xC3\x97='1'/>" + end, "a name may not start with U+00D7"},
        {root + "<x\xC3\x97/>" + end, "attributes must be separated"},
        {root + "<-x/>" + end, "a name was expected"},
        {root + "<1x/>" + end, "a name was expected"},
        // Namespaces.
        {root + "<foo:bar/>" + end, "'foo:bar' has the undeclared prefix 'foo'"},
        {root + "<x foo:a='1'/>" + end, "'foo:a' has the undeclared prefix 'foo'"},
        {root + "<a:x xmlns:a='urn:a'/><a:y/>" + end, "'a:y' has the undeclared prefix 'a'"},
        {root + "<a:b:c xmlns:a='urn:a'/>" + end, "'a:b:c' is no qualified name"},
        {root + "<:x/>" + end, "':x' is no qualified name"},
        {root + "<x a:='1'/>" + end, "'a:' is no qualified name"},
        {root + "<x xmlns:xmlns='urn:a'/>" + end, "the prefix 'xmlns' may not be declared"},
        {root + "<x xmlns:xml='urn:a'/>" + end, "the prefix 'xml' and the namespace"},
        {root + "<x xmlns:a='http://www.w3.org/XML/1998/namespace'/>" + end, "the prefix 'xml' and the namespace"},
        {root + "<x xmlns='http://www.w3.org/XML/1998/namespace'/>" + end, "the prefix 'xml' and the namespace"},
        {root + "<x xmlns:a='http://www.w3.org/2000/xmlns/'/>" + end, "may not be declared"},
        {root + "<x xmlns:a=''/>" + end, "prefix 'a' declared with an empty namespace"},
        {root + "<xmlns:x/>" + end, "the reserved prefix 'xmlns'"},
        {root + "<x xmlns:a='urn:a' xmlns:b='urn:a' a:y='1' b:y='2'/>" + end, "given twice in namespace 'urn:a'"},
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

// A tag of 200,000 attributes, the last a repeat of the first: found among
// them by sorting, where comparing each with all the others takes minutes
// under the sanitizers.
TEST(manifest, many_attributes_are_checked_without_comparing_every_pair)
{
    std::string text = "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"><x";
    for (int i = 0; i < 200000; ++i) {
        text += " a" + std::to_string(i) + "=''";
    }
    text += " a0=''/></assembly>";
    std::string reason;
    EXPECT_FALSE(manifest_check(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &reason));
    EXPECT_NE(reason.find("attribute 'a0' given twice"), std::string::npos) << reason;
}

TEST(manifest, execution_level_set_on_the_element_itself)
{
    const std::string root = "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">";
    const std::string end = "</assembly>";
    struct {
        std::string manifest;
        std::string changed;  // empty: no level to change
    } cases[] = {
        {root + "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>" + end,
         root + "<requestedExecutionLevel level=\"X\" uiAccess=\"false\"/>" + end},
        {root + "<r/><requestedExecutionLevel uiAccess='false'\n  level = 'asInvoker'/>" + end,
         root + "<r/><requestedExecutionLevel uiAccess='false'\n  level = 'X'/>" + end},
        {root + "<requestedExecutionLevel xlevel=\"a\" level=\"b\"/>" + end,
         root + "<requestedExecutionLevel xlevel=\"a\" level=\"X\"/>" + end},
        // Commented out, in a CDATA section or an instruction, it is text.
        {root + "<!-- <requestedExecutionLevel level='a'/> --><![CDATA[<requestedExecutionLevel level='b'/>]]>"
                "<?pi <requestedExecutionLevel level='c'/>?><requestedExecutionLevel level='d'/>" + end,
         root + "<!-- <requestedExecutionLevel level='a'/> --><![CDATA[<requestedExecutionLevel level='b'/>]]>"
                "<?pi <requestedExecutionLevel level='c'/>?><requestedExecutionLevel level='X'/>" + end},
        {root + "<v3:requestedExecutionLevel xmlns:v3='urn:schemas-microsoft-com:asm.v3' level='a'/>" + end,
         root + "<v3:requestedExecutionLevel xmlns:v3='urn:schemas-microsoft-com:asm.v3' level='X'/>" + end},
        {root + "<!-- <requestedExecutionLevel level='a'/> -->" + end, ""},
        {root + "<requestedExecutionLevel uiAccess=\"false\"/><x level=\"a\"/>" + end, ""},
        {root + "<trustInfo/>" + end, ""},
        {root + "<requestedExecutionLevel level='a'>" + end, ""},  // not well-formed
    };
    for (const auto& c : cases) {
        std::string changed;
        EXPECT_EQ(manifest_set_execution_level(c.manifest, "X", &changed), !c.changed.empty()) << c.manifest;
        if (!c.changed.empty()) {
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
