#pragma once
// What makes an executable the application's own rather than the launcher's:
// its icon, version information, manifest and target directory. attach and
// pack take the options; the CMake function passes its own through them, so
// this is the one place they are applied.
#include <stdint.h>

#include <string>
#include <vector>

#include "neutral/identity_resources.h"
#include "neutral/pe_resources.h"

// As the user gave them; empty when not given.
struct identity_options {
    std::string icon;
    std::string company;
    std::string product;
    std::string version;
    std::string description;
    std::string copyright;
    std::string execution_level;
    std::string manifest;
    std::string target_directory;
};

// The options read and checked. The resources built from them live here,
// and the resource list that identity_apply edits points into them.
struct identity {
    identity_options options;
    std::vector<uint8_t> icon_file;
    std::vector<icon_image> icon_images;
    uint16_t version_parts[4] = {};
    std::u16string company, product, version, description, copyright;
    std::vector<uint8_t> manifest;          // the user's own, checked
    std::vector<uint8_t> target_directory;  // UTF-16LE, no terminator
    std::vector<uint8_t> version_resource;
    std::vector<uint8_t> group_resource;
    std::vector<uint8_t> manifest_resource;

    identity() = default;
    identity(const identity&) = delete;
    identity& operator=(const identity&) = delete;
};

// Reads the files the options name and checks every value, before any other
// work is done. A status (tool_output.h); refusals are reported.
int identity_load(const identity_options& options, identity* loaded);

// Gives the stub's resources the identity: the icon group and its images
// replaced, the version information's values, the manifest, the template
// resource. Anything not given stays the stub's. False, reported, when the
// stub lacks what an option changes.
bool identity_apply(identity* loaded, const std::string& stub_full, const std::string& output_full,
                    std::vector<pe_resource>* resources);
