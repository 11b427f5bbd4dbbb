#pragma once
// One canonical spelling of an executable's path, so that two processes can
// tell whether they run the same file however each was started (through a
// link, with or without the long-path prefix, long or 8.3 directory names).
#include <stddef.h>
#include <wchar.h>

// The path the file system reports for the open file or directory (links
// resolved when `resolve`), without the "\\?\" prefix where a plain form exists. Works in
// place when destination == source. False when the file cannot be opened
// or the path does not fit; the destination then holds no usable path.
bool resolve_final_path(wchar_t* destination, const wchar_t* source, size_t capacity, bool resolve);

// The directory part in its short (8.3) form, the last component unchanged.
// False when the result does not fit; the path is then unusable.
bool make_short_dir_path(wchar_t* path, size_t capacity);
