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

using paltest::ErrOf;
using vktest::Bytes;
using Names = std::vector<std::string>;

constexpr DWORD kSentinel = 0xdeadbeef;
const Bytes kOld = {'o', 'l', 'd', '-', 'd', 'a', 't', 'a'};

enum class Before { Missing, Existing, ReadOnly, Folder, NoParent };

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
    const DWORD R = GENERIC_READ, Wr = GENERIC_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
    struct Case {
        const char* what;
        DWORD disposition, access;
        Before before;
        DWORD error;       // the last error afterwards; a handle unless a failure code
        const char* after; // content once closed, after writing "NEW" when allowed; nullptr: not checked
    } cases[] = {
        {"new/missing", CREATE_NEW, RW, Before::Missing, ERROR_SUCCESS, "NEW"},
        {"new/existing", CREATE_NEW, RW, Before::Existing, ERROR_FILE_EXISTS, "old-data"},
        {"new/no parent", CREATE_NEW, RW, Before::NoParent, ERROR_PATH_NOT_FOUND, nullptr},
        {"always/missing", CREATE_ALWAYS, Wr, Before::Missing, ERROR_SUCCESS, "NEW"},
        {"always/existing", CREATE_ALWAYS, Wr, Before::Existing, ERROR_ALREADY_EXISTS, "NEW"},
        {"always/existing read access", CREATE_ALWAYS, R, Before::Existing, ERROR_ALREADY_EXISTS, ""},
        {"always/read-only file", CREATE_ALWAYS, Wr, Before::ReadOnly, ERROR_ACCESS_DENIED, "old-data"},
        {"existing/missing", OPEN_EXISTING, R, Before::Missing, ERROR_FILE_NOT_FOUND, "<none>"},
        {"existing/existing", OPEN_EXISTING, RW, Before::Existing, ERROR_SUCCESS, "NEW-data"},
        {"existing/read-only write", OPEN_EXISTING, RW, Before::ReadOnly, ERROR_ACCESS_DENIED, "old-data"},
        {"existing/folder", OPEN_EXISTING, R, Before::Folder, ERROR_ACCESS_DENIED, nullptr},
        {"existing/no parent", OPEN_EXISTING, R, Before::NoParent, ERROR_PATH_NOT_FOUND, nullptr},
        {"open-always/missing", OPEN_ALWAYS, RW, Before::Missing, ERROR_SUCCESS, "NEW"},
        {"open-always/existing", OPEN_ALWAYS, RW, Before::Existing, ERROR_ALREADY_EXISTS, "NEW-data"},
        {"truncate/existing", TRUNCATE_EXISTING, Wr, Before::Existing, ERROR_SUCCESS, "NEW"},
        {"disposition 6", 6, R, Before::Existing, ERROR_INVALID_PARAMETER, "old-data"}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string rel = (c.before == Before::NoParent ? "nodir/f" : "f") + std::to_string(n++);
        if (c.before == Before::Existing || c.before == Before::ReadOnly)
            vktest::WriteFileBytes(root.host(rel), kOld);
        if (c.before == Before::ReadOnly) chmod(root.host(rel).c_str(), 0444);
        if (c.before == Before::Folder) mkdir(root.host(rel).c_str(), 0755);
        SetLastError(kSentinel);
        HANDLE h = Open(rel, c.access, c.disposition);
        EXPECT_EQ(GetLastError(), c.error);
        const bool ok = c.error == ERROR_SUCCESS || c.error == ERROR_ALREADY_EXISTS;
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, ok);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            EXPECT_TRUE(!(c.access & GENERIC_WRITE) || WriteFile(h, "NEW", 3, &written, nullptr));
            SetLastError(kSentinel);
            EXPECT_TRUE(CloseHandle(h));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        }
        EXPECT_EQ(c.after ? Content(rel) : "", c.after ? c.after : "");
    }
    // OPEN_ALWAYS makes the file at once, before the handle closes.
    HANDLE h = Open("now", GENERIC_WRITE, OPEN_ALWAYS);
    EXPECT_TRUE(vktest::FileExists(root.host("now")));
    CloseHandle(h);
}

TEST_F(FileTest, ReadsAndWritesCountBytesExactly) {
    HANDLE h = Open("data", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Bytes payload(70000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, payload.data(), DWORD(payload.size()), &n, nullptr));
    EXPECT_EQ(n, payload.size());
    LARGE_INTEGER size = {};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, static_cast<LONGLONG>(payload.size()));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("data")), payload);

    // A short read at the end is a success; a read-only handle refuses writes.
    h = Open("data", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    Bytes back(payload.size() + 64, 0xbd);
    ASSERT_TRUE(ReadFile(h, back.data(), DWORD(back.size()), &n, nullptr));
    EXPECT_EQ(n, payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), back.begin()));
    EXPECT_EQ(back[payload.size()], 0xbd);
    ASSERT_TRUE(ReadFile(h, back.data(), 64, &n, nullptr));
    EXPECT_EQ(n, 0u);
    n = kSentinel;
    EXPECT_EQ(ErrOf(WriteFile(h, "x", 1, &n, nullptr)), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
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
    const DWORD AR = GENERIC_READ, AW = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
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
        EXPECT_EQ(GetLastError(), c.second ? ERROR_SUCCESS : DWORD(ERROR_SHARING_VIOLATION));
        if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
        CloseHandle(a);
    }
    // Delete and move need FILE_SHARE_DELETE from every open handle.
    HANDLE a = Open("s", AR, OPEN_EXISTING, SR);
    EXPECT_EQ(ErrOf(DeleteFileW(W("s").c_str())), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ErrOf(MoveFileExW(W("s").c_str(), W("t").c_str(), 0)), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(a);
    a = Open("s", AR, OPEN_EXISTING, SR | FILE_SHARE_DELETE);
    EXPECT_TRUE(DeleteFileW(W("s").c_str()));
    CloseHandle(a);
}

