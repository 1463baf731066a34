// The durable writer where the export fault matrix (export_fault_test) cannot
// look: what readers and a racing creator see before the publish, a crashed
// writer's temporaries, the Win32 errors a failing copy reports, and the folder
// flush a credential call makes before it removes a blob.
#include "../pal/fixtures/PalTest.h"
#include "internal/syscalls.h"

#include <vaultkeep/vaultkeep.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <tuple>

namespace {

using namespace paltest;
using vktest::Bytes;

const Bytes kOldTable(5000, 'o');

class DurableFault : public vktest::RootTest {
  protected:
    void TearDown() override { PalTestResetSyscalls(); }
    std::vector<std::string> Listing() { return vktest::ListDir(root.path()); }
};

TEST_F(DurableFault, TemporariesOfACrashedWriterGoWhenTheFolderIsFirstWritten) {
    // A crashed writer's temporary holds no lock; a live writer's does.
    vktest::WriteFileBytes(root.host(".~pal-00000000000000aa"), Bytes(10, 'x'));
    HANDLE h = CreateFileW(u"C:\\table.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"table.bin"}));
}

TEST_F(DurableFault, ReadersSeeTheOldFileUntilThePublishAndCreateNewReplacesNothing) {
    vktest::WriteFileBytes(root.host("table.bin"), kOldTable);
    HANDLE w =
        CreateFileW(u"C:\\table.bin", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD n;
    ASSERT_TRUE(WriteFile(w, "new", 3, &n, nullptr));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOldTable) << "never torn, never half new";
    ASSERT_TRUE(CloseHandle(w));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), (Bytes{'n', 'e', 'w'}));

    std::remove(root.host("table.bin").c_str());
    w = CreateFileW(u"C:\\table.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteFile(w, "mine", 4, &n, nullptr));
    vktest::WriteFileBytes(root.host("table.bin"), kOldTable); // another process got there first
    EXPECT_EQ(ErrOf(CloseHandle(w)), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOldTable);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"table.bin"}));
}

TEST_F(DurableFault, FailedCopyLeavesTheTargetWhole) {
    vktest::WriteFileBytes(root.host("src.bin"), Bytes(200000, 's'));
    vktest::WriteFileBytes(root.host("table.bin"), kOldTable);
    // The errors as the durable writer maps them; where it fails, the old file stays.
    const std::tuple<const char*, int, DWORD> cases[] = {
        {"read", EIO, ERROR_READ_FAULT},      {"write", EIO, ERROR_WRITE_FAULT},
        {"write", ENOSPC, ERROR_DISK_FULL},   {"fsync", EIO, ERROR_WRITE_FAULT},
        {"rename", EIO, ERROR_WRITE_FAULT},   {"rename", EACCES, ERROR_ACCESS_DENIED}};
    for (const auto& [call, err, expected] : cases) {
        SCOPED_TRACE(std::string(call) + " " + strerror(err));
        PalTestFailSyscall(nullptr, 0, 0);
        PalTestFailSyscall(call, 1, err);
        EXPECT_EQ(ErrOf(CopyFileW(u"C:\\src.bin", u"C:\\table.bin", FALSE)), expected);
        EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOldTable);
        EXPECT_EQ(Listing(), (std::vector<std::string>{"src.bin", "table.bin"}));
    }
}

/* What a credential call does to its folder, in order: "rename <to>", "unlink
 * <path>", "flush <folder>" (an fsync of a folder). */
std::vector<std::string> g_folderOps;

int TrackRename(const char* from, const char* to) {
    g_folderOps.push_back(std::string("rename ") + to);
    return ::rename(from, to);
}
int TrackUnlink(const char* path) {
    g_folderOps.push_back(std::string("unlink ") + path);
    return ::unlink(path);
}
int TrackFsync(int fd) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) g_folderOps.push_back("flush");
    return ::fsync(fd);
}

/* A blob leaves only once the table that stops naming it is on disk, folder
 * entry included: an unflushed unlink may reach the disk before the rename on a
 * file system without a journal, and the old table would name a missing blob. */
class CredentialBlobs : public vktest::RootTest {
  protected:
    void TearDown() override { PalTestResetSyscalls(); }
};

TEST_F(CredentialBlobs, ABlobIsRemovedOnlyAfterTheFolderNamingTheNewTableIsFlushed) {
    ASSERT_EQ(VaultkeepInitRoot(), 0);
    vktest::ByteArray secret(std::string("blob order secret")), md(std::string("m")), emd(std::string("e"));
    ASSERT_EQ(RegisterApp(u"Mail", secret), 0);
    auto store = [&](const char* data) {
        vktest::ByteArray cred{std::string(data)};
        return StoreCredential(u"Mail", secret, u"alice", u"pw", u"c1", md, emd, cred);
    };
    ASSERT_EQ(store("first"), 0);

    const std::pair<const char*, std::function<LONG()>> calls[] = {
        {"StoreCredential replacing", [&] { return store("second"); }},
        {"DeleteCred", [&] { return DeleteCred(u"Mail", secret, u"alice", u"c1"); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        PalTestResetSyscalls();
        g_folderOps.clear();
        PalTestSyscallTable()->rename = TrackRename;
        PalTestSyscallTable()->unlink = TrackUnlink;
        PalTestSyscallTable()->fsync = TrackFsync;
        const LONG status = call();
        PalTestResetSyscalls();
        ASSERT_EQ(status, 0);

        std::string ops;
        for (const std::string& op : g_folderOps) ops += op + "\n";
        const auto table = std::find_if(g_folderOps.begin(), g_folderOps.end(), [](const std::string& op) {
            return op.rfind("rename ", 0) == 0 && op.size() > 9 && op.compare(op.size() - 9, 9, "/user.bin") == 0;
        });
        ASSERT_NE(table, g_folderOps.end()) << ops;
        const auto blob = std::find_if(table, g_folderOps.end(),
                                       [](const std::string& op) { return op.rfind("unlink ", 0) == 0; });
        ASSERT_NE(blob, g_folderOps.end()) << "the old blob is removed\n" << ops;
        EXPECT_NE(std::find(table, blob, "flush"), blob) << "no folder flush between the table and the removal\n"
                                                         << ops;
    }
}

} // namespace
