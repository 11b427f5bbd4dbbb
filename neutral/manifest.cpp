#include "neutral/manifest.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <vector>

#include "neutral/utf.h"

namespace {

// A reader of the XML that manifests are written in: well-formedness as
// XML 1.0 (fifth edition) and Namespaces in XML 1.0 (third edition) define
// it, without a document type declaration (a manifest may not have one).
// The system's parser refuses a manifest that is not well-formed, and the
// executable then does not start at all ("side-by-side configuration is
// incorrect"), so every rule those two texts make a fatal error is checked.
struct xml_reader {
    const uint8_t* data;
    size_t size;
    size_t at;
    std::string* reason;
    // Where the first requestedExecutionLevel element's level value lies.
    size_t level_at;
    size_t level_end;
};

struct xml_attribute {
    std::string name;
    std::string value;  // references expanded, white space normalised
    size_t value_at;    // the value as written, between its quotes
    size_t value_end;
    std::string uri;  // its namespace, for a prefixed name
};

// The namespace prefixes in scope ("" for the default namespace): each
// prefix's declarations, innermost last, and every declaration's prefix in
// the order made, so that an end tag drops its element's own. A map keeps
// the lookup of a name's prefix from growing with the declarations made.
struct xml_namespaces {
    std::map<std::string, std::vector<std::string>> uris;
    std::vector<std::string> declared;
};

const char xml_namespace[] = "http://www.w3.org/XML/1998/namespace";
const char xmlns_namespace[] = "http://www.w3.org/2000/xmlns/";
const char assembly_namespace[] = "urn:schemas-microsoft-com:asm.v1";

size_t line_of(const xml_reader& reader)
{
    size_t line = 1;
    for (size_t i = 0; i < reader.at && i < reader.size; ++i) {
        line += reader.data[i] == '\n';
    }
    return line;
}

bool fail(xml_reader* reader, const std::string& text)
{
    *reader->reason = "line " + std::to_string(line_of(*reader)) + ": " + text;
    return false;
}

bool starts(const xml_reader& reader, const char* text)
{
    size_t length = strlen(text);
    return reader.size - reader.at >= length && memcmp(reader.data + reader.at, text, length) == 0;
}

bool space(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool skip_space(xml_reader* reader)
{
    size_t from = reader->at;
    while (reader->at < reader->size && space(reader->data[reader->at])) {
        ++reader->at;
    }
    return reader->at != from;
}

std::string hex_code(uint32_t code)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int shift = code > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4) {
        text.push_back(digits[(code >> shift) & 0xF]);
    }
    return "U+" + text;
}

