#pragma once
// Making sure the directories above a file exist before it is opened.
#include <wchar.h>

constexpr int known_directory_capacity = 1024;

// True when the directory is known, is a drive designator, was created, or
// already exists; false when creating it failed for any other reason.
bool ensure_directory(const wchar_t* path);
// True when nothing is to be created or the directory above the last
// component exists at the end.
bool ensure_parent_directories(const wchar_t* file_path);
// Adds a directory to the known-directory table (seeding it first).
void remember_directory(const wchar_t* path);
