// Directory search: order, dots, patterns, end of listing, hidden temporaries.
#include "VkTest.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using vktest::RootTest;

struct Listed {
    std::string name;
    DWORD attrs;
    DWORD size;
};

std::vector<Listed> Search(const std::u16string& pattern, DWORD& endError) {
    std::vector<Listed> out;
    WIN32_FIND_DATAW fd;
    memset(&fd, 0xbd, sizeof fd);
    SetLastError(0xdeadbeef);
    HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        endError = GetLastError();
        return out;
    }
    do {
        out.push_back({vktest::Narrow(fd.cFileName), fd.dwFileAttributes, fd.nFileSizeLow});
    } while (FindNextFileW(h, &fd));
    endError = GetLastError();
    EXPECT_TRUE(FindClose(h));
    return out;
}

std::vector<std::string> Names(const std::vector<Listed>& l) {
    std::vector<std::string> names;
    for (auto& e : l)
        names.push_back(e.name);
    return names;
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

    DWORD end = 0;
    auto listed = Search(u"C:\\app\\*", end);
    EXPECT_EQ(end, static_cast<DWORD>(ERROR_NO_MORE_FILES));
    ASSERT_EQ(Names(listed), (std::vector<std::string>{".", "..", "Blob", "ro", "sub", "user.bin"}));
    EXPECT_EQ(listed[0].attrs, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(listed[1].attrs, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(listed[2].attrs, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(listed[2].size, 2u);
    EXPECT_EQ(listed[3].attrs, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(listed[4].attrs, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(listed[5].size, 300u);

    EXPECT_EQ(Names(Search(u"C:\\app\\*.*", end)), Names(listed));
    EXPECT_EQ(Names(Search(u"C:/app/*.bin", end)), (std::vector<std::string>{"user.bin"}));
    EXPECT_EQ(Names(Search(u"C:\\app\\user.bin", end)), (std::vector<std::string>{"user.bin"}));
    EXPECT_EQ(end, static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(Names(Search(u"C:\\app\\sub\\*", end)), (std::vector<std::string>{".", ".."}));
}

TEST_F(RootTest, SearchFailuresTellWhatIsMissing) {
    mkdir(root.host("app").c_str(), 0755);
    const std::pair<const char16_t*, DWORD> cases[] = {
        {u"C:\\missing\\*", ERROR_PATH_NOT_FOUND},   {u"C:\\app\\nothing*", ERROR_FILE_NOT_FOUND},
        {u"C:\\app\\nothing", ERROR_FILE_NOT_FOUND}, {u"C:\\missing\\nothing", ERROR_PATH_NOT_FOUND},
        {u"C:\\app\\", ERROR_FILE_NOT_FOUND},        {u"D:\\*", ERROR_PATH_NOT_FOUND},
    };
    for (auto& c : cases) {
        DWORD end = 0;
        EXPECT_TRUE(Search(c.first, end).empty()) << vktest::Narrow(c.first);
        EXPECT_EQ(end, c.second) << vktest::Narrow(c.first);
    }
    WIN32_FIND_DATAW fd;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FindNextFileW(INVALID_HANDLE_VALUE, &fd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(FindNextFileW(ev, &fd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(ev);
}

TEST_F(RootTest, DriveRootHasNoDotEntriesAndLinksAreNotFolders) {
    mkdir(root.host("ProgramData").c_str(), 0755);
    mkdir(root.host("outside").c_str(), 0755);
    vktest::WriteFileBytes(root.host("outside/precious"), {1});
    ASSERT_EQ(symlink(root.host("outside").c_str(), root.host("ProgramData/link").c_str()), 0);
    DWORD end = 0;
    EXPECT_EQ(Names(Search(u"C:\\*", end)), (std::vector<std::string>{"ProgramData", "outside"}));
    auto listed = Search(u"C:\\ProgramData\\*", end);
    ASSERT_EQ(Names(listed), (std::vector<std::string>{".", "..", "link"}));
    // A recursive delete that trusts the folder bit removes the link, not what it points at.
    EXPECT_EQ(listed[2].attrs, static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
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
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RemoveDirectoryW(u"C:\\v"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(WriteFile(h, "x", 1, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(vktest::ListDir(root.host("v")), (std::vector<std::string>{"f"}));
}

} // namespace
