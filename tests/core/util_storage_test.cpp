/* CUtil's storage helpers: registry settings, folder removal, GUID strings,
 * the install folder and the Users write grant. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include "diaglog_control.h"
#include "internal/syscalls.h"
#include "util/Util.h"
#include <vaultkeep/vaultkeep.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

using namespace vktest;

namespace {

const std::u16string kAppKeyPrefix = u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\";

void SetValue(const std::u16string& keyPath, const char16_t* name, DWORD type, const void* data, DWORD cb) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetString(const std::u16string& keyPath, const char16_t* name, const std::u16string& text, bool withNul = true) {
    SetValue(keyPath, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + (withNul ? 1 : 0)) * 2));
}

void SetDword(const std::u16string& keyPath, const char16_t* name, DWORD v) {
    SetValue(keyPath, name, REG_DWORD, &v, sizeof(v));
}

class Capture {
public:
    Capture() {
        diaglog::Configure("off");
        diaglog::SetCapture(true);
        diaglog::TakeCaptured();
    }
    ~Capture() { diaglog::SetCapture(false); }
    std::vector<diaglog::CapturedLine> Take() { return diaglog::TakeCaptured(); }
};

bool HasLine(const std::vector<diaglog::CapturedLine>& lines, diaglog::Level level, const std::string& text) {
    for (auto& l : lines)
        if (l.function == "CUtil::FindAppRegSetting" && l.level == level && l.text == text) return true;
    return false;
}

} // namespace

class FindAppRegSetting : public RootTest {};

TEST_F(FindAppRegSetting, ReadsLocationAndTypeOrRefusesWithBadApp) {
    const std::u16string loc = u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\App";
    struct Case {
        const char* what;
        std::function<void()> setup;
        LONG status;
        std::u16string location;
        DWORD type;
        diaglog::Level level;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"never registered", [] {}, Error_Bad_App, u"", 0, diaglog::Level::Info, "app doesn't exist"},
        {"no Type", [&] { SetString(kAppKeyPrefix + u"App", u"Location", loc); }, Error_Bad_App, u"", 0,
         diaglog::Level::Error, "Error_Bad_App"},
        {"no Location", [&] { SetDword(kAppKeyPrefix + u"App", u"Type", 1); }, Error_Bad_App, u"", 0,
         diaglog::Level::Error, "Error_Bad_App"},
        {"Type of two bytes",
         [&] {
             SetString(kAppKeyPrefix + u"App", u"Location", loc);
             WORD w = 1;
             SetValue(kAppKeyPrefix + u"App", u"Type", REG_BINARY, &w, 2);
         },
         Error_Bad_App, u"", 0, diaglog::Level::Error, "Error_Bad_App"},
        {"empty Location",
         [&] {
             SetString(kAppKeyPrefix + u"App", u"Location", u"");
             SetDword(kAppKeyPrefix + u"App", u"Type", 1);
         },
         Error_Bad_App, u"", 0, diaglog::Level::Error, "Error_Bad_App"},
        {"both present",
         [&] {
             SetString(kAppKeyPrefix + u"App", u"Location", loc);
             SetDword(kAppKeyPrefix + u"App", u"Type", 1);
         },
         0, loc, 1, diaglog::Level::Info, nullptr},
        {"text after the NUL is not part of it",
         [&] {
             std::u16string junk = loc + std::u16string(1, u'\0') + u"junk";
             SetString(kAppKeyPrefix + u"App", u"Location", junk);
             SetDword(kAppKeyPrefix + u"App", u"Type", 7);
         },
         0, loc, 7, diaglog::Level::Info, nullptr},
        {"stored without its NUL",
         [&] {
             SetString(kAppKeyPrefix + u"App", u"Location", loc, false);
             SetDword(kAppKeyPrefix + u"App", u"Type", 0);
         },
         0, loc, 0, diaglog::Level::Info, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshRoot fresh;
        c.setup();
        Capture cap;
        WString location = u"sentinel";
        DWORD type = 0xABCD;
        EXPECT_EQ(CUtil::FindAppRegSetting(u"App", location, type), c.status);
        auto lines = cap.Take();
        if (c.status == 0) {
            EXPECT_EQ(location, c.location);
            EXPECT_EQ(location.size(), c.location.size()) << "no NUL inside the string";
            EXPECT_EQ(type, c.type);
        } else {
            EXPECT_EQ(location, u"sentinel");
            EXPECT_EQ(type, 0xABCDu);
            EXPECT_TRUE(HasLine(lines, c.level, c.line));
        }
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().text, "start");
        EXPECT_EQ(lines.back().text, "return");
    }
}

class DeleteDirectory : public RootTest {
protected:
    std::string Data(const std::string& rel) { return root.host("ProgramData/" + rel); }
    void MakeTree() {
        mkdir(Data("").c_str(), 0755);
        mkdir(Data("T").c_str(), 0755);
        mkdir(Data("T/sub").c_str(), 0755);
        mkdir(Data("T/sub/deeper").c_str(), 0755);
        WriteFileBytes(Data("T/a.bin"), Bytes{1, 2});
        WriteFileBytes(Data("T/sub/ro.bin"), Bytes{3});
        chmod(Data("T/sub/ro.bin").c_str(), 0444);
        WriteFileBytes(Data("T/sub/deeper/ro2.bin"), Bytes{4});
        chmod(Data("T/sub/deeper/ro2.bin").c_str(), 0444);
    }
};

TEST_F(DeleteDirectory, RemovesTheTreeWithReadOnlyFiles) {
    MakeTree();
    EXPECT_NE(CUtil::DeleteDirectory(u"C:\\ProgramData\\T"), FALSE);
    EXPECT_FALSE(FileExists(Data("T")));
    EXPECT_TRUE(FileExists(Data("")));
}

TEST_F(DeleteDirectory, MissingFolderGivesZeroAndChangesNothing) {
    MakeTree();
    auto before = ListDir(Data(""));
    EXPECT_EQ(CUtil::DeleteDirectory(u"C:\\ProgramData\\Missing"), FALSE);
    EXPECT_EQ(ListDir(Data("")), before);
    EXPECT_TRUE(FileExists(Data("T/sub/ro.bin")));
}

TEST_F(DeleteDirectory, FileHeldOpenWithoutDeleteSharingStopsIt) {
    MakeTree();
    HANDLE h = CreateFileW(u"C:\\ProgramData\\T\\sub\\held.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    WriteFileBytes(Data("T/sub/held.bin"), Bytes{9});
    EXPECT_EQ(CUtil::DeleteDirectory(u"C:\\ProgramData\\T"), FALSE);
    EXPECT_TRUE(FileExists(Data("T/sub")));
    EXPECT_TRUE(FileExists(Data("T/sub/held.bin")));
    CloseHandle(h);
}

TEST_F(DeleteDirectory, LinksAreRemovedNotFollowed) {
    MakeTree();
    mkdir(root.host("outside").c_str(), 0755);
    WriteFileBytes(root.host("outside/keep.bin"), Bytes{7});
    ASSERT_EQ(symlink(root.host("outside").c_str(), Data("T/sub/link").c_str()), 0);
    ASSERT_EQ(symlink(root.host("outside/keep.bin").c_str(), Data("T/filelink").c_str()), 0);
    EXPECT_NE(CUtil::DeleteDirectory(u"C:\\ProgramData\\T"), FALSE);
    EXPECT_FALSE(FileExists(Data("T")));
    EXPECT_TRUE(FileExists(root.host("outside/keep.bin")));
}

TEST(GenerateGUID, ThirtySixLowerCaseCharactersEachTimeNew) {
    std::set<std::u16string> seen;
    for (int i = 0; i < 50; ++i) {
        WString g = CUtil::GenerateGUID();
        ASSERT_EQ(g.size(), 36u);
        for (size_t k = 0; k < g.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23) {
                EXPECT_EQ(g[k], u'-');
            } else {
                EXPECT_TRUE((g[k] >= u'0' && g[k] <= u'9') || (g[k] >= u'a' && g[k] <= u'f')) << k;
            }
        }
        EXPECT_TRUE(seen.insert(g).second) << "repeated GUID";
    }
}

class InstallFolder : public RootTest {};

TEST_F(InstallFolder, RegistryValueOrProgramFilesFallback) {
    const std::u16string key = u"SOFTWARE\\Tarnwick Systems Corp.";
    const std::u16string fallback = u"C:\\Program Files\\Tarnwick Systems Corp";
    struct Case {
        const char* what;
        std::function<void()> setup;
        std::u16string expected;
    };
    const std::u16string long259(259, u'x');
    const std::u16string long260(260, u'y');
    const std::vector<Case> cases = {
        {"no key", [] {}, fallback},
        {"key without the value", [&] { SetDword(key, u"Other", 1); }, fallback},
        {"value", [&] { SetString(key, u"Install Path", u"D:\\Apps\\Maker"); }, u"D:\\Apps\\Maker"},
        {"value without NUL", [&] { SetString(key, u"Install Path", u"E:\\NoNul", false); }, u"E:\\NoNul"},
        {"259 characters fit", [&] { SetString(key, u"Install Path", long259); }, long259},
        {"longer than 520 bytes", [&] { SetString(key, u"Install Path", long260); }, fallback},
        {"not a string", [&] { SetDword(key, u"Install Path", 5); }, fallback},
        {"empty", [&] { SetString(key, u"Install Path", u""); }, fallback},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshRoot fresh;
        c.setup();
        WCHAR folder[MAX_PATH];
        for (auto& ch : folder) ch = u'#';
        ASSERT_EQ(GetInstallFolder(folder), 0);
        EXPECT_EQ(std::u16string(folder), c.expected);
    }
}

class UsersWriteAccess : public RootTest {
protected:
    void SetUp() override {
        PalTestCaptureDebugOutput(TRUE);
        PalTestTakeDebugOutput();
    }
    void TearDown() override { PalTestCaptureDebugOutput(FALSE); }

    /* The write bit of the "users" group's entry in the file's POSIX access ACL, or -1 without one. */
    static int UsersGroupWrite(const std::string& path) {
        struct group* g = getgrnam("users");
        if (!g) return -2;
        unsigned char buf[1024];
        ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", buf, sizeof(buf));
        if (n < 4) return -1;
        for (ssize_t off = 4; off + 8 <= n; off += 8) {
            uint16_t tag, perm;
            uint32_t id;
            memcpy(&tag, buf + off, 2);
            memcpy(&perm, buf + off + 2, 2);
            memcpy(&id, buf + off + 4, 4);
            if (tag == 0x08 /* ACL_GROUP */ && id == g->gr_gid) return (perm & 2) ? 1 : 0;
        }
        return -1;
    }
};