// Char in XML 1.0: what a document may hold, literally or by reference.
bool xml_character(uint32_t code)
{
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

struct code_range {
    uint32_t first;
    uint32_t last;
};

// NameStartChar and the further NameChar of XML 1.0, fifth edition.
const code_range name_start_ranges[] = {
    {':', ':'},         {'A', 'Z'},         {'_', '_'},         {'a', 'z'},         {0xC0, 0xD6},
    {0xD8, 0xF6},       {0xF8, 0x2FF},      {0x370, 0x37D},     {0x37F, 0x1FFF},    {0x200C, 0x200D},
    {0x2070, 0x218F},   {0x2C00, 0x2FEF},   {0x3001, 0xD7FF},   {0xF900, 0xFDCF},   {0xFDF0, 0xFFFD},
    {0x10000, 0xEFFFF},
};
const code_range name_more_ranges[] = {
    {'-', '-'}, {'.', '.'}, {'0', '9'}, {0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040},
};

bool in_ranges(const code_range* ranges, size_t count, uint32_t code)
{
    for (size_t i = 0; i < count; ++i) {
        if (code >= ranges[i].first && code <= ranges[i].last) {
            return true;
        }
    }
    return false;
}

bool name_start(uint32_t code)
{
    return in_ranges(name_start_ranges, sizeof name_start_ranges / sizeof name_start_ranges[0], code);
}

bool name_part(uint32_t code)
{
    return name_start(code) || in_ranges(name_more_ranges, sizeof name_more_ranges / sizeof name_more_ranges[0], code);
}

// The code point at `at` of text that manifest_check has found to be UTF-8,
// and its length in bytes.
uint32_t code_at(const xml_reader& reader, size_t at, size_t* length)
{
    uint8_t lead = reader.data[at];
    *length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (at + *length > reader.size) {
        *length = 1;
        return lead;
    }
    uint32_t code = *length == 1 ? lead : lead & (0x7F >> *length);
    for (size_t k = 1; k < *length; ++k) {
        code = (code << 6) | (reader.data[at + k] & 0x3F);
    }
    return code;
}

bool read_name(xml_reader* reader, std::string* name)
{
    size_t length = 0;
    if (reader->at >= reader->size || !name_start(code_at(*reader, reader->at, &length))) {
        if (reader->at < reader->size && reader->data[reader->at] >= 0x80) {
            return fail(reader, "a name may not start with " + hex_code(code_at(*reader, reader->at, &length)));
        }
        return fail(reader, "a name was expected");
    }
    size_t from = reader->at;
    while (reader->at < reader->size && name_part(code_at(*reader, reader->at, &length))) {
        reader->at += length;
    }
    name->assign(reinterpret_cast<const char*>(reader->data + from), reader->at - from);
    return true;
}

// A name of an element or attribute under the namespace rules: a local
// name, or a prefix and a local name around one colon.
bool check_qualified_name(xml_reader* reader, const std::string& name)
{
    size_t colon = name.find(':');
    if (colon == std::string::npos) {
        return true;
    }
    if (colon == 0 || colon + 1 == name.size() || name.find(':', colon + 1) != std::string::npos) {
        return fail(reader, "'" + name + "' is no qualified name (one colon at most, between a prefix and a name)");
    }
    return true;
}

// "&lt;", "&#60;", "&#x3C;": the five predefined entities and character
// references; a document without a type declaration can define no others.
// The character referred to is appended to `expanded` when it is given.
bool read_reference(xml_reader* reader, std::string* expanded)
{
    size_t from = ++reader->at;
    while (reader->at < reader->size && reader->data[reader->at] != ';' && reader->at - from < 16) {
        ++reader->at;
    }
    if (reader->at >= reader->size || reader->data[reader->at] != ';') {
        return fail(reader, "'&' starts no reference (write &amp;)");
    }
    std::string name(reinterpret_cast<const char*>(reader->data + from), reader->at - from);
    ++reader->at;
    static const struct {
        const char* name;
        char character;
    } predefined[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
    for (const auto& entity : predefined) {
        if (name == entity.name) {
            if (expanded != nullptr) {
                expanded->push_back(entity.character);
            }
            return true;
        }
    }
    bool hex = name.size() > 2 && name[0] == '#' && name[1] == 'x';
    size_t digits = hex ? 2 : 1;
    if (name.size() <= digits || name[0] != '#') {
        return fail(reader, "unknown entity '&" + name + ";'");
    }
    uint32_t code = 0;
    for (size_t i = digits; i < name.size(); ++i) {
        char c = name[i];
        uint32_t digit = (c >= '0' && c <= '9') ? static_cast<uint32_t>(c - '0')
                         : hex && c >= 'a' && c <= 'f' ? static_cast<uint32_t>(c - 'a' + 10)
                         : hex && c >= 'A' && c <= 'F' ? static_cast<uint32_t>(c - 'A' + 10)
                                                       : 99;
        if (digit >= (hex ? 16u : 10u) || code > 0x10FFFF) {
            return fail(reader, "bad character reference '&" + name + ";'");
        }
        code = code * (hex ? 16 : 10) + digit;
    }
    if (!xml_character(code)) {
        return fail(reader, "character reference '&" + name + ";' names no character");
    }
    if (expanded != nullptr) {
        std::u16string units;
        if (code >= 0x10000) {
            units = {static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)),
                     static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF))};
        } else {
            units = {static_cast<char16_t>(code)};
        }
        *expanded += utf8_from_utf16(units);
    }
    return true;
}

// Up to and past `end`; false when the document ends first.
bool skip_past(xml_reader* reader, const char* end, const char* what)
{
    size_t length = strlen(end);
    while (reader->size - reader->at >= length) {
        if (memcmp(reader->data + reader->at, end, length) == 0) {
            reader->at += length;
            return true;
        }
        ++reader->at;
    }
    return fail(reader, std::string(what) + " is not closed");
}

bool read_comment(xml_reader* reader)
{
    reader->at += 4;  // "<!--"
    while (reader->size - reader->at >= 2) {
        if (memcmp(reader->data + reader->at, "--", 2) == 0) {
            if (reader->size - reader->at >= 3 && reader->data[reader->at + 2] == '>') {
                reader->at += 3;
                return true;
            }
            return fail(reader, "'--' inside a comment");
        }
        ++reader->at;
    }
    return fail(reader, "a comment is not closed");
}

