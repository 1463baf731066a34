// Whole-file replacement and the registry store under failing system calls: at
// every failing write, fsync or rename the old file stays whole and readable and
// no temporary remains; the failure reaches the caller (WriteFile, CloseHandle,
// RegCloseKey, the next RegFlushKey), so nothing unwritten is acknowledged.
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
using vktest::U;

const Bytes kOld(5000, 'o');
const Bytes kNew(3000, 'n');

class DurableFault : public vktest::RootTest {
  protected:
    void TearDown() override { PalTestResetSyscalls(); }

    /* Writes kNew in two chunks under the disposition, failing the nth call named (none when nth is 0).
     * Returns the first failure seen; closeFailed tells whether CloseHandle reported one. */
    DWORD Rewrite(DWORD disposition, const char* call, int nth, int err, bool& closeFailed) {
        PalTestFailSyscall(nullptr, 0, 0);
        if (nth) PalTestFailSyscall(call, nth, err);
        closeFailed = false;
        HANDLE h = CreateFileW(u"C:\\table.bin", GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return GetLastError();
        DWORD first = ERROR_SUCCESS, n;
        for (size_t off : {size_t(0), kNew.size() / 2}) {
            if (!first && !WriteFile(h, kNew.data() + off, DWORD(kNew.size() / 2), &n, nullptr))
                first = GetLastError();
        }
        if (!CloseHandle(h)) {
            closeFailed = true;
            if (!first) first = GetLastError();
        }
        return first;
    }

    void Reset(bool existing) {
        vktest::WriteFileBytes(root.host("table.bin"), kOld);
        if (!existing) std::remove(root.host("table.bin").c_str());
    }
    std::vector<std::string> Listing() { return vktest::ListDir(root.path()); }
};

TEST_F(DurableFault, EveryFailingCallLeavesTheOldFileWhole) {
    const struct {
        const char* what;
        DWORD disposition;
        bool existing; // an old file to keep whole
        const char* call;
        int err;
        DWORD expected;
    } cases[] = {
        {"create-always write EIO", CREATE_ALWAYS, true, "write", EIO, ERROR_WRITE_FAULT},
        {"create-always write ENOSPC", CREATE_ALWAYS, true, "write", ENOSPC, ERROR_DISK_FULL},
        {"truncate write", TRUNCATE_EXISTING, true, "write", ENOSPC, ERROR_DISK_FULL},
        {"truncate rename", TRUNCATE_EXISTING, true, "rename", EACCES, ERROR_ACCESS_DENIED},
        {"create-new write", CREATE_NEW, false, "write", EIO, ERROR_WRITE_FAULT},
    };
    bool closeFailed;
    for (const auto& c : cases) {
        // Learn how many such calls one rewrite makes, then fail each in turn.
        Reset(c.existing);
        ASSERT_EQ(Rewrite(c.disposition, c.call, 0, 0, closeFailed), DWORD(ERROR_SUCCESS));
        const unsigned calls = PalTestSyscallCount(c.call);
        ASSERT_GE(calls, 1u) << c.what;
        for (unsigned k = 1; k <= calls; ++k) {
            SCOPED_TRACE(std::string(c.what) + " #" + std::to_string(k));
            Reset(c.existing);
            EXPECT_EQ(Rewrite(c.disposition, c.call, static_cast<int>(k), c.err, closeFailed), c.expected);
            EXPECT_TRUE(closeFailed) << "CloseHandle must report the lost write";
            if (c.existing) {
                EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld);
                EXPECT_EQ(Listing(), (std::vector<std::string>{"table.bin"}));
            } else {
                EXPECT_TRUE(Listing().empty());
            }
        }
        // And the same rewrite succeeds once nothing fails.
        Reset(c.existing);
        EXPECT_EQ(Rewrite(c.disposition, c.call, 0, 0, closeFailed), DWORD(ERROR_SUCCESS)) << c.what;
        EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kNew) << c.what;
        EXPECT_EQ(Listing(), (std::vector<std::string>{"table.bin"})) << c.what;
    }
}

TEST_F(DurableFault, TemporariesOfACrashedWriterGoWhenTheFolderIsFirstWritten) {
    // A crashed writer's temporary holds no lock; a live writer's does.
    vktest::WriteFileBytes(root.host(".~pal-00000000000000aa"), Bytes(10, 'x'));
    bool closeFailed;
    ASSERT_EQ(Rewrite(CREATE_ALWAYS, "write", 0, 0, closeFailed), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"table.bin"}));
}

TEST_F(DurableFault, ReadersSeeTheOldFileUntilThePublishAndCreateNewReplacesNothing) {
    vktest::WriteFileBytes(root.host("table.bin"), kOld);
    HANDLE w =
        CreateFileW(u"C:\\table.bin", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD n;
    ASSERT_TRUE(WriteFile(w, "new", 3, &n, nullptr));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld) << "never torn, never half new";
    ASSERT_TRUE(CloseHandle(w));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), (Bytes{'n', 'e', 'w'}));

    std::remove(root.host("table.bin").c_str());
    w = CreateFileW(u"C:\\table.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteFile(w, "mine", 4, &n, nullptr));
    vktest::WriteFileBytes(root.host("table.bin"), kOld); // another process got there first
    EXPECT_EQ(ErrOf(CloseHandle(w)), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"table.bin"}));
}

