// Files through the Win32 calls: dispositions, last errors, reads and writes,
// names, attributes, sharing. Expected outcomes are Windows' own.
#include "VkTest.h"
#include "internal/syscalls.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using vktest::Bytes;
using vktest::RootTest;

constexpr DWORD kSentinel = 0xdeadbeef;
const Bytes kOld = {'o', 'l', 'd', '-', 'd', 'a', 't', 'a'};
const Bytes kNew = {'N', 'E', 'W'};

enum class Before { Missing, Existing, ReadOnly, Folder, NoParent };

struct CreateCase {
    const char* what;
    DWORD disposition;
    DWORD access;
    Before before;
    bool ok;
    DWORD error;
    const char* after; // content once closed (after writing "NEW" at 0 when allowed); nullptr: no file
};

class FileTest : public RootTest {
  public:
    std::u16string W(const std::string& rel) { return u"C:\\" + vktest::U(rel); }

    HANDLE Open(const std::string& rel, DWORD access, DWORD disposition, DWORD share = 0) {
        return CreateFileW(W(rel).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }

    void Prepare(Before before, const std::string& rel) {
        std::string host = root.host(rel);
        switch (before) {
        case Before::Existing:
            vktest::WriteFileBytes(host, kOld);
            break;
        case Before::ReadOnly:
            vktest::WriteFileBytes(host, kOld);
            chmod(host.c_str(), 0444);
            break;
        case Before::Folder:
            mkdir(host.c_str(), 0755);
            break;
        default:
            break;
        }
    }

    std::string Content(const std::string& rel) {
        if (!vktest::FileExists(root.host(rel))) return "<none>";
        Bytes b = vktest::ReadFileBytes(root.host(rel));
        return std::string(b.begin(), b.end());
    }
};

TEST_F(FileTest, CreateFileDispositionMatrix) {
    const DWORD R = GENERIC_READ, Wr = GENERIC_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
    const CreateCase cases[] = {
        {"new/missing", CREATE_NEW, RW, Before::Missing, true, ERROR_SUCCESS, "NEW"},
        {"new/existing", CREATE_NEW, RW, Before::Existing, false, ERROR_FILE_EXISTS, "old-data"},
        {"new/read-only access", CREATE_NEW, R, Before::Missing, true, ERROR_SUCCESS, ""},
        {"new/folder name", CREATE_NEW, RW, Before::Folder, false, ERROR_FILE_EXISTS, nullptr},
        {"new/no parent", CREATE_NEW, RW, Before::NoParent, false, ERROR_PATH_NOT_FOUND, nullptr},
        {"always/missing", CREATE_ALWAYS, Wr, Before::Missing, true, ERROR_SUCCESS, "NEW"},
        {"always/existing", CREATE_ALWAYS, Wr, Before::Existing, true, ERROR_ALREADY_EXISTS, "NEW"},
        {"always/existing read access", CREATE_ALWAYS, R, Before::Existing, true, ERROR_ALREADY_EXISTS, ""},
        {"always/read-only file", CREATE_ALWAYS, Wr, Before::ReadOnly, false, ERROR_ACCESS_DENIED,
         "old-data"},
        {"always/folder", CREATE_ALWAYS, Wr, Before::Folder, false, ERROR_ACCESS_DENIED, nullptr},
        {"always/no parent", CREATE_ALWAYS, Wr, Before::NoParent, false, ERROR_PATH_NOT_FOUND, nullptr},
        {"existing/missing", OPEN_EXISTING, R, Before::Missing, false, ERROR_FILE_NOT_FOUND, "<none>"},
        {"existing/existing", OPEN_EXISTING, RW, Before::Existing, true, ERROR_SUCCESS, "NEW-data"},
        {"existing/read-only read", OPEN_EXISTING, R, Before::ReadOnly, true, ERROR_SUCCESS, "old-data"},
        {"existing/read-only write", OPEN_EXISTING, RW, Before::ReadOnly, false, ERROR_ACCESS_DENIED,
         "old-data"},
        {"existing/folder", OPEN_EXISTING, R, Before::Folder, false, ERROR_ACCESS_DENIED, nullptr},
        {"existing/no parent", OPEN_EXISTING, R, Before::NoParent, false, ERROR_PATH_NOT_FOUND, nullptr},
        {"open-always/missing", OPEN_ALWAYS, RW, Before::Missing, true, ERROR_SUCCESS, "NEW"},
        {"open-always/existing", OPEN_ALWAYS, RW, Before::Existing, true, ERROR_ALREADY_EXISTS, "NEW-data"},
        {"open-always/read-only read", OPEN_ALWAYS, R, Before::ReadOnly, true, ERROR_ALREADY_EXISTS,
         "old-data"},
        {"open-always/read-only write", OPEN_ALWAYS, Wr, Before::ReadOnly, false, ERROR_ACCESS_DENIED,
         "old-data"},
        {"truncate/missing", TRUNCATE_EXISTING, Wr, Before::Missing, false, ERROR_FILE_NOT_FOUND, "<none>"},
        {"truncate/existing", TRUNCATE_EXISTING, Wr, Before::Existing, true, ERROR_SUCCESS, "NEW"},
        {"truncate/read-only file", TRUNCATE_EXISTING, Wr, Before::ReadOnly, false, ERROR_ACCESS_DENIED,
         "old-data"},
        {"truncate/without write", TRUNCATE_EXISTING, R, Before::Existing, false, ERROR_INVALID_PARAMETER,
         "old-data"},
        {"disposition 0", 0, R, Before::Existing, false, ERROR_INVALID_PARAMETER, "old-data"},
        {"disposition 6", 6, R, Before::Existing, false, ERROR_INVALID_PARAMETER, "old-data"},
    };
    int n = 0;
    for (const CreateCase& c : cases) {
        std::string rel =
            c.before == Before::NoParent ? "nodir/f" + std::to_string(n) : "f" + std::to_string(n);
        ++n;
        Prepare(c.before, rel);
        SetLastError(kSentinel);
        HANDLE h = Open(rel, c.access, c.disposition);
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.ok) << c.what;
        if (h == INVALID_HANDLE_VALUE) {
            EXPECT_NE(h, (HANDLE)NULL) << c.what;
        } else {
            if (c.access & GENERIC_WRITE) {
                DWORD written = kSentinel;
                EXPECT_TRUE(WriteFile(h, kNew.data(), 3, &written, nullptr)) << c.what;
                EXPECT_EQ(written, 3u) << c.what;
            }
            SetLastError(kSentinel);
            EXPECT_TRUE(CloseHandle(h)) << c.what;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << c.what;
        }
        if (c.after) {
            EXPECT_EQ(Content(rel), c.after) << c.what;
        }
    }
}

