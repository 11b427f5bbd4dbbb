#include "neutral/identity_resources.h"

#include <string.h>

#include "neutral/little_endian.h"
#include "neutral/version_info.h"

namespace {

// Version information ------------------------------------------------------

std::u16string units_at(const uint8_t* data, size_t at, size_t count)
{
    std::u16string text;
    for (size_t i = 0; i < count; ++i) {
        text.push_back(static_cast<char16_t>(load_u16(data + at + 2 * i)));
    }
    return text;
}

// Text up to its terminator or the end of its node.
std::u16string text_value(const uint8_t* data, const version_node& node)
{
    std::u16string text;
    for (size_t at = node.value; at + 2 <= node.end && load_u16(data + at) != 0; at += 2) {
        text.push_back(static_cast<char16_t>(load_u16(data + at)));
    }
    return text;
}

std::vector<uint8_t> node_bytes(const uint8_t* data, const version_node& node)
{
    return std::vector<uint8_t>(data + node.start, data + node.end);
}

void pad_4(std::vector<uint8_t>* out)
{
    while (out->size() % 4 != 0) {
        out->push_back(0);
    }
}

void put_u16(std::vector<uint8_t>* out, uint16_t value)
{
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void put_units(std::vector<uint8_t>* out, const std::u16string& text)
{
    for (char16_t unit : text) {
        put_u16(out, static_cast<uint16_t>(unit));
    }
    put_u16(out, 0);
}

// A node's header and key; its length is filled in by end_node.
size_t begin_node(std::vector<uint8_t>* out, const std::u16string& key, uint16_t value_length, uint16_t type)
{
    pad_4(out);
    size_t start = out->size();
    put_u16(out, 0);
    put_u16(out, value_length);
    put_u16(out, type);
    put_units(out, key);
    pad_4(out);
    return start;
}

bool end_node(std::vector<uint8_t>* out, size_t start)
{
    size_t length = out->size() - start;
    if (length > 0xFFFF) {
        return false;
    }
    store_u16(out->data() + start, static_cast<uint16_t>(length));
    return true;
}

bool string_file_info(const version_info& info, std::vector<uint8_t>* out)
{
    size_t block = begin_node(out, u"StringFileInfo", 0, 1);
    size_t table = begin_node(out, info.table_key, 0, 1);
    for (const version_string& entry : info.strings) {
        if (entry.value.size() + 1 > 0xFFFF) {
            return false;
        }
        size_t node = begin_node(out, entry.key, static_cast<uint16_t>(entry.value.size() + 1), 1);
        put_units(out, entry.value);
        if (!end_node(out, node)) {
            return false;
        }
    }
    if (!end_node(out, table)) {
        return false;
    }
    for (const std::vector<uint8_t>& other : info.other_tables) {
        pad_4(out);
        out->insert(out->end(), other.begin(), other.end());
    }
    return end_node(out, block);
}

}  // namespace

bool version_info_read(const uint8_t* data, size_t size, version_info* info)
{
    *info = version_info();
    version_node root;
    if (!version_find_root(data, size, &root) || root.value_end - root.value != version_fixed_size ||
        load_u32(data + root.value) != version_fixed_signature) {
        return false;
    }
    info->fixed.assign(data + root.value, data + root.value_end);
    bool found = false;
    version_node child;
    bool more = version_node_next_child(data, root, nullptr, &child);
    while (more) {
        if (!found && version_node_key_is(data, child, "StringFileInfo")) {
            version_node table;
            if (!version_node_next_child(data, child, nullptr, &table)) {
                return false;
            }
            found = true;
            info->string_file_info = info->children.size();
            info->children.emplace_back();
            info->table_key = units_at(data, table.key, table.key_units);
            version_node entry;
            bool entries = version_node_next_child(data, table, nullptr, &entry);
            while (entries) {
                info->strings.push_back({units_at(data, entry.key, entry.key_units), text_value(data, entry)});
                version_node previous = entry;
                entries = version_node_next_child(data, table, &previous, &entry);
            }
            version_node other = table;
            version_node previous = table;
            while (version_node_next_child(data, child, &previous, &other)) {
                info->other_tables.push_back(node_bytes(data, other));
                previous = other;
            }
        } else {
            info->children.push_back(node_bytes(data, child));
        }
        version_node previous = child;
        more = version_node_next_child(data, root, &previous, &child);
    }
    return found;
}

bool version_info_write(const version_info& info, std::vector<uint8_t>* resource)
{
    resource->clear();
    size_t root = begin_node(resource, u"VS_VERSION_INFO", static_cast<uint16_t>(info.fixed.size()), 0);
    resource->insert(resource->end(), info.fixed.begin(), info.fixed.end());
    for (size_t i = 0; i < info.children.size(); ++i) {
        pad_4(resource);
        if (i == info.string_file_info) {
            if (!string_file_info(info, resource)) {
                return false;
            }
        } else {
            resource->insert(resource->end(), info.children[i].begin(), info.children[i].end());
        }
    }
    return end_node(resource, root);
}

void version_info_set_string(version_info* info, const char* key, const std::u16string& value)
{
    std::u16string wide_key(key, key + strlen(key));
    for (version_string& entry : info->strings) {
        if (entry.key == wide_key) {
            entry.value = value;
            return;
        }
    }
    info->strings.push_back({wide_key, value});
}

void version_info_set_numbers(version_info* info, const uint16_t parts[4])
{
    uint32_t high = (uint32_t{parts[0]} << 16) | parts[1];
    uint32_t low = (uint32_t{parts[2]} << 16) | parts[3];
    for (size_t field : {version_fixed_file_version, version_fixed_product_version}) {
        store_u32(info->fixed.data() + field, high);
        store_u32(info->fixed.data() + field + 4, low);
    }
}

icon_problem icon_file_read(const uint8_t* data, size_t size, std::vector<icon_image>* images, size_t* bad)
{
    images->clear();
    *bad = 0;
    if (size < 6 || load_u16(data) != 0 || (load_u16(data + 2) != 1 && load_u16(data + 2) != 2)) {
        return icon_not_icon;
    }
    if (load_u16(data + 2) == 2) {
        return icon_cursor;
    }
    size_t count = load_u16(data + 4);
    if (count == 0) {
        return icon_no_images;
    }
    size_t directory_end = 6 + 16 * count;
    if (directory_end > size) {
        return icon_directory_cut;
    }
    static const uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = data + 6 + 16 * i;
        *bad = i + 1;
        icon_image image = {entry[0], entry[1], entry[2], load_u16(entry + 4), load_u16(entry + 6), nullptr,
                            load_u32(entry + 8)};
        uint32_t offset = load_u32(entry + 12);
        if (image.size == 0 || offset < directory_end || offset > size || image.size > size - offset) {
            return icon_image_outside;
        }
        image.data = data + offset;
        if (image.size >= 8 && memcmp(image.data, png_signature, 8) == 0) {
            // A PNG image carries its depth in its own header; the
            // directory's fields guide the loader's choice, so an empty one
            // gets the usual 32 bits.
            image.planes = image.planes == 0 ? 1 : image.planes;
            image.bit_count = image.bit_count == 0 ? 32 : image.bit_count;
        } else if (image.size >= 40 && load_u32(image.data) == 40) {
            // A bitmap (BITMAPINFOHEADER): its planes and depth stand in for
            // fields the directory leaves empty.
            image.planes = image.planes == 0 ? load_u16(image.data + 12) : image.planes;
            image.bit_count = image.bit_count == 0 ? load_u16(image.data + 14) : image.bit_count;
        } else {
            return icon_image_unknown;
        }
        images->push_back(image);
    }
    *bad = 0;
    return icon_ok;
}

const char* icon_problem_text(icon_problem problem)
{
    switch (problem) {
    case icon_ok: return "an icon file";
    case icon_not_icon: return "it does not start with an icon directory";
    case icon_cursor: return "it is a cursor file";
    case icon_no_images: return "it holds no images";
    case icon_directory_cut: return "its directory runs past its end";
    case icon_image_outside: return "lies outside the file";
    case icon_image_unknown: return "is neither PNG nor a bitmap";
    }
    return "unknown problem";
}

void icon_group_build(const std::vector<icon_image>& images, const std::vector<uint16_t>& ids,
                      std::vector<uint8_t>* group)
{
    group->assign(6 + 14 * images.size(), 0);
    uint8_t* at = group->data();
    store_u16(at + 2, 1);
    store_u16(at + 4, static_cast<uint16_t>(images.size()));
    at += 6;
    for (size_t i = 0; i < images.size(); ++i, at += 14) {
        at[0] = images[i].width;
        at[1] = images[i].height;
        at[2] = images[i].colors;
        store_u16(at + 4, images[i].planes);
        store_u16(at + 6, images[i].bit_count);
        store_u32(at + 8, images[i].size);
        store_u16(at + 12, ids[i]);
    }
}
