/* A registration that fails keeps its name free and leaves nothing a read would write;
 * a restore whose archive carries no key.backup stands on the user's own key. */
#include "TableFixture.h"
#include "VkZip.h"

#ifndef _WIN32
#include "internal/syscalls.h"
#include <cerrno>
#endif

using namespace vktest;
using namespace tabletest;

namespace {

const Bytes kAppSecret{'s', 'e', 'c', 'r', 'e', 't'};

class RegistrationRestoreTest : public RootTest {
  protected:
    void SetUp() override { ASSERT_EQ(VaultkeepInitRoot(), 0); }
    std::string DataDir() const { return root.host(kDataHost); }
    ByteArray secret{kAppSecret};
};

} // namespace

#ifndef _WIN32
TEST_F(RegistrationRestoreTest, AFailedRegistrationLeavesTheNameFreeAndReadsWriteNothing) {
    const struct {
        const char* call;
        int err;
    } faults[] = {{"write", EIO}, {"fsync", EIO}, {"rename", EIO}, {"mkdir", EIO}, {"write", ENOSPC}};
    for (const auto& f : faults) {
        PalTestFailSyscall(nullptr, 0, 0);
        ASSERT_EQ(RegisterApp(W("A"), secret), 0);
        const unsigned calls = PalTestSyscallCount(f.call);
        ASSERT_EQ(UnRegisterApp(W("A"), secret), 0);
        for (unsigned nth = 1; nth <= calls; ++nth) {
            SCOPED_TRACE(testing::Message() << f.call << " #" << nth << " errno " << f.err);
            PalTestFailSyscall(f.call, (int)nth, f.err);
            const LONG status = RegisterApp(W("A"), secret);
            PalTestFailSyscall(nullptr, 0, 0);
            if (status != 0) {
                const auto before = Snapshot(DataDir());
                BSTR list = nullptr;
                EXPECT_EQ(QueryListOfUsers(W("A"), secret, &list), Error_Bad_App);
                TakeBstr(list);
                EXPECT_EQ(Snapshot(DataDir()), before) << "a reading call wrote";
                ASSERT_EQ(RegisterApp(W("A"), secret), 0) << "the failed registration kept the name";
            }
            ASSERT_EQ(UnRegisterApp(W("A"), secret), 0);
        }
    }
}
#endif

TEST_F(RegistrationRestoreTest, WhatAnUnfinishedRegistrationLeftIsReclaimedAndNothingElse) {
    const std::string app = DataDir() + "A";
    std::filesystem::create_directories(app);
    WriteFileBytes(app + "/app.bin", Bytes{}); // a table never written
    WriteFileBytes(app + "/.~app.bin.tmp", Bytes(7, 1));
    ASSERT_EQ(RegisterApp(W("A"), secret), 0);
    BSTR list = nullptr;
    EXPECT_EQ(QueryListOfUsers(W("A"), secret, &list), 0);
    TakeBstr(list);
    ASSERT_EQ(UnRegisterApp(W("A"), secret), 0);

    // A folder holding a user's store is no leftover, whatever its table.
    std::filesystem::create_directories(app + "/0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    EXPECT_EQ(RegisterApp(W("A"), secret), Error_App_Already_Exists);
    EXPECT_TRUE(FileExists(app + "/0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"));
}

TEST_F(RegistrationRestoreTest, ARestoreWithoutKeyBackupNeedsTheUsersOwnKeyHere) {
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    ByteArray md(Pattern(3, 1)), emd(Pattern(4, 2)), cred(Pattern(40, 3));
    ASSERT_EQ(StoreCredential(W("App"), secret, W("alice"), W("alice pw"), W("mail"), md, emd, cred), 0);
    const std::string zipPath = root.host("alice.zip");
    const WString zipName = U(zipPath);
    ASSERT_EQ(ArchiveUser(W("App"), secret, W("alice"), zipName.c_str(), W("backup pw"), W("")), 0);
    zipfile::Files entries = zipfile::Read(zipPath);
    ASSERT_EQ(entries.erase("key.backup"), 1u);
    zipfile::Write(zipPath, entries);

    ASSERT_EQ(RestoreUser(W("App"), secret, W("alice"), zipName.c_str(), W("backup pw"), 1), 0);
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(RetrieveCredential(W("App"), secret, W("alice"), W("alice pw"), W("mail"), &psa), 0);
    EXPECT_EQ(TakeArray(psa), Pattern(40, 3));

    // Once the user and its key are gone, the archive cannot bring the key back.
    ASSERT_EQ(DeleteUser(W("App"), secret, W("alice")), 0);
    const auto before = Snapshot(DataDir());
    EXPECT_EQ(RestoreUser(W("App"), secret, W("alice"), zipName.c_str(), W("backup pw"), 1), Error_Bad_Backup);
    EXPECT_EQ(Snapshot(DataDir()), before);
}