bool same_ignoring_case(const std::string& a, const char* b)
{
    if (a.size() != strlen(b)) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) {
            return false;
        }
    }
    return true;
}

bool read_instruction(xml_reader* reader)
{
    reader->at += 2;  // "<?"
    std::string target;
    if (!read_name(reader, &target)) {
        return false;
    }
    if (same_ignoring_case(target, "xml")) {
        return fail(reader, "an XML declaration that is not at the very start");
    }
    if (target.find(':') != std::string::npos) {
        return fail(reader, "processing instruction target '" + target + "' holds a colon");
    }
    if (!starts(*reader, "?>") && !skip_space(reader)) {
        return fail(reader, "white space must follow processing instruction target '" + target + "'");
    }
    return skip_past(reader, "?>", "a processing instruction");
}

bool read_attribute_value(xml_reader* reader, xml_attribute* attribute)
{
    if (reader->at >= reader->size || (reader->data[reader->at] != '"' && reader->data[reader->at] != '\'')) {
        return fail(reader, "an attribute value must be quoted");
    }
    uint8_t quote = reader->data[reader->at++];
    attribute->value_at = reader->at;
    while (reader->at < reader->size && reader->data[reader->at] != quote) {
        uint8_t c = reader->data[reader->at];
        if (c == '<') {
            return fail(reader, "'<' inside an attribute value");
        }
        if (c == '&') {
            if (!read_reference(reader, &attribute->value)) {
                return false;
            }
            continue;
        }
        // White space becomes a space, a line end ("\r\n" too) one space.
        bool line_end = c == '\r' && reader->at + 1 < reader->size && reader->data[reader->at + 1] == '\n';
        attribute->value.push_back(space(c) ? ' ' : static_cast<char>(c));
        reader->at += line_end ? 2 : 1;
    }
    if (reader->at >= reader->size) {
        return fail(reader, "an attribute value is not closed");
    }
    attribute->value_end = reader->at;
    ++reader->at;
    return true;
}

// Attributes up to ">" or "/>" (or "?>" for the declaration).
bool read_attributes(xml_reader* reader, bool declaration, std::vector<xml_attribute>* attributes, bool* empty)
{
    for (;;) {
        bool spaced = skip_space(reader);
        if (reader->at >= reader->size) {
            return fail(reader, "a tag is not closed");
        }
        if (declaration ? starts(*reader, "?>") : starts(*reader, "/>")) {
            reader->at += 2;
            *empty = true;
            return true;
        }
        if (!declaration && reader->data[reader->at] == '>') {
            ++reader->at;
            *empty = false;
            return true;
        }
        if (!spaced) {
            return fail(reader, "attributes must be separated by white space");
        }
        xml_attribute attribute;
        if (!read_name(reader, &attribute.name)) {
            return false;
        }
        skip_space(reader);
        if (reader->at >= reader->size || reader->data[reader->at] != '=') {
            return fail(reader, "'=' expected after attribute '" + attribute.name + "'");
        }
        ++reader->at;
        skip_space(reader);
        if (!read_attribute_value(reader, &attribute)) {
            return false;
        }
        attributes->push_back(attribute);
    }
}

// The name of the first of two attributes that `same` finds equal, found
// by sorting (n log n: a tag may hold any number of attributes); empty when
// none are.
template <typename Less, typename Same>
const xml_attribute* find_twice(const std::vector<xml_attribute>& attributes, Less less, Same same)
{
    std::vector<const xml_attribute*> sorted;
    for (const xml_attribute& attribute : attributes) {
        sorted.push_back(&attribute);
    }
    std::sort(sorted.begin(), sorted.end(), [&](const xml_attribute* a, const xml_attribute* b) { return less(*a, *b); });
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (same(*sorted[i - 1], *sorted[i])) {
            return sorted[i];
        }
    }
    return nullptr;
}

