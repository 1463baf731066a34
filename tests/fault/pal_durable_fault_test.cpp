// Whole-file replacement under failing system calls: at every failing write,
// fsync or rename the old file stays whole and readable and no temporary
// remains; the failure reaches the caller through WriteFile or CloseHandle.
#include "VkTest.h"
#include "internal/syscalls.h"

#include <cerrno>

namespace {

using vktest::Bytes;

const Bytes kOld(5000, 'o');

class DurableFault : public vktest::RootTest {
  protected:
    void TearDown() override { PalTestResetSyscalls(); }

    /* Opens with the disposition, writes two chunks, closes. Returns the
     * first failure seen (0 when all succeeded) and whether CloseHandle did. */
    DWORD Rewrite(DWORD disposition, const Bytes& content, bool& closeFailed) {
        closeFailed = false;
        HANDLE h = CreateFileW(u"C:\\table.bin", GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return GetLastError();
        DWORD first = ERROR_SUCCESS;
        size_t half = content.size() / 2;
        DWORD n;
        if (!WriteFile(h, content.data(), static_cast<DWORD>(half), &n, nullptr)) first = GetLastError();
        if (!first &&
            !WriteFile(h, content.data() + half, static_cast<DWORD>(content.size() - half), &n, nullptr))
            first = GetLastError();
        SetLastError(0xdeadbeef);
        if (!CloseHandle(h)) {
            closeFailed = true;
            if (!first) first = GetLastError();
            EXPECT_NE(GetLastError(), 0xdeadbeefu);
        }
        return first;
    }

    unsigned Count(DWORD disposition, const char* call) {
        PalTestFailSyscall(nullptr, 0, 0);
        bool closeFailed;
        EXPECT_EQ(Rewrite(disposition, Bytes(3000, 'n'), closeFailed), static_cast<DWORD>(ERROR_SUCCESS));
        return PalTestSyscallCount(call);
    }
};

struct FaultCase {
    const char* what;
    DWORD disposition;
    bool existing; // an old file to keep whole
    const char* call;
    int err;
    DWORD expected;
};

TEST_F(DurableFault, EveryFailingCallLeavesTheOldFileWhole) {
    const FaultCase cases[] = {
        {"create-always write EIO", CREATE_ALWAYS, true, "write", EIO, ERROR_WRITE_FAULT},
        {"create-always write ENOSPC", CREATE_ALWAYS, true, "write", ENOSPC, ERROR_DISK_FULL},
        {"create-always rename", CREATE_ALWAYS, true, "rename", EIO, ERROR_WRITE_FAULT},
        {"truncate write", TRUNCATE_EXISTING, true, "write", ENOSPC, ERROR_DISK_FULL},
        {"truncate rename", TRUNCATE_EXISTING, true, "rename", EACCES, ERROR_ACCESS_DENIED},
        {"create-new write", CREATE_NEW, false, "write", EIO, ERROR_WRITE_FAULT},
        {"create-new publish", CREATE_NEW, false, "renameat2", EIO, ERROR_WRITE_FAULT},
    };
    for (const FaultCase& c : cases) {
        vktest::WriteFileBytes(root.host("table.bin"), kOld);
        if (!c.existing) std::remove(root.host("table.bin").c_str());
        // Learn how many such calls one rewrite makes, then fail each in turn.
        unsigned calls = Count(c.disposition, c.call);
        ASSERT_GE(calls, 1u) << c.what;
        for (unsigned k = 1; k <= calls; ++k) {
            vktest::WriteFileBytes(root.host("table.bin"), kOld);
            if (!c.existing) std::remove(root.host("table.bin").c_str());
            PalTestFailSyscall(nullptr, 0, 0);
            PalTestFailSyscall(c.call, static_cast<int>(k), c.err);
            bool closeFailed;
            DWORD err = Rewrite(c.disposition, Bytes(3000, 'n'), closeFailed);
            std::string what = std::string(c.what) + " #" + std::to_string(k);
            EXPECT_EQ(err, c.expected) << what;
            EXPECT_TRUE(closeFailed) << what << ": CloseHandle must report the lost write";
            if (c.existing) {
                EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld) << what;
                EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"table.bin"})) << what;
            } else {
                EXPECT_TRUE(vktest::ListDir(root.path()).empty()) << what;
            }
        }
        // And the same rewrite succeeds once nothing fails.
        PalTestFailSyscall(nullptr, 0, 0);
        bool closeFailed;
        EXPECT_EQ(Rewrite(c.disposition, Bytes(3000, 'n'), closeFailed), static_cast<DWORD>(ERROR_SUCCESS))
            << c.what;
        EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), Bytes(3000, 'n')) << c.what;
    }
}

