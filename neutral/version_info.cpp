#include "neutral/version_info.h"

#include "neutral/little_endian.h"

namespace {

constexpr size_t node_header_size = 6;

size_t align_4(size_t offset)
{
    return (offset + 3) & ~size_t{3};
}

}  // namespace

bool version_node_read(const uint8_t* data, size_t limit, size_t at, version_node* node)
{
    if (at > limit || limit - at < node_header_size) {
        return false;
    }
    size_t length = load_u16(data + at);
    if (length < node_header_size || length > limit - at) {
        return false;
    }
    node->start = at;
    node->end = at + length;
    node->value_length = load_u16(data + at + 2);
    node->type = load_u16(data + at + 4);
    node->key = at + node_header_size;
    size_t unit = node->key;
    while (unit + 2 <= node->end && load_u16(data + unit) != 0) {
        unit += 2;
    }
    if (unit + 2 > node->end) {
        return false;
    }
    node->key_units = (unit - node->key) / 2;
    node->value = align_4(unit + 2);
    if (node->value > node->end) {
        node->value = node->end;
    }
    // Some resource compilers count a text value in bytes rather than
    // units; either way it cannot reach past its node.
    size_t value_bytes = node->type == 1 ? size_t{node->value_length} * 2 : node->value_length;
    node->value_end = value_bytes > node->end - node->value ? node->end : node->value + value_bytes;
    node->children = align_4(node->value_end);
    if (node->children > node->end) {
        node->children = node->end;
    }
    return true;
}

bool version_node_next_child(const uint8_t* data, const version_node& parent, const version_node* previous,
                             version_node* child)
{
    size_t at = previous == nullptr ? parent.children : align_4(previous->end);
    // A node of six bytes at least follows; padding alone ends the list.
    if (at >= parent.end || parent.end - at < node_header_size) {
        return false;
    }
    return version_node_read(data, parent.end, at, child);
}

bool version_node_key_is(const uint8_t* data, const version_node& node, const char* key)
{
    size_t i = 0;
    for (; key[i] != 0; ++i) {
        if (i >= node.key_units || load_u16(data + node.key + 2 * i) != static_cast<uint8_t>(key[i])) {
            return false;
        }
    }
    return i == node.key_units;
}

bool version_find_root(const uint8_t* data, size_t size, version_node* root)
{
    return data != nullptr && version_node_read(data, size, 0, root) &&
           version_node_key_is(data, *root, "VS_VERSION_INFO");
}

bool version_find_first_table(const uint8_t* data, const version_node& root, version_node* table)
{
    version_node child;
    bool more = version_node_next_child(data, root, nullptr, &child);
    while (more) {
        if (version_node_key_is(data, child, "StringFileInfo")) {
            return version_node_next_child(data, child, nullptr, table);
        }
        version_node previous = child;
        more = version_node_next_child(data, root, &previous, &child);
    }
    return false;
}

version_lookup version_find_string(const uint8_t* data, size_t size, const char* key, uint16_t* value,
                                   size_t capacity)
{
    version_node root;
    version_node table;
    if (capacity == 0 || !version_find_root(data, size, &root) || !version_find_first_table(data, root, &table)) {
        return version_absent;
    }
    version_node entry;
    bool more = version_node_next_child(data, table, nullptr, &entry);
    while (more) {
        if (version_node_key_is(data, entry, key)) {
            // The text up to its terminator, or to the node's end without one.
            size_t count = 0;
            for (size_t at = entry.value; at + 2 <= entry.end && load_u16(data + at) != 0; at += 2) {
                if (count + 1 >= capacity) {
                    return version_too_long;
                }
                value[count++] = load_u16(data + at);
            }
            value[count] = 0;
            return version_found;
        }
        version_node previous = entry;
        more = version_node_next_child(data, table, &previous, &entry);
    }
    return version_absent;
}

bool version_parse_number(const char* text, uint16_t parts[4])
{
    int count = 0;
    const char* at = text;
    for (;;) {
        if (count == 4 || *at < '0' || *at > '9') {
            return false;
        }
        uint32_t number = 0;
        while (*at >= '0' && *at <= '9') {
            number = number * 10 + static_cast<uint32_t>(*at - '0');
            if (number > 0xFFFF) {
                return false;
            }
            ++at;
        }
        parts[count++] = static_cast<uint16_t>(number);
        if (*at == 0) {
            break;
        }
        if (*at != '.') {
            return false;
        }
        ++at;
    }
    for (int i = count; i < 4; ++i) {
        parts[i] = 0;
    }
    return true;
}