// XMLDecl: version, then encoding and standalone if given, in that order.
bool read_declaration(xml_reader* reader)
{
    reader->at += 5;  // "<?xml"
    std::vector<xml_attribute> attributes;
    bool closed = false;
    if (!read_attributes(reader, true, &attributes, &closed)) {
        return false;
    }
    if (attributes.empty() || attributes[0].name != "version") {
        return fail(reader, "an XML declaration without a version (write <?xml version=\"1.0\"?>)");
    }
    if (attributes[0].value != "1.0") {
        return fail(reader, "it declares XML version '" + attributes[0].value + "'; a manifest is XML 1.0");
    }
    size_t next = 1;
    if (next < attributes.size() && attributes[next].name == "encoding") {
        if (!same_ignoring_case(attributes[next].value, "utf-8")) {
            return fail(reader, "it declares the encoding '" + attributes[next].value + "'; write it in UTF-8");
        }
        ++next;
    }
    if (next < attributes.size() && attributes[next].name == "standalone") {
        if (attributes[next].value != "yes" && attributes[next].value != "no") {
            return fail(reader, "standalone='" + attributes[next].value + "' in the XML declaration (yes or no)");
        }
        ++next;
    }
    if (next < attributes.size()) {
        return fail(reader, "'" + attributes[next].name +
                                "' in the XML declaration, which holds version, encoding and standalone, in that "
                                "order");
    }
    return true;
}

// Comments, processing instructions and white space, before and after the
// root element.
bool read_misc(xml_reader* reader)
{
    for (;;) {
        skip_space(reader);
        if (starts(*reader, "<!--")) {
            if (!read_comment(reader)) {
                return false;
            }
        } else if (starts(*reader, "<?")) {
            if (!read_instruction(reader)) {
                return false;
            }
        } else if (starts(*reader, "<![CDATA[")) {
            return fail(reader, "a CDATA section outside the root element");
        } else {
            return true;
        }
    }
}

const std::string* namespace_of(const xml_namespaces& namespaces, const std::string& prefix)
{
    auto found = namespaces.uris.find(prefix);
    return found == namespaces.uris.end() || found->second.empty() ? nullptr : &found->second.back();
}

// Back to the first `count` declarations, as before a start tag.
void leave_scope(xml_namespaces* namespaces, size_t count)
{
    while (namespaces->declared.size() > count) {
        namespaces->uris[namespaces->declared.back()].pop_back();
        namespaces->declared.pop_back();
    }
}

// The namespace declarations of a start tag, brought into scope.
bool declare_namespaces(xml_reader* reader, const std::vector<xml_attribute>& attributes,
                        xml_namespaces* namespaces)
{
    for (const xml_attribute& attribute : attributes) {
        bool default_namespace = attribute.name == "xmlns";
        if (!default_namespace && attribute.name.compare(0, 6, "xmlns:") != 0) {
            continue;
        }
        std::string prefix = default_namespace ? "" : attribute.name.substr(6);
        const std::string& uri = attribute.value;
        if (prefix == "xmlns") {
            return fail(reader, "the prefix 'xmlns' may not be declared");
        }
        if ((prefix == "xml") != (uri == xml_namespace)) {
            return fail(reader, "the prefix 'xml' and the namespace '" + std::string(xml_namespace) +
                                    "' belong to each other alone (" + attribute.name + "='" + uri + "')");
        }
        if (uri == xmlns_namespace) {
            return fail(reader, "the namespace '" + uri + "' may not be declared");
        }
        if (!default_namespace && uri.empty()) {
            return fail(reader, "prefix '" + prefix + "' declared with an empty namespace");
        }
        namespaces->uris[prefix].push_back(uri);
        namespaces->declared.push_back(prefix);
    }
    return true;
}

// Resolves a prefixed name; false, reported, when its prefix is not
// declared. `uri` is left empty for an unprefixed name.
bool resolve(xml_reader* reader, const xml_namespaces& namespaces, const std::string& name, std::string* uri)
{
    size_t colon = name.find(':');
    if (colon == std::string::npos) {
        return true;
    }
    std::string prefix = name.substr(0, colon);
    if (prefix == "xml") {
        *uri = xml_namespace;
        return true;
    }
    const std::string* found = prefix == "xmlns" ? nullptr : namespace_of(namespaces, prefix);
    if (found == nullptr) {
        return fail(reader, "'" + name + "' has the undeclared prefix '" + prefix + "'");
    }
    *uri = *found;
    return true;
}

