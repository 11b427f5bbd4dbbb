#pragma once
// The target directory is created by the parent itself, never accepted from
// someone else: its name is predictable (process identifier and start time),
// and in a shared temporary directory another user could otherwise prepare
// it with rights to replace the main library between its writing and its
// loading. It gets a protected access list: full access for the current
// user and the system account, inherited by everything below, nothing for
// anyone else.
#include <wchar.h>

#include <windows.h>

struct private_descriptor {
    SECURITY_DESCRIPTOR descriptor;
    unsigned char acl[512];
    unsigned char user_sid[SECURITY_MAX_SID_SIZE];
    unsigned char system_sid[SECURITY_MAX_SID_SIZE];
};

// Fills the descriptor; false with GetLastError set when a step fails.
bool build_private_descriptor(private_descriptor* out);

// Creates the directory with that descriptor. False with GetLastError set
// when it cannot (183 when it already exists).
bool create_private_directory(const wchar_t* path);

// True when `path` is a directory, not a link, that this user owns and whose
// access list is the one create_private_directory gives: a run's own
// directory made by a launcher of this user's, which a launcher may remove.
// Anything else (another owner, another access list, a link planted under a
// run's name) is someone else's and is left alone.
bool is_private_directory(const wchar_t* path);
