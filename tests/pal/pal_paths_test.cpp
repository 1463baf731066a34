// Machine root, Windows <-> host path mapping, errno translation.
#include "VkTest.h"
#include "internal/errors.h"
#include "internal/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using vktest::RootTest;

struct PathCase {
    const char16_t* win;
    const char* host; // "@" stands for the root; nullptr when the mapping fails
    DWORD error;
};

TEST_F(RootTest, WindowsPathsMapBelowTheRoot) {
    const PathCase cases[] = {
        {u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\App",
         "@/ProgramData/Tarnwick Systems Corp/Vaultkeep/App", ERROR_SUCCESS},
        {u"c:/Program Files/x.so", "@/Program Files/x.so", ERROR_SUCCESS},
        {u"C:\\", "@", ERROR_SUCCESS},
        {u"C:", "@", ERROR_SUCCESS},
        {u"\\ProgramData", "@/ProgramData", ERROR_SUCCESS},
        {u"C:\\a\\\\b\\", "@/a/b", ERROR_SUCCESS},
        {u"C:\\a\\.\\b\\..\\c", "@/a/c", ERROR_SUCCESS},
        {u"C:\\a\\..", "@", ERROR_SUCCESS},
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
        {u"C:\\a\\x?", nullptr, ERROR_INVALID_NAME},
        {u"C:relative", nullptr, ERROR_INVALID_NAME},
    };
    for (const PathCase& c : cases) {
        std::string host = "sentinel";
        DWORD error = 0xdeadbeef;
        bool ok = pal::ToHostPath(c.win, host, error);
        std::string what = vktest::Narrow(c.win);
        EXPECT_EQ(error, c.error) << what;
        if (c.host) {
            std::string expected = c.host;
            if (expected[0] == '@') expected = root.path() + expected.substr(1);
            EXPECT_TRUE(ok) << what;
            EXPECT_EQ(host, expected) << what;
        } else {
            EXPECT_FALSE(ok) << what;
            EXPECT_TRUE(host.empty()) << what;
        }
    }
    std::string host;
    DWORD error = 0;
    EXPECT_FALSE(pal::ToHostPath(nullptr, host, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::u16string longName = u"C:\\" + std::u16string(40000, u'a');
    EXPECT_FALSE(pal::ToHostPath(longName.c_str(), host, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(RootTest, HostPathsBelowTheRootReadAsDriveC) {
    const std::string& r = root.path();
    EXPECT_EQ(pal::ToWindowsPath(r + "/ProgramData/App/app.bin"), u"C:\\ProgramData\\App\\app.bin");
    EXPECT_EQ(pal::ToWindowsPath(r), u"C:\\");
    // A sibling that merely shares the root's spelling as a prefix is outside.
    EXPECT_EQ(pal::ToWindowsPath(r + "x/file"), vktest::U(r + "x/file"));
    EXPECT_EQ(pal::ToWindowsPath("/usr/lib/libz.so.1"), u"/usr/lib/libz.so.1");
    // Round trip.
    std::string host;
    DWORD error;
    ASSERT_TRUE(pal::ToHostPath(u"C:\\Program Files\\Tarnwick Systems Corp\\z.so", host, error));
    EXPECT_EQ(pal::ToWindowsPath(host), u"C:\\Program Files\\Tarnwick Systems Corp\\z.so");
}

TEST_F(RootTest, RootIsReadAfreshOnEveryCall) {
    EXPECT_EQ(pal::MachineRoot(), root.path());
    {
        vktest::FreshRoot other;
        EXPECT_EQ(pal::MachineRoot(), other.path());
        std::string host;
        DWORD error;
        ASSERT_TRUE(pal::ToHostPath(u"C:\\f", host, error));
        EXPECT_EQ(host, other.path() + "/f");
    }
    EXPECT_EQ(pal::MachineRoot(), root.path());
    setenv("VAULTKEEP_ROOT", (root.path() + "//").c_str(), 1);
    EXPECT_EQ(pal::MachineRoot(), root.path()); // trailing separators do not double up
}

TEST_F(RootTest, UnsetRootFallsBackToAStateFolder) {
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
}

TEST_F(RootTest, ErrnoTranslationTellsMissingFileFromMissingFolder) {
    const std::string dir = root.host("d");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    vktest::WriteFileBytes(root.host("d/file"), {1});
    struct {
        int err;
        std::string path;
        DWORD expected;
    } cases[] = {
        {ENOENT, dir + "/missing", ERROR_FILE_NOT_FOUND},
        {ENOENT, dir + "/missing/deeper", ERROR_PATH_NOT_FOUND},
        {ENOTDIR, dir + "/file/x", ERROR_PATH_NOT_FOUND},
        {ENOENT, dir + "/missing/", ERROR_FILE_NOT_FOUND},
        {EACCES, dir, ERROR_ACCESS_DENIED},
        {EEXIST, dir, ERROR_ALREADY_EXISTS},
    };
    for (auto& c : cases)
        EXPECT_EQ(pal::Win32FromPathErrno(c.err, c.path), c.expected) << c.path;

    const std::pair<int, DWORD> plain[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {EPERM, ERROR_ACCESS_DENIED},
        {EROFS, ERROR_ACCESS_DENIED},
        {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
        {ENOSPC, ERROR_DISK_FULL},
        {EDQUOT, ERROR_DISK_FULL},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
        {EXDEV, ERROR_NOT_SAME_DEVICE},
        {EBADF, ERROR_INVALID_HANDLE},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EIO, ERROR_WRITE_FAULT},
    };
    for (auto& p : plain)
        EXPECT_EQ(pal::Win32FromErrno(p.first), p.second) << p.first;
}

} // namespace
