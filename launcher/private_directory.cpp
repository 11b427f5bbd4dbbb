#include "launcher/private_directory.h"

#include <aclapi.h>

#include "launcher/remove_tree.h"

namespace {

constexpr DWORD label_inheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// TokenUser, TokenElevation: false with GetLastError set when unreadable.
bool read_token(unsigned char* user_sid, DWORD user_capacity, bool* elevated)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    // Read through a TOKEN_USER pointer below, so aligned for one.
    alignas(TOKEN_USER) unsigned char user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    TOKEN_ELEVATION elevation = {};
    DWORD needed = 0;
    bool read = GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &needed) &&
                CopySid(user_capacity, user_sid, reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid) &&
                (elevated == nullptr ||
                 GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &needed));
    DWORD error = GetLastError();
    CloseHandle(token);
    if (elevated != nullptr) {
        *elevated = elevation.TokenIsElevated != 0;
    }
    SetLastError(error);
    return read;
}

bool fill_descriptor(private_descriptor* out, bool elevated)
{
    out->elevated = elevated;
    DWORD system_size = sizeof out->system_sid;
    DWORD label_size = sizeof out->label_sid;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, out->system_sid, &system_size) ||
        !CreateWellKnownSid(WinHighLabelSid, nullptr, out->label_sid, &label_size)) {
        return false;
    }

    ACL* acl = reinterpret_cast<ACL*>(out->acl);
    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!InitializeAcl(acl, sizeof out->acl, ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, out->user_sid) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, out->system_sid)) {
        return false;
    }
    // Protected: nothing is inherited from the temporary directory above,
    // whose list may let other users in.
    if (!InitializeSecurityDescriptor(&out->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&out->descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&out->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return false;
    }
    if (!elevated) {
        return true;
    }
    // Setting a label no higher than the caller's own level needs no
    // privilege; an elevated token's level is high.
    ACL* label = reinterpret_cast<ACL*>(out->label_acl);
    return InitializeAcl(label, sizeof out->label_acl, ACL_REVISION) &&
           AddMandatoryAce(label, ACL_REVISION, label_inheritance, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP,
                           out->label_sid) &&
           SetSecurityDescriptorSacl(&out->descriptor, TRUE, label, FALSE);
}

HANDLE open_for_security(const wchar_t* path, DWORD flags)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool label_reads_back(const wchar_t* path)
{
    HANDLE directory = open_for_security(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    PACL dacl = nullptr;
    PACL label = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD read = GetSecurityInfo(directory, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                 nullptr, nullptr, &dacl, &label, &descriptor);
    CloseHandle(directory);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool holds = read == ERROR_SUCCESS && GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                 label_read_back_holds(control, label);
    if (descriptor != nullptr) {
        LocalFree(descriptor);
    }
    SetLastError(read != ERROR_SUCCESS ? read : ERROR_INVALID_SECURITY_DESCR);
    return holds;
}

bool token_owner_is(PSID owner)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    alignas(TOKEN_OWNER) unsigned char buffer[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD needed = 0;
    bool same = GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &needed) &&
                EqualSid(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner, owner);
    CloseHandle(token);
    return same;
}

bool acl_is_private(PACL acl, const private_descriptor& own)
{
    if (acl == nullptr || acl->AceCount != 2) {
        return false;
    }
    bool user_seen = false;
    bool system_seen = false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (ace->Mask & FILE_ALL_ACCESS) != FILE_ALL_ACCESS) {
            return false;
        }
        PSID sid = &ace->SidStart;
        user_seen |= EqualSid(sid, const_cast<unsigned char*>(own.user_sid)) != 0;
        system_seen |= EqualSid(sid, const_cast<unsigned char*>(own.system_sid)) != 0;
    }
    return user_seen && system_seen;
}

// The accounts besides the user that may control a directory above a
// run's: the system's own, and two that stand for an owner (CREATOR OWNER,
// which nobody carries outside inheritance and the creator within it, and
// OWNER RIGHTS, which is whoever owns it: judged by itself).
struct trusted_accounts {
    unsigned char sids[6][SECURITY_MAX_SID_SIZE];
    int count;
};

