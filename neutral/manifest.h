#pragma once
// Application manifests as the packaging tool takes them: one's own checked
// before it goes into an executable, or the launcher's given another
// execution level.
#include <stddef.h>
#include <stdint.h>

#include <string>

// Checks that a manifest is a well-formed XML document in UTF-8 whose root
// is an assembly (urn:schemas-microsoft-com:asm.v1, manifestVersion 1.0).
// False with the reason ("line 3: ...") in `reason`.
bool manifest_check(const uint8_t* data, size_t size, std::string* reason);
// The manifest with the level attribute of its requestedExecutionLevel
// element replaced by `level`; false when it has none.
bool manifest_set_execution_level(const std::string& manifest, const std::string& level, std::string* changed);