TEST_F(UsersWriteAccess, RefusesNullAndEmptyPathsSilently) {
    EXPECT_EQ(SetUsersWriteAccess(nullptr, TRUE), FALSE);
    EXPECT_EQ(SetUsersWriteAccess(u"", TRUE), FALSE);
    EXPECT_EQ(PalTestTakeDebugOutput(), "");
}

TEST_F(UsersWriteAccess, MissingFileIsReportedToTheDebugger) {
    mkdir(root.host("ProgramData").c_str(), 0755);
    EXPECT_EQ(SetUsersWriteAccess(u"C:\\ProgramData\\absent.bin", TRUE), FALSE);
    EXPECT_EQ(PalTestTakeDebugOutput(), "GetNamedSecurityInfo() failed. Error 2\n");
}

TEST_F(UsersWriteAccess, GrantsWriteToTheUsersGroupOnce) {
    mkdir(root.host("ProgramData").c_str(), 0755);
    std::string host = root.host("ProgramData/f.bin");
    WriteFileBytes(host, Bytes{1, 2, 3});
    chmod(host.c_str(), 0600);
    if (getgrnam("users") == nullptr) GTEST_SKIP() << "no users group on this host";
    BOOL ok = SetUsersWriteAccess(u"C:\\ProgramData\\f.bin", TRUE);
    std::string debug = PalTestTakeDebugOutput();
    if (!ok && debug.find("Error 95") != std::string::npos) GTEST_SKIP() << "file system without ACLs: " << debug;
    ASSERT_EQ(ok, TRUE) << debug;
    EXPECT_EQ(debug, "");
    EXPECT_EQ(UsersGroupWrite(host), 1);
    /* A second grant replaces the first entry instead of adding another. */
    ASSERT_EQ(SetUsersWriteAccess(u"C:\\ProgramData\\f.bin", TRUE), TRUE);
    unsigned char buf[1024];
    ssize_t n = getxattr(host.c_str(), "system.posix_acl_access", buf, sizeof(buf));
    int usersEntries = 0;
    for (ssize_t off = 4; off + 8 <= n; off += 8) {
        uint16_t tag;
        uint32_t id;
        memcpy(&tag, buf + off, 2);
        memcpy(&id, buf + off + 4, 4);
        if (tag == 0x08 && id == getgrnam("users")->gr_gid) ++usersEntries;
    }
    EXPECT_EQ(usersEntries, 1);
    /* The file's contents are untouched. */
    EXPECT_EQ(ReadFileBytes(host), (Bytes{1, 2, 3}));
}
