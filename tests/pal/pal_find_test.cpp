// Directory search: order, dots, patterns, end of listing, hidden temporaries.
#include "fixtures/PalTest.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using paltest::ErrOf;
using vktest::RootTest;
using Names = std::vector<std::string>;

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

TEST_F(RootTest, FolderPatternListsDotsFirstThenEntries) {
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

TEST_F(RootTest, SearchFailuresTellWhatIsMissing) {
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
    WIN32_FIND_DATAW fd;
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(ErrOf(FindNextFileW(ev, &fd)), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindClose(ev));
    CloseHandle(ev);
}

TEST_F(RootTest, DriveRootHasNoDotEntriesAndLinksAreNotFolders) {
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

TEST_F(RootTest, StaleTemporariesDoNotKeepAFolderAlive) {
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
