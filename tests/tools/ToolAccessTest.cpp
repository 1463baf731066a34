#ifndef _WIN32 // Linux only: POSIX modes, groups and a second local account
// Who can reach a vault, tried as second accounts: without the vault group only
// the owner; with it its members, who can use the vault through the tool; never
// another local account, even with the root folder opened to everyone. The accounts
// are bare numeric ids switched to with setpriv, so nothing is created on the host
// and parallel runs cannot collide; the vault group is "users", which every Debian
// host has. Needs root to switch ids (CI runs the suite as root).
#include "ToolHarness.h"

#include <algorithm>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace vktool_test;
using Args = std::vector<std::string>;

constexpr char kGroup[] = "users";
/* Ids no account or group has. */
constexpr unsigned kMember = 61234, kOutsider = 61235;

bool Sh(const std::string& command) {
    return system(command.c_str()) == 0;
}

/* A shell command run with uid and primary gid `account`, the member also holding
 * the vault group; its exit status. Its output goes to `out`, opened by this account. */
int RunAs(unsigned account, const std::string& command, const std::string& out = "/dev/null") {
    std::string quoted = "'";
    for (char c : command)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    struct group* g = getgrnam(kGroup);
    const std::string groups = account == kMember && g ? "--groups=" + std::to_string(g->gr_gid) : "--clear-groups";
    const std::string id = std::to_string(account);
    int rc = system(("setpriv --reuid=" + id + " --regid=" + id + " " + groups + " -- sh -c " + quoted + " </dev/null >" + out)
                        .c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

class AccessTest : public ToolTest {
  protected:
    explicit AccessTest(const char* group) { setenv("VAULTKEEP_GROUP", group, 1); }
    ~AccessTest() override {
        unsetenv("VAULTKEEP_GROUP");
        if (!m_build.empty()) {
            setenv("VK_TEST_BIN_DIR", m_build.c_str(), 1);
            unsetenv("LD_LIBRARY_PATH");
        }
    }

    /* The build folder may be out of the other accounts' reach (a clone in root's home), and a
     * root lays out its modules where the library that made it found them. So the tool and the
     * build's libraries are copied beside the root, and every call of the test runs that copy. */
    void StageTheTool() {
        m_build = fs::path(ToolPath()).parent_path().parent_path().string();
        const fs::path stage = fs::path(root.path()).parent_path() / "build";
        fs::create_directories(stage / "bin");
        fs::copy(fs::path(m_build) / "lib", stage / "lib", fs::copy_options::recursive);
        fs::copy_file(ToolPath(), stage / "bin/vaultkeep");
        setenv("VK_TEST_BIN_DIR", stage.c_str(), 1);
        setenv("LD_LIBRARY_PATH", ((stage / "lib").string() + ":" + (stage / "lib/vaultkeep").string()).c_str(), 1);
    }
    std::string m_build;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "switching to the second accounts' ids needs root";
        ASSERT_NE(getgrnam(kGroup), nullptr) << "no host group " << kGroup;
        StageTheTool();
        ToolTest::SetUp();
        Register();
        Ok(std::vector<std::string>{"add-user"} + User("alice") +
           std::vector<std::string>{"--password-file", passwordFile});
        StoreText("alice", "imap", "token", "server", "protected");
        Ok(std::vector<std::string>{"archive"} + User("alice") +
           std::vector<std::string>{"--file", root.host("alice.zip"), "--backup-password-file", passwordFile});
    }

    /* Every vault path below the root (the test's scratch inputs aside). */
    std::vector<std::string> VaultPaths() {
        std::vector<std::string> paths;
        for (auto it = fs::recursive_directory_iterator(root.path()); it != fs::recursive_directory_iterator();
             ++it) {
            if (it->path() == root.host("scratch")) {
                it.disable_recursion_pending();
                continue;
            }
            paths.push_back(it->path().string());
        }
        return paths;
    }

    /* The paths the account can open (read a file, list a folder). "/" is tried first and
     * must show, so a run that cannot report (the account cannot reach the output) fails. */
    std::string ReachableBy(unsigned account, const std::vector<std::string>& paths) {
        std::string script = "for p in /";
        for (const std::string& p : paths)
            script += " \"" + p + "\"";
        script += "; do if [ -d \"$p\" ]; then ls \"$p\" >/dev/null 2>&1 && echo \"$p\"; "
                  "else cat \"$p\" >/dev/null 2>&1 && echo \"$p\"; fi; done 2>/dev/null; true";
        EXPECT_EQ(RunAs(account, script, root.host("scratch/reachable")), 0);
        vktest::Bytes out = vktest::ReadFileBytes(root.host("scratch/reachable"));
        const std::string reached(out.begin(), out.end());
        EXPECT_EQ(reached.substr(0, 2), "/\n") << "the account's run reported nothing";
        return reached.substr(std::min<size_t>(2, reached.size()));
    }
};

class OwnerOnly : public AccessTest {
  protected:
    OwnerOnly() : AccessTest("vkt-no-such-group") {}
};

class GroupShared : public AccessTest {
  protected:
    GroupShared() : AccessTest(kGroup) {}
};

TEST_F(OwnerOnly, NothingBelowTheRootIsOpenToAnotherAccount) {
    chmod(root.path().c_str(), 0755); // as if the root were opened to everyone
    const std::vector<std::string> paths = VaultPaths();
    ASSERT_GE(paths.size(), 20u) << "keys, tables, blobs, archive, registry, lock, modules";
    for (const std::string& p : paths) {
        struct stat st;
        ASSERT_EQ(lstat(p.c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 077, 0u) << p << " mode " << std::oct << (st.st_mode & 07777);
    }
    EXPECT_EQ(ReachableBy(kOutsider, paths), "");
    // Nor can the account hold the machine-wide lock and so stall every call.
    EXPECT_NE(RunAs(kOutsider, "for f in " + root.host(".pal/locks") + "/*; do flock -n \"$f\" true || exit 1; done"),
              0);
}

TEST_F(GroupShared, MembersUseTheVaultOutsidersReachNothing) {
    struct group* g = getgrnam(kGroup);
    ASSERT_NE(g, nullptr);
    // An administrator hands the root to the group.
    ASSERT_EQ(chown(root.path().c_str(), 0, g->gr_gid), 0);
    chmod(root.path().c_str(), 02770);
    const std::vector<std::string> paths = VaultPaths();
    // Modules and settings are the administrator's: the group reads them, never writes.
    const std::string modules = root.host("Program Files"), settings = root.host("registry");
    for (const std::string& p : paths) {
        struct stat st;
        ASSERT_EQ(lstat(p.c_str(), &st), 0) << p;
        const bool admin = p.compare(0, modules.size(), modules) == 0 || p.compare(0, settings.size(), settings) == 0;
        const mode_t want = S_ISDIR(st.st_mode) ? (admin ? 02750 : 02770) : (admin ? 0640 : 0660);
        EXPECT_EQ(st.st_mode & 07777, want) << p;
        EXPECT_EQ(st.st_gid, g->gr_gid) << p;
    }
    EXPECT_EQ(ReachableBy(kOutsider, paths), "");

    // The member's own call works: lock, registry, tables, the key's password.
    for (const std::string& f : {secretFile, passwordFile})
        chmod(f.c_str(), 0644);
    const std::string tool = ToolPath() + " --root " + root.path();
    const std::string app = " --app App --secret-file " + secretFile;
    EXPECT_EQ(RunAs(kMember, tool + " list-users" + app + " | grep -qx alice"), 0);
    EXPECT_EQ(RunAs(kMember, tool + " retrieve" + app + " --user alice --id imap --password-file " + passwordFile +
                                 " | grep -qx token"),
              0);
    EXPECT_NE(RunAs(kOutsider, tool + " list-users" + app + " >/dev/null 2>&1"), 0);

    // Registering writes the settings, so a member cannot; as on Windows, that is the administrator's.
    EXPECT_EQ(RunAs(kMember, tool + " register-app --app Other --secret-file " + secretFile), 11);
    EXPECT_EQ(RunAs(kMember, tool + " config set SoftwareTpmOwned 0"), 11);
    EXPECT_EQ(RunAs(kMember, tool + " config get SoftwareTpmOwned | grep -qx 1"), 0) << "read, and unchanged";
    // A store left group-writable (as an older layout made it) is not trusted by a member,
    // and its owner's next call narrows it.
    const std::string hive = root.host("registry/machine.hive");
    ASSERT_EQ(chmod(hive.c_str(), 0660), 0);
    EXPECT_NE(RunAs(kMember, tool + " list-users" + app), 0);
    Ok(std::vector<std::string>{"list-users"} + App());
    struct stat st;
    ASSERT_EQ(stat(hive.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(RunAs(kMember, tool + " list-users" + app), 0);
}

TEST_F(GroupShared, AFolderSwappedForALinkIsNeverWrittenThrough) {
    // A member may rename any folder of the shared vault and put a link to a folder of
    // their choosing in its place; the caller's next call must fail and write nothing there.
    const std::string data = root.host("ProgramData/Tarnwick Systems Corp");
    std::string userFolder;
    for (const auto& e : fs::directory_iterator(data + "/Vaultkeep/App"))
        if (e.is_directory()) userFolder = e.path().string();
    ASSERT_FALSE(userFolder.empty());
    const struct {
        std::string folder;
        std::vector<std::string> call;
    } cases[] = {
        {data + "/TPM Key Storage Provider/MachineKeys",
         Args{"add-user"} + User("bob") + Args{"--password-file", passwordFile}},
        {root.host("registry"), Args{"list-users"} + App()},
        {userFolder, Args{"store"} + Cred("alice", "smtp") + Args{"--password-file", passwordFile, "--data-file", passwordFile}},
    };
    for (const auto& c : cases) {
        const std::string target = root.host("scratch/target"), aside = c.folder + ".aside";
        ASSERT_TRUE(Sh("cp -a '" + c.folder + "' " + target + " && mv '" + c.folder + "' '" + aside + "' && ln -s " +
                       target + " '" + c.folder + "'"));
        const vktest::Tree before = vktest::Snapshot(target);
        EXPECT_NE(RunTool(c.call).code, 0) << c.folder;
        EXPECT_TRUE(vktest::Snapshot(target) == before) << c.folder << " was written through";
        ASSERT_TRUE(Sh("rm '" + c.folder + "' && mv '" + aside + "' '" + c.folder + "' && rm -r " + target));
    }
    // Nor is the lock file's second name: the lock's marker would be written there.
    const std::string precious = File("precious", "keep");
    for (const auto& e : fs::directory_iterator(root.host(".pal/locks")))
        ASSERT_TRUE(fs::remove(e.path()) && link(precious.c_str(), e.path().c_str()) == 0);
    EXPECT_NE(RunTool(Args{"list-users"} + App()).code, 0);
    EXPECT_EQ(vktest::ReadFileBytes(precious), vktest::Bytes({'k', 'e', 'e', 'p'}));
    for (const auto& e : fs::directory_iterator(root.host(".pal/locks")))
        fs::remove(e.path());
    Ok(Args{"add-user"} + User("bob") + Args{"--password-file", passwordFile});
}

TEST_F(GroupShared, AnArchiveOutsideTheRootIsTheCallersAlone) {
    // Even in a folder that hands out the vault group, a file the caller names is its own.
    char tmpl[] = "/tmp/vktest-out-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string out = tmpl;
    struct group* g = getgrnam(kGroup);
    ASSERT_TRUE(g && chown(out.c_str(), 0, g->gr_gid) == 0 && chmod(out.c_str(), 02770) == 0);
    const mode_t old = umask(077);
    const ToolRun run = RunTool(Args{"archive"} + User("alice") +
                                Args{"--file", out + "/a.zip", "--backup-password-file", passwordFile});
    umask(old);
    struct stat st;
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(stat((out + "/a.zip").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << std::oct << (st.st_mode & 07777);
    fs::remove_all(out);
}

/* Runs the tool with these arguments, its output going to `out`; its exit status. */
using RunInto = std::function<int(const std::string& args, const std::string& out)>;

/* What a caller who may not write the root still gets: every read, and writes
 * that fail with the statuses they document rather than the lock's -6. */
void ExpectReadsServedWritesRefused(const RunInto& runInto, const std::string& out, const std::string& secretFile,
                                    const std::string& passwordFile) {
    const auto run = [&](const std::string& args) {
        const int code = runInto(args, out);
        vktest::Bytes bytes = vktest::ReadFileBytes(out);
        std::remove(out.c_str());
        return std::make_pair(code, std::string(bytes.begin(), bytes.end()));
    };
    const std::string app = "--app App --secret-file " + secretFile;
    const std::string cred = app + " --user alice --id imap --password-file " + passwordFile;
    EXPECT_EQ(run("list-users " + app), std::make_pair(0, std::string("alice\n")));
    EXPECT_EQ(run("retrieve " + cred), std::make_pair(0, std::string("token")));
    EXPECT_EQ(run("verify " + app).first, 0);
    EXPECT_EQ(run("register-app --app Other --secret-file " + secretFile).first, 11) << "Error_Insufficient_Privileges";
    EXPECT_NE(run("delete " + app + " --user alice --id imap").first, 0);
    EXPECT_EQ(run("list " + app + " --user alice").second, "imap\n") << "nothing was deleted";
}

TEST_F(OwnerOnly, AReadOnlyRootServesReadsAndWritesFailWithTheirStatus) {
    if (!Sh("unshare -m true 2>/dev/null")) GTEST_SKIP() << "no mount namespaces here (needs CAP_SYS_ADMIN)";
    const std::string r = root.path();
    ExpectReadsServedWritesRefused(
        [&](const std::string& args, const std::string& out) {
            const int rc = system(("unshare -m sh -c 'mount --bind " + r + " " + r + " && mount -o remount,bind,ro " +
                                   r + " && exec " + ToolPath() + " " + args + "' >" + out + " 2>&1")
                                      .c_str());
            return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
        },
        root.host("scratch/out"), secretFile, passwordFile); // opened before the root turns read-only
}

TEST_F(GroupShared, AMemberWithoutWritePermissionIsServedReads) {
    struct group* g = getgrnam(kGroup);
    ASSERT_NE(g, nullptr);
    // An administrator gives the group read access only: every write is EACCES, not EROFS.
    ASSERT_TRUE(Sh("chgrp -R " + std::string(kGroup) + " " + root.path() + " && chmod -R g-w " + root.path()));
    chmod(root.path().c_str(), 02750);
    chmod(root.host("scratch").c_str(), 0777);
    for (const std::string& f : {secretFile, passwordFile})
        chmod(f.c_str(), 0644);
    ExpectReadsServedWritesRefused(
        [&](const std::string& args, const std::string& out) {
            return RunAs(kMember, ToolPath() + " --root " + root.path() + " " + args + " >" + out + " 2>&1");
        },
        root.host("scratch/out"), secretFile, passwordFile);
}

} // namespace
#endif