std::string local_part(const std::string& name)
{
    size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

// A start tag's names and attributes under the XML and namespace rules;
// the element's own namespace in `uri`.
bool check_start_tag(xml_reader* reader, const std::string& name, std::vector<xml_attribute>* attributes,
                     xml_namespaces* namespaces, std::string* uri)
{
    if (!check_qualified_name(reader, name)) {
        return false;
    }
    const xml_attribute* twice = find_twice(
        *attributes, [](const xml_attribute& a, const xml_attribute& b) { return a.name < b.name; },
        [](const xml_attribute& a, const xml_attribute& b) { return a.name == b.name; });
    if (twice != nullptr) {
        return fail(reader, "attribute '" + twice->name + "' given twice");
    }
    for (const xml_attribute& attribute : *attributes) {
        if (!check_qualified_name(reader, attribute.name)) {
            return false;
        }
    }
    if (!declare_namespaces(reader, *attributes, namespaces)) {
        return false;
    }
    if (name.compare(0, 6, "xmlns:") == 0) {
        return fail(reader, "element <" + name + "> has the reserved prefix 'xmlns'");
    }
    if (name.find(':') == std::string::npos) {
        const std::string* default_uri = namespace_of(*namespaces, "");
        *uri = default_uri == nullptr ? "" : *default_uri;
    } else if (!resolve(reader, *namespaces, name, uri)) {
        return false;
    }
    for (xml_attribute& attribute : *attributes) {
        bool declaration = attribute.name == "xmlns" || attribute.name.compare(0, 6, "xmlns:") == 0;
        if (!declaration && !resolve(reader, *namespaces, attribute.name, &attribute.uri)) {
            return false;
        }
    }
    // Two prefixes of one namespace make two names for the same attribute.
    twice = find_twice(
        *attributes,
        [](const xml_attribute& a, const xml_attribute& b) {
            return a.uri != b.uri ? a.uri < b.uri : local_part(a.name) < local_part(b.name);
        },
        [](const xml_attribute& a, const xml_attribute& b) {
            return !a.uri.empty() && a.uri == b.uri && local_part(a.name) == local_part(b.name);
        });
    if (twice != nullptr) {
        return fail(reader, "attribute '" + twice->name + "' given twice in namespace '" + twice->uri + "'");
    }
    return true;
}

bool check_root(xml_reader* reader, const std::string& name, const std::string& uri,
                const std::vector<xml_attribute>& attributes)
{
    bool version = false;
    for (const xml_attribute& attribute : attributes) {
        version |= attribute.name == "manifestVersion" && attribute.value == "1.0";
    }
    if (local_part(name) != "assembly" || uri != assembly_namespace || !version) {
        reader->at = 0;
        *reader->reason = "its root element is <" + name + ">, not an <assembly xmlns=\"" + assembly_namespace +
                          "\" manifestVersion=\"1.0\">";
        return false;
    }
    return true;
}

void note_execution_level(xml_reader* reader, const std::string& name, const std::vector<xml_attribute>& attributes)
{
    if (reader->level_at != std::string::npos || local_part(name) != "requestedExecutionLevel") {
        return;
    }
    for (const xml_attribute& attribute : attributes) {
        if (attribute.name == "level") {
            reader->level_at = attribute.value_at;
            reader->level_end = attribute.value_end;
        }
    }
}

struct open_element {
    std::string name;
    size_t declarations;  // how many were in scope before its start tag
};

bool read_document(xml_reader* reader)
{
    if (starts(*reader, "\xEF\xBB\xBF")) {
        reader->at += 3;
    }
    // "<?xml" followed by anything but a name character is the declaration
    // ("<?xml-stylesheet" is an instruction).
    size_t length = 0;
    if (starts(*reader, "<?xml") &&
        (reader->size - reader->at == 5 || !name_part(code_at(*reader, reader->at + 5, &length)))) {
        if (!read_declaration(reader)) {
            return false;
        }
    }
    if (!read_misc(reader)) {
        return false;
    }
    if (starts(*reader, "<!DOCTYPE")) {
        return fail(reader, "a document type declaration, which a manifest may not have");
    }
    if (reader->at >= reader->size || reader->data[reader->at] != '<' || starts(*reader, "<!")) {
        return fail(reader, reader->at >= reader->size ? "no root element"
                            : starts(*reader, "<!") ? "'<!' starts no comment before the root element"
                                                    : "text before the root element");
    }
    // The open elements; kept here rather than on the call stack, so that
    // nesting of any depth is only memory.
    std::vector<open_element> open;
    xml_namespaces namespaces;
    bool root = true;
    do {
        if (reader->at >= reader->size) {
            return fail(reader, "element <" + open.back().name + "> is not closed");
        }
        uint8_t c = reader->data[reader->at];
        if (starts(*reader, "</")) {
            reader->at += 2;
            std::string name;
            if (!read_name(reader, &name)) {
                return false;
            }
            skip_space(reader);
            if (reader->at >= reader->size || reader->data[reader->at] != '>') {
                return fail(reader, "'>' expected after </" + name);
            }
            ++reader->at;
            if (open.empty() || name != open.back().name) {
                return fail(reader,
                            "</" + name + "> closes " + (open.empty() ? "nothing" : "<" + open.back().name + ">"));
            }
            leave_scope(&namespaces, open.back().declarations);
            open.pop_back();
        } else if (starts(*reader, "<!--")) {
            if (!read_comment(reader)) {
                return false;
            }
        } else if (starts(*reader, "<![CDATA[")) {
            if (!skip_past(reader, "]]>", "a CDATA section")) {
                return false;
            }
        } else if (starts(*reader, "<?")) {
            if (!read_instruction(reader)) {
                return false;
            }
        } else if (starts(*reader, "<!")) {
            return fail(reader, "'<!' starts no comment or CDATA section");
        } else if (c == '<') {
            ++reader->at;
            std::string name;
            std::string uri;
            std::vector<xml_attribute> attributes;
            bool empty = false;
            size_t scope = namespaces.declared.size();
            if (!read_name(reader, &name) || !read_attributes(reader, false, &attributes, &empty) ||
                !check_start_tag(reader, name, &attributes, &namespaces, &uri)) {
                return false;
            }
            if (root && !check_root(reader, name, uri, attributes)) {
                return false;
            }
            root = false;
            note_execution_level(reader, name, attributes);
            if (empty) {
                leave_scope(&namespaces, scope);
            } else {
                open.push_back({name, scope});
            }
        } else if (c == '&') {
            if (!read_reference(reader, nullptr)) {
                return false;
            }
        } else if (starts(*reader, "]]>")) {
            return fail(reader, "']]>' in text");
        } else {
            ++reader->at;
        }
    } while (!open.empty());
    if (!read_misc(reader)) {
        return false;
    }
    if (reader->at < reader->size) {
        return fail(reader, "more after the root element");
    }
    return true;
}

// The text as a whole: UTF-8 (without encoded surrogates) of XML
// characters only.
bool check_characters(xml_reader* reader)
{
    const uint8_t* data = reader->data;
    size_t size = reader->size;
    if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
        return fail(reader, "it is UTF-16 (it starts with a UTF-16 byte-order mark); write it in UTF-8");
    }
    if (size >= 2 && (data[0] == 0) != (data[1] == 0)) {
        return fail(reader, "it looks like UTF-16 without a byte-order mark (a zero byte beside each ASCII "
                            "character); write it in UTF-8");
    }
    std::u16string units;
    if (!utf16_from_utf8(std::string(reinterpret_cast<const char*>(data), size), &units)) {
        *reader->reason = "it is not UTF-8 text";
        return false;
    }
    // Offsets into the bytes follow the units: one byte per unit below
    // U+0080, two below U+0800, three up to U+FFFF, four per pair.
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t code = units[i];
        size_t length = code < 0x80 ? 1 : code < 0x800 ? 2 : 3;
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            length = 4;
            ++i;
        }
        if (code >= 0xD800 && code <= 0xDFFF) {
            return fail(reader, "it is not UTF-8 text: it encodes the surrogate " + hex_code(code) +
                                    " as a character of its own");
        }
        if (!xml_character(code)) {
            return fail(reader, code < 0x20 ? "a control character (" + hex_code(code) + ")"
                                            : hex_code(code) + ", which is no XML character");
        }
        reader->at += length;
    }
    reader->at = 0;
    return true;
}

bool read_manifest(xml_reader* reader)
{
    return check_characters(reader) && read_document(reader);
}

}  // namespace

bool manifest_check(const uint8_t* data, size_t size, std::string* reason)
{
    xml_reader reader = {data, size, 0, reason, std::string::npos, std::string::npos};
    return read_manifest(&reader);
}

bool manifest_set_execution_level(const std::string& manifest, const std::string& level, std::string* changed)
{
    std::string reason;
    xml_reader reader = {reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size(), 0, &reason,
                         std::string::npos, std::string::npos};
    if (!read_manifest(&reader) || reader.level_at == std::string::npos) {
        return false;
    }
    *changed = manifest.substr(0, reader.level_at) + level + manifest.substr(reader.level_end);
    return true;
}
