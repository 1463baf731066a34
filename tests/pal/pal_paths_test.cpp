// Machine root, Windows <-> host path mapping, shell folders on drive C: and path
// joining.
#include "fixtures/PalTest.h"
#include "internal/paths.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <tuple>

namespace {

using paltest::ErrOf;
using vktest::RootTest;

TEST_F(RootTest, WindowsPathsMapBelowTheRoot) {
    const std::u16string tooLong = u"C:\\" + std::u16string(40000, u'a');
    const struct {
        const char16_t* win;
        const char* host; // "@" stands for the root; nullptr when the mapping fails
        DWORD error;
    } cases[] = {
        {u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\App",
         "@/ProgramData/Tarnwick Systems Corp/Vaultkeep/App", ERROR_SUCCESS},
        {u"c:/Program Files/x.so", "@/Program Files/x.so", ERROR_SUCCESS},
        {u"C:\\", "@", ERROR_SUCCESS},
        {u"\\ProgramData", "@/ProgramData", ERROR_SUCCESS},
        {u"C:\\a\\\\b\\", "@/a/b", ERROR_SUCCESS},
        {u"C:\\a\\.\\b\\..\\c", "@/a/c", ERROR_SUCCESS},
        {u"\\\\?\\C:\\long", "@/long", ERROR_SUCCESS},
        {u"C:\\caf\u00e9\\\u65e5", "@/caf\xc3\xa9/\xe6\x97\xa5", ERROR_SUCCESS},
        {u"/home/u/backup.zip", "/home/u/backup.zip", ERROR_SUCCESS},
        {u"rel\\dir\\f", "rel/dir/f", ERROR_SUCCESS},
        // Climbing above the drive root is refused, however it is spelled.
        {u"C:\\..", nullptr, ERROR_BAD_PATHNAME},
        {u"C:\\a\\..\\..\\etc\\passwd", nullptr, ERROR_BAD_PATHNAME},
        {u"\\..\\x", nullptr, ERROR_BAD_PATHNAME},
        {u"D:\\x", nullptr, ERROR_PATH_NOT_FOUND},
        {u"\\\\server\\share\\x", nullptr, ERROR_PATH_NOT_FOUND},
        {u"", nullptr, ERROR_PATH_NOT_FOUND},
        {u"C:\\a<b", nullptr, ERROR_INVALID_NAME},
        {u"C:\\a\\b:c", nullptr, ERROR_INVALID_NAME},
        {u"C:relative", nullptr, ERROR_INVALID_NAME},
        {nullptr, nullptr, ERROR_INVALID_PARAMETER},
        {tooLong.c_str(), nullptr, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        std::string host = "sentinel";
        DWORD error = 0xdeadbeef;
        const bool ok = pal::ToHostPath(c.win, host, error);
        const std::string expected = !c.host ? "" : c.host[0] == '@' ? root.path() + (c.host + 1) : c.host;
        EXPECT_EQ(std::tie(error, ok, host), std::make_tuple(c.error, c.host != nullptr, expected))
            << (c.win ? vktest::Narrow(c.win).substr(0, 40) : "null");
    }
}

TEST_F(RootTest, HostPathsBelowTheRootReadAsDriveCAndTheRootIsReadAfresh) {
    const std::string& r = root.path();
    EXPECT_EQ(pal::ToWindowsPath(r + "/ProgramData/App/app.bin"), u"C:\\ProgramData\\App\\app.bin");
    // A sibling that merely shares the root's spelling as a prefix is outside.
    EXPECT_EQ(pal::ToWindowsPath(r + "x/file"), vktest::U(r + "x/file"));
    EXPECT_EQ(pal::ToWindowsPath("/usr/lib/libz.so.1"), u"/usr/lib/libz.so.1");
    {
        vktest::FreshRoot other;
        EXPECT_EQ(pal::MachineRoot(), other.path());
    }
    EXPECT_EQ(pal::MachineRoot(), r);
    setenv("VAULTKEEP_ROOT", (r + "//").c_str(), 1);
    EXPECT_EQ(pal::MachineRoot(), r); // trailing separators do not double up
}

TEST_F(RootTest, UnsetRootFallsBackToAStateFolder) {
    // As root the machine-wide folder would be made on the host: this process gets a /var/lib of its own.
    const bool isolated = geteuid() == 0;
    if (isolated) {
        if (unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no mount namespace for a private /var/lib";
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
        ASSERT_EQ(mount("vktest", "/var/lib", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
    }
    std::string saved = getenv("VAULTKEEP_ROOT");
    unsetenv("VAULTKEEP_ROOT");
    setenv("XDG_STATE_HOME", root.host("state").c_str(), 1);
    std::string fallback = pal::MachineRoot();
    unsetenv("XDG_STATE_HOME");
    setenv("VAULTKEEP_ROOT", saved.c_str(), 1);
    // Machine-wide where the caller may write there, else the per-user state folder.
    bool machineWide = access("/var/lib/vaultkeep", W_OK) == 0 ||
                       (access("/var/lib/vaultkeep", F_OK) != 0 && access("/var/lib", W_OK) == 0);
    EXPECT_EQ(fallback, machineWide ? std::string("/var/lib/vaultkeep") : root.host("state/vaultkeep"));
    struct stat st;
    ASSERT_EQ(stat(fallback.c_str(), &st), 0) << "the fallback root is created";
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    if (isolated) umount2("/var/lib", MNT_DETACH);
}

TEST_F(RootTest, ShellFolderPaths) {
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

TEST_F(RootTest, PathAppendJoinsWithOneBackslash) {
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
    const std::u16string base = u"C:\\" + std::u16string(250, u'x');
    for (const std::u16string more : {u"12345", u"123456"}) { // 253 + 1 + 5 = 259 fits, 260 does not
        WCHAR buf[MAX_PATH];
        memcpy(buf, base.c_str(), (base.size() + 1) * 2);
        EXPECT_EQ(PathAppendW(buf, more.c_str()), more.size() == 5);
        EXPECT_EQ(std::u16string(buf), more.size() == 5 ? base + u"\\" + more : base);
    }
    EXPECT_FALSE(PathAppendW(nullptr, u"x"));
}

TEST_F(RootTest, PathFileExists) {
    std::ofstream(root.host("present.txt")) << "x";
    mkdir(root.host("dir").c_str(), 0755);
    EXPECT_TRUE(PathFileExistsW(u"C:\\present.txt"));
    EXPECT_TRUE(PathFileExistsW(u"C:\\dir"));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ErrOf(PathFileExistsW(u"C:\\absent.txt")), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ErrOf(PathFileExistsW(u"C:\\nodir\\absent.txt")), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(PathFileExistsW(vktest::U(root.host("present.txt")).c_str())); // a POSIX path as it is
}

} // namespace