bool build_trusted(trusted_accounts* out)
{
    const WELL_KNOWN_SID_TYPE kinds[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid,
                                         WinCreatorOwnerRightsSid};
    out->count = 0;
    for (WELL_KNOWN_SID_TYPE kind : kinds) {
        DWORD size = SECURITY_MAX_SID_SIZE;
        if (!CreateWellKnownSid(kind, nullptr, out->sids[out->count++], &size)) {
            return false;
        }
    }
    // NT SERVICE\TrustedInstaller, which owns the system's own directories.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID installer = out->sids[out->count++];
    const DWORD parts[] = {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464};
    if (!InitializeSid(installer, &nt, 6)) {
        return false;
    }
    for (DWORD i = 0; i < 6; ++i) {
        *GetSidSubAuthority(installer, i) = parts[i];
    }
    return true;
}

bool is_trusted(PSID sid, PSID user, trusted_accounts* trusted)
{
    if (sid == nullptr || !IsValidSid(sid)) {
        return false;
    }
    if (EqualSid(sid, user)) {
        return true;
    }
    for (int i = 0; i < trusted->count; ++i) {
        if (EqualSid(sid, trusted->sids[i])) {
            return true;
        }
    }
    return false;
}

// "\\?\X:\" or "\\?\UNC\server\share\" at the start of a removal root.
size_t volume_root_length(const wchar_t* path)
{
    const wchar_t unc[] = L"\\\\?\\UNC\\";
    if (wcsncmp(path, unc, 8) != 0) {
        return 7;
    }
    size_t at = 8;
    for (int separators = 0; path[at] != 0; ++at) {
        if (path[at] == L'\\' && ++separators == 2) {
            return at + 1;
        }
    }
    return at;
}

// The path as the system names it for people: without "\\?\", and a share
// with its two leading separators. A directory above a path that fitted the
// target directory's buffer fits one too; the bound is only a guard.
void copy_shown(wchar_t* out, const wchar_t* path, size_t capacity)
{
    bool share = wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0;
    size_t at = 0;
    if (share) {
        out[at++] = L'\\';
    }
    for (const wchar_t* from = path + (share ? 7 : 4); *from != 0 && at + 1 < capacity; ++from) {
        out[at++] = *from;
    }
    out[at] = 0;
}

}  // namespace

bool build_private_descriptor_as(private_descriptor* out, bool elevated)
{
    return read_token(out->user_sid, sizeof out->user_sid, nullptr) && fill_descriptor(out, elevated);
}

bool build_private_descriptor(private_descriptor* out)
{
    bool elevated = false;
    return read_token(out->user_sid, sizeof out->user_sid, &elevated) && fill_descriptor(out, elevated);
}

bool create_private_directory(const wchar_t* path)
{
    private_descriptor descriptor;
    if (!build_private_descriptor(&descriptor)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor.descriptor, FALSE};
    // Unlike every other directory of the walk, an existing one is refused.
    if (!CreateDirectoryW(path, &attributes)) {
        return false;
    }
    if (descriptor.elevated && !label_reads_back(path)) {
        DWORD error = GetLastError();
        RemoveDirectoryW(path);  // made just now, and empty
        SetLastError(error);
        return false;
    }
    return true;
}

label_kind judge_label(const ACL* system_acl)
{
    if (system_acl == nullptr) {
        return label_kind::none;
    }
    unsigned char high[SECURITY_MAX_SID_SIZE];
    DWORD high_size = sizeof high;
    if (!CreateWellKnownSid(WinHighLabelSid, nullptr, high, &high_size)) {
        return label_kind::other;
    }
    label_kind found = label_kind::none;
    for (DWORD i = 0; i < system_acl->AceCount; ++i) {
        SYSTEM_MANDATORY_LABEL_ACE* ace = nullptr;
        if (!GetAce(const_cast<ACL*>(system_acl), i, reinterpret_cast<void**>(&ace))) {
            return label_kind::other;
        }
        if (ace->Header.AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
            continue;  // an audit entry is no label
        }
        bool made = found == label_kind::none && ace->Header.AceFlags == label_inheritance &&
                    ace->Mask == SYSTEM_MANDATORY_LABEL_NO_WRITE_UP && EqualSid(&ace->SidStart, high);
        if (!made) {
            return label_kind::other;
        }
        found = label_kind::as_made;
    }
    return found;
}

bool label_read_back_holds(SECURITY_DESCRIPTOR_CONTROL control, const ACL* system_acl)
{
    switch (judge_label(system_acl)) {
    case label_kind::as_made:
        return true;
    case label_kind::none:
        return (control & SE_DACL_PROTECTED) == 0;
    case label_kind::other:
        break;
    }
    return false;
}

