#include "neutral/pe_resources.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "neutral/little_endian.h"
#include "neutral/system_dlls.h"

namespace {

using bytes = std::vector<uint8_t>;

// A small executable linked like the launcher stubs (resources, then base
// relocations, last), with a manifest, a payload in two languages and a
// resource with a string name.
bytes small_stub()
{
    bytes file;
    FILE* stream = fopen(ONEFILE_PE_SEEDS "/small_stub.exe", "rb");
    if (stream != nullptr) {
        int c;
        while ((c = fgetc(stream)) != EOF) {
            file.push_back(static_cast<uint8_t>(c));
        }
        fclose(stream);
    }
    return file;
}

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
