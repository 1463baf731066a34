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
    const auto check = [&](const WCHAR* win, const std::string& want, DWORD wantError) {
        std::string host = "sentinel";
        DWORD error = 0xdeadbeef;
        const bool ok = pal::ToHostPath(win, host, error);
        const std::string expected = want[0] == '@' ? root.path() + want.substr(1) : want;
        EXPECT_EQ(std::tie(error, ok, host), std::make_tuple(wantError, wantError == 0, expected))
            << (win ? vktest::Narrow(win).substr(0, 40) : "null");
    };
    for (const auto& r : paltest::Rows("paths", "map"))
        check(paltest::Wide(r[0]).c_str(), r[1], paltest::Num(r[2]));
    check(nullptr, "", ERROR_INVALID_PARAMETER);
    check(tooLong.c_str(), "", ERROR_FILENAME_EXCED_RANGE);
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
        // In a chroot "/" is no mount point, and a mount that is not private would reach the host.
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            if (errno == EINVAL) GTEST_SKIP() << "\"/\" is not a mount point (a chroot?): no private /var/lib";
            FAIL() << strerror(errno);
        }
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

TEST_F(RootTest, PathAppendJoinsWithOneBackslashAndPathFileExistsTellsWhatIsMissing) {
    for (const auto& r : paltest::Rows("paths", "append")) {
        WCHAR buf[MAX_PATH];
        const std::u16string path = vktest::U(r[0]);
        memcpy(buf, path.c_str(), (path.size() + 1) * 2);
        EXPECT_TRUE(PathAppendW(buf, vktest::U(r[1]).c_str()));
        EXPECT_EQ(vktest::Narrow(buf), r[2]) << r[0] << " + " << r[1];
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
