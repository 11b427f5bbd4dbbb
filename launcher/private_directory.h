#pragma once
// The target directory is created by the parent itself, never accepted from
// someone else: its name is predictable (process identifier and start time),
// and in a shared temporary directory another user could otherwise prepare
// it with rights to replace the main library between its writing and its
// loading. It gets a protected access list: full access for the current
// user and the system account, inherited by everything below, nothing for
// anyone else.
//
// An elevated run needs more. Its access list grants the user's account,
// which the same user's non-elevated programs carry too, and what an
// elevated process creates has no integrity label of its own: any program
// of the user could replace the main library that then runs elevated. So
// an elevated run's directory also carries a high mandatory label with
// no-write-up, inherited by every file and directory below, which keeps
// every lower integrity level from writing there.
//
// And whoever controls a directory above the run's own can move it away,
// and what it holds, and put another in its place: the directories above
// are judged before anything is created.
#include <stddef.h>
#include <wchar.h>

#include <windows.h>

struct private_descriptor {
    SECURITY_DESCRIPTOR descriptor;
    unsigned char acl[512];
    // The label's list, in the descriptor only when `elevated`.
    unsigned char label_acl[64];
    unsigned char user_sid[SECURITY_MAX_SID_SIZE];
    unsigned char system_sid[SECURITY_MAX_SID_SIZE];
    unsigned char label_sid[SECURITY_MAX_SID_SIZE];
    bool elevated;
};

// Fills the descriptor for this process's token, elevated or not; false
// with GetLastError set when a step fails.
bool build_private_descriptor(private_descriptor* out);
// The same with the token's elevation given, so that both kinds can be
// built (and tested) by any process.
bool build_private_descriptor_as(private_descriptor* out, bool elevated);

// Creates the directory with that descriptor. False with GetLastError set
// when it cannot (183 when it already exists), or when an elevated run's
// label does not read back as made (label_read_back_holds), in which case
// the directory is removed again.
bool create_private_directory(const wchar_t* path);

// True when `path` is a directory, not a link, that this user owns (or the
// token's default owner, the administrators for an elevated run) whose
// access list is the one create_private_directory gives, and which carries
// no label or the one an elevated run gives: a run's own directory made by a
// launcher of this user's, which a launcher may remove. Anything else
// (another owner, another access list or label, a link planted under a
// run's name) is someone else's and is left alone.
bool is_private_directory(const wchar_t* path);
// The same for a directory already open (with READ_CONTROL).
bool is_private_directory(HANDLE directory);
// The same judgement of a directory's descriptor (owner, access list and
// label) alone.
bool descriptor_is_private(PSECURITY_DESCRIPTOR descriptor);

// The mandatory label of a directory's system list (null: none).
enum class label_kind { none, as_made, other };
label_kind judge_label(const ACL* system_acl);

// Whether a label read back from a directory made with the elevated
// descriptor holds: `control` and `system_acl` are what the file system
// returned for the descriptor's access list and label. The label must be
// the one made. None at all is accepted only from a file system that did
// not keep the protected flag either, which keeps no descriptor as given
// and so cannot report a label (Wine's, which turns access lists into Unix
// modes; FAT, which keeps nothing); one that keeps the flag keeps labels.
bool label_read_back_holds(SECURITY_DESCRIPTOR_CONTROL control, const ACL* system_acl);

// Whether anyone but `user` and the system's own accounts (SYSTEM, the
// administrators, TrustedInstaller) could move a directory inside this one
// away, so that a path through it leads elsewhere: an owner of another
// (who can always grant themselves the rest), or an entry of `dacl` that
// grants another the right to delete what it holds, to change the list or
// the owner, or to delete or rename the directory itself (except at a
// volume's root, which cannot be renamed). Denying entries are not counted
// (a judgement that errs on the side of refusing). A null `dacl` lets
// everyone in.
// With `as_new_subdirectory` it judges instead a directory that the user
// would create inside this one: the user's own, with what this one's
// entries pass on to subdirectories (CREATOR OWNER being the user).
bool others_control_directory(PSID owner, const ACL* dacl, PSID user, bool volume_root, bool as_new_subdirectory);

// Judges the directory that `directory` is to be made in, following links
// as a path does, with the user of this process's token; where it and
// others above are missing, the nearest existing one, also as the maker of
// the rest. Nothing is created. Directories further up are not judged: the
// run's directory is held open from its creation (launcher/cleanup.h),
// which keeps it, and on NTFS every directory above it, from being
// renamed.
enum class directories_above { private_to_user, controlled_by_others, unreadable };
// `culprit` receives the first directory that others control, as the
// system names it (without a `\\?\` prefix); unreadable leaves GetLastError
// set.
directories_above judge_directories_above(const wchar_t* directory, wchar_t* culprit, size_t capacity);
