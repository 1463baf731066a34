/* Laying out a machine root: components registered, "Install Path", the zip library in place, the
 * data folder; once, and never over an admin's changes. */
#include "TableFixture.h"

using namespace vktest;
using namespace tabletest;

namespace {

const WCHAR kMakerKey[] = W("SOFTWARE\\Tarnwick Systems Corp.");
const std::string kZipRel = "Program Files/Tarnwick Systems Corp/Aldmoor Client Core/ZipUtil.dll";

Bytes ZipModule() {
    return ReadFileBytes(BuiltModule("VaultkeepZipUtil"));
}

} // namespace

VK_HELPER(first_call) {
    ByteArray secret(std::string("s"));
    return RegisterApp(U(args.at(0)).c_str(), secret) == 0 ? 0 : 1;
}

class RootLayout : public RootTest {};

TEST_F(RootLayout, FreshRootIsLaidOutForUse) {
    ASSERT_EQ(VaultkeepInitRoot(), 0);
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(W("SOFTWARE\\Tarnwick Systems Corp.\\Vaultkeep Setup"), W("Layout"), type, data));
    EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));
    ASSERT_TRUE(ReadValue(kMakerKey, W("Install Path"), type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Utf16z(W("C:\\Program Files\\Tarnwick Systems Corp")));
    EXPECT_EQ(ReadFileBytes(root.host(kZipRel)), ZipModule());
    EXPECT_TRUE(std::filesystem::is_directory(root.host(kDataHost)));

    // The servers and the key provider it registers are used by the exports: exports_app_test,
    // archive_test and CryptRandom (util_crypto_test) run against a root laid out here.
}

TEST_F(RootLayout, ALaidOutRootIsLeftAsItIs) {
    ASSERT_EQ(VaultkeepInitRoot(), 0);
    // What an admin changes or removes afterwards is not put back.
    const WString moved = W("D:\\Elsewhere");
    SetValue(kMakerKey, W("Install Path"), REG_SZ, moved.c_str(), static_cast<DWORD>(moved.size() * 2 + 2));
    std::filesystem::remove(root.host(kZipRel));
    EXPECT_EQ(VaultkeepInitRoot(), 0);
    EXPECT_EQ(RegisterApp(W("App"), ByteArray(std::string("s"))), 0);
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(kMakerKey, W("Install Path"), type, data));
    EXPECT_EQ(data, Utf16z(moved.c_str()));
    EXPECT_FALSE(FileExists(root.host(kZipRel)));
}

TEST_F(RootLayout, InitAgainBringsAnUpgradedZipLibraryOnly) {
    ASSERT_EQ(VaultkeepInitRoot(), 0);
    WriteFileBytes(root.host(kZipRel), Bytes{1, 2, 3});
    EXPECT_EQ(VaultkeepInitRoot(), 0);
    EXPECT_EQ(ReadFileBytes(root.host(kZipRel)), ZipModule());
    // The first call of a program does not: only init, which an upgrade runs.
    WriteFileBytes(root.host(kZipRel), Bytes{4, 5});
    EXPECT_EQ(RegisterApp(W("App"), ByteArray(std::string("s"))), 0);
    EXPECT_EQ(ReadFileBytes(root.host(kZipRel)), (Bytes{4, 5}));
}

TEST_F(RootLayout, FirstCallsOfSeveralProcessesLayOutOnce) {
    std::vector<int> pids(3);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(RunHelper("first_call", {"App" + std::to_string(i)}, &pids[i], false), 0);
    for (int pid : pids)
        EXPECT_EQ(WaitHelper(pid), 0);
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(W("SOFTWARE\\Tarnwick Systems Corp.\\Vaultkeep Setup"), W("Layout"), type, data));
    EXPECT_EQ(ReadFileBytes(root.host(kZipRel)), ZipModule());
}
