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

// The entries of a list, byte for byte ("" for no list).
std::string ace_bytes(PACL acl)
{
    std::string bytes;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (GetAce(acl, i, reinterpret_cast<void**>(&ace))) {
            bytes.append(reinterpret_cast<const char*>(ace), ace->AceSize);
        }
    }
    return bytes;
}

// The same access list for both kinds of token; an elevated one's also
// carries the label that keeps lower integrity levels (the same user's
// ordinary programs) from writing anything below. Wine has no integrity
// levels (it labels no file and reads none back), so the label is checked
// here, on the descriptor, and by the judgement of read-back labels below.
TEST(private_directory, descriptor_grants_the_user_and_the_system_only)
{
    struct {
        const char* label;
        bool elevated;
        const wchar_t* sddl_label;  // the system list as SDDL, "" for none
    } cases[] = {
        {"ordinary", false, L""},
        {"elevated", true, L"S:(ML;OICI;NW;;;HI)"},
    };
    for (const auto& c : cases) {
        private_descriptor built;
        ASSERT_TRUE(build_private_descriptor_as(&built, c.elevated)) << c.label;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL acl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(&built.descriptor, &present, &acl, &defaulted));
        EXPECT_TRUE(present) << c.label;
        expect_private(&built.descriptor, acl);

        // Compared entry for entry with the same list parsed from SDDL
        // (Wine cannot write labels as SDDL, but reads them).
        BOOL label_present = FALSE;
        PACL label = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorSacl(&built.descriptor, &label_present, &label, &defaulted));
        PSECURITY_DESCRIPTOR expected = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl_label, SDDL_REVISION_1, &expected,
                                                                         nullptr));
        BOOL expected_present = FALSE;
        PACL expected_label = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorSacl(expected, &expected_present, &expected_label, &defaulted));
        EXPECT_EQ(ace_bytes(label_present ? label : nullptr), ace_bytes(expected_present ? expected_label : nullptr))
            << c.label;
        LocalFree(expected);
    }

    // Without a flag, the token decides.
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_ELEVATION elevation = {};
    DWORD needed = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &needed));
    CloseHandle(token);
    private_descriptor own;
    ASSERT_TRUE(build_private_descriptor(&own));
    EXPECT_EQ(own.elevated, elevation.TokenIsElevated != 0);
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

    // What either kind of run makes is a run's directory for the sweep and
    // the remover: this token's kind (elevated under Wine) and the other.
    EXPECT_TRUE(is_private_directory(path.c_str()));
    private_descriptor other;
    ASSERT_TRUE(build_private_descriptor(&other));
    ASSERT_TRUE(build_private_descriptor_as(&other, !other.elevated));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &other.descriptor, FALSE};
    std::wstring other_path = root + L"\\other_kind";
    ASSERT_TRUE(CreateDirectoryW(other_path.c_str(), &attributes));
    EXPECT_TRUE(is_private_directory(other_path.c_str()));
    remove_tree(root);
}

// What the sweep and the remover take for a run's directory, judged on
// descriptors, since Wine keeps no label (nor any owner but the Unix
// one's): both kinds of run's, and nothing with another owner or label.
TEST(private_directory, both_kinds_of_run_directory_are_recognised)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    alignas(TOKEN_OWNER) unsigned char token_owner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD needed = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenOwner, token_owner, sizeof token_owner, &needed));
    CloseHandle(token);
    PSECURITY_DESCRIPTOR medium = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;OICI;NW;;;ME)", SDDL_REVISION_1, &medium,
                                                                     nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL medium_label = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(medium, &present, &medium_label, &defaulted));

    enum owned_by { the_user, the_tokens_default_owner, the_system };
    struct {
        const char* label;
        bool elevated;
        owned_by owner;
        bool other_label;
        bool recognised;
    } cases[] = {
        {"ordinary", false, the_user, false, true},
        {"elevated", true, the_tokens_default_owner, false, true},
        {"elevated_owned_by_the_user", true, the_user, false, true},
        {"another_owner", false, the_system, false, false},
        {"another_label", true, the_tokens_default_owner, true, false},
    };
    for (const auto& c : cases) {
        private_descriptor built;
        ASSERT_TRUE(build_private_descriptor_as(&built, c.elevated));
        PSID owner = c.owner == the_user     ? static_cast<PSID>(built.user_sid)
                     : c.owner == the_system ? static_cast<PSID>(built.system_sid)
                                             : reinterpret_cast<TOKEN_OWNER*>(token_owner)->Owner;
        ASSERT_TRUE(SetSecurityDescriptorOwner(&built.descriptor, owner, FALSE));
        if (c.other_label) {
            ASSERT_TRUE(SetSecurityDescriptorSacl(&built.descriptor, TRUE, medium_label, FALSE));
        }
        EXPECT_EQ(descriptor_is_private(&built.descriptor), c.recognised) << c.label;
    }
    LocalFree(medium);
}