TEST_F(FileTest, BadNamesFailWithTheirOwnErrors) {
    const std::pair<const char16_t*, DWORD> cases[] = {
        {u"D:\\x", ERROR_PATH_NOT_FOUND},
        {u"C:\\..\\x", ERROR_BAD_PATHNAME},
        {u"C:\\a|b", ERROR_INVALID_NAME},
        {u"", ERROR_PATH_NOT_FOUND},
    };
    for (auto& c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(CreateFileW(c.first, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.second) << vktest::Narrow(c.first);
    }
    EXPECT_EQ(vktest::ListDir(root.path()).size(), 0u);
}

TEST_F(FileTest, OpenAlwaysCreatesTheFileAtOnce) {
    HANDLE h = Open("now", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(vktest::FileExists(root.host("now"))) << "visible before the handle closes";
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    CloseHandle(h);
}

TEST_F(FileTest, ReadsAndWritesCountBytesExactly) {
    HANDLE h = Open("data", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Bytes payload(70000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, payload.data(), static_cast<DWORD>(payload.size()), &n, nullptr));
    EXPECT_EQ(n, payload.size());
    DWORD high = kSentinel;
    EXPECT_EQ(GetFileSize(h, &high), payload.size());
    EXPECT_EQ(high, 0u);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, static_cast<LONGLONG>(payload.size()));

    SetLastError(kSentinel);
    EXPECT_EQ(SetFilePointer(h, -10, nullptr, FILE_END), payload.size() - 10);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
    Bytes tail(64, 0xbd);
    ASSERT_TRUE(ReadFile(h, tail.data(), 64, &n, nullptr)); // short read at the end is a success
    EXPECT_EQ(n, 10u);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 10, payload.end() - 10));
    EXPECT_EQ(tail[10], 0xbd) << "nothing written past the bytes read";
    ASSERT_TRUE(ReadFile(h, tail.data(), 64, &n, nullptr));
    EXPECT_EQ(n, 0u);

    EXPECT_EQ(SetFilePointer(h, 5, nullptr, FILE_BEGIN), 5u);
    EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_CURRENT), 8u);
    SetLastError(kSentinel);
    EXPECT_EQ(SetFilePointer(h, -9, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    LONG hi = 0;
    EXPECT_EQ(SetFilePointer(h, 100, &hi, FILE_BEGIN), 100u);
    EXPECT_EQ(hi, 0);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("data")), payload);

    // A read-only handle refuses writes and flushes; a write-only one refuses reads.
    h = Open("data", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    SetLastError(kSentinel);
    n = kSentinel;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(FlushFileBuffers(h));
    CloseHandle(h);
    h = Open("data", GENERIC_WRITE, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(h, tail.data(), 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
}

TEST_F(FileTest, HandlesOfTheWrongKindAreRefused) {
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE file = Open("f", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buf[4];
    DWORD n;
    for (HANDLE bad : {(HANDLE)NULL, INVALID_HANDLE_VALUE, ev, (HANDLE)(uintptr_t)0x7777770}) {
        SetLastError(kSentinel);
        EXPECT_FALSE(ReadFile(bad, buf, 4, &n, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(kSentinel);
        EXPECT_FALSE(WriteFile(bad, buf, 4, &n, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    SetLastError(kSentinel);
    EXPECT_FALSE(SetEvent(file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindClose(file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(file));
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(file)) << "a closed handle is not closed twice";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(ev));
}

TEST_F(FileTest, ShareModesBetweenHandlesOfOneProcess) {
    vktest::WriteFileBytes(root.host("s"), kOld);
    const DWORD AR = GENERIC_READ, AW = GENERIC_WRITE;
    const DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
    struct {
        DWORD access1, share1, access2, share2;
        bool second;
    } cases[] = {
        {AR, 0, AR, SR, false},           {AR, SR, AR, SR, true},  {AR, SR, AW, SR | SW, false},
        {AR, SR | SW, AW, SR | SW, true}, {AW, SR, AR, SR, false}, {AW, SR, AR, SR | SW, true},
        {AR, SR, AR, 0, false}, // the second must share what the first already does
    };
    for (auto& c : cases) {
        HANDLE a = Open("s", c.access1, OPEN_EXISTING, c.share1);
        ASSERT_NE(a, INVALID_HANDLE_VALUE);
        SetLastError(kSentinel);
        HANDLE b = Open("s", c.access2, OPEN_EXISTING, c.share2);
        EXPECT_EQ(b != INVALID_HANDLE_VALUE, c.second);
        EXPECT_EQ(GetLastError(), c.second ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
        CloseHandle(a);
    }
    // Delete and move need FILE_SHARE_DELETE from every open handle.
    HANDLE a = Open("s", AR, OPEN_EXISTING, SR);
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileW(W("s").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileW(W("s").c_str(), W("t").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // The same file by its host spelling is the same file.
    std::u16string hostName = vktest::U(root.host("s"));
    EXPECT_EQ(CreateFileW(hostName.c_str(), AW, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(a);
    a = Open("s", AR, OPEN_EXISTING, SR | FILE_SHARE_DELETE);
    EXPECT_TRUE(DeleteFileW(W("s").c_str()));
    CloseHandle(a);
}

TEST_F(FileTest, DeleteMoveAndCopyFollowWindows) {
    vktest::WriteFileBytes(root.host("a"), kOld);
    vktest::WriteFileBytes(root.host("b"), kNew);
    mkdir(root.host("dir").c_str(), 0755);
    vktest::WriteFileBytes(root.host("ro"), kOld);
    chmod(root.host("ro").c_str(), 0444);

    struct {
        const char* what;
        BOOL (*op)(FileTest*);
        bool ok;
        DWORD error;
    } cases[] = {
        {"delete missing", [](FileTest* t) { return DeleteFileW(t->W("zz").c_str()); }, false,
         ERROR_FILE_NOT_FOUND},
        {"delete in missing folder", [](FileTest* t) { return DeleteFileW(t->W("no\\zz").c_str()); }, false,
         ERROR_PATH_NOT_FOUND},
        {"delete folder", [](FileTest* t) { return DeleteFileW(t->W("dir").c_str()); }, false,
         ERROR_ACCESS_DENIED},
        {"delete read-only", [](FileTest* t) { return DeleteFileW(t->W("ro").c_str()); }, false,
         ERROR_ACCESS_DENIED},
        {"move onto existing", [](FileTest* t) { return MoveFileW(t->W("a").c_str(), t->W("b").c_str()); },
         false, ERROR_ALREADY_EXISTS},
        {"move missing", [](FileTest* t) { return MoveFileW(t->W("zz").c_str(), t->W("y").c_str()); }, false,
         ERROR_FILE_NOT_FOUND},
        {"replace read-only",
         [](FileTest* t) {
             return MoveFileExW(t->W("a").c_str(), t->W("ro").c_str(), MOVEFILE_REPLACE_EXISTING);
         },
         false, ERROR_ACCESS_DENIED},
        {"replace folder",
         [](FileTest* t) {
             return MoveFileExW(t->W("a").c_str(), t->W("dir").c_str(), MOVEFILE_REPLACE_EXISTING);
         },
         false, ERROR_ACCESS_DENIED},
        {"copy onto existing, fail if exists",
         [](FileTest* t) { return CopyFileW(t->W("a").c_str(), t->W("b").c_str(), TRUE); }, false,
         ERROR_FILE_EXISTS},
        {"copy a folder",
         [](FileTest* t) { return CopyFileW(t->W("dir").c_str(), t->W("c").c_str(), FALSE); }, false,
         ERROR_ACCESS_DENIED},
        {"copy missing", [](FileTest* t) { return CopyFileW(t->W("zz").c_str(), t->W("c").c_str(), FALSE); },
         false, ERROR_FILE_NOT_FOUND},
        {"copy read-only keeps it read-only",
         [](FileTest* t) { return CopyFileW(t->W("ro").c_str(), t->W("ro2").c_str(), TRUE); }, true,
         ERROR_SUCCESS},
        {"copy over", [](FileTest* t) { return CopyFileW(t->W("a").c_str(), t->W("b").c_str(), FALSE); },
         true, ERROR_SUCCESS},
        {"replace",
         [](FileTest* t) {
             return MoveFileExW(t->W("b").c_str(), t->W("a").c_str(), MOVEFILE_REPLACE_EXISTING);
         },
         true, ERROR_SUCCESS},
        {"move folder", [](FileTest* t) { return MoveFileW(t->W("dir").c_str(), t->W("dir2").c_str()); },
         true, ERROR_SUCCESS},
        {"delete", [](FileTest* t) { return DeleteFileW(t->W("a").c_str()); }, true, ERROR_SUCCESS},
    };
    for (auto& c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(c.op(this) != FALSE, c.ok) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"dir2", "ro", "ro2"}));
    EXPECT_EQ(Content("ro"), "old-data");
    EXPECT_EQ(Content("ro2"), "old-data");
    EXPECT_EQ(GetFileAttributesW(W("ro2").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

TEST_F(FileTest, FoldersCreateAndRemove) {
    SetLastError(kSentinel);
    EXPECT_TRUE(CreateDirectoryW(W("d").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(CreateDirectoryW(W("d").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(W("x\\y").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    vktest::WriteFileBytes(root.host("d/f"), kOld);
    EXPECT_FALSE(RemoveDirectoryW(W("d").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(RemoveDirectoryW(W("d\\f").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(RemoveDirectoryW(W("gone").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(DeleteFileW(W("d\\f").c_str()));
    EXPECT_TRUE(RemoveDirectoryW(W("d").c_str()));
    EXPECT_FALSE(vktest::FileExists(root.host("d")));
}

TEST_F(FileTest, ReadOnlyIsTheOwnerWriteBit) {
    vktest::WriteFileBytes(root.host("f"), kOld);
    mkdir(root.host("d").c_str(), 0755);
    auto mode = [&](const char* rel) {
        struct stat st;
        stat(root.host(rel).c_str(), &st);
        return st.st_mode & 0777;
    };
    chmod(root.host("f").c_str(), 0664);
    EXPECT_EQ(GetFileAttributesW(W("f").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(W("d").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileAttributesW(W("nope").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(W("nope\\x").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    EXPECT_TRUE(SetFileAttributesW(W("f").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(mode("f"), 0444u) << "every write bit goes";
    EXPECT_EQ(GetFileAttributesW(W("f").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(SetFileAttributesW(W("f").c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(mode("f"), 0644u);

    // The runtime's _wchmod: 0 or -1 with errno.
    EXPECT_EQ(_wchmod(W("f").c_str(), _S_IREAD), 0);
    EXPECT_EQ(mode("f"), 0444u);
    EXPECT_FALSE(DeleteFileW(W("f").c_str()));
    EXPECT_EQ(_wchmod(W("f").c_str(), _S_IREAD | _S_IWRITE), 0);
    EXPECT_EQ(mode("f"), 0644u);
    EXPECT_TRUE(DeleteFileW(W("f").c_str()));
    errno = 0;
    EXPECT_EQ(_wchmod(W("f").c_str(), _S_IWRITE), -1);
    EXPECT_EQ(errno, ENOENT);
    // Folders take no read-only state: new files must still go in.
    EXPECT_TRUE(SetFileAttributesW(W("d").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(mode("d"), 0755u);
}

TEST_F(FileTest, TempPathIsAWindowsFolderBelowTheRoot) {
    WCHAR buf[MAX_PATH];
    std::fill(std::begin(buf), std::end(buf), u'#');
    DWORD n = GetTempPathW(MAX_PATH, buf);
    EXPECT_EQ(std::u16string(buf, n), u"C:\\Temp\\");
    EXPECT_EQ(buf[n], 0);
    EXPECT_EQ(GetTempPathW(3, buf), n + 1) << "too small: the size needed";
    struct stat st;
    ASSERT_EQ(stat(root.host("Temp").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    HANDLE h = CreateFileW((std::u16string(u"C:\\Temp\\") + u"t").c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(FileTest, ShortWritesFromTheSystemAreCompleted) {
    PalSyscalls* table = PalTestSyscallTable();
    table->write = [](int fd, const void* buf, size_t n) { return ::write(fd, buf, n > 3 ? 3 : n); };
    HANDLE h = Open("short", GENERIC_WRITE, CREATE_ALWAYS);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, kOld.data(), static_cast<DWORD>(kOld.size()), &n, nullptr));
    EXPECT_EQ(n, kOld.size());
    EXPECT_TRUE(CloseHandle(h));
    PalTestResetSyscalls();
    EXPECT_EQ(vktest::ReadFileBytes(root.host("short")), kOld);
}

TEST_F(FileTest, DebugOutputGoesToItsDestination) {
    std::string file = root.host("debug.txt");
    setenv("VAULTKEEP_DEBUG_OUTPUT", file.c_str(), 1);
    PalTestCaptureDebugOutput(TRUE);
    SetLastError(1234);
    OutputDebugStringW(u"SetEntriesInAcl() failed. Error = 5\n");
    OutputDebugStringA("caf\xc3\xa9\n");
    EXPECT_EQ(GetLastError(), 1234u) << "debug output leaves the last error alone";
    unsetenv("VAULTKEEP_DEBUG_OUTPUT");
    OutputDebugStringA("discarded\n");
    EXPECT_EQ(PalTestTakeDebugOutput(), "SetEntriesInAcl() failed. Error = 5\ncaf\xc3\xa9\ndiscarded\n");
    EXPECT_EQ(PalTestTakeDebugOutput(), "");
    PalTestCaptureDebugOutput(FALSE);
    Bytes b = vktest::ReadFileBytes(file);
    EXPECT_EQ(std::string(b.begin(), b.end()), "SetEntriesInAcl() failed. Error = 5\ncaf\xc3\xa9\n");

    unsigned char key[16];
    memset(key, 0x5a, sizeof key);
    EXPECT_EQ(SecureZeroMemory(key, sizeof key), key);
    for (unsigned char c : key)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(LocalFree(malloc(8)), (HLOCAL)NULL);
}

} // namespace