TEST_F(FileTest, DeleteMoveAndCopyFollowWindows) {
    vktest::WriteFileBytes(root.host("a"), kOld);
    vktest::WriteFileBytes(root.host("b"), {'N', 'E', 'W'});
    mkdir(root.host("dir").c_str(), 0755);
    vktest::WriteFileBytes(root.host("ro"), kOld);
    chmod(root.host("ro").c_str(), 0444);

    enum Op { Delete, Move, CopyNew, CopyOver };
    const struct {
        Op op;
        const char *from, *to;
        DWORD error;
    } cases[] = {
        {Delete, "zz", nullptr, ERROR_FILE_NOT_FOUND}, {Delete, "no\\zz", nullptr, ERROR_PATH_NOT_FOUND},
        {Delete, "dir", nullptr, ERROR_ACCESS_DENIED}, {Delete, "ro", nullptr, ERROR_ACCESS_DENIED},
        {Move, "a", "b", ERROR_ALREADY_EXISTS},        {Move, "zz", "y", ERROR_FILE_NOT_FOUND},
        {CopyNew, "a", "b", ERROR_FILE_EXISTS},        {CopyOver, "zz", "c", ERROR_FILE_NOT_FOUND},
        {CopyNew, "ro", "ro2", ERROR_SUCCESS},         {CopyOver, "a", "b", ERROR_SUCCESS},
        {Move, "dir", "dir2", ERROR_SUCCESS},          {Delete, "a", nullptr, ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        std::u16string from = W(c.from), to = c.to ? W(c.to) : u"";
        SetLastError(kSentinel);
        BOOL ok = c.op == Delete    ? DeleteFileW(from.c_str())
                  : c.op == Move    ? MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED)
                  : c.op == CopyNew ? CopyFileW(from.c_str(), to.c_str(), TRUE)
                                    : CopyFileW(from.c_str(), to.c_str(), FALSE);
        EXPECT_EQ(ok != FALSE, c.error == ERROR_SUCCESS) << c.op << " " << c.from;
        EXPECT_EQ(GetLastError(), c.error) << c.op << " " << c.from;
    }
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"b", "dir2", "ro", "ro2"}));
    EXPECT_EQ(Content("b"), "old-data");
    EXPECT_EQ(GetFileAttributesW(W("ro2").c_str()),
              DWORD(FILE_ATTRIBUTE_READONLY)); // copied as is
}

TEST_F(FileTest, FoldersCreateAndRemove) {
    EXPECT_TRUE(CreateDirectoryW(W("d").c_str(), nullptr));
    EXPECT_EQ(ErrOf(CreateDirectoryW(W("d").c_str(), nullptr)), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ErrOf(CreateDirectoryW(W("x\\y").c_str(), nullptr)), DWORD(ERROR_PATH_NOT_FOUND));
    vktest::WriteFileBytes(root.host("d/f"), kOld);
    EXPECT_EQ(ErrOf(RemoveDirectoryW(W("d").c_str())), DWORD(ERROR_DIR_NOT_EMPTY));
    EXPECT_EQ(ErrOf(RemoveDirectoryW(W("d\\f").c_str())), DWORD(ERROR_DIRECTORY));
    EXPECT_EQ(ErrOf(RemoveDirectoryW(W("gone").c_str())), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(DeleteFileW(W("d\\f").c_str()));
    EXPECT_TRUE(RemoveDirectoryW(W("d").c_str()));
    EXPECT_FALSE(vktest::FileExists(root.host("d")));
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

TEST_F(FileTest, FolderPatternListsDotsFirstThenEntries) {
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
}

TEST_F(FileTest, SearchFailuresTellWhatIsMissing) {
    mkdir(root.host("app").c_str(), 0755);
    const std::pair<const char16_t*, DWORD> cases[] = {{u"C:\\missing\\*", ERROR_PATH_NOT_FOUND},
                                                       {u"C:\\app\\nothing*", ERROR_FILE_NOT_FOUND},
                                                       {u"C:\\app\\", ERROR_FILE_NOT_FOUND},
                                                       {u"D:\\*", ERROR_PATH_NOT_FOUND}};
    for (auto& [pattern, error] : cases) {
        DWORD end = 0;
        EXPECT_TRUE(Search(pattern, end).empty()) << vktest::Narrow(pattern);
        EXPECT_EQ(end, error) << vktest::Narrow(pattern);
    }
}

TEST_F(FileTest, DriveRootHasNoDotEntriesAndLinksAreNotFolders) {
    mkdir(root.host("ProgramData").c_str(), 0755);
    mkdir(root.host("outside").c_str(), 0755);
    vktest::WriteFileBytes(root.host("outside/precious"), {1});
    ASSERT_EQ(symlink(root.host("outside").c_str(), root.host("ProgramData/link").c_str()), 0);
    DWORD end = 0;
    EXPECT_EQ(Search(u"C:\\*", end), (Names{"ProgramData:16", "outside:16"}));
    // A recursive delete that trusts the folder bit removes the link (a reparse point), not what it points
    // at.
    EXPECT_EQ(Search(u"C:\\ProgramData\\*", end), (Names{".:16", "..:16", "link:1024"}));
    EXPECT_TRUE(DeleteFileW(u"C:\\ProgramData\\link"));
    EXPECT_TRUE(vktest::FileExists(root.host("outside/precious")));
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
