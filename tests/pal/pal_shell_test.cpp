// Shell folders on drive C: (the machine root) and path joining.
#include "VkTest.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>

namespace {

class ShellTest : public vktest::RootTest {};

TEST_F(ShellTest, FolderPaths) {
    WCHAR path[MAX_PATH];
    std::fill(std::begin(path), std::end(path), 0xbdbd);
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(vktest::Narrow(path), "C:\\ProgramData");
    EXPECT_EQ(path[15], 0xbdbd);
    // The current folder exists afterwards, so callers can make folders in it.
    struct stat st;
    ASSERT_EQ(stat(root.host("ProgramData").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // The default path is only a path.
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_DEFAULT, path), S_OK);
    EXPECT_EQ(vktest::Narrow(path), "C:\\Program Files");
    EXPECT_FALSE(vktest::FileExists(root.host("Program Files")));

    path[0] = u'x';
    EXPECT_EQ(SHGetFolderPathW(nullptr, 0x001a /* per-user app data */, nullptr, SHGFP_TYPE_CURRENT, path),
              E_INVALIDARG);
    EXPECT_EQ(path[0], 0);
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, nullptr),
              E_INVALIDARG);
}

TEST_F(ShellTest, PathAppendJoinsWithOneBackslash) {
    struct Case {
        std::u16string path, more, want;
    } cases[] = {
        {u"C:\\a", u"b", u"C:\\a\\b"},
        {u"C:\\a\\", u"b", u"C:\\a\\b"},
        {u"C:\\a", u"\\b", u"C:\\a\\b"},
        {u"C:\\a", u"b\\", u"C:\\a\\b\\"},
        {u"", u"b", u"b"},
        // The install-folder fallback: "\" and then the maker's folder.
        {u"C:\\Program Files", u"\\", u"C:\\Program Files\\"},
        {u"C:\\Program Files\\", u"Tarnwick Systems Corp", u"C:\\Program Files\\Tarnwick Systems Corp"},
    };
    for (const auto& c : cases) {
        WCHAR buf[MAX_PATH];
        memcpy(buf, c.path.c_str(), (c.path.size() + 1) * 2);
        EXPECT_TRUE(PathAppendW(buf, c.more.c_str()));
        EXPECT_EQ(vktest::Narrow(buf), vktest::Narrow(c.want))
            << vktest::Narrow(c.path) << " + " << vktest::Narrow(c.more);
    }
    // A result of MAX_PATH characters or more does not fit; the path stays.
    WCHAR buf[MAX_PATH];
    std::u16string base = u"C:\\" + std::u16string(250, u'x');
    memcpy(buf, base.c_str(), (base.size() + 1) * 2);
    EXPECT_TRUE(PathAppendW(buf, u"12345")); // 253 + 1 + 5 = 259
    EXPECT_EQ(std::u16string(buf).size(), 259u);
    memcpy(buf, base.c_str(), (base.size() + 1) * 2);
    EXPECT_FALSE(PathAppendW(buf, u"123456")); // 260
    EXPECT_EQ(std::u16string(buf), base);
    EXPECT_FALSE(PathAppendW(nullptr, u"x"));
}

TEST_F(ShellTest, PathFileExists) {
    std::ofstream(root.host("present.txt")) << "x";
    mkdir(root.host("dir").c_str(), 0755);
    EXPECT_TRUE(PathFileExistsW(u"C:\\present.txt"));
    EXPECT_TRUE(PathFileExistsW(u"C:\\dir"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PathFileExistsW(u"C:\\absent.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(PathFileExistsW(u"C:\\nodir\\absent.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(PathFileExistsW(vktest::U(root.host("present.txt")).c_str())); // a POSIX path as it is
}

} // namespace
