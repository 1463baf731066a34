/* CUtil's storage helpers: registry settings, folder removal, the install folder and the Users
 * write grant. */
#include "TableFixture.h"
#include "util/TableSupport.h"
#ifndef _WIN32
#include "internal/syscalls.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <cstring>
#include <functional>

using namespace vktest;
using namespace tabletest;

namespace {

void SetString(const WString& key, const WCHAR* name, const WString& text,
               bool withNul = true) {
    SetValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + (withNul ? 1 : 0)) * 2));
}

} // namespace

TEST(FindAppRegSetting, ReadsLocationAndTypeOrRefusesWithBadApp) {
    const WString loc = kDataView + W("App"), key = kAppKeyPrefix + W("App");
    struct Case {
        WString location; // "-": no value; stored with its NUL unless `bare`
        bool bare;
        DWORD typeBytes, type; // typeBytes 0: no value; 2: REG_BINARY
        LONG status;
    } cases[] = {{W("-"), false, 0, 0, Error_Bad_App}, {loc, false, 0, 0, Error_Bad_App},
                 {W("-"), false, 4, 1, Error_Bad_App}, {loc, false, 2, 1, Error_Bad_App},
                 {W(""), false, 4, 1, Error_Bad_App},  {loc, true, 4, 1, 0},
                 {loc + WString(1, W('\0')) + W("junk"), false, 4, 7, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.location) + " type bytes " + std::to_string(c.typeBytes));
        FreshRoot fresh;
        if (c.location != W("-")) SetString(key, W("Location"), c.location, !c.bare);
        if (c.typeBytes)
            SetValue(key, W("Type"), c.typeBytes == 4 ? REG_DWORD : REG_BINARY, &c.type, c.typeBytes);
        WString location = W("sentinel");
        DWORD type = 0xABCD;
        EXPECT_EQ(CUtil::FindAppRegSetting(W("App"), location, type), c.status);
        EXPECT_EQ(location, c.status ? W("sentinel") : loc);
        EXPECT_EQ(type, c.status ? 0xABCDu : c.type);
    }
}

class DeleteDirectory : public RootTest {
  protected:
    std::string Data(const std::string& rel) { return root.host("ProgramData/" + rel); }
};

