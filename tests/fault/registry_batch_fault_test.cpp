// Registry changes are written once per batch: at the close of the last handle
// that changed the store, at RegFlushKey, or at once through HKEY_LOCAL_MACHINE.
// Other processes see whole old or whole new stores; a failed deferred write
// reaches the next flush, so the core never acknowledges a change that is not
// on disk.
#include "VkTest.h"
#include "internal/syscalls.h"

#include <vaultkeep/vaultkeep.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

using vktest::U;

std::vector<std::string> g_renamedTo;
std::string g_failRenameTo; // a rename onto this name fails with EIO

int TrackingRename(const char* from, const char* to) {
    g_renamedTo.push_back(to);
    if (!g_failRenameTo.empty() && g_failRenameTo == to) {
        errno = EIO;
        return -1;
    }
    return ::rename(from, to);
}

HKEY Create(const std::u16string& path, HKEY parent = HKEY_LOCAL_MACHINE) {
    HKEY h = nullptr;
    EXPECT_EQ(RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    return h;
}

LSTATUS SetDword(HKEY h, const WCHAR* name, DWORD v) {
    return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
}

bool HasKey(const std::string& path) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, U(path).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

// Another process's view: exit status 0 when the key is in the store on disk.
VK_HELPER(batch_has_key) {
    return HasKey(args.at(0)) ? 0 : 1;
}

// Changes a key and dies before closing its handle.
VK_HELPER(batch_die_before_close) {
    HKEY h = Create(U(args.at(0)));
    SetDword(h, u"v", 7);
    _exit(HasKey(args.at(0)) ? 0 : 2);
}

class RegistryBatch : public vktest::RootTest {
  protected:
    void SetUp() override { Track(); }
    void TearDown() override {
        PalTestResetSyscalls();
        g_failRenameTo.clear();
    }
    void Track() {
        PalTestResetSyscalls();
        g_renamedTo.clear();
        PalTestSyscallTable()->rename = TrackingRename;
    }
    std::string Store() const { return root.host("registry/machine.hive"); }
    unsigned HiveWrites() const {
        return static_cast<unsigned>(std::count(g_renamedTo.begin(), g_renamedTo.end(), Store()));
    }
    static bool OnDisk(const std::string& path) { return vktest::RunHelper("batch_has_key", {path}) == 0; }
};

TEST_F(RegistryBatch, ChangesThroughHandlesAreWrittenAtTheLastCloseOnly) {
    HKEY a = Create(u"Software\\A");
    HKEY b = Create(u"Software\\B");
    ASSERT_EQ(SetDword(a, u"x", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(b, u"y", 2), ERROR_SUCCESS);
    EXPECT_EQ(HiveWrites(), 0u);
    EXPECT_TRUE(HasKey("Software\\A")) << "this process reads its own pending changes";
    EXPECT_FALSE(OnDisk("Software\\A")) << "other processes see the old store until the write";

    ASSERT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(HiveWrites(), 0u) << "b changed the store too and is still open";
    ASSERT_EQ(RegCloseKey(b), ERROR_SUCCESS);
    EXPECT_EQ(HiveWrites(), 1u);
    EXPECT_EQ(PalTestSyscallCount("fsync"), 2u) << "the file and its folder, once";
    EXPECT_TRUE(OnDisk("Software\\A"));
    EXPECT_TRUE(OnDisk("Software\\B"));

    // A handle that only read writes nothing; a change through the predefined
    // key, which is never closed, is written at once.
    HKEY r = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\A", 0, KEY_READ, &r), ERROR_SUCCESS);
    RegCloseKey(r);
    EXPECT_EQ(HiveWrites(), 1u);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\B"), ERROR_SUCCESS);
    EXPECT_EQ(HiveWrites(), 2u);
    EXPECT_FALSE(OnDisk("Software\\B"));

    // RegFlushKey writes pending changes while their handle stays open.
    HKEY c = Create(u"Software\\C");
    ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(HiveWrites(), 3u);
    EXPECT_TRUE(OnDisk("Software\\C"));
    RegCloseKey(c);
    EXPECT_EQ(HiveWrites(), 3u) << "nothing left to write";
}

TEST_F(RegistryBatch, AWriterKilledBeforeItsCloseLeavesTheOldStore) {
    RegCloseKey(Create(u"Software\\Kept"));
    ASSERT_EQ(vktest::RunHelper("batch_die_before_close", {"Software\\Lost"}), 0);
    EXPECT_FALSE(OnDisk("Software\\Lost"));
    EXPECT_TRUE(OnDisk("Software\\Kept")) << "the store is the whole old version";
    // Its lock died with it: this process can change the store.
    HKEY h = Create(u"Software\\After");
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_TRUE(OnDisk("Software\\After"));
}

TEST_F(RegistryBatch, AFailedDeferredWriteIsReportedByTheNextFlushAndDropped) {
    HKEY h = Create(u"Software\\Doomed");
    ASSERT_EQ(SetDword(h, u"v", 1), ERROR_SUCCESS);
    g_failRenameTo = Store();
    EXPECT_NE(RegCloseKey(h), ERROR_SUCCESS);
    g_failRenameTo.clear();
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_CANTWRITE);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS) << "reported once";
    EXPECT_FALSE(HasKey("Software\\Doomed")) << "the change that was not written is gone here too";
    EXPECT_FALSE(OnDisk("Software\\Doomed"));
}

TEST_F(RegistryBatch, RegisterAppWritesTheHiveOnceAndFailsWhenItCannot) {
    ASSERT_EQ(VaultkeepInitRoot(), 0);
    vktest::ByteArray secret(std::string("registry batch secret"));
    Track();
    ASSERT_EQ(RegisterApp(u"Mail", secret), 0);
    EXPECT_EQ(HiveWrites(), 1u) << "the key and both values in one write";
    // app.bin and the folders take three; the hive two (file and folder) instead of six.
    EXPECT_EQ(PalTestSyscallCount("fsync"), 5u);
    EXPECT_TRUE(OnDisk("Software\\Tarnwick Systems Corp.\\Vaultkeep\\Mail"));

    g_failRenameTo = Store();
    EXPECT_NE(RegisterApp(u"News", secret), 0) << "a call whose registry change is not on disk fails";
    g_failRenameTo.clear();
    EXPECT_FALSE(OnDisk("Software\\Tarnwick Systems Corp.\\Vaultkeep\\News"));
}

} // namespace