TEST_F(DurableFault, FsyncOfTheFileFailsBeforeTheRenameOfTheFolderAfterIt) {
    // A rewrite flushes the file (first fsync), renames, then flushes the folder (second).
    ASSERT_EQ(Count(CREATE_ALWAYS, "fsync"), 2u);
    EXPECT_EQ(PalTestSyscallCount("rename"), 1u);

    vktest::WriteFileBytes(root.host("table.bin"), kOld);
    PalTestFailSyscall(nullptr, 0, 0);
    PalTestFailSyscall("fsync", 1, EIO);
    bool closeFailed;
    EXPECT_EQ(Rewrite(CREATE_ALWAYS, Bytes(3000, 'n'), closeFailed), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_TRUE(closeFailed);
    EXPECT_EQ(PalTestSyscallCount("rename"), 0u) << "nothing is renamed after a failed flush";
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld);
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"table.bin"}));

    // The folder flush fails after the new file is in place: it is whole, and
    // the caller still learns that its durability is not assured.
    PalTestFailSyscall(nullptr, 0, 0);
    PalTestFailSyscall("fsync", 2, EIO);
    EXPECT_EQ(Rewrite(CREATE_ALWAYS, Bytes(3000, 'n'), closeFailed), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_TRUE(closeFailed);
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), Bytes(3000, 'n'));
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"table.bin"}));
}

TEST_F(DurableFault, ReadersSeeTheOldFileUntilThePublish) {
    vktest::WriteFileBytes(root.host("table.bin"), kOld);
    HANDLE w =
        CreateFileW(u"C:\\table.bin", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD n;
    ASSERT_TRUE(WriteFile(w, "new", 3, &n, nullptr));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld) << "never torn, never half new";
    ASSERT_TRUE(CloseHandle(w));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), (Bytes{'n', 'e', 'w'}));
}

TEST_F(DurableFault, CreateNewDoesNotReplaceAFileMadeMeanwhile) {
    HANDLE w = CreateFileW(u"C:\\table.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD n;
    ASSERT_TRUE(WriteFile(w, "mine", 4, &n, nullptr));
    vktest::WriteFileBytes(root.host("table.bin"), kOld); // another process got there first
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(w));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld);
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"table.bin"}));
}

TEST_F(DurableFault, FailedCopyLeavesTheTargetWhole) {
    vktest::WriteFileBytes(root.host("src.bin"), Bytes(200000, 's'));
    vktest::WriteFileBytes(root.host("table.bin"), kOld);
    for (const char* call : {"read", "write", "fsync", "rename"}) {
        PalTestFailSyscall(nullptr, 0, 0);
        PalTestFailSyscall(call, 1, EIO);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(CopyFileW(u"C:\\src.bin", u"C:\\table.bin", FALSE)) << call;
        EXPECT_EQ(GetLastError(),
                  static_cast<DWORD>(std::string(call) == "read" ? ERROR_READ_FAULT : ERROR_WRITE_FAULT))
            << call;
        EXPECT_EQ(vktest::ReadFileBytes(root.host("table.bin")), kOld) << call;
        EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"src.bin", "table.bin"})) << call;
    }
}

} // namespace