TEST_F(DeleteDirectory, RemovesTheTreeWithReadOnlyFilesAndLinksButNothingOutside) {
    std::filesystem::create_directories(Data("T/sub/deeper"));
    std::filesystem::create_directories(root.host("outside"));
    WriteFileBytes(root.host("outside/keep.bin"), Bytes{7});
    for (const char* f : {"T/a.bin", "T/sub/ro.bin", "T/sub/deeper/ro2.bin"}) {
        WriteFileBytes(Data(f), Bytes{1});
        std::filesystem::permissions(Data(f), std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                                  std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::remove);
    }
#ifndef _WIN32 // Wine makes no symbolic links
    ASSERT_EQ(symlink(root.host("outside").c_str(), Data("T/sub/link").c_str()), 0);
    ASSERT_EQ(symlink(root.host("outside/keep.bin").c_str(), Data("T/filelink").c_str()), 0);
#endif
    auto before = ListDir(Data(""));
    EXPECT_EQ(CUtil::DeleteDirectory(W("C:\\ProgramData\\Missing")), FALSE);
    EXPECT_EQ(ListDir(Data("")), before);

    // A file held open without delete sharing stops the removal.
    WriteFileBytes(Data("T/held.bin"), Bytes{9});
    HANDLE h =
        CreateFileW(W("C:\\ProgramData\\T\\held.bin"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CUtil::DeleteDirectory(W("C:\\ProgramData\\T")), FALSE);
    EXPECT_TRUE(FileExists(Data("T/held.bin")));
    CloseHandle(h);

    EXPECT_NE(CUtil::DeleteDirectory(W("C:\\ProgramData\\T")), FALSE);
    EXPECT_FALSE(FileExists(Data("T")));
    EXPECT_TRUE(FileExists(Data("")));
    EXPECT_TRUE(FileExists(root.host("outside/keep.bin")));
}

TEST(InstallFolder, RegistryValueOrProgramFilesFallback) {
    const WString key = W("SOFTWARE\\Tarnwick Systems Corp."),
                         fallback = W("C:\\Program Files\\Tarnwick Systems Corp");
    const WString long259(259, W('x'));
    const std::pair<std::function<void()>, WString> cases[] = {
        {[] {}, fallback},
        {[&] { SetString(key, W("Install Path"), W("D:\\Apps\\Maker")); }, W("D:\\Apps\\Maker")},
        {[&] { SetString(key, W("Install Path"), W("E:\\NoNul"), false); }, W("E:\\NoNul")},
        {[&] { SetString(key, W("Install Path"), long259); }, long259},
        {[&] { SetString(key, W("Install Path"), long259 + W("y")); }, fallback}, // longer than 520 bytes
        {[&] { SetValue(key, W("Install Path"), REG_DWORD, "\5\0\0\0", 4); }, fallback},
        {[&] { SetString(key, W("Install Path"), W("")); }, fallback}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        FreshRoot fresh;
        cases[i].first();
        WCHAR folder[MAX_PATH];
        std::fill(std::begin(folder), std::end(folder), W('#'));
        ASSERT_EQ(GetInstallFolder(folder), 0);
        EXPECT_EQ(WString(folder), cases[i].second);
    }
}

#ifndef _WIN32 // read back as POSIX ACLs through the PAL; Wine does not keep Users ACL grants
class UsersWriteAccess : public RootTest {
  protected:
    void SetUp() override {
        PalTestCaptureDebugOutput(TRUE);
        PalTestTakeDebugOutput();
    }
    void TearDown() override { PalTestCaptureDebugOutput(FALSE); }
};

TEST_F(UsersWriteAccess, GrantsWriteToTheUsersGroupAndReportsFailures) {
    EXPECT_EQ(SetUsersWriteAccess(nullptr, TRUE), FALSE);
    EXPECT_EQ(SetUsersWriteAccess(W(""), TRUE), FALSE);
    EXPECT_EQ(PalTestTakeDebugOutput(), "") << "null and empty paths are refused silently";
    mkdir(root.host("ProgramData").c_str(), 0755);
    EXPECT_EQ(SetUsersWriteAccess(W("C:\\ProgramData\\absent.bin"), TRUE), FALSE);
    EXPECT_NE(PalTestTakeDebugOutput(), "") << "a failure is reported";

    const std::string host = root.host("ProgramData/f.bin");
    WriteFileBytes(host, Bytes{1, 2, 3});
    chmod(host.c_str(), 0600);
    struct group* users = getgrnam("users");
    if (!users) GTEST_SKIP() << "no users group on this host";
    // The Users SID stands for the vault group; here the host's "users" plays it.
    struct GroupScope {
        GroupScope() { setenv("VAULTKEEP_GROUP", "users", 1); }
        ~GroupScope() { unsetenv("VAULTKEEP_GROUP"); }
    } scope;
    for (int round = 0; round < 2; ++round) { // a second grant replaces the first entry
        BOOL ok = SetUsersWriteAccess(W("C:\\ProgramData\\f.bin"), TRUE);
        std::string debug = PalTestTakeDebugOutput();
        if (!ok && debug.find("Error 95") != std::string::npos) GTEST_SKIP() << "no ACLs here: " << debug;
        ASSERT_EQ(ok, TRUE) << debug;
        // The POSIX access ACL: a 4-byte header, then 8-byte entries (tag, perm, id).
        unsigned char buf[1024];
        ssize_t n = getxattr(host.c_str(), "system.posix_acl_access", buf, sizeof(buf));
        int entries = 0, writable = 0;
        for (ssize_t off = 4; off + 8 <= n; off += 8) {
            uint16_t tag, perm;
            uint32_t id;
            memcpy(&tag, buf + off, 2);
            memcpy(&perm, buf + off + 2, 2);
            memcpy(&id, buf + off + 4, 4);
            if (tag == 0x08 /* ACL_GROUP */ && id == users->gr_gid) ++entries, writable += (perm & 2) != 0;
        }
        EXPECT_EQ(entries, 1);
        EXPECT_EQ(writable, 1);
    }
    EXPECT_EQ(ReadFileBytes(host), (Bytes{1, 2, 3})) << "the contents are untouched";
}
#endif
