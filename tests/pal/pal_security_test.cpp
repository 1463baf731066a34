// SIDs, ACLs and the file DACL over POSIX ACLs, read back with libacl.
#include "fixtures/PalTest.h"
#include "security/secutil.h"

#include <acl/libacl.h>
#include <grp.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

using namespace paltest;
using vktest::Bytes;
using vktest::U;

constexpr BYTE kAllow = ACCESS_ALLOWED_ACE_TYPE, kDeny = ACCESS_DENIED_ACE_TYPE;

Bytes SidBytes(PSID sid) {
    auto* p = static_cast<const uint8_t*>(sid);
    return Bytes(p, p + 8 + 4 * p[1]);
}

struct SidHolder {
    explicit SidHolder(const std::string& text) {
        EXPECT_TRUE(ConvertStringSidToSidW(U(text).c_str(), &sid)) << text;
    }
    ~SidHolder() { LocalFree(sid); }
    Bytes bytes() const { return sid ? SidBytes(sid) : Bytes(); }
    PSID sid = nullptr;
};

struct AclHolder {
    ~AclHolder() { LocalFree(acl); }
    PACL acl = nullptr;
};

struct Ace {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    Bytes sid;
    bool operator==(const Ace&) const = default;
};

std::vector<Ace> AcesOf(PACL acl) {
    std::vector<Ace> out;
    ACL_SIZE_INFORMATION info = {};
    EXPECT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* p = nullptr;
        EXPECT_TRUE(GetAce(acl, i, &p));
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(p);
        out.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask, SidBytes(&ace->SidStart)});
        EXPECT_EQ(ace->Header.AceSize, 8 + out.back().sid.size());
    }
    return out;
}

EXPLICIT_ACCESS_W Entry(PSID sid, ACCESS_MODE mode, DWORD rights, DWORD inherit = NO_INHERITANCE) {
    EXPLICIT_ACCESS_W e = {};
    e.grfAccessPermissions = rights;
    e.grfAccessMode = mode;
    e.grfInheritance = inherit;
    e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    e.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    e.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return e;
}

TEST(PalSecurity, StringSidsInTheBinaryLayout) {
    for (const auto& r : paltest::Rows("security", "sid"))
        EXPECT_EQ(SidHolder(r[0]).bytes(), paltest::Hex(r[1])) << r[0];
    for (const auto& r : paltest::Rows("security", "bad")) {
        PSID sid = reinterpret_cast<PSID>(0x1);
        SetLastError(kSentinel);
        EXPECT_EQ(ErrOf(ConvertStringSidToSidW(U(r[0]).c_str(), &sid)), DWORD(ERROR_INVALID_SID)) << r[0];
        EXPECT_EQ(sid, nullptr);
    }
    SidHolder users("S-1-5-32-545"), bu("BU"), admins("S-1-5-32-544");
    EXPECT_TRUE(EqualSid(users.sid, bu.sid));
    EXPECT_FALSE(EqualSid(users.sid, admins.sid));
    uint8_t broken[8] = {9, 0, 0, 0, 0, 0, 0, 5};
    EXPECT_EQ(ErrOf(EqualSid(users.sid, broken)), DWORD(ERROR_INVALID_SID));
}

TEST(PalSecurity, HostileAclsAreRefused) {
    for (const auto& r : paltest::Rows("security", "acl")) {
        SCOPED_TRACE(r[0]);
        alignas(4) uint8_t buf[64] = {};
        const Bytes bytes = paltest::Hex(r[1]);
        std::copy(bytes.begin(), bytes.end(), buf);
        PACL acl = reinterpret_cast<PACL>(buf);
        ACL_SIZE_INFORMATION info;
        void* ace;
        EXPECT_EQ(ErrOf(GetAclInformation(acl, &info, sizeof info, AclSizeInformation)), DWORD(ERROR_INVALID_ACL));
        EXPECT_FALSE(GetAce(acl, 0, &ace));
        EXPECT_FALSE(DeleteAce(acl, 0));
        PACL out = nullptr;
        EXPECT_EQ(SetEntriesInAclW(0, nullptr, acl, &out), DWORD(ERROR_INVALID_ACL));
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(u"C:\\nothing"), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, acl, nullptr),
                  DWORD(ERROR_INVALID_ACL));
    }
}

