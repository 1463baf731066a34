// Files through the Win32 calls: dispositions, last errors, reads and writes,
// names, attributes, sharing (whatever path reaches the file), directory search,
// and the one handle table every kind of handle lives in. Expected outcomes are Windows' own.
#include "fixtures/PalTest.h"
#include "internal/syscalls.h"

#include <wincrypt.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using namespace paltest;
using vktest::Bytes;
using Names = std::vector<std::string>;

const Bytes kOld = {'o', 'l', 'd', '-', 'd', 'a', 't', 'a'};

/* "R" and "W" in a field as the two given bits. */
DWORD Bits(const std::string& f, DWORD read, DWORD write) {
    return (f.find('R') != std::string::npos ? read : 0) | (f.find('W') != std::string::npos ? write : 0);
}

class FileTest : public vktest::RootTest {
  public:
    std::u16string W(const std::string& rel) { return u"C:\\" + vktest::U(rel); }

    HANDLE Open(const std::string& rel, DWORD access, DWORD disposition, DWORD share = 0) {
        return CreateFileW(W(rel).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }

    std::string Content(const std::string& rel) {
        if (!vktest::FileExists(root.host(rel))) return "<none>";
        Bytes b = vktest::ReadFileBytes(root.host(rel));
        return std::string(b.begin(), b.end());
    }
};

TEST_F(FileTest, CreateFileDispositionMatrix) {
    int n = 0;
    for (const auto& r : paltest::Rows("file", "dispose")) {
        SCOPED_TRACE(r[0]);
        const DWORD access = Bits(r[2], GENERIC_READ, GENERIC_WRITE), error = paltest::Num(r[4]);
        const std::string& before = r[3];
        std::string rel = (before == "NoParent" ? "nodir/f" : "f") + std::to_string(n++);
        if (before == "Existing" || before == "ReadOnly") vktest::WriteFileBytes(root.host(rel), kOld);
        if (before == "ReadOnly") chmod(root.host(rel).c_str(), 0444);
        if (before == "Folder") mkdir(root.host(rel).c_str(), 0755);
        SetLastError(kSentinel);
        HANDLE h = Open(rel, access, paltest::Num(r[1]));
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, error == ERROR_SUCCESS || error == ERROR_ALREADY_EXISTS);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            EXPECT_TRUE(!(access & GENERIC_WRITE) || WriteFile(h, "NEW", 3, &written, nullptr));
            SetLastError(kSentinel);
            EXPECT_TRUE(CloseHandle(h));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        }
        EXPECT_EQ(r[5] == "?" ? r[5] : Content(rel), r[5]);
    }
    // OPEN_ALWAYS makes the file at once, before the handle closes.
    HANDLE h = Open("now", GENERIC_WRITE, OPEN_ALWAYS);
    EXPECT_TRUE(vktest::FileExists(root.host("now")));
    CloseHandle(h);
}

// One table holds every kind of handle: each call refuses a live handle of another kind, CloseHandle
// takes only kernel objects, and a closed handle stays dead.
TEST_F(FileTest, EveryCallRefusesAHandleOfAnotherKind) {
    WIN32_FIND_DATAW fd;
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    mkdir(root.host("d").c_str(), 0755);
    const HANDLE file = Open("f", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS),
                 ev = CreateEventW(nullptr, FALSE, FALSE, nullptr),
                 mutex = CreateMutexW(nullptr, FALSE, u"Global\\HandleKinds"),
                 find = FindFirstFileW(W("d\\*").c_str(), &fd),
                 module = LoadLibraryW(paltest::TestLib(FIXTURE_MODULE_FILE).c_str()),
                 key = paltest::RegCreate(u"Software\\Kinds"), ctx = reinterpret_cast<HANDLE>(prov);
    const auto status = [](LSTATUS st) { return SetLastError(DWORD(st)), st == ERROR_SUCCESS; };
    BYTE buf[4];
    DWORD n = 0;
    const std::pair<HANDLE, std::function<BOOL(HANDLE)>> calls[] = {
        {file, [&](HANDLE h) { return ReadFile(h, buf, 4, &n, nullptr); }},
        {ev, [](HANDLE h) { return SetEvent(h); }},
        {mutex, [](HANDLE h) { return ReleaseMutex(h); }},
        {find, [&](HANDLE h) { return FindNextFileW(h, &fd); }},
        {module, [](HANDLE h) { return GetProcAddress(HMODULE(h), "FixtureGetState") != nullptr; }},
        {key, [&](HANDLE h) { return status(paltest::RegGetDword(HKEY(h), u"v", n)); }},
        {ctx, [&](HANDLE h) { return CryptGenRandom(reinterpret_cast<HCRYPTPROV>(h), 4, buf); }},
    };
    for (const auto& [own, call] : calls) {
        ASSERT_TRUE(own != nullptr && own != INVALID_HANDLE_VALUE);
        for (const auto& [other, unused] : calls) {
            if (other == own) continue;
            EXPECT_EQ(ErrOf(call(other)), DWORD(ERROR_INVALID_HANDLE)) << own << " " << other;
        }
        EXPECT_EQ(ErrOf(call(nullptr)), own == ctx ? DWORD(NTE_BAD_UID) : DWORD(ERROR_INVALID_HANDLE));
    }
    for (HANDLE h : {find, module, key, ctx})
        EXPECT_EQ(ErrOf(CloseHandle(h)), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FindClose(find) && FreeLibrary(HMODULE(module)) && CryptReleaseContext(prov, 0));
    EXPECT_EQ(RegCloseKey(HKEY(key)), ERROR_SUCCESS);
    for (HANDLE h : {file, ev, mutex}) {
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(ErrOf(CloseHandle(h)), DWORD(ERROR_INVALID_HANDLE));
    }
}

