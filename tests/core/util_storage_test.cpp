/* CUtil's storage helpers: registry settings, folder removal and the install folder (the Users write
 * grant: FileAclTest in pal_security_test, and end to end GroupShared in ToolAccessTest). */
#include "TableFixture.h"
#include "util/TableSupport.h"
#ifndef _WIN32
#include <unistd.h>
#endif

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