TEST(PalSecurity, SetEntriesInAclModes) {
    SidHolder users("S-1-5-32-545"), everyone("S-1-1-0");
    const Bytes u = users.bytes(), w = everyone.bytes();
    AclHolder base;
    EXPLICIT_ACCESS_W start[] = {Entry(everyone.sid, GRANT_ACCESS, GENERIC_READ),
                                 Entry(users.sid, GRANT_ACCESS, GENERIC_READ)};
    ASSERT_EQ(SetEntriesInAclW(2, start, nullptr, &base.acl), DWORD(ERROR_SUCCESS));
    ASSERT_EQ(AcesOf(base.acl),
              (std::vector<Ace>{{kAllow, 0, GENERIC_READ, w}, {kAllow, 0, GENERIC_READ, u}}));

    struct Case {
        const char* what;
        EXPLICIT_ACCESS_W entry;
        std::vector<Ace> want;
    } cases[] = {
        {"grant merges into the trustee's entry",
         Entry(users.sid, GRANT_ACCESS, GENERIC_WRITE),
         {{kAllow, 0, GENERIC_READ, w}, {kAllow, 0, GENERIC_READ | GENERIC_WRITE, u}}},
        {"grant with inheritance is an entry of its own",
         Entry(users.sid, GRANT_ACCESS, GENERIC_WRITE, SUB_CONTAINERS_AND_OBJECTS_INHERIT),
         {{kAllow, 0, GENERIC_READ, w}, {kAllow, 0, GENERIC_READ, u}, {kAllow, 3, GENERIC_WRITE, u}}},
        {"deny goes first",
         Entry(users.sid, DENY_ACCESS, GENERIC_WRITE),
         {{kDeny, 0, GENERIC_WRITE, u}, {kAllow, 0, GENERIC_READ, w}, {kAllow, 0, GENERIC_READ, u}}},
    };
    for (auto& c : cases) {
        AclHolder out;
        ASSERT_EQ(SetEntriesInAclW(1, &c.entry, base.acl, &out.acl), DWORD(ERROR_SUCCESS));
        EXPECT_EQ(AcesOf(out.acl), c.want) << c.what;
    }
    AclHolder out;
    EXPECT_EQ(SetEntriesInAclW(1, nullptr, nullptr, &out.acl), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(PalSecurity, AclSizesAndDeleteAce) {
    SidHolder users("S-1-5-32-545"), everyone("S-1-1-0");
    EXPLICIT_ACCESS_W e[] = {Entry(users.sid, GRANT_ACCESS, GENERIC_WRITE),
                             Entry(everyone.sid, GRANT_ACCESS, GENERIC_READ)};
    AclHolder acl;
    ASSERT_EQ(SetEntriesInAclW(2, e, nullptr, &acl.acl), DWORD(ERROR_SUCCESS));
    // Header 8; ACE 8 + 16 for S-1-5-32-545 and 8 + 12 for S-1-1-0; what DeleteAce frees stays allocated.
    ACL_SIZE_INFORMATION info = {kSentinel, kSentinel, kSentinel};
    ASSERT_TRUE(GetAclInformation(acl.acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(
        std::vector<DWORD>({acl.acl->AclRevision, info.AceCount, info.AclBytesInUse, info.AclBytesFree}),
        std::vector<DWORD>({ACL_REVISION, 2, 52, 0}));
    void* ace = nullptr;
    EXPECT_EQ(ErrOf(GetAce(acl.acl, 2, &ace)), DWORD(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(DeleteAce(acl.acl, 0));
    ASSERT_TRUE(GetAclInformation(acl.acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(std::vector<DWORD>({info.AceCount, info.AclBytesInUse, info.AclBytesFree}),
              std::vector<DWORD>({1, 28, 24}));
    EXPECT_EQ(AcesOf(acl.acl), (std::vector<Ace>{{kAllow, 0, GENERIC_READ, everyone.bytes()}}));
}

// ---- file DACLs over POSIX ACLs ------------------------------------------------

class FileAclTest : public vktest::RootTest {
  protected:
    void SetUp() override {
        if (!getgrnam("users")) GTEST_SKIP() << "the host has no \"users\" group";
        // These cases let the host's "users" group play the vault group.
        pal::security::SetUsersGroupNameForTest("users");
        vktest::WriteFileBytes(path, {1});
        acl_t probe = acl_from_text("u::rw-,g::r--,g:users:r--,m::r--,o::---");
        int rc = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, probe);
        acl_free(probe);
        if (rc != 0) GTEST_SKIP() << "no POSIX ACLs under " << root.path() << ": " << strerror(errno);
        acl_t minimal = acl_from_mode(0640);
        acl_set_file(path.c_str(), ACL_TYPE_ACCESS, minimal);
        acl_free(minimal);
    }
    void TearDown() override { pal::security::SetUsersGroupNameForTest(nullptr); }

    // The file's ACL in getfacl's short form, e.g. "u::rw-,g::r--,o::---".
    std::string AclText() {
        acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
        char* text = acl ? acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE) : nullptr;
        std::string s = text ? text : "<none>";
        acl_free(text);
        acl_free(acl);
        return s;
    }

    // Merges entries into the file's DACL.
    DWORD Apply(std::vector<EXPLICIT_ACCESS_W> entries) {
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        AclHolder updated;
        DWORD err = GetNamedSecurityInfoW(kWinPath, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, &dacl, nullptr, &sd);
        if (err == ERROR_SUCCESS)
            err = SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), dacl, &updated.acl);
        if (err == ERROR_SUCCESS)
            err = SetNamedSecurityInfoW(const_cast<LPWSTR>(kWinPath), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION, nullptr, nullptr, updated.acl, nullptr);
        LocalFree(sd);
        return err;
    }

    static constexpr const WCHAR* kWinPath = u"C:\\file.bin";
    const std::string path = root.host("file.bin");
};

TEST_F(FileAclTest, DaclReadsThePosixAcl) {
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(kWinPath, SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                        DACL_SECURITY_INFORMATION,
                                    &owner, &group, &dacl, nullptr, &sd),
              DWORD(ERROR_SUCCESS));
    const Bytes ownerSid = SidHolder("S-1-22-1-" + std::to_string(getuid())).bytes();
    const Bytes groupSid =
        SidHolder(getgid() == getgrnam("users")->gr_gid ? std::string("S-1-5-32-545")
                                                        : "S-1-22-2-" + std::to_string(getgid()))
            .bytes();
    EXPECT_EQ(SidBytes(owner), ownerSid);
    EXPECT_EQ(SidBytes(group), groupSid);
    EXPECT_EQ(AcesOf(dacl), (std::vector<Ace>{{kAllow, 0, GENERIC_READ | GENERIC_WRITE, ownerSid},
                                              {kAllow, 0, GENERIC_READ, groupSid},
                                              {kAllow, 0, 0, SidHolder("S-1-1-0").bytes()}}));
    LocalFree(sd);

    // A named entry under a mask reads as its effective rights.
    acl_t acl = acl_from_text("u::rwx,g::rwx,g:users:rw-,m::r--,o::r--");
    ASSERT_EQ(acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl), 0);
    acl_free(acl);
    ASSERT_EQ(GetNamedSecurityInfoW(kWinPath, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &sd),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(AcesOf(dacl).at(2), (Ace{kAllow, 0, GENERIC_READ, SidHolder("S-1-5-32-545").bytes()}));
    LocalFree(sd);
}

TEST_F(FileAclTest, UsersWriteGrantGivesGroupUsersWriteOnly) {
    SidHolder users("S-1-5-32-545");
    const auto grant = Entry(users.sid, GRANT_ACCESS, GENERIC_WRITE, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    ASSERT_EQ(Apply({grant}), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(AclText(), "u::rw-,g::r--,g:users:-w-,m::rw-,o::---");
    // Done again (every save of a file does it), nothing accumulates.
    ASSERT_EQ(Apply({grant}), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(AclText(), "u::rw-,g::r--,g:users:-w-,m::rw-,o::---");

    // A deny takes the rights from the mode bits; without named entries there is no mask.
    SidHolder owner("S-1-22-1-" + std::to_string(getuid())), everyone("S-1-1-0");
    ASSERT_EQ(Apply({Entry(users.sid, REVOKE_ACCESS, 0), Entry(owner.sid, DENY_ACCESS, GENERIC_WRITE),
                     Entry(everyone.sid, GRANT_ACCESS, GENERIC_READ | GENERIC_EXECUTE)}),
              DWORD(ERROR_SUCCESS));
    EXPECT_EQ(AclText(), "u::r--,g::r--,o::r-x");

    // No "users" group on the host: the Users SID maps to nobody.
    pal::security::SetUsersGroupNameForTest("vk-no-such-group");
    EXPECT_EQ(Apply({grant}), DWORD(ERROR_NONE_MAPPED));
}

TEST_F(FileAclTest, FailuresAreWin32Codes) {
    SidHolder system("SY"); // no host principal
    EXPECT_EQ(Apply({Entry(system.sid, GRANT_ACCESS, GENERIC_ALL)}), DWORD(ERROR_NONE_MAPPED));
    PACL dacl = reinterpret_cast<PACL>(0x1);
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1);
    EXPECT_EQ(GetNamedSecurityInfoW(u"C:\\missing.bin", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &sd),
              DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(dacl, nullptr);
    EXPECT_EQ(sd, nullptr);
    EXPECT_EQ(GetNamedSecurityInfoW(kWinPath, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, nullptr),
              DWORD(ERROR_INVALID_PARAMETER));
}

} // namespace
