// Races a member of a shared vault could run against another account's calls, won at the
// one moment that matters: a hook in the PAL's system-call table swaps a vault name for a
// link to a file or folder outside, right after or before the call's own step.
#include "../pal/fixtures/PalTest.h"
#include "internal/syscalls.h"
#include "security/secutil.h"

#include <vaultkeep/vaultkeep.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>

namespace {

namespace fs = std::filesystem;

PalSyscalls g_real;
std::function<void()> g_swap; // run once, at the hooked step
std::string g_within;         // ... of a path below this folder

bool EndsWith(const char* path, const char* leaf) {
    const size_t n = strlen(path), m = strlen(leaf);
    return n >= m && strcmp(path + n - m, leaf) == 0;
}

void SwapOnce() {
    if (!g_swap) return;
    auto swap = std::move(g_swap);
    g_swap = nullptr;
    swap();
}

class Races : public vktest::RootTest {
  protected:
    void SetUp() override {
        if (!getgrnam("users")) GTEST_SKIP() << "the host has no \"users\" group to play the vault group";
        pal::security::SetUsersGroupNameForTest("users");
        PalTestResetSyscalls();
        g_real = *PalTestSyscallTable();
        outside = root.host("outside");
        fs::create_directories(outside);
        ASSERT_EQ(RegisterApp(u"Mail", secret), 0);
        ASSERT_EQ(Store("first"), 0);
        for (const auto& e : fs::directory_iterator(root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep/Mail")))
            if (e.is_directory()) userFolder = e.path().string();
        ASSERT_FALSE(userFolder.empty());
    }
    void TearDown() override {
        PalTestResetSyscalls();
        g_swap = nullptr;
        pal::security::SetUsersGroupNameForTest(nullptr);
    }
    LONG Store(const char* data, const char16_t* user = u"alice") {
        vktest::ByteArray cred{std::string(data)};
        return StoreCredential(u"Mail", secret, user, u"pw", u"c1", md, emd, cred);
    }
    /* Puts a link to target where path was, the real entry beside it. */
    static void LinkInPlace(const std::string& path, const std::string& target) {
        ASSERT_EQ(::rename(path.c_str(), (path + ".aside").c_str()), 0);
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    }
    static void PutBack(const std::string& path) {
        if (fs::is_symlink(path)) fs::remove(path);
        if (fs::exists(path + ".aside")) fs::rename(path + ".aside", path);
    }

    vktest::ByteArray secret{std::string("race secret")}, md{std::string("m")}, emd{std::string("e")};
    std::string outside, userFolder;
};

TEST_F(Races, AGrantNeverReachesALinkSwappedInAfterThePublish) {
    // The Users write grant follows the publish of user.bin; a link put in its place between
    // the two must not pass the grant on to the file it names.
    const std::string passwd = outside + "/passwd", table = userFolder + "/user.bin";
    vktest::WriteFileBytes(passwd, vktest::Bytes{'r', 'o', 'o', 't'});
    ASSERT_EQ(chmod(passwd.c_str(), 0644), 0);
    PalTestSyscallTable()->renameat2 = [](int fd, const char* from, int td, const char* to, unsigned flags) {
        const int rc = g_real.renameat2(fd, from, td, to, flags);
        if (rc == 0 && EndsWith(to, "/user.bin")) SwapOnce();
        return rc;
    };
    PalTestSyscallTable()->rename = [](const char* from, const char* to) {
        const int rc = g_real.rename(from, to);
        if (rc == 0 && EndsWith(to, "/user.bin")) SwapOnce();
        return rc;
    };
    g_swap = [&] { LinkInPlace(table, passwd); };
    Store("second");
    const bool swapped = !g_swap;
    PalTestResetSyscalls();
    PutBack(table);
    ASSERT_TRUE(swapped) << "user.bin was never published";
    struct stat st;
    ASSERT_EQ(stat(passwd.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_LT(getxattr(passwd.c_str(), "system.posix_acl_access", nullptr, 0), 0) << "an ACL was set outside";
    EXPECT_EQ(vktest::ReadFileBytes(passwd), (vktest::Bytes{'r', 'o', 'o', 't'}));
}

TEST_F(Races, ADeleteNeverFollowsAFolderSwappedForALinkMidWalk) {
    // After the table stops naming the user, the user's folder is removed entry by entry; a
    // link put in its place once the walk has listed it must not lead the removals outside.
    const std::string copy = outside + "/copy";
    fs::copy(userFolder, copy, fs::copy_options::recursive);
    const vktest::Tree before = vktest::Snapshot(copy);
    ASSERT_FALSE(before.empty());
    PalTestSyscallTable()->unlink = [](const char* path) {
        if (strncmp(path, g_within.c_str(), g_within.size()) == 0) SwapOnce();
        return g_real.unlink(path);
    };
    g_within = userFolder + "/";
    g_swap = [&] { LinkInPlace(userFolder, copy); };
    DeleteUser(u"Mail", secret, u"alice");
    const bool swapped = !g_swap;
    PalTestResetSyscalls();
    ASSERT_TRUE(swapped) << "nothing was removed";
    EXPECT_TRUE(vktest::Snapshot(copy) == before) << "a file outside the vault was removed";
    PutBack(userFolder);
}

} // namespace
