#include "launcher/private_directory.h"

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
