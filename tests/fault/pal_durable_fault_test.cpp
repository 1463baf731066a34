// Whole-file replacement under failing system calls: at every failing write,
// fsync or rename the old file stays whole and readable and no temporary
// remains; the failure reaches the caller through WriteFile or CloseHandle.
#include "VkTest.h"
#include "internal/syscalls.h"

#include <cerrno>
#include <cstdio>

namespace {

using vktest::Bytes;

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
            if (!first && !WriteFile(h, kNew.data() + off, static_cast<DWORD>(kNew.size() / 2), &n, nullptr))
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
        {"create-always rename", CREATE_ALWAYS, true, "rename", EIO, ERROR_WRITE_FAULT},
        {"truncate write", TRUNCATE_EXISTING, true, "write", ENOSPC, ERROR_DISK_FULL},
        {"truncate rename", TRUNCATE_EXISTING, true, "rename", EACCES, ERROR_ACCESS_DENIED},
        {"create-new write", CREATE_NEW, false, "write", EIO, ERROR_WRITE_FAULT},
        {"create-new publish", CREATE_NEW, false, "renameat2", EIO, ERROR_WRITE_FAULT},
    };
    bool closeFailed;
    for (const auto& c : cases) {
        // Learn how many such calls one rewrite makes, then fail each in turn.
        Reset(c.existing);
        ASSERT_EQ(Rewrite(c.disposition, c.call, 0, 0, closeFailed), static_cast<DWORD>(ERROR_SUCCESS));
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
        EXPECT_EQ(Rewrite(c.disposition, c.call, 0, 0, closeFailed), static_cast<DWORD>(ERROR_SUCCESS))
            << c.what;
        EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kNew) << c.what;
    }
}

TEST_F(DurableFault, TheFileIsFlushedBeforeItsRenameAndTheFolderOnlyWhenAsked) {
    // A rewrite flushes the file, then renames it; the folder is the caller's to flush.
    bool closeFailed;
    ASSERT_EQ(Rewrite(CREATE_ALWAYS, "fsync", 0, 0, closeFailed), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(PalTestSyscallCount("fsync"), 1u);
    EXPECT_EQ(PalTestSyscallCount("rename"), 1u);

    Reset(true);
    EXPECT_EQ(Rewrite(CREATE_ALWAYS, "fsync", 1, EIO, closeFailed), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_TRUE(closeFailed);
    EXPECT_EQ(PalTestSyscallCount("rename"), 0u) << "nothing is renamed after a failed flush";
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"table.bin"}));

    // A folder handle flushes the folder's names; a failure reaches the caller.
    HANDLE dir = CreateFileW(u"C:\\", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(dir, INVALID_HANDLE_VALUE);
    PalTestFailSyscall(nullptr, 0, 0);
    EXPECT_TRUE(FlushFileBuffers(dir));
    EXPECT_EQ(PalTestSyscallCount("fsync"), 1u);
    PalTestFailSyscall("fsync", 1, EIO);
    EXPECT_FALSE(FlushFileBuffers(dir));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(dir, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(CloseHandle(dir));
    // Without the flag a folder is no file to open.
    EXPECT_EQ(CreateFileW(u"C:\\", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);

    // A temporary file is published whole, without a flush.
    PalTestFailSyscall(nullptr, 0, 0);
    HANDLE t = CreateFileW(u"C:\\scratch.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY,
                           nullptr);
    ASSERT_NE(t, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteFile(t, "tmp", 3, &n, nullptr));
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_EQ(PalTestSyscallCount("fsync"), 0u);
    EXPECT_EQ(vktest::ReadFileBytes(root.host("scratch.bin")), (Bytes{'t', 'm', 'p'}));
}

TEST_F(DurableFault, TemporariesOfACrashedWriterGoWhenTheFolderIsNextWritten) {
    // A crashed writer's temporary holds no lock; a live writer's does.
    vktest::WriteFileBytes(root.host(".~pal-00000000000000aa"), Bytes(10, 'x'));
    bool closeFailed;
    ASSERT_EQ(Rewrite(CREATE_ALWAYS, "write", 0, 0, closeFailed), static_cast<DWORD>(ERROR_SUCCESS));
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
    EXPECT_FALSE(CloseHandle(w));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"table.bin"}));
}

TEST_F(DurableFault, FailedCopyLeavesTheTargetWhole) {
    vktest::WriteFileBytes(root.host("src.bin"), Bytes(200000, 's'));
    vktest::WriteFileBytes(root.host("table.bin"), kOld);
    for (const char* call : {"read", "write", "fsync", "rename"}) {
        PalTestFailSyscall(nullptr, 0, 0);
        PalTestFailSyscall(call, 1, EIO);
        EXPECT_FALSE(CopyFileW(u"C:\\src.bin", u"C:\\table.bin", FALSE)) << call;
        const DWORD expected = std::string(call) == "read" ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
        EXPECT_EQ(GetLastError(), expected) << call;
        EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld) << call;
        EXPECT_EQ(Listing(), (std::vector<std::string>{"src.bin", "table.bin"})) << call;
    }
}

} // namespace
