#include "neutral/manifest.h"

#include <string.h>

#include <vector>

#include "neutral/utf.h"

namespace {

// A reader of the XML that manifests are written in: well-formedness only
// (names, attributes, references, comments, sections, nesting), since the
// system's own parser refuses a manifest that is not, and the executable
// then does not start at all.
struct xml_reader {
    const uint8_t* data;
    size_t size;
    size_t at;
    std::string* reason;
};

struct xml_attribute {
    std::string name;
    std::string value;  // as written, references unexpanded
};

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

// Names: ASCII letters, '_' and ':' first, then digits, '-' and '.' too;
// anything beyond ASCII is taken as a name character.
bool name_start(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool name_part(uint8_t c)
{
    return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool read_name(xml_reader* reader, std::string* name)
{
    if (reader->at >= reader->size || !name_start(reader->data[reader->at])) {
        return fail(reader, "a name was expected");
    }
    size_t from = reader->at;
    while (reader->at < reader->size && name_part(reader->data[reader->at])) {
        ++reader->at;
    }
    name->assign(reinterpret_cast<const char*>(reader->data + from), reader->at - from);
    return true;
}

// "&lt;", "&#60;", "&#x3C;": the five predefined entities and character
// references; a document without a type declaration can define no others.
bool read_reference(xml_reader* reader)
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
    if (name == "lt" || name == "gt" || name == "amp" || name == "apos" || name == "quot") {
        return true;
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
    bool allowed = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
                   (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
    return allowed ? true : fail(reader, "character reference '&" + name + ";' names no character");
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
    return skip_past(reader, "?>", "a processing instruction");
}

bool read_attribute_value(xml_reader* reader, std::string* value)
{
    if (reader->at >= reader->size || (reader->data[reader->at] != '"' && reader->data[reader->at] != '\'')) {
        return fail(reader, "an attribute value must be quoted");
    }
    uint8_t quote = reader->data[reader->at++];
    size_t from = reader->at;
    while (reader->at < reader->size && reader->data[reader->at] != quote) {
        if (reader->data[reader->at] == '<') {
            return fail(reader, "'<' inside an attribute value");
        }
        if (reader->data[reader->at] == '&') {
            if (!read_reference(reader)) {
                return false;
            }
            continue;
        }
        ++reader->at;
    }
    if (reader->at >= reader->size) {
        return fail(reader, "an attribute value is not closed");
    }
    value->assign(reinterpret_cast<const char*>(reader->data + from), reader->at - from);
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
        if (!read_attribute_value(reader, &attribute.value)) {
            return false;
        }
        for (const xml_attribute& other : *attributes) {
            if (other.name == attribute.name) {
                return fail(reader, "attribute '" + attribute.name + "' given twice");
            }
        }
        attributes->push_back(attribute);
    }
}

bool read_declaration(xml_reader* reader)
{
    reader->at += 5;  // "<?xml"
    std::vector<xml_attribute> attributes;
    bool closed = false;
    if (!read_attributes(reader, true, &attributes, &closed)) {
        return false;
    }
    for (const xml_attribute& attribute : attributes) {
        if (attribute.name == "encoding" && !same_ignoring_case(attribute.value, "utf-8")) {
            return fail(reader, "it declares the encoding '" + attribute.value + "'; write it in UTF-8");
        }
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
        } else {
            return true;
        }
    }
}

bool check_root(xml_reader* reader, const std::string& name, const std::vector<xml_attribute>& attributes)
{
    size_t colon = name.find(':');
    std::string prefix = colon == std::string::npos ? "" : name.substr(0, colon);
    std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
    std::string namespace_attribute = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    bool in_namespace = false;
    bool version = false;
    for (const xml_attribute& attribute : attributes) {
        in_namespace |= attribute.name == namespace_attribute && attribute.value == "urn:schemas-microsoft-com:asm.v1";
        version |= attribute.name == "manifestVersion" && attribute.value == "1.0";
    }
    if (local != "assembly" || !in_namespace || !version) {
        reader->at = 0;
        *reader->reason = "its root element is <" + name +
                          ">, not an <assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">";
        return false;
    }
    return true;
}

bool read_document(xml_reader* reader)
{
    if (starts(*reader, "\xEF\xBB\xBF")) {
        reader->at += 3;
    }
    if (starts(*reader, "<?xml") && reader->size - reader->at > 5 && space(reader->data[reader->at + 5])) {
        if (!read_declaration(reader)) {
            return false;
        }
    }
    if (!read_misc(reader)) {
        return false;
    }
    if (starts(*reader, "<!")) {
        return fail(reader, "a document type declaration, which a manifest may not have");
    }
    if (reader->at >= reader->size || reader->data[reader->at] != '<') {
        return fail(reader, reader->at >= reader->size ? "no root element" : "text before the root element");
    }
    // The open elements; kept here rather than on the call stack, so that
    // nesting of any depth is only memory.
    std::vector<std::string> open;
    bool root = true;
    do {
        if (reader->at >= reader->size) {
            return fail(reader, "element <" + open.back() + "> is not closed");
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
            if (open.empty() || name != open.back()) {
                return fail(reader, "</" + name + "> closes " + (open.empty() ? "nothing" : "<" + open.back() + ">"));
            }
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
            std::vector<xml_attribute> attributes;
            bool empty = false;
            if (!read_name(reader, &name) || !read_attributes(reader, false, &attributes, &empty)) {
                return false;
            }
            if (root && !check_root(reader, name, attributes)) {
                return false;
            }
            root = false;
            if (!empty) {
                open.push_back(name);
            }
        } else if (c == '&') {
            if (!read_reference(reader)) {
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

}  // namespace

bool manifest_check(const uint8_t* data, size_t size, std::string* reason)
{
    std::u16string units;
    if (!utf16_from_utf8(std::string(reinterpret_cast<const char*>(data), size), &units)) {
        *reason = "it is not UTF-8 text";
        return false;
    }
    xml_reader reader = {data, size, 0, reason};
    for (size_t i = 0; i < size; ++i) {
        if (data[i] < 0x20 && data[i] != '\t' && data[i] != '\n' && data[i] != '\r') {
            reader.at = i;
            return fail(&reader, "a control character");
        }
    }
    return read_document(&reader);
}

bool manifest_set_execution_level(const std::string& manifest, const std::string& level, std::string* changed)
{
    size_t element = manifest.find("<requestedExecutionLevel");
    size_t tag_end = element == std::string::npos ? element : manifest.find('>', element);
    if (tag_end == std::string::npos) {
        return false;
    }
    for (size_t at = manifest.find("level", element); at < tag_end; at = manifest.find("level", at + 1)) {
        size_t equals = manifest.find_first_not_of(" \t\r\n", at + 5);
        bool attribute = space(static_cast<uint8_t>(manifest[at - 1])) && equals < tag_end && manifest[equals] == '=';
        size_t quote = attribute ? manifest.find_first_not_of(" \t\r\n", equals + 1) : std::string::npos;
        if (quote >= tag_end || (manifest[quote] != '"' && manifest[quote] != '\'')) {
            continue;
        }
        size_t close = manifest.find(manifest[quote], quote + 1);
        if (close >= tag_end) {
            return false;
        }
        *changed = manifest.substr(0, quote + 1) + level + manifest.substr(close);
        return true;
    }
    return false;
}