TEST_F(FileTest, ShareModesBetweenHandlesOfOneProcess) {
    vktest::WriteFileBytes(root.host("s"), kOld);
    for (const auto& r : paltest::Rows("file", "share")) {
        HANDLE a = Open("s", Bits(r[0], GENERIC_READ, GENERIC_WRITE), OPEN_EXISTING,
                        Bits(r[1], FILE_SHARE_READ, FILE_SHARE_WRITE));
        ASSERT_NE(a, INVALID_HANDLE_VALUE);
        SetLastError(kSentinel);
        HANDLE b = Open("s", Bits(r[2], GENERIC_READ, GENERIC_WRITE), OPEN_EXISTING,
                        Bits(r[3], FILE_SHARE_READ, FILE_SHARE_WRITE));
        const bool second = r[4] == "1";
        EXPECT_EQ(b != INVALID_HANDLE_VALUE, second) << r[0] << r[1] << r[2] << r[3];
        EXPECT_EQ(GetLastError(), second ? ERROR_SUCCESS : DWORD(ERROR_SHARING_VIOLATION));
        if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
        CloseHandle(a);
    }
    // Delete and move need FILE_SHARE_DELETE from every open handle.
    HANDLE a = Open("s", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    EXPECT_EQ(ErrOf(DeleteFileW(W("s").c_str())), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ErrOf(MoveFileExW(W("s").c_str(), W("t").c_str(), 0)), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(a);
    a = Open("s", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_DELETE);
    EXPECT_TRUE(DeleteFileW(W("s").c_str()));
    CloseHandle(a);
}

TEST_F(FileTest, DeleteMoveAndCopyFollowWindows) {
    vktest::WriteFileBytes(root.host("a"), kOld);
    vktest::WriteFileBytes(root.host("b"), {'N', 'E', 'W'});
    mkdir(root.host("dir").c_str(), 0755);
    vktest::WriteFileBytes(root.host("ro"), kOld);
    chmod(root.host("ro").c_str(), 0444);

    for (const auto& r : paltest::Rows("file", "op")) {
        const std::u16string from = W(r[1]), to = W(r[2]);
        SetLastError(kSentinel);
        BOOL ok = r[0] == "Delete"  ? DeleteFileW(from.c_str())
                  : r[0] == "MkDir" ? CreateDirectoryW(from.c_str(), nullptr)
                  : r[0] == "RmDir" ? RemoveDirectoryW(from.c_str())
                  : r[0] == "Move"  ? MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED)
                                    : CopyFileW(from.c_str(), to.c_str(), r[0] == "CopyNew");
        EXPECT_EQ(ok != FALSE, r[3] == "0") << r[0] << " " << r[1];
        EXPECT_EQ(GetLastError(), paltest::Num(r[3])) << r[0] << " " << r[1];
    }
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"b", "dir2", "ro", "ro2"}));
    EXPECT_EQ(Content("b"), "old-data");
    EXPECT_EQ(GetFileAttributesW(W("ro2").c_str()),
              DWORD(FILE_ATTRIBUTE_READONLY)); // copied as is
}

