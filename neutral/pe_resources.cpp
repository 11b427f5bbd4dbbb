#include "neutral/pe_resources.h"

#include <string.h>

#include <algorithm>

#include "neutral/pe_format.h"

namespace {

constexpr uint32_t directory_resources = 2;
constexpr uint32_t directory_certificates = 4;
constexpr uint32_t directory_relocations = 5;
constexpr uint32_t section_initialized_data = 0x40;
constexpr uint32_t section_discardable = 0x02000000;
constexpr uint32_t section_new_resources = 0x40000040;  // initialized data, readable
constexpr uint32_t subdirectory_bit = 0x80000000u;
constexpr size_t table_header_size = 16;
constexpr size_t table_entry_size = 8;
constexpr size_t data_entry_size = 16;
constexpr uint64_t data_alignment = 8;
constexpr size_t symbol_size = 18;
constexpr uint64_t limit_32 = 0xFFFFFFFFu;
// A real resource tree holds a few thousand entries at most. The bounds
// keep a hostile one, whose tables all point at the same subtables, from
// multiplying into billions of leaves.
constexpr size_t max_resources = 1u << 16;
constexpr size_t max_table_entries = 1u << 20;

uint64_t align_up(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

bool power_of_two(uint64_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// Headers whose sections can be moved: sound alignments, the section table
// within SizeOfHeaders, and `sections` in the order the loader demands.
pe_edit_problem read_headers(const uint8_t* bytes, size_t size, pe_headers* headers, std::vector<pe_section>* sections)
{
    pe_header_stage stage = pe_read_headers(bytes, size, headers);
    if (stage != pe_headers_ok) {
        return stage == pe_headers_not_pe ? pe_edit_not_executable : pe_edit_damaged_headers;
    }
    uint64_t table_end = headers->section_table + uint64_t{headers->section_count} * pe_section_header_size;
    // The format allows file alignments up to 64 KiB; a larger one would
    // only pad the output with gigabytes of zeros.
    if (!power_of_two(headers->file_alignment) || headers->file_alignment > 0x10000 ||
        !power_of_two(headers->section_alignment) || headers->header_size < table_end || headers->header_size > size) {
        return pe_edit_damaged_headers;
    }
    // Sections lie at aligned addresses, in ascending order, none within the
    // pages of the one before: what the loader demands, and what lets an
    // address name one section only.
    sections->clear();
    uint64_t free_from = 0;
    for (uint32_t i = 0; i < headers->section_count; ++i) {
        pe_section section =
            pe_read_section(bytes + headers->section_table + uint64_t{i} * pe_section_header_size);
        if ((section.raw_size != 0 && !pe_inside(size, section.raw_pointer, section.raw_size)) ||
            section.virtual_address % headers->section_alignment != 0 || section.virtual_address < free_from) {
            return pe_edit_damaged_headers;
        }
        uint64_t span = section.virtual_size != 0 ? section.virtual_size : section.raw_size;
        free_from = align_up(section.virtual_address + std::max<uint64_t>(span, 1), headers->section_alignment);
        sections->push_back(section);
    }
    return pe_edit_ok;
}

// The section that starts at `rva`, or -1.
int section_at(const std::vector<pe_section>& sections, uint32_t rva)
{
    for (size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].virtual_address == rva) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Reading the tree: three levels of tables (type, name, language), whose
// offsets count from the start of the tree; the leaves are data entries
// holding the RVA and size of each resource's bytes.
struct tree_reader {
    const pe_headers* headers;
    uint64_t base;       // file offset of the tree
    uint64_t available;  // bytes of the tree's section from there on
    size_t entries_seen;
    std::vector<pe_resource>* resources;
};

bool read_id(const tree_reader& reader, uint32_t field, pe_resource_id* id)
{
    id->text.clear();
    if ((field & subdirectory_bit) == 0) {
        if (field > 0xFFFF) {
            return false;
        }
        id->number = static_cast<uint16_t>(field);
        return true;
    }
    uint64_t at = field & ~subdirectory_bit;
    if (!pe_inside(reader.available, at, 2)) {
        return false;
    }
    const uint8_t* string = reader.headers->bytes + reader.base + at;
    uint64_t length = load_u16(string);
    if (length == 0 || !pe_inside(reader.available, at + 2, length * 2)) {
        return false;
    }
    id->number = 0;
    for (uint64_t i = 0; i < length; ++i) {
        id->text.push_back(static_cast<char16_t>(load_u16(string + 2 + 2 * i)));
    }
    return true;
}

bool read_leaf(tree_reader* reader, uint32_t at, pe_resource* resource)
{
    if (!pe_inside(reader->available, at, data_entry_size)) {
        return false;
    }
    const uint8_t* entry = reader->headers->bytes + reader->base + at;
    uint32_t rva = load_u32(entry);
    resource->size = load_u32(entry + 4);
    resource->code_page = load_u32(entry + 8);
    resource->data = reader->headers->bytes;
    uint64_t offset = 0;
    uint64_t available = 0;
    if (resource->size != 0) {
        if (!pe_rva_to_offset(*reader->headers, reader->headers->section_alignment, rva, resource->size, &offset,
                              &available)) {
            return false;
        }
        resource->data += offset;
    }
    return true;
}

bool read_table(tree_reader* reader, uint32_t at, int level, pe_resource* path)
{
    if (!pe_inside(reader->available, at, table_header_size)) {
        return false;
    }
    const uint8_t* table = reader->headers->bytes + reader->base + at;
    size_t count = size_t{load_u16(table + 12)} + load_u16(table + 14);
    reader->entries_seen += count;
    if (reader->entries_seen > max_table_entries ||
        !pe_inside(reader->available, uint64_t{at} + table_header_size, count * table_entry_size)) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = table + table_header_size + i * table_entry_size;
        uint32_t id_field = load_u32(entry);
        uint32_t target = load_u32(entry + 4);
        bool is_table = (target & subdirectory_bit) != 0;
        if (is_table != (level < 2)) {
            return false;
        }
        if (level == 0 && !read_id(*reader, id_field, &path->type)) {
            return false;
        }
        if (level == 1 && !read_id(*reader, id_field, &path->name)) {
            return false;
        }
        if (level == 2) {
            if (id_field > 0xFFFF) {
                return false;  // languages are numbers
            }
            path->language = static_cast<uint16_t>(id_field);
            if (!read_leaf(reader, target, path) || reader->resources->size() >= max_resources) {
                return false;
            }
            reader->resources->push_back(*path);
        } else if (!read_table(reader, target & ~subdirectory_bit, level + 1, path)) {
            return false;
        }
    }
    return true;
}

// Order of a resource table: string ids first, by their code units, then
// numbers in ascending order; the loader searches each table by halves.
int compare_ids(const pe_resource_id& a, const pe_resource_id& b)
{
    if (a.text.empty() != b.text.empty()) {
        return a.text.empty() ? 1 : -1;
    }
    if (!a.text.empty()) {
        return a.text.compare(b.text);
    }
    return static_cast<int>(a.number) - static_cast<int>(b.number);
}

bool resource_before(const pe_resource* a, const pe_resource* b)
{
    int order = compare_ids(a->type, b->type);
    if (order == 0) {
        order = compare_ids(a->name, b->name);
    }
    if (order == 0) {
        order = static_cast<int>(a->language) - static_cast<int>(b->language);
    }
    return order < 0;
}

// The new tree, laid out as resource compilers do: every table first (the
// root, the type tables, the name tables), then the string ids, then the
// data entries, then the resources' bytes, each at an 8-byte boundary.
struct tree_layout {
    std::vector<const pe_resource*> order;  // sorted by type, name, language
    std::vector<uint64_t> data_offsets;     // of each resource's bytes, from the tree's start
    uint64_t size;                          // of tables, names, entries and data together
};

void put_entry(uint8_t* table, size_t index, uint32_t id, uint32_t target)
{
    store_u32(table + table_header_size + index * table_entry_size, id);
    store_u32(table + table_header_size + index * table_entry_size + 4, target);
}

uint32_t put_id(std::vector<uint8_t>* tree, uint64_t* strings_at, const pe_resource_id& id)
{
    if (id.text.empty()) {
        return id.number;
    }
    uint64_t at = *strings_at;
    store_u16(tree->data() + at, static_cast<uint16_t>(id.text.size()));
    for (size_t i = 0; i < id.text.size(); ++i) {
        store_u16(tree->data() + at + 2 + 2 * i, id.text[i]);
    }
    *strings_at += 2 + 2 * id.text.size();
    return subdirectory_bit | static_cast<uint32_t>(at);
}

// Adds one to a table's count of named or of numbered entries.
void count_entry(uint8_t* table, bool named)
{
    uint8_t* counter = table + (named ? 12 : 14);
    store_u16(counter, static_cast<uint16_t>(load_u16(counter) + 1));
}

// Fills `tree` with the tables, names and data entries for resources placed
// at `section_rva`: too many when the tree would hold more resources than
// pe_read_resources reads back (and than a table's 16-bit counts hold), too
// large when an address does not fit its field.
pe_edit_problem build_tree(const std::vector<pe_resource>& resources, uint64_t section_rva, tree_layout* layout,
                           std::vector<uint8_t>* tree)
{
    layout->order.clear();
    for (const pe_resource& resource : resources) {
        layout->order.push_back(&resource);
    }
    std::stable_sort(layout->order.begin(), layout->order.end(), resource_before);
    const std::vector<const pe_resource*>& order = layout->order;
    size_t count = order.size();
    if (count >= max_resources) {
        return pe_edit_too_many_resources;
    }

    // Sizes first: the names of each type, and the string bytes.
    std::vector<size_t> names_of_type;
    size_t names = 0;
    uint64_t string_bytes = 0;
    for (size_t i = 0; i < count; ++i) {
        bool new_type = i == 0 || compare_ids(order[i - 1]->type, order[i]->type) != 0;
        bool new_name = new_type || compare_ids(order[i - 1]->name, order[i]->name) != 0;
        if (new_type) {
            names_of_type.push_back(0);
            string_bytes += order[i]->type.text.empty() ? 0 : 2 + 2 * order[i]->type.text.size();
        }
        if (new_name) {
            ++names_of_type.back();
            ++names;
            string_bytes += order[i]->name.text.empty() ? 0 : 2 + 2 * order[i]->name.text.size();
        }
    }
    size_t types = names_of_type.size();
    uint64_t tables = table_header_size * (1 + types + names) + table_entry_size * (types + names + count);
    uint64_t entries_at = align_up(tables + string_bytes, 4);
    uint64_t data_at = align_up(entries_at + data_entry_size * count, data_alignment);
    tree->assign(data_at, 0);
    layout->data_offsets.assign(count, 0);
    uint64_t end = data_at;  // with no resources, an empty root keeps the section valid
    for (size_t i = 0; i < count; ++i) {
        end = align_up(end, data_alignment);
        layout->data_offsets[i] = end;
        end += order[i]->size;
    }
    layout->size = end;
    if (section_rva + end > limit_32) {
        return pe_edit_too_large;
    }

    // Then the bytes: the root, the type tables after it, the name tables
    // after those. Tables get zero characteristics, time and version, so
    // that the same inputs always give the same file.
    uint64_t next_type_table = table_header_size + table_entry_size * types;
    uint64_t next_name_table = next_type_table;
    for (size_t names_here : names_of_type) {
        next_name_table += table_header_size + table_entry_size * names_here;
    }
    uint64_t strings_at = tables;
    uint8_t* root = tree->data();
    uint8_t* type_table = nullptr;
    uint8_t* name_table = nullptr;
    size_t type_index = 0;
    size_t name_index = 0;
    size_t language_index = 0;
    for (size_t i = 0; i < count; ++i) {
        const pe_resource& resource = *order[i];
        bool new_type = i == 0 || compare_ids(order[i - 1]->type, resource.type) != 0;
        bool new_name = new_type || compare_ids(order[i - 1]->name, resource.name) != 0;
        if (new_type) {
            uint32_t id = put_id(tree, &strings_at, resource.type);
            put_entry(root, type_index, id, subdirectory_bit | static_cast<uint32_t>(next_type_table));
            count_entry(root, !resource.type.text.empty());
            type_table = tree->data() + next_type_table;
            next_type_table += table_header_size + table_entry_size * names_of_type[type_index];
            ++type_index;
            name_index = 0;
        }
        if (new_name) {
            size_t languages = 1;
            while (i + languages < count && compare_ids(order[i + languages]->type, resource.type) == 0 &&
                   compare_ids(order[i + languages]->name, resource.name) == 0) {
                ++languages;
            }
            uint32_t id = put_id(tree, &strings_at, resource.name);
            put_entry(type_table, name_index, id, subdirectory_bit | static_cast<uint32_t>(next_name_table));
            count_entry(type_table, !resource.name.text.empty());
            name_table = tree->data() + next_name_table;
            next_name_table += table_header_size + table_entry_size * languages;
            ++name_index;
            language_index = 0;
        }
        uint64_t entry_at = entries_at + data_entry_size * i;
        put_entry(name_table, language_index, resource.language, static_cast<uint32_t>(entry_at));
        count_entry(name_table, false);
        ++language_index;
        store_u32(tree->data() + entry_at, static_cast<uint32_t>(section_rva + layout->data_offsets[i]));
        store_u32(tree->data() + entry_at + 4, resource.size);
        store_u32(tree->data() + entry_at + 8, resource.code_page);
    }
    return pe_edit_ok;
}

// The checksum that the loader checks for drivers and signing tools check
// for every file: 16-bit little-endian words added with end-around carry,
// the checksum field itself read as zero, then the file's length added.
struct checksum_state {
    uint64_t sum = 0;
    uint64_t length = 0;
    bool odd = false;  // a low byte is waiting for its high byte
};

void checksum_add(checksum_state* state, const uint8_t* data, uint64_t size)
{
    state->length += size;
    if (data == nullptr) {
        state->odd ^= (size & 1) != 0;  // zeros add nothing; only the parity moves
        return;
    }
    uint64_t i = 0;
    if (state->odd && size != 0) {
        state->sum += uint64_t{data[0]} << 8;
        state->odd = false;
        i = 1;
    }
    for (; i + 1 < size; i += 2) {
        state->sum += load_u16(data + i);  // 64 bits hold the carries of any file the format allows
    }
    if (i < size) {
        state->sum += data[i];
        state->odd = true;
    }
}

uint32_t checksum_end(const checksum_state& state)
{
    uint64_t sum = state.sum;
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(sum + state.length);
}

// Bytes past the last section may be a certificate table or a COFF symbol
// table, which the rewrite drops, or zero padding; anything else would be
// lost and is refused.
bool trailing_bytes_droppable(const pe_headers& headers, uint64_t sections_end)
{
    uint64_t certificate = pe_directory(headers, directory_certificates).rva;
    uint64_t certificate_end = certificate + pe_directory(headers, directory_certificates).size;
    uint64_t symbols = load_u32(headers.bytes + headers.coff + 8);
    uint64_t symbols_end = symbols + uint64_t{load_u32(headers.bytes + headers.coff + 12)} * symbol_size;
    if (symbols != 0 && pe_inside(headers.size, symbols_end, 4)) {
        symbols_end += load_u32(headers.bytes + symbols_end);  // the string table, its size first
    }
    for (uint64_t at = sections_end; at < headers.size; ++at) {
        bool in_certificate = at >= certificate && at < certificate_end;
        bool in_symbols = symbols != 0 && at >= symbols && at < symbols_end;
        if (!in_certificate && !in_symbols && headers.bytes[at] != 0) {
            return false;
        }
    }
    return true;
}

void set_directory(std::vector<uint8_t>* head, const pe_headers& headers, uint32_t index, uint32_t address,
                   uint32_t size)
{
    if (index < headers.directory_count) {
        store_u32(head->data() + headers.directories + uint64_t{index} * 8, address);
        store_u32(head->data() + headers.directories + uint64_t{index} * 8 + 4, size);
    }
}

void put_section_row(uint8_t* row, const pe_section& section)
{
    store_u32(row + 8, static_cast<uint32_t>(section.virtual_size));
    store_u32(row + 12, static_cast<uint32_t>(section.virtual_address));
    store_u32(row + 16, static_cast<uint32_t>(section.raw_size));
    store_u32(row + 20, static_cast<uint32_t>(section.raw_pointer));
}

}  // namespace

bool pe_same_id(const pe_resource_id& a, const pe_resource_id& b)
{
    return compare_ids(a, b) == 0;
}

const char* pe_edit_problem_text(pe_edit_problem problem)
{
    switch (problem) {
    case pe_edit_ok: return "a Windows executable whose resources can be rewritten";
    case pe_edit_not_executable: return "no MZ/PE header";
    case pe_edit_damaged_headers: return "damaged PE headers (they run past the end of the file or are out of order)";
    case pe_edit_damaged_resources: return "a damaged resource table (it points outside its section)";
    case pe_edit_resources_not_a_section:
        return "its resource table shares its section or addresses with other tables, so it cannot be rebuilt";
    case pe_edit_sections_after_resources:
        return "sections other than the base relocations follow its resource section, so it cannot grow "
               "(link it with the resource section last, as the launcher stubs are)";
    case pe_edit_trailing_data: return "data after its last section that rewriting it would lose";
    case pe_edit_no_room_for_section: return "no resource section and no room in its headers for one";
    case pe_edit_too_large: return "the resources would pass the 4 GiB limits of an executable";
    case pe_edit_too_many_resources:
        return "it would hold more than the 65,535 resources this tool writes (each image of an icon is one)";
    }
    return "unknown problem";
}

pe_edit_problem pe_read_resources(const uint8_t* image, size_t size, std::vector<pe_resource>* resources)
{
    resources->clear();
    pe_headers headers;
    std::vector<pe_section> sections;
    pe_edit_problem problem = read_headers(image, size, &headers, &sections);
    if (problem != pe_edit_ok) {
        return problem;
    }
    uint32_t tree = pe_directory(headers, directory_resources).rva;
    if (tree == 0) {
        return pe_edit_ok;
    }
    tree_reader reader = {&headers, 0, 0, 0, resources};
    if (!pe_rva_to_offset(headers, headers.section_alignment, tree, table_header_size, &reader.base,
                          &reader.available)) {
        return pe_edit_damaged_resources;
    }
    pe_resource path = {pe_number(0), pe_number(0), 0, 0, nullptr, 0};
    if (!read_table(&reader, 0, 0, &path)) {
        resources->clear();
        return pe_edit_damaged_resources;
    }
    return pe_edit_ok;
}

const pe_resource* pe_find_resource(const std::vector<pe_resource>& resources, const pe_resource_id& type,
                                    const pe_resource_id& name)
{
    const pe_resource* found = nullptr;
    for (const pe_resource& resource : resources) {
        if (!pe_same_id(resource.type, type) || !pe_same_id(resource.name, name)) {
            continue;
        }
        if (found == nullptr || resource.language < found->language) {
            found = &resource;
        }
    }
    return found;
}

void pe_remove_resources(std::vector<pe_resource>* resources, const pe_resource_id& type, const pe_resource_id& name)
{
    resources->erase(std::remove_if(resources->begin(), resources->end(),
                                    [&](const pe_resource& resource) {
                                        return pe_same_id(resource.type, type) && pe_same_id(resource.name, name);
                                    }),
                     resources->end());
}

void pe_put_resource(std::vector<pe_resource>* resources, const pe_resource& resource)
{
    for (pe_resource& existing : *resources) {
        if (pe_same_id(existing.type, resource.type) && pe_same_id(existing.name, resource.name) &&
            existing.language == resource.language) {
            existing = resource;
            return;
        }
    }
    resources->push_back(resource);
}

pe_edit_problem pe_plan_rewrite(const uint8_t* image, size_t size, const std::vector<pe_resource>& resources,
                                pe_rewrite* plan)
{
    plan->head.clear();
    plan->directory.clear();
    plan->runs.clear();
    plan->size = 0;
    plan->drops_certificates = false;
    pe_headers headers;
    std::vector<pe_section> sections;
    pe_edit_problem problem = read_headers(image, size, &headers, &sections);
    if (problem != pe_edit_ok) {
        return problem;
    }
    if (headers.directory_count <= directory_resources) {
        return pe_edit_damaged_headers;
    }

    // Which sections move: the resource section and the relocations after
    // it. A stub without resources gets a new section in the same place.
    int all = static_cast<int>(sections.size());
    uint32_t tree_rva = pe_directory(headers, directory_resources).rva;
    int resources_index = tree_rva == 0 ? -1 : section_at(sections, tree_rva);
    if (tree_rva != 0 && resources_index < 0) {
        return pe_edit_resources_not_a_section;
    }
    // Relocations of size 0 are none, wherever their entry points.
    uint32_t relocations_rva = pe_directory(headers, directory_relocations).size == 0
                                   ? 0
                                   : pe_directory(headers, directory_relocations).rva;
    int relocations_index = relocations_rva == 0 ? -1 : section_at(sections, relocations_rva);
    if (relocations_index >= 0 && relocations_index == resources_index) {
        return pe_edit_damaged_headers;
    }
    // Discardable sections at the very end, after both (the debug sections
    // that GNU ld places after .reloc when a stub is linked without -s), are
    // dropped like the symbol table, which is all that refers to them; a
    // table that a directory names among them is refused below.
    int moving = std::max(resources_index, relocations_index);
    int count = all;
    while (moving >= 0 && count - 1 > moving && (sections[count - 1].characteristics & section_discardable)) {
        --count;
    }
    int tail;
    if (resources_index >= 0) {
        bool last = resources_index == count - 1;
        bool before_relocations = resources_index == count - 2 && relocations_index == count - 1;
        if (!last && !before_relocations) {
            return pe_edit_sections_after_resources;
        }
        tail = resources_index;
    } else {
        tail = count > 0 && relocations_index == count - 1 ? count - 1 : count;
    }
    bool has_section = resources_index >= 0 || !resources.empty();
    bool moves_relocations = relocations_index >= 0 && relocations_index >= tail;

    uint64_t sections_end = headers.header_size;
    uint64_t head_end = headers.header_size;
    uint64_t address_end = headers.header_size;
    uint64_t first_raw = headers.size;
    for (int i = 0; i < all; ++i) {
        const pe_section& section = sections[i];
        uint64_t raw_end = section.raw_pointer + section.raw_size;
        if (section.raw_size != 0) {
            sections_end = std::max(sections_end, raw_end);
            first_raw = std::min(first_raw, section.raw_pointer);
        }
        if (i < tail) {
            head_end = section.raw_size != 0 ? std::max(head_end, raw_end) : head_end;
            // Even an empty section holds its address, as read_headers has it.
            uint64_t span = section.virtual_size != 0 ? section.virtual_size : section.raw_size;
            address_end = std::max(address_end, section.virtual_address + std::max<uint64_t>(span, 1));
        }
    }
    if (!trailing_bytes_droppable(headers, sections_end)) {
        return pe_edit_trailing_data;
    }
    head_end = align_up(head_end, headers.file_alignment);
    address_end = align_up(address_end, headers.section_alignment);
    // Addresses from the first moving section on are laid out afresh: no
    // table but the resource tree and the relocations may lie there (a
    // certificate table's entry is a file offset, not an address).
    uint64_t moving_from = tail < count ? std::min(address_end, sections[tail].virtual_address) : address_end;
    for (uint32_t index = 0; index < headers.directory_count; ++index) {
        uint64_t address = pe_directory(headers, index).rva;
        bool moves_along = (index == directory_resources && resources_index >= 0) ||
                           (index == directory_relocations && moves_relocations);
        if (index != directory_certificates && pe_directory(headers, index).size != 0 && address >= moving_from &&
            !moves_along) {
            return pe_edit_resources_not_a_section;
        }
    }

    // A new section's row goes where the relocations' row was, which moves
    // down; the headers must have room for it, and nothing there yet.
    // Rows of dropped sections count as room.
    bool new_section = resources_index < 0 && has_section;
    uint64_t table_end = headers.section_table + uint64_t(count) * pe_section_header_size;
    uint64_t all_rows_end = headers.section_table + uint64_t(all) * pe_section_header_size;
    if (new_section) {
        uint64_t room_end = std::min(headers.header_size, first_raw);
        if (table_end + pe_section_header_size > room_end) {
            return pe_edit_no_room_for_section;
        }
        for (uint64_t at = all_rows_end; at < table_end + pe_section_header_size; ++at) {
            if (image[at] != 0) {
                return pe_edit_no_room_for_section;
            }
        }
    }

    pe_section resources_section = {address_end, 0, 0, head_end, section_new_resources};
    tree_layout layout;
    if (has_section) {
        if (resources_index >= 0) {
            resources_section.characteristics = sections[resources_index].characteristics;
        }
        problem = build_tree(resources, address_end, &layout, &plan->directory);
        if (problem != pe_edit_ok) {
            return problem;
        }
        resources_section.virtual_size = layout.size;
        resources_section.raw_size = align_up(resources_section.virtual_size, headers.file_alignment);
    }
    pe_section relocations = {};
    if (moves_relocations) {
        relocations = sections[relocations_index];
        relocations.virtual_address = has_section
            ? align_up(resources_section.virtual_address + resources_section.virtual_size, headers.section_alignment)
            : address_end;
        relocations.raw_pointer = resources_section.raw_pointer + resources_section.raw_size;
        relocations.raw_size = align_up(relocations.raw_size, headers.file_alignment);
    }
    uint64_t image_end = address_end;
    if (has_section) {
        image_end = resources_section.virtual_address + resources_section.virtual_size;
    }
    if (moves_relocations) {
        uint64_t span = relocations.virtual_size != 0 ? relocations.virtual_size : relocations.raw_size;
        image_end = relocations.virtual_address + span;
    }
    image_end = align_up(image_end, headers.section_alignment);
    uint64_t file_end = head_end + resources_section.raw_size + relocations.raw_size;
    if (image_end > limit_32 || file_end > limit_32) {
        return pe_edit_too_large;
    }

    // The headers: section rows, directories, sizes; the checksum last.
    plan->head.assign(head_end, 0);
    memcpy(plan->head.data(), image, std::min<uint64_t>(head_end, size));
    uint8_t* head = plan->head.data();
    uint8_t* optional = head + headers.optional;
    int64_t initialized = load_u32(optional + 8);
    if (resources_index >= 0 && (sections[resources_index].characteristics & section_initialized_data)) {
        initialized -= static_cast<int64_t>(sections[resources_index].raw_size);
    }
    if (has_section && (resources_section.characteristics & section_initialized_data)) {
        initialized += static_cast<int64_t>(resources_section.raw_size);
    }
    if (moves_relocations && (relocations.characteristics & section_initialized_data)) {
        initialized += static_cast<int64_t>(relocations.raw_size) -
                       static_cast<int64_t>(sections[relocations_index].raw_size);
    }
    for (int i = count; i < all; ++i) {
        if (sections[i].characteristics & section_initialized_data) {
            initialized -= static_cast<int64_t>(sections[i].raw_size);
        }
    }
    if (initialized > static_cast<int64_t>(limit_32)) {
        return pe_edit_too_large;
    }
    store_u32(optional + 8, static_cast<uint32_t>(initialized < 0 ? 0 : initialized));
    store_u32(optional + 56, static_cast<uint32_t>(image_end));
    store_u32(optional + 64, 0);
    uint8_t* rows = head + headers.section_table;
    memset(head + table_end, 0, all_rows_end - table_end);
    store_u16(head + headers.coff + 2, static_cast<uint16_t>(count + (new_section ? 1 : 0)));
    if (new_section) {
        uint64_t row_at = headers.section_table + uint64_t(tail) * pe_section_header_size;
        uint8_t* row = head + row_at;
        memmove(row + pe_section_header_size, row, table_end - row_at);
        memset(row, 0, pe_section_header_size);
        memcpy(row, ".rsrc", 5);
        store_u32(row + 36, resources_section.characteristics);
    }
    if (has_section) {
        put_section_row(rows + uint64_t(tail) * pe_section_header_size, resources_section);
        set_directory(&plan->head, headers, directory_resources,
                      static_cast<uint32_t>(resources_section.virtual_address),
                      static_cast<uint32_t>(resources_section.virtual_size));
    }
    if (moves_relocations) {
        int row = relocations_index + (new_section ? 1 : 0);
        put_section_row(rows + uint64_t(row) * pe_section_header_size, relocations);
        set_directory(&plan->head, headers, directory_relocations,
                      static_cast<uint32_t>(relocations.virtual_address),
                      pe_directory(headers, directory_relocations).size);
    }
    plan->drops_certificates = pe_directory(headers, directory_certificates).size != 0;
    set_directory(&plan->head, headers, directory_certificates, 0, 0);
    if (load_u32(image + headers.coff + 8) >= head_end) {
        store_u32(head + headers.coff + 8, 0);
        store_u32(head + headers.coff + 12, 0);
    }

    plan->runs.push_back({plan->head.data(), plan->head.size()});
    if (has_section) {
        plan->runs.push_back({plan->directory.data(), plan->directory.size()});
        uint64_t at = plan->directory.size();
        for (size_t i = 0; i < layout.order.size(); ++i) {
            if (layout.data_offsets[i] > at) {
                plan->runs.push_back({nullptr, layout.data_offsets[i] - at});
            }
            plan->runs.push_back({layout.order[i]->data, layout.order[i]->size});
            at = layout.data_offsets[i] + layout.order[i]->size;
        }
        plan->runs.push_back({nullptr, resources_section.raw_size - at});
    }
    if (moves_relocations) {
        const pe_section& old = sections[relocations_index];
        plan->runs.push_back({image + old.raw_pointer, old.raw_size});
        plan->runs.push_back({nullptr, relocations.raw_size - old.raw_size});
    }
    checksum_state checksum;
    for (const pe_rewrite_run& run : plan->runs) {
        checksum_add(&checksum, run.data, run.size);
    }
    plan->size = checksum.length;
    plan->checksum = checksum_end(checksum);
    store_u32(optional + 64, plan->checksum);
    return pe_edit_ok;
}

bool pe_write_rewrite(const pe_rewrite& plan, bool (*write)(void* context, const void* data, size_t size),
                      void* context)
{
    static const uint8_t zeros[4096] = {};
    for (const pe_rewrite_run& run : plan.runs) {
        if (run.data != nullptr) {
            if (run.size != 0 && !write(context, run.data, static_cast<size_t>(run.size))) {
                return false;
            }
            continue;
        }
        for (uint64_t left = run.size; left != 0;) {
            size_t slice = left < sizeof zeros ? static_cast<size_t>(left) : sizeof zeros;
            if (!write(context, zeros, slice)) {
                return false;
            }
            left -= slice;
        }
    }
    return true;
}
