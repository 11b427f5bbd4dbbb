#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "launcher/private_directory.h"
#include "support/files.h"

namespace {

void expect_private(PSECURITY_DESCRIPTOR descriptor, PACL acl, bool check_protected = true)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    if (check_protected) {
        EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the temporary directory";
    }
    ASSERT_NE(acl, nullptr);
    ASSERT_EQ(acl->AceCount, 2);

    unsigned char system_sid[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system_sid;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &system_size));
    private_descriptor own;
    ASSERT_TRUE(build_private_descriptor(&own));

    bool user_seen = false;
    bool system_seen = false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        // Exactly: inherited by every file and directory below, and in force
        // on the directory itself (not inherit-only), at every depth.
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << "entry " << i;
        EXPECT_EQ(ace->Mask & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
        PSID sid = &ace->SidStart;
        user_seen |= EqualSid(sid, own.user_sid) != 0;
        system_seen |= EqualSid(sid, system_sid) != 0;
    }
    EXPECT_TRUE(user_seen);
    EXPECT_TRUE(system_seen);
}

TEST(private_directory, descriptor_grants_the_user_and_the_system_only)
{
    private_descriptor built;
    ASSERT_TRUE(build_private_descriptor(&built));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&built.descriptor, &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    expect_private(&built.descriptor, acl);
}

TEST(private_directory, created_once_and_refused_when_it_exists)
{
    std::wstring root = make_scratch_directory(L"private");
    std::wstring path = root + L"\\target";
    ASSERT_TRUE(create_private_directory(path.c_str()));
    EXPECT_FALSE(create_private_directory(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    // Read back from the file system. Wine keeps the access list that a
    // directory was created with, but not its protected flag (nor an
    // entry's no-propagate flag), so the built descriptor (above) is where
    // those are checked under Wine; Windows keeps them all.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL acl = nullptr;
    DWORD read = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, &acl, nullptr, &descriptor);
    if (read == ERROR_SUCCESS && acl != nullptr) {
        expect_private(descriptor, acl, false);
    } else {
        GTEST_LOG_(INFO) << "this file system keeps no access list (Wine): checked the built descriptor only";
    }
    if (descriptor != nullptr) {
        LocalFree(descriptor);
    }
    remove_tree(root);
}

}  // namespace