// A label read back from an elevated run's directory: the one made, or
// none from a file system that keeps no descriptor as given (no protected
// flag either): Wine's, which reads back neither, so its starts go on.
TEST(private_directory, read_back_label_is_the_one_made)
{
    struct {
        const char* label;
        const wchar_t* sddl;
        bool holds;
    } cases[] = {
        {"as_made", L"D:P(A;OICI;FA;;;SY)S:(ML;OICI;NW;;;HI)", true},
        {"beside_an_audit_entry", L"D:PS:(AU;SA;FA;;;WD)(ML;OICI;NW;;;HI)", true},
        {"none_where_the_file_system_keeps_descriptors", L"D:P(A;OICI;FA;;;SY)", false},
        {"none_where_it_keeps_none", L"D:(A;OICI;FA;;;SY)", true},
        {"medium", L"D:PS:(ML;OICI;NW;;;ME)", false},
        {"system_level", L"D:PS:(ML;OICI;NW;;;SI)", false},
        {"not_inherited", L"D:PS:(ML;;NW;;;HI)", false},
        {"not_inherited_by_files", L"D:PS:(ML;CI;NW;;;HI)", false},
        {"read_up_only", L"D:PS:(ML;OICI;NR;;;HI)", false},
        {"twice", L"D:PS:(ML;OICI;NW;;;HI)(ML;OICI;NW;;;ME)", false},
    };
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor,
                                                                         nullptr))
            << c.label;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL label = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorSacl(descriptor, &present, &label, &defaulted));
        EXPECT_EQ(label_read_back_holds(control, present ? label : nullptr), c.holds) << c.label;
        LocalFree(descriptor);
    }
}

// Who could move a run's directory away through a directory above it, so
// that the child loads another main library from the same path: its owner
// unless trusted, and others with rights to delete what it holds, to change
// its list or owner, or to rename it. Writing into it is harmless. The
// user here is made up; Wine turns access lists into Unix modes and keeps
// neither owners nor inheritance of its own, so these lists exist only here
// (what Wine reports is among them).
TEST(private_directory, others_control_a_directory_above)
{
    const std::wstring user = L"S-1-5-21-1-2-3-1001";
    const std::wstring stranger = L"S-1-5-21-1-2-3-1002";
    const std::wstring installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    struct {
        const char* label;
        std::wstring sddl;
        bool volume_root;
        bool as_new_subdirectory;
        bool others;
    } cases[] = {
        {"the_users_temporary_directory",
         L"O:" + user + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + L")", false, false, false},
        {"the_systems_read_by_users", L"O:" + installer + L"D:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", false, false,
         false},
        {"owned_by_the_system", L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)", false, false, false},
        {"owned_by_the_administrators", L"O:BAD:(A;OICI;FA;;;BA)", false, false, false},
        {"owned_by_another_user", L"O:" + stranger + L"D:(A;OICI;FA;;;" + user + L")", false, false, true},
        {"owned_by_nobody", L"D:(A;OICI;FA;;;" + user + L")", false, false, true},
        {"others_add_files_and_folders", L"O:" + user + L"D:(A;OICI;0x1201bf;;;WD)", false, false, false},
        {"others_delete_what_it_holds", L"O:" + user + L"D:(A;;0x40;;;" + stranger + L")", false, false, true},
        {"others_change_the_list", L"O:" + user + L"D:(A;;0x40000;;;BU)", false, false, true},
        {"others_change_the_owner", L"O:" + user + L"D:(A;;0x80000;;;BU)", false, false, true},
        {"others_have_generic_all", L"O:" + user + L"D:(A;;GA;;;BU)", false, false, true},
        {"others_rename_it", L"O:" + user + L"D:(A;OICI;0x1301bf;;;AU)", false, false, true},
        {"others_rename_a_volume_root", L"O:" + user + L"D:(A;OICI;0x1301bf;;;AU)", true, false, false},
        {"a_denying_entry_grants_nothing", L"O:" + user + L"D:(D;;0x40;;;WD)(A;OICI;FA;;;" + user + L")", false,
         false, false},
        {"no_list_lets_everyone_in", L"O:" + user, false, false, true},
        // A drive's root: users may only make folders in it, but what they
        // make there everyone may rename.
        {"a_drives_root", L"O:" + installer + L"D:(A;OICI;FA;;;SY)(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)", true,
         false, false},
        {"made_in_a_drives_root", L"O:" + installer + L"D:(A;OICI;FA;;;SY)(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)",
         false, true, true},
        {"made_where_the_creator_is_given_all", L"O:SYD:(A;OICI;FA;;;SY)(A;OICIIO;FA;;;CO)(A;;0x4;;;BU)", false,
         true, false},
        {"made_where_files_alone_inherit", L"O:SYD:(A;OI;FA;;;WD)", false, true, false},
        {"made_in_another_users_directory", L"O:" + stranger + L"D:(A;OICI;FA;;;" + user + L")", false, true, false},
        {"made_where_there_is_no_list", L"O:" + user, false, true, false},
        // As Wine reports a directory of mode 755 and 1777 of the user's,
        // and one of another Unix user's.
        {"wine_user_755", L"O:" + user + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + user + L")(A;OICI;0x1200a9;;;WD)",
         false, false, false},
        {"wine_user_1777", L"O:" + user + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + user + L")(A;OICI;0x1301ff;;;WD)",
         false, false, true},
        {"wine_other_unix_user", L"O:AND:(A;OICI;FA;;;SY)(A;OICI;FA;;;AN)(A;OICI;0x1200a9;;;WD)", false, false,
         true},
    };
    PSID user_sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(user.c_str(), &user_sid));
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1,
                                                                         &descriptor, nullptr))
            << c.label;
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
        BOOL present = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
        EXPECT_EQ(others_control_directory(owner, present ? dacl : nullptr, user_sid, c.volume_root,
                                           c.as_new_subdirectory),
                  c.others)
            << c.label;
        LocalFree(descriptor);
    }
    LocalFree(user_sid);
}

}  // namespace
