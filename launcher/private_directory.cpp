#include "launcher/private_directory.h"

#include <aclapi.h>

bool build_private_descriptor(private_descriptor* out)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    // Read through a TOKEN_USER pointer below, so aligned for one.
    alignas(TOKEN_USER) unsigned char user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD needed = 0;
    BOOL have_user = GetTokenInformation(token, TokenUser, user_buffer, sizeof user_buffer, &needed);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!have_user) {
        SetLastError(error);
        return false;
    }
    PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid;
    if (!CopySid(sizeof out->user_sid, out->user_sid, user)) {
        return false;
    }
    DWORD system_size = sizeof out->system_sid;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, out->system_sid, &system_size)) {
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
    return InitializeSecurityDescriptor(&out->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&out->descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&out->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool create_private_directory(const wchar_t* path)
{
    private_descriptor descriptor;
    if (!build_private_descriptor(&descriptor)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor.descriptor, FALSE};
    // Unlike every other directory of the walk, an existing one is refused.
    return CreateDirectoryW(path, &attributes) != 0;
}

namespace {

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

}  // namespace

bool is_private_directory(const wchar_t* path)
{
    private_descriptor own;
    if (!build_private_descriptor(&own)) {
        return false;
    }
    HANDLE directory = CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    PSID owner = nullptr;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool usable = GetFileInformationByHandle(directory, &information) &&
                  (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                      FILE_ATTRIBUTE_DIRECTORY &&
                  GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  &owner, nullptr, &acl, nullptr, &descriptor) == ERROR_SUCCESS;
    CloseHandle(directory);
    // The owner is the token's default owner, which for an elevated
    // administrator is the administrators' group rather than the user.
    bool mine = usable && owner != nullptr && (EqualSid(owner, own.user_sid) || token_owner_is(owner)) &&
                acl_is_private(acl, own);
    if (descriptor != nullptr) {
        LocalFree(descriptor);
    }
    return mine;
}
