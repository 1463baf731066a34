// SIDs, ACLs and the file DACL over POSIX ACLs, checked with libacl.
#include "VkTest.h"
#include "security/secutil.h"

#include <acl/libacl.h>
#include <grp.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

namespace {

using vktest::Bytes;
using vktest::U;

constexpr DWORD kSentinel = 0xdeadbeef;

Bytes SidBytes(PSID sid) {
    auto* p = static_cast<const uint8_t*>(sid);
    return Bytes(p, p + 8 + 4 * p[1]);
}

struct SidHolder {
    PSID sid = nullptr;
    ~SidHolder() { LocalFree(sid); }
};

Bytes StringSid(const char* text) {
    SidHolder h;
    EXPECT_TRUE(ConvertStringSidToSidW(U(text).c_str(), &h.sid)) << text;
    return h.sid ? SidBytes(h.sid) : Bytes();
}

TEST(PalSecurity, StringSidsInTheBinaryLayout) {
    struct Case {
        const char* text;
        Bytes bytes;
    } cases[] = {
        {"S-1-5-32-545", {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 0x02, 0, 0}},
        {"S-1-1-0", {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}},
        {"S-1-22-1-1000", {1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0, 0xE8, 0x03, 0, 0}},
        {"S-1-5-4294967295", {1, 1, 0, 0, 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"S-1-0x123456789ABC-7", {1, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 7, 0, 0, 0}},
        {"S-1-5", {1, 0, 0, 0, 0, 0, 0, 5}},
        {"BU", {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 0x02, 0, 0}},
        {"WD", {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) EXPECT_EQ(StringSid(c.text), c.bytes) << c.text;

    const char* bad[] = {"",          "S-1",          "S-2-5-32",   "S-1-5-",          "S-1-5-x",
                         "S-1-5-4294967296", "S-1-5-32-545 ", "S-1-281474976710656", "X-1-5",
                         "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"};
    for (const char* b : bad) {
        PSID sid = reinterpret_cast<PSID>(0x1);
        SetLastError(kSentinel);
        EXPECT_FALSE(ConvertStringSidToSidW(U(b).c_str(), &sid)) << b;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID)) << b;
        EXPECT_EQ(sid, nullptr);
    }
    PSID sid = nullptr;
    SetLastError(kSentinel);
    EXPECT_FALSE(ConvertStringSidToSidW(nullptr, &sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Fifteen sub-authorities is the most a SID holds.
    EXPECT_EQ(StringSid("S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15").size(), 8u + 60u);
}

TEST(PalSecurity, EqualSid) {
    SidHolder a, b, c;
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-5-32-545", &a.sid));
    ASSERT_TRUE(ConvertStringSidToSidW(u"BU", &b.sid));
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-5-32-544", &c.sid));
    EXPECT_TRUE(EqualSid(a.sid, b.sid));
    SetLastError(kSentinel);
    EXPECT_FALSE(EqualSid(a.sid, c.sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    uint8_t broken[8] = {9, 0, 0, 0, 0, 0, 0, 5};
    EXPECT_FALSE(EqualSid(a.sid, broken));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}

// ---- ACLs in memory -----------------------------------------------------------

struct Ace {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    Bytes sid;
    bool operator==(const Ace& o) const {
        return type == o.type && flags == o.flags && mask == o.mask && sid == o.sid;
    }
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

struct AclHolder {
    PACL acl = nullptr;
    ~AclHolder() { LocalFree(acl); }
};

TEST(PalSecurity, SetEntriesInAclModes) {
    SidHolder users, everyone;
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-5-32-545", &users.sid));
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-1-0", &everyone.sid));
    const Bytes u = SidBytes(users.sid), w = SidBytes(everyone.sid);
    const BYTE allow = ACCESS_ALLOWED_ACE_TYPE, deny = ACCESS_DENIED_ACE_TYPE;

    AclHolder base;
    EXPLICIT_ACCESS_W start[] = {Entry(everyone.sid, GRANT_ACCESS, GENERIC_READ),
                                 Entry(users.sid, GRANT_ACCESS, GENERIC_READ)};
    ASSERT_EQ(SetEntriesInAclW(2, start, nullptr, &base.acl), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(AcesOf(base.acl), (std::vector<Ace>{{allow, 0, GENERIC_READ, w}, {allow, 0, GENERIC_READ, u}}));

    struct Case {
        const char* what;
        EXPLICIT_ACCESS_W entry;
        std::vector<Ace> want;
    } cases[] = {
        {"grant merges into the trustee's entry", Entry(users.sid, GRANT_ACCESS, GENERIC_WRITE),
         {{allow, 0, GENERIC_READ, w}, {allow, 0, GENERIC_READ | GENERIC_WRITE, u}}},
        {"grant with inheritance is an entry of its own",
         Entry(users.sid, GRANT_ACCESS, GENERIC_WRITE, SUB_CONTAINERS_AND_OBJECTS_INHERIT),
         {{allow, 0, GENERIC_READ, w}, {allow, 0, GENERIC_READ, u}, {allow, 3, GENERIC_WRITE, u}}},
        {"set replaces the trustee's entries", Entry(users.sid, SET_ACCESS, GENERIC_EXECUTE),
         {{allow, 0, GENERIC_READ, w}, {allow, 0, GENERIC_EXECUTE, u}}},
        {"deny goes first", Entry(users.sid, DENY_ACCESS, GENERIC_WRITE),
         {{deny, 0, GENERIC_WRITE, u}, {allow, 0, GENERIC_READ, w}, {allow, 0, GENERIC_READ, u}}},
        {"revoke removes allow entries", Entry(users.sid, REVOKE_ACCESS, 0), {{allow, 0, GENERIC_READ, w}}},
        {"not used changes nothing", Entry(users.sid, NOT_USED_ACCESS, GENERIC_ALL),
         {{allow, 0, GENERIC_READ, w}, {allow, 0, GENERIC_READ, u}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        AclHolder out;
        ASSERT_EQ(SetEntriesInAclW(1, &c.entry, base.acl, &out.acl), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(AcesOf(out.acl), c.want);
    }
    // Grant lifts the same rights from a deny entry of the trustee.
    AclHolder denied, granted;
    EXPLICIT_ACCESS_W d = Entry(users.sid, DENY_ACCESS, GENERIC_WRITE | GENERIC_READ);
    ASSERT_EQ(SetEntriesInAclW(1, &d, nullptr, &denied.acl), static_cast<DWORD>(ERROR_SUCCESS));
    EXPLICIT_ACCESS_W g = Entry(users.sid, GRANT_ACCESS, GENERIC_WRITE);
    ASSERT_EQ(SetEntriesInAclW(1, &g, denied.acl, &granted.acl), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(AcesOf(granted.acl), (std::vector<Ace>{{deny, 0, GENERIC_READ, u}, {allow, 0, GENERIC_WRITE, u}}));

    // Bad entries and arguments.
    AclHolder out;
    EXPLICIT_ACCESS_W named = Entry(users.sid, GRANT_ACCESS, GENERIC_READ);
    named.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    EXPECT_EQ(SetEntriesInAclW(1, &named, nullptr, &out.acl), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPLICIT_ACCESS_W audit = Entry(users.sid, SET_AUDIT_SUCCESS, GENERIC_READ);
    EXPECT_EQ(SetEntriesInAclW(1, &audit, nullptr, &out.acl), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetEntriesInAclW(1, nullptr, nullptr, &out.acl), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetEntriesInAclW(0, nullptr, nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(SetEntriesInAclW(0, nullptr, nullptr, &out.acl), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(AcesOf(out.acl).empty());
}

TEST(PalSecurity, AclInformationGetAndDeleteAce) {
    SidHolder users, everyone;
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-5-32-545", &users.sid));
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-1-0", &everyone.sid));
    EXPLICIT_ACCESS_W e[] = {Entry(users.sid, GRANT_ACCESS, GENERIC_WRITE),
                             Entry(everyone.sid, GRANT_ACCESS, GENERIC_READ)};
    AclHolder acl;
    ASSERT_EQ(SetEntriesInAclW(2, e, nullptr, &acl.acl), static_cast<DWORD>(ERROR_SUCCESS));
    // Header 8; ACE 8 + 16 for S-1-5-32-545 and 8 + 12 for S-1-1-0.
    ACL_SIZE_INFORMATION info = {kSentinel, kSentinel, kSentinel};
    ASSERT_TRUE(GetAclInformation(acl.acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AceCount, 2u);
    EXPECT_EQ(info.AclBytesInUse, 52u);
    EXPECT_EQ(info.AclBytesFree, 0u);
    EXPECT_EQ(acl.acl->AclRevision, ACL_REVISION);
    DWORD revision = 0;
    EXPECT_TRUE(GetAclInformation(acl.acl, &revision, sizeof revision, AclRevisionInformation));
    EXPECT_EQ(revision, static_cast<DWORD>(ACL_REVISION));
    SetLastError(kSentinel);
    EXPECT_FALSE(GetAclInformation(acl.acl, &info, sizeof info - 1, AclSizeInformation));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    void* ace = nullptr;
    EXPECT_FALSE(GetAce(acl.acl, 2, &ace));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(DeleteAce(acl.acl, 0));
    ASSERT_TRUE(GetAclInformation(acl.acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AceCount, 1u);
    EXPECT_EQ(info.AclBytesInUse, 28u);
    EXPECT_EQ(info.AclBytesFree, 24u);
    ASSERT_TRUE(GetAce(acl.acl, 0, &ace));
    EXPECT_TRUE(EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, everyone.sid));
    EXPECT_FALSE(DeleteAce(acl.acl, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(PalSecurity, HostileAclsAreRefused) {
    auto make = [](std::initializer_list<uint8_t> bytes) {
        alignas(4) static uint8_t buf[64];
        memset(buf, 0, sizeof buf);
        std::copy(bytes.begin(), bytes.end(), buf);
        return reinterpret_cast<PACL>(buf);
    };
    struct Case {
        const char* what;
        std::initializer_list<uint8_t> bytes;
    } cases[] = {
        {"revision 9", {9, 0, 8, 0, 0, 0, 0, 0}},
        {"size below the header", {2, 0, 4, 0, 0, 0, 0, 0}},
        {"count beyond the size", {2, 0, 8, 0, 1, 0, 0, 0}},
        {"ACE size zero", {2, 0, 24, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
        {"ACE beyond the ACL", {2, 0, 16, 0, 1, 0, 0, 0, 0, 0, 20, 0, 0, 0, 0, 0}},
        {"SID beyond its ACE", {2, 0, 20, 0, 1, 0, 0, 0, 0, 0, 12, 0, 0, 0, 0, 0x80, 1, 5, 0, 0}},
        {"SID of bad revision", {2, 0, 24, 0, 1, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0x80, 7, 0, 0, 0, 0, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PACL acl = make(c.bytes);
        ACL_SIZE_INFORMATION info;
        void* ace;
        SetLastError(kSentinel);
        EXPECT_FALSE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL));
        EXPECT_FALSE(GetAce(acl, 0, &ace));
        EXPECT_FALSE(DeleteAce(acl, 0));
        PACL out = nullptr;
        EXPECT_EQ(SetEntriesInAclW(0, nullptr, acl, &out), static_cast<DWORD>(ERROR_INVALID_ACL));
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(u"C:\\nothing"), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr),
                  static_cast<DWORD>(ERROR_INVALID_ACL));
    }
}

// ---- file DACLs over POSIX ACLs ------------------------------------------------

class FileAclTest : public vktest::RootTest {
protected:
    void SetUp() override {
        path = root.host("file.bin");
        std::ofstream(path) << "data";
        chmod(path.c_str(), 0640);
        winPath = u"C:\\file.bin";
        struct group* g = getgrnam("users");
        if (!g) GTEST_SKIP() << "the host has no \"users\" group";
        usersGid = g->gr_gid;
        // Probe: can this file system keep an ACL with a named entry?
        acl_t probe = acl_from_text("u::rw-,g::r--,g:users:r--,m::r--,o::---");
        int rc = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, probe);
        int err = errno;
        acl_free(probe);
        if (rc != 0 && (err == ENOTSUP || err == EOPNOTSUPP))
            GTEST_SKIP() << "the file system under " << root.path() << " keeps no POSIX ACLs";
        ASSERT_EQ(rc, 0) << strerror(err);
        chmod(path.c_str(), 0640); // back to a minimal ACL
        acl_t minimal = acl_from_mode(0640);
        acl_set_file(path.c_str(), ACL_TYPE_ACCESS, minimal);
        acl_free(minimal);
    }
    void TearDown() override { pal::security::SetUsersGroupNameForTest(nullptr); }

    // The file's ACL as getfacl's short text, e.g. "u::rw-,g::r--,g:users:-w-,m::rw-,o::---".
    std::map<std::string, std::string> Entries() {
        std::map<std::string, std::string> out;
        acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
        EXPECT_NE(acl, nullptr);
        if (!acl) return out;
        char* text = acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE);
        std::string s = text;
        acl_free(text);
        acl_free(acl);
        size_t start = 0;
        while (start <= s.size()) {
            size_t end = s.find(',', start);
            if (end == std::string::npos) end = s.size();
            std::string item = s.substr(start, end - start);
            size_t colon = item.rfind(':');
            out[item.substr(0, colon)] = item.substr(colon + 1);
            start = end + 1;
        }
        return out;
    }

    // What the core does to grant the Users group write access to a file.
    DWORD GrantUsersWrite() {
        PSID users = nullptr;
        if (!ConvertStringSidToSidW(u"S-1-5-32-545", &users)) return GetLastError();
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        DWORD err = GetNamedSecurityInfoW(winPath.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, &dacl, nullptr, &sd);
        PACL updated = nullptr;
        if (err == ERROR_SUCCESS) {
            ACL_SIZE_INFORMATION info;
            if (!GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) {
                err = GetLastError();
            } else {
                for (DWORD i = 0; i < info.AceCount; ++i) {
                    ACCESS_ALLOWED_ACE* ace = nullptr;
                    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
                    if (EqualSid(&ace->SidStart, users) &&
                        (ace->Mask == GENERIC_WRITE || ace->Header.AceType == ACCESS_DENIED_ACE_TYPE)) {
                        DeleteAce(dacl, i);
                        break;
                    }
                }
                EXPLICIT_ACCESS_W e = Entry(users, GRANT_ACCESS, GENERIC_WRITE, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
                err = SetEntriesInAclW(1, &e, dacl, &updated);
                if (err == ERROR_SUCCESS)
                    err = SetNamedSecurityInfoW(const_cast<LPWSTR>(winPath.c_str()), SE_FILE_OBJECT,
                                                DACL_SECURITY_INFORMATION, nullptr, nullptr, updated, nullptr);
            }
        }
        LocalFree(updated);
        LocalFree(sd);
        LocalFree(users);
        return err;
    }

    std::string path;
    std::u16string winPath;
    gid_t usersGid = 0;
};

TEST_F(FileAclTest, DaclReadsThePosixAcl) {
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(winPath.c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                        DACL_SECURITY_INFORMATION,
                                    &owner, &group, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    const BYTE allow = ACCESS_ALLOWED_ACE_TYPE;
    Bytes ownerSid = StringSid(("S-1-22-1-" + std::to_string(getuid())).c_str());
    Bytes groupSid = getgid() == usersGid ? StringSid("S-1-5-32-545")
                                           : StringSid(("S-1-22-2-" + std::to_string(getgid())).c_str());
    EXPECT_EQ(SidBytes(owner), ownerSid);
    EXPECT_EQ(SidBytes(group), groupSid);
    EXPECT_EQ(AcesOf(dacl), (std::vector<Ace>{{allow, 0, GENERIC_READ | GENERIC_WRITE, ownerSid},
                                             {allow, 0, GENERIC_READ, groupSid},
                                             {allow, 0, 0, StringSid("S-1-1-0")}}));
    // Self-relative descriptor: the pointers lie inside the one block.
    auto* base = static_cast<uint8_t*>(sd);
    EXPECT_EQ(base[0], 1);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(dacl) - base, 20 + 16 + 16);
    LocalFree(sd);

    // A named entry under a mask reads as its effective rights.
    acl_t acl = acl_from_text("u::rwx,g::rwx,g:users:rw-,m::r--,o::r--");
    ASSERT_EQ(acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl), 0);
    acl_free(acl);
    ASSERT_EQ(GetNamedSecurityInfoW(winPath.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<Ace> aces = AcesOf(dacl);
    ASSERT_EQ(aces.size(), 4u);
    EXPECT_EQ(aces[0].mask, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
    EXPECT_EQ(aces[1].mask, GENERIC_READ); // g::rwx under m::r--
    EXPECT_EQ(aces[2], (Ace{allow, 0, GENERIC_READ, StringSid("S-1-5-32-545")}));
    EXPECT_EQ(aces[3].mask, GENERIC_READ);
    LocalFree(sd);
}

TEST_F(FileAclTest, UsersWriteGrantGivesGroupUsersWriteOnly) {
    ASSERT_EQ(GrantUsersWrite(), static_cast<DWORD>(ERROR_SUCCESS));
    auto e = Entries();
    EXPECT_EQ(e["g:users"], "-w-");
    EXPECT_EQ(e["u:"], "rw-");
    EXPECT_EQ(e["g:"], "r--");
    EXPECT_EQ(e["m:"], "rw-");
    EXPECT_EQ(e["o:"], "---");
    // Done again (every save of a file does it), nothing accumulates.
    ASSERT_EQ(GrantUsersWrite(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Entries(), e);
    EXPECT_EQ(e.size(), 5u);
}

TEST_F(FileAclTest, WritingDenyAndSetEntries) {
    SidHolder ownerSid, everyone;
    ASSERT_TRUE(ConvertStringSidToSidW(U("S-1-22-1-" + std::to_string(getuid())).c_str(), &ownerSid.sid));
    ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-1-0", &everyone.sid));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(winPath.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPLICIT_ACCESS_W e[] = {Entry(ownerSid.sid, DENY_ACCESS, GENERIC_WRITE),
                             Entry(everyone.sid, GRANT_ACCESS, GENERIC_READ | GENERIC_EXECUTE),
                             Entry(ownerSid.sid, GRANT_ACCESS, GENERIC_EXECUTE)};
    AclHolder updated;
    ASSERT_EQ(SetEntriesInAclW(3, e, dacl, &updated.acl), static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(sd);
    ASSERT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(winPath.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, updated.acl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    auto got = Entries();
    EXPECT_EQ(got["u:"], "r-x"); // w denied, x granted
    EXPECT_EQ(got["o:"], "r-x");
    EXPECT_EQ(got.count("m:"), 0u); // no named entries: a minimal ACL, no mask
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0545u);

    // A deny for Everyone takes the rights from every entry.
    AclHolder all;
    EXPLICIT_ACCESS_W everyoneDeny = Entry(everyone.sid, DENY_ACCESS, GENERIC_EXECUTE);
    ASSERT_EQ(SetEntriesInAclW(1, &everyoneDeny, updated.acl, &all.acl), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(winPath.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, all.acl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST_F(FileAclTest, FailuresAreWin32Codes) {
    // No "users" group on the host: the Users SID maps to nobody.
    pal::security::SetUsersGroupNameForTest("vk-no-such-group");
    EXPECT_EQ(GrantUsersWrite(), static_cast<DWORD>(ERROR_NONE_MAPPED));
    pal::security::SetUsersGroupNameForTest(nullptr);
    EXPECT_EQ(Entries().count("g:users"), 0u);

    // A SID with no host principal.
    SidHolder system;
    ASSERT_TRUE(ConvertStringSidToSidW(u"SY", &system.sid));
    AclHolder acl;
    EXPLICIT_ACCESS_W e = Entry(system.sid, GRANT_ACCESS, GENERIC_ALL);
    ASSERT_EQ(SetEntriesInAclW(1, &e, nullptr, &acl.acl), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(winPath.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, acl.acl, nullptr),
              static_cast<DWORD>(ERROR_NONE_MAPPED));

    PACL dacl = reinterpret_cast<PACL>(0x1);
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1);
    EXPECT_EQ(GetNamedSecurityInfoW(u"C:\\missing.bin", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(dacl, nullptr);
    EXPECT_EQ(sd, nullptr);
    EXPECT_EQ(GetNamedSecurityInfoW(u"C:\\no-folder\\x.bin", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetNamedSecurityInfoW(winPath.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetNamedSecurityInfoW(winPath.c_str(), SE_UNKNOWN_OBJECT_TYPE, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(winPath.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, nullptr, nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetNamedSecurityInfoW(const_cast<LPWSTR>(winPath.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                    nullptr, nullptr, nullptr, nullptr),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

} // namespace
