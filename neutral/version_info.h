#pragma once
// Version information (resource type RT_VERSION): what Explorer's
// properties, VerQueryValueW and the launcher's {COMPANY}, {PRODUCT} and
// {VERSION} read. Read here without allocating, since the launcher reads it
// at run time; identity_resources.h rebuilds it for the packaging tool.
//
// The resource is a tree of nodes. Each node: its length in bytes (with its
// children, without the padding after it), the length of its value, its
// type (1: text, counted in UTF-16 units; 0: binary, in bytes), a
// zero-terminated UTF-16 key, padding to a multiple of 4, the value, padding
// to a multiple of 4, and its children, each at a multiple of 4.
//
//   "VS_VERSION_INFO"      value: the fixed part (numeric versions, flags)
//     "StringFileInfo"
//       "040904B0"         one table per language and code page
//         "CompanyName"    value: text, zero-terminated
//         ...
//     "VarFileInfo"
//       "Translation"      value: language and code page pairs
#include <stddef.h>
#include <stdint.h>

constexpr size_t version_fixed_size = 52;          // VS_FIXEDFILEINFO
constexpr uint32_t version_fixed_signature = 0xFEEF04BD;
constexpr size_t version_fixed_file_version = 8;    // offsets in it: two 32-bit halves each
constexpr size_t version_fixed_product_version = 16;

struct version_node {
    size_t start;         // offset in the resource
    size_t end;           // start + its length, within its parent
    uint16_t value_length;
    uint16_t type;
    size_t key;           // offset of the key's first unit
    size_t key_units;     // without the terminator
    size_t value;         // offset of the value
    size_t value_end;     // where the value ends, as its length and type say (within the node)
    size_t children;      // offset of the first child
};

// The node at `at`, inside [0, limit). False when it does not fit there or
// its key has no terminator inside it.
bool version_node_read(const uint8_t* data, size_t limit, size_t at, version_node* node);
// The child after `previous` (or the first, for previous == nullptr) of
// `parent`; false when there is none or it is damaged.
bool version_node_next_child(const uint8_t* data, const version_node& parent, const version_node* previous,
                             version_node* child);
// Whether the node's key is `key` (ASCII).
bool version_node_key_is(const uint8_t* data, const version_node& node, const char* key);

// The root and its first string table; false when the resource is not
// version information.
bool version_find_root(const uint8_t* data, size_t size, version_node* root);
bool version_find_first_table(const uint8_t* data, const version_node& root, version_node* table);

enum version_lookup {
    version_found,
    version_absent,    // no such string, or no readable version information
    version_too_long,  // longer than capacity - 1 units
};

// The value of `key` (ASCII, e.g. "CompanyName") in the first string table,
// zero-terminated into `value` (UTF-16 code units).
version_lookup version_find_string(const uint8_t* data, size_t size, const char* key, uint16_t* value,
                                   size_t capacity);

// "1" to "1.2.3.4": one to four numbers from 0 to 65535, digits only,
// separated by dots; missing parts are 0. False for anything else.
bool version_parse_number(const char* text, uint16_t parts[4]);
