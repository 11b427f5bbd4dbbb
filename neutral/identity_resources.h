#pragma once
// The resources that make an executable the application's own, as the
// packaging tool builds them: version information rebuilt with new values,
// and an icon file split into the images and the group that the loader
// reads (manifests: manifest.h). Every read stays inside the bytes given,
// whatever they claim.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Version information (see version_info.h), taken apart far enough to change
// its strings and numbers and put together again.
struct version_string {
    std::u16string key;
    std::u16string value;
};

struct version_info {
    std::vector<uint8_t> fixed;                  // the root's value, VS_FIXEDFILEINFO
    std::u16string table_key;                    // of the first string table, e.g. u"040904B0"
    std::vector<version_string> strings;         // that table's, in order
    std::vector<std::vector<uint8_t>> other_tables;  // further string tables, as stored
    std::vector<std::vector<uint8_t>> children;  // the root's children as stored ...
    size_t string_file_info = SIZE_MAX;          // ... with StringFileInfo's place among them
};

// False when the resource is not version information with the fixed part
// and at least one string table.
bool version_info_read(const uint8_t* data, size_t size, version_info* info);
// False when the result would be larger than a node can count (64 KiB).
bool version_info_write(const version_info& info, std::vector<uint8_t>* resource);
// Replaces the value of `key` (ASCII) in the first table, or adds it there.
void version_info_set_string(version_info* info, const char* key, const std::u16string& value);
// File and product version of the fixed part.
void version_info_set_numbers(version_info* info, const uint16_t parts[4]);

// An icon file (.ico): a directory of images, each a PNG or a bitmap.
enum icon_problem {
    icon_ok = 0,
    icon_not_icon,           // no icon directory at its start
    icon_cursor,             // a cursor file (.cur)
    icon_no_images,          // a directory of no images
    icon_directory_cut,      // the directory runs past the file
    icon_image_outside,      // an image lies (partly) outside the file or inside the directory
    icon_image_unknown,      // an image is neither PNG nor a bitmap
};

struct icon_image {
    uint8_t width;           // 0 stands for 256
    uint8_t height;
    uint8_t colors;
    uint16_t planes;
    uint16_t bit_count;
    const uint8_t* data;     // inside the file's bytes
    uint32_t size;
};

// `bad` gets the number (from 1) of the image at fault, 0 for the file; the
// texts of an image's problems have that image as their subject.
icon_problem icon_file_read(const uint8_t* data, size_t size, std::vector<icon_image>* images, size_t* bad);
const char* icon_problem_text(icon_problem problem);
// The group resource (RT_GROUP_ICON) for `images` stored as RT_ICON `ids`.
void icon_group_build(const std::vector<icon_image>& images, const std::vector<uint16_t>& ids,
                      std::vector<uint8_t>* group);