bool descriptor_is_private(PSECURITY_DESCRIPTOR descriptor)
{
    private_descriptor own;
    PSID owner = nullptr;
    PACL acl = nullptr;
    PACL label = nullptr;
    BOOL defaulted = FALSE;
    BOOL acl_present = FALSE;
    BOOL label_present = FALSE;
    if (!build_private_descriptor(&own) || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &acl_present, &acl, &defaulted) ||
        !GetSecurityDescriptorSacl(descriptor, &label_present, &label, &defaulted)) {
        return false;
    }
    // The owner is the token's default owner, which for an elevated
    // administrator is the administrators' group rather than the user.
    return owner != nullptr && (EqualSid(owner, own.user_sid) || token_owner_is(owner)) && acl_present &&
           acl_is_private(acl, own) && judge_label(label_present ? label : nullptr) != label_kind::other;
}

bool is_private_directory(const wchar_t* path)
{
    HANDLE directory = open_for_security(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool mine = is_private_directory(directory);
    CloseHandle(directory);
    return mine;
}

bool is_private_directory(HANDLE directory)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool usable = GetFileInformationByHandle(directory, &information) &&
                  (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                      FILE_ATTRIBUTE_DIRECTORY &&
                  GetSecurityInfo(directory, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                  nullptr, nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS;
    bool mine = usable && descriptor_is_private(descriptor);
    if (descriptor != nullptr) {
        LocalFree(descriptor);
    }
    return mine;
}

bool others_control_directory(PSID owner, const ACL* dacl, PSID user, bool volume_root, bool as_new_subdirectory)
{
    trusted_accounts trusted;
    if (!build_trusted(&trusted)) {
        return true;
    }
    // A directory that the user creates is the user's (or the token's
    // default owner's, which is the administrators or the user).
    if (!as_new_subdirectory && !is_trusted(owner, user, &trusted)) {
        return true;
    }
    if (dacl == nullptr) {
        // Everyone has every right; a new subdirectory would get the
        // token's default list, which is the user's and the system's.
        return !as_new_subdirectory;
    }
    const DWORD moving = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | (volume_root ? 0 : DELETE);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(const_cast<ACL*>(dacl), i, reinterpret_cast<void**>(&ace))) {
            return true;
        }
        // Object entries have no place on files; a conditional entry may
        // apply, so it counts as if it did.
        BYTE type = ace->Header.AceType;
        if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            continue;
        }
        BYTE flags = ace->Header.AceFlags;
        bool applies = as_new_subdirectory ? (flags & CONTAINER_INHERIT_ACE) != 0 : (flags & INHERIT_ONLY_ACE) == 0;
        if (applies && (ace->Mask & moving) != 0 && !is_trusted(&ace->SidStart, user, &trusted)) {
            return true;
        }
    }
    return false;
}

directories_above judge_directories_above(const wchar_t* directory, wchar_t* culprit, size_t capacity)
{
    culprit[0] = 0;
    wchar_t path[removal_root_capacity];
    unsigned char user[SECURITY_MAX_SID_SIZE];
    if (!removal_root(directory, path, removal_root_capacity)) {
        return directories_above::private_to_user;  // a root or relative path has nothing above to judge
    }
    if (!read_token(user, sizeof user, nullptr)) {
        return directories_above::unreadable;
    }
    size_t root = volume_root_length(path);
    size_t end = wcslen(path);
    bool missing_below = false;
    while (end > root) {
        // Up one level; the root keeps its separator ("\\?\C:\").
        while (end > root && path[end - 1] != L'\\') {
            --end;
        }
        if (end > root) {
            --end;
        }
        path[end] = 0;
        HANDLE handle = open_for_security(path, 0);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && end > root) {
                missing_below = true;  // made by the user later, as the nearest existing one passes on
                continue;
            }
            SetLastError(error);
            return directories_above::unreadable;
        }
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD read = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     &owner, nullptr, &dacl, nullptr, &descriptor);
        CloseHandle(handle);
        if (read != ERROR_SUCCESS) {
            SetLastError(read);
            return directories_above::unreadable;
        }
        bool others = others_control_directory(owner, dacl, user, end == root, false) ||
                      (missing_below && others_control_directory(owner, dacl, user, false, true));
        LocalFree(descriptor);
        if (others) {
            copy_shown(culprit, path, capacity);
            return directories_above::controlled_by_others;
        }
        // The nearest existing directory only: the run's directory, held
        // open from its creation, cannot be renamed away (nor, on NTFS,
        // any directory above it), so what could move it is only the
        // directory it is made in, in the moment before it is held.
        return directories_above::private_to_user;
    }
    return directories_above::private_to_user;
}