TEST_F(DurableFault, FailedCopyLeavesTheTargetWhole) {
    vktest::WriteFileBytes(root.host("src.bin"), Bytes(200000, 's'));
    vktest::WriteFileBytes(root.host("table.bin"), kOld);
    for (const char* call : {"read", "write", "fsync", "rename"}) {
        PalTestFailSyscall(nullptr, 0, 0);
        PalTestFailSyscall(call, 1, EIO);
        const DWORD expected = std::string(call) == "read" ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
        EXPECT_EQ(ErrOf(CopyFileW(u"C:\\src.bin", u"C:\\table.bin", FALSE)), expected) << call;
        EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld) << call;
        EXPECT_EQ(Listing(), (std::vector<std::string>{"src.bin", "table.bin"})) << call;
    }
}

// Another process's view: exit status 0 when the key is in the store on disk.
VK_HELPER(batch_has_key) {
    return RegHasKey(args.at(0)) ? 0 : 1;
}

/* How many times the store is written is the PAL's own business; what another process sees is not. */
class RegistryBatch : public vktest::RootTest {
  protected:
    void TearDown() override { PalTestResetSyscalls(); }
    std::string Store() const { return root.host("registry/machine.hive"); }
    static bool OnDisk(const std::string& path) { return vktest::RunHelper("batch_has_key", {path}) == 0; }
};

TEST_F(RegistryBatch, ChangesThroughHandlesReachOtherProcessesAtTheLastCloseOrAFlush) {
    HKEY a = RegCreate(u"Software\\A");
    HKEY b = RegCreate(u"Software\\B");
    ASSERT_EQ(RegSetDword(a, u"x", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegSetDword(b, u"y", 2), ERROR_SUCCESS);
    EXPECT_TRUE(RegHasKey("Software\\A")) << "this process reads its own pending changes";
    EXPECT_FALSE(OnDisk("Software\\A")) << "other processes see the old store until the write";
    ASSERT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_FALSE(OnDisk("Software\\A")) << "b changed the store too and is still open";
    ASSERT_EQ(RegCloseKey(b), ERROR_SUCCESS);
    EXPECT_TRUE(OnDisk("Software\\A"));
    EXPECT_TRUE(OnDisk("Software\\B"));
    // A change through the predefined key, which is never closed, is written at once.
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\B"), ERROR_SUCCESS);
    EXPECT_FALSE(OnDisk("Software\\B"));
    // RegFlushKey writes pending changes while their handle stays open.
    HKEY c = RegCreate(u"Software\\C");
    ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_TRUE(OnDisk("Software\\C"));
    RegCloseKey(c);
}

TEST_F(RegistryBatch, AFailedWriteKeepsTheOldStoreAndIsReportedOnce) {
    RegCloseKey(RegCreate(u"Software\\Vendor"));
    const vktest::Bytes good = vktest::ReadFileBytes(Store());
    const std::tuple<const char*, int, LSTATUS> cases[] = {
        {"write", ENOSPC, ERROR_DISK_FULL},
        {"rename", EIO, ERROR_CANTWRITE},
    };
    for (const auto& [call, err, status] : cases) {
        for (bool atClose : {false, true}) {
            SCOPED_TRACE(std::string(call) + " " + strerror(err) +
                         (atClose ? " at the close" : " at a flush"));
            HKEY h = RegCreate(u"Software\\Vendor");
            PalTestFailSyscall(call, 1, err);
            EXPECT_EQ(RegSetDword(h, u"New", 2), ERROR_SUCCESS)
                << "the change waits for the flush or the close";
            EXPECT_EQ(atClose ? RegCloseKey(h) : RegFlushKey(h), status);
            PalTestFailSyscall(nullptr, 0, 0);
            // A failed deferred write is reported by the next flush of the store, once.
            EXPECT_EQ(atClose ? RegFlushKey(HKEY_LOCAL_MACHINE) : status, status);
            EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS) << "reported once";
            EXPECT_EQ(vktest::ReadFileBytes(Store()), good);
            EXPECT_FALSE(vktest::FileExists(Store() + ".new"));
            HKEY r;
            DWORD v = 0;
            ASSERT_EQ(RegOpen(HKEY_LOCAL_MACHINE, u"Software\\Vendor", r), ERROR_SUCCESS);
            EXPECT_EQ(RegGetDword(r, u"New", v), ERROR_FILE_NOT_FOUND)
                << "the unwritten change is gone here too";
            RegCloseKey(r);
            if (!atClose) RegCloseKey(h);
        }
    }
    PalTestResetSyscalls();
    HKEY h = RegCreate(u"Software\\Vendor");
    EXPECT_EQ(RegSetDword(h, u"New", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_TRUE(OnDisk("Software\\Vendor")) << "the store is writable again";
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