TEST_F(FileTest, ReadOnlyIsTheOwnerWriteBit) {
    vktest::WriteFileBytes(root.host("f"), kOld);
    mkdir(root.host("d").c_str(), 0755);
    chmod(root.host("f").c_str(), 0664);
    EXPECT_EQ(GetFileAttributesW(W("f").c_str()), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(W("d").c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(ErrOf(GetFileAttributesW(W("nope\\x").c_str()) != INVALID_FILE_ATTRIBUTES),
              DWORD(ERROR_PATH_NOT_FOUND));
    // Read-only takes every write bit; clearing it gives the owner's back.
    const std::pair<DWORD, mode_t> cases[] = {{FILE_ATTRIBUTE_READONLY, 0444}, {FILE_ATTRIBUTE_NORMAL, 0644}};
    for (auto [attributes, mode] : cases) {
        EXPECT_TRUE(SetFileAttributesW(W("f").c_str(), attributes));
        struct stat st = {};
        stat(root.host("f").c_str(), &st);
        EXPECT_EQ(st.st_mode & 0777, mode);
        EXPECT_EQ(GetFileAttributesW(W("f").c_str()), attributes);
    }
    EXPECT_EQ(ErrOf(SetFileAttributesW(W("gone").c_str(), FILE_ATTRIBUTE_NORMAL)),
              DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileTest, ShortWritesFromTheSystemAreCompleted) {
    PalTestSyscallTable()->write = [](int fd, const void* buf, size_t n) {
        return ::write(fd, buf, n > 3 ? 3 : n);
    };
    HANDLE h = Open("short", GENERIC_WRITE, CREATE_ALWAYS);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, kOld.data(), DWORD(kOld.size()), &n, nullptr));
    EXPECT_EQ(n, kOld.size());
    EXPECT_TRUE(CloseHandle(h));
    PalTestResetSyscalls();
    EXPECT_EQ(vktest::ReadFileBytes(root.host("short")), kOld);

    // A short read at the end is a success, the next reads nothing; a read-only handle refuses writes.
    h = Open("short", GENERIC_READ, OPEN_EXISTING);
    Bytes back(kOld.size() + 4, 0xbd);
    ASSERT_TRUE(ReadFile(h, back.data(), DWORD(back.size()), &n, nullptr));
    EXPECT_EQ(back, (Bytes{'o', 'l', 'd', '-', 'd', 'a', 't', 'a', 0xbd, 0xbd, 0xbd, 0xbd}));
    EXPECT_TRUE(ReadFile(h, back.data(), 4, &n, nullptr) && n == 0);
    n = kSentinel;
    EXPECT_EQ(ErrOf(WriteFile(h, "x", 1, &n, nullptr)), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
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
    PalTestCaptureDebugOutput(FALSE);
    Bytes b = vktest::ReadFileBytes(file);
    EXPECT_EQ(std::string(b.begin(), b.end()), "SetEntriesInAcl() failed. Error = 5\ncaf\xc3\xa9\n");
}

// ---- directory search: order, dots, patterns, end of listing, hidden temporaries --------------------

/* "name:attributes" per entry found; endError gets the last error that ended the search. */
Names Search(const std::u16string& pattern, DWORD& endError) {
    Names out;
    WIN32_FIND_DATAW fd;
    memset(&fd, 0xbd, sizeof fd);
    HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        endError = GetLastError();
        return out;
    }
    do {
        out.push_back(vktest::Narrow(fd.cFileName) + ":" + std::to_string(fd.dwFileAttributes));
    } while (FindNextFileW(h, &fd));
    endError = GetLastError();
    EXPECT_TRUE(FindClose(h));
    return out;
}

TEST_F(FileTest, FolderPatternListsDotsFirstThenEntriesAndFailuresTellWhatIsMissing) {
    mkdir(root.host("app").c_str(), 0755);
    mkdir(root.host("app/sub").c_str(), 0755);
    vktest::WriteFileBytes(root.host("app/user.bin"), vktest::Bytes(300, 1));
    vktest::WriteFileBytes(root.host("app/Blob"), {1, 2});
    vktest::WriteFileBytes(root.host("app/ro"), {1});
    chmod(root.host("app/ro").c_str(), 0444);
    // A write in progress (and one left by a crash) stays invisible.
    vktest::WriteFileBytes(root.host("app/.~pal-0123456789abcdef"), {9});

    // Attributes: 16 folder, 128 normal, 1 read-only.
    DWORD end = 0;
    const Names all = {".:16", "..:16", "Blob:128", "ro:1", "sub:16", "user.bin:128"};
    EXPECT_EQ(Search(u"C:\\app\\*", end), all);
    EXPECT_EQ(end, DWORD(ERROR_NO_MORE_FILES));
    EXPECT_EQ(Search(u"C:\\app\\*.*", end), all);
    EXPECT_EQ(Search(u"C:/app/*.bin", end), Names{"user.bin:128"});
    EXPECT_EQ(Search(u"C:\\app\\user.bin", end), Names{"user.bin:128"});
    EXPECT_EQ(Search(u"C:\\app\\sub\\*", end), (Names{".:16", "..:16"}));
    for (const auto& r : paltest::Rows("file", "search")) {
        EXPECT_TRUE(Search(vktest::U(r[0]), end).empty()) << r[0];
        EXPECT_EQ(end, paltest::Num(r[1])) << r[0];
    }
}

TEST_F(FileTest, StaleTemporariesDoNotKeepAFolderAlive) {
    mkdir(root.host("u").c_str(), 0755);
    vktest::WriteFileBytes(root.host("u/.~pal-00000000000000aa"), {1}); // left by a crashed writer
    EXPECT_TRUE(RemoveDirectoryW(u"C:\\u"));

    // A live writer's temporary is not swept away under it.
    mkdir(root.host("v").c_str(), 0755);
    HANDLE h = CreateFileW(u"C:\\v\\f", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ErrOf(RemoveDirectoryW(u"C:\\v")), DWORD(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(WriteFile(h, "x", 1, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(vktest::ListDir(root.host("v")), (std::vector<std::string>{"f"}));
}

} // namespace
