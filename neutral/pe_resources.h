#pragma once
// The resources of a Windows executable, read and rewritten from its bytes
// alone, so that every build of the packaging tool writes the same file.
//
// Reading gives the list of resources: type, name, language, bytes.
// Rewriting takes an executable and a list and gives the executable with a
// resource section built afresh from the list. The section goes at the end
// of the image; only the base relocations, which GNU ld places after it, may
// follow it, and they are moved behind the new section (nothing refers to
// their own addresses but their directory entry). The headers follow suit:
// the resource and relocation directories, the section table, SizeOfImage,
// SizeOfInitializedData, and the checksum, which signing tools and drivers
// check. A certificate table is dropped, since the signature of the old file
// does not match the new one and a signing tool must sign it afresh; so is a
// COFF symbol table that lay past the sections.
//
// Typical use (the payload; the icon group, version information and
// manifest are replaced the same way):
//
//   std::vector<pe_resource> resources;
//   pe_read_resources(stub, stub_size, &resources);
//   pe_remove_resources(&resources, pe_number(pe_type_rcdata), pe_number(27));
//   pe_put_resource(&resources, {pe_number(pe_type_rcdata), pe_number(27), pe_language_neutral, 0, data, size});
//   pe_rewrite plan;
//   pe_plan_rewrite(stub, stub_size, resources, &plan);
//   pe_write_rewrite(plan, write, context);
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr uint16_t pe_type_icon = 3;         // RT_ICON
constexpr uint16_t pe_type_rcdata = 10;      // RT_RCDATA
constexpr uint16_t pe_type_group_icon = 14;  // RT_GROUP_ICON
constexpr uint16_t pe_type_version = 16;     // RT_VERSION
constexpr uint16_t pe_type_manifest = 24;    // RT_MANIFEST
constexpr uint16_t pe_language_neutral = 0;  // MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)

// A resource type or name: a number, or a string (resource compilers store
// string names in upper case, and the loader looks them up that way).
struct pe_resource_id {
    uint16_t number;      // when text is empty
    std::u16string text;
};

inline pe_resource_id pe_number(uint16_t number)
{
    return {number, std::u16string()};
}

bool pe_same_id(const pe_resource_id& a, const pe_resource_id& b);

struct pe_resource {
    pe_resource_id type;
    pe_resource_id name;
    uint16_t language;
    uint32_t code_page;   // as stored; 0 for new resources
    const uint8_t* data;  // not owned: the bytes of the executable read, or the caller's
    uint32_t size;
};

enum pe_edit_problem {
    pe_edit_ok = 0,
    pe_edit_not_executable,            // no MZ/PE signature
    pe_edit_damaged_headers,           // headers or sections outside the file, or out of order
    pe_edit_damaged_resources,         // the resource tree points outside its section
    pe_edit_resources_not_a_section,   // the resource tree shares its section or addresses with other tables
    pe_edit_sections_after_resources,  // a section besides the relocations follows the resources
    pe_edit_trailing_data,             // bytes past the last section that would be lost
    pe_edit_no_room_for_section,       // no resource section, and no room for one in the headers
    pe_edit_too_large,                 // past the 32-bit sizes and addresses of the format
    pe_edit_too_many_resources,        // more than the resource reader takes (65,535)
};

const char* pe_edit_problem_text(pe_edit_problem problem);

// Every resource of the executable, in the order of its resource tree; an
// executable without resources gives an empty list. The data pointers point
// into `image`.
pe_edit_problem pe_read_resources(const uint8_t* image, size_t size, std::vector<pe_resource>* resources);

// The one the loader finds when asked for (type, name) without a language:
// the language-neutral one, else the one with the lowest language number.
// Null when there is none.
const pe_resource* pe_find_resource(const std::vector<pe_resource>& resources, const pe_resource_id& type,
                                    const pe_resource_id& name);
// Drops (type, name) in every language.
void pe_remove_resources(std::vector<pe_resource>* resources, const pe_resource_id& type, const pe_resource_id& name);
// Adds a resource in place of one with the same type, name and language.
void pe_put_resource(std::vector<pe_resource>* resources, const pe_resource& resource);

// The rewritten executable as runs of bytes, so that a payload of hundreds
// of megabytes is written straight from where it lies rather than copied.
// The runs point into the plan itself, the executable's bytes and the
// resources' data, all of which must outlive the plan's use; hence it
// cannot be copied.
struct pe_rewrite_run {
    const uint8_t* data;  // null: `size` zero bytes
    uint64_t size;
};

struct pe_rewrite {
    std::vector<uint8_t> head;        // the file before the resource section, headers updated
    std::vector<uint8_t> directory;   // the new resource tree: tables, names, data entries
    std::vector<pe_rewrite_run> runs;
    uint64_t size = 0;                // of the whole output
    uint32_t checksum = 0;            // as stored in the headers
    bool drops_certificates = false;  // the executable was signed: its signature goes

    pe_rewrite() = default;
    pe_rewrite(const pe_rewrite&) = delete;
    pe_rewrite& operator=(const pe_rewrite&) = delete;
};

// Lays out `image` with `resources` in place of its own. Fails, changing
// nothing, when the executable cannot be read or its layout is one the
// rewrite would break.
pe_edit_problem pe_plan_rewrite(const uint8_t* image, size_t size, const std::vector<pe_resource>& resources,
                                pe_rewrite* plan);
// Hands the planned bytes to `write` in order; false when a write fails.
bool pe_write_rewrite(const pe_rewrite& plan, bool (*write)(void* context, const void* data, size_t size),
                      void* context);
