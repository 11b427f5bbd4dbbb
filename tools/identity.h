#pragma once
// What makes an executable the application's own rather than the launcher's:
// its icon, version information, manifest, target directory and whether it
// keeps its files in the unpack cache. attach and pack take the options; the
// CMake function passes its own through them, so this is the one place they
// are applied.
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
    bool cache = false;
};

// What an executable keeps of the stub it is made from that must suit it:
// the cache, which a stub that uses it passes on, and the stub's template,
// kept unless --target-directory replaces it.
struct stub_facts {
    std::string full;
    bool cached = false;  // carries the cache's digest
    bool has_template = false;
    std::vector<uint8_t> target_directory;  // the stored template, as the launcher finds it
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
    bool cached = false;                    // given --cache, or made from a stub that uses the cache
    std::vector<uint8_t> version_resource;
    std::vector<uint8_t> group_resource;
    std::vector<uint8_t> manifest_resource;

    identity() = default;
    identity(const identity&) = delete;
    identity& operator=(const identity&) = delete;
};

// Reads the files the options name and checks every value, before any other
// work is done; with the stub (null for check), also the template the
// executable would keep from it. A status (tool_output.h); refusals are
// reported.
int identity_load(const identity_options& options, const stub_facts* stub, identity* loaded);

// Gives the stub's resources the identity: the icon group and its images
// replaced, the version information's values, the manifest, the template
// resource. Anything not given stays the stub's. False, reported, when the
// stub lacks what an option changes.
bool identity_apply(identity* loaded, const std::string& stub_full, const std::string& output_full,
                    std::vector<pe_resource>* resources);
