/* archive and restore through the tool, including into an application registered again under a new secret. */
#include "ToolHarness.h"

using namespace vktool_test;

namespace {
using Args = std::vector<std::string>;
}

class ToolArchiveTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        Register();
        StoreText("alice", "mail", "alice-mail-secret", "imap", "host=mx");
        StoreText("alice", "web", "alice-web-secret");
        StoreText("bob", "pin", "1234");
        archive = root.host("scratch/alice.zip");
        backupFile = File("backup", "backup pass\n");
    }
    Args Backup() const { return {"--backup-password-file", backupFile}; }
    Args NewApp() const { return {"--app", "App", "--secret-file", otherSecretFile}; }

    std::string archive, backupFile;
};

TEST_F(ToolArchiveTest, AUserComesBackUnderANewSecretWithEveryCredential) {
    ToolRun r = Ok(Args{"archive", "--json"} + User("alice") + Args{"--file", archive} + Backup());
    EXPECT_EQ(r.out, "{\"ok\":true,\"command\":\"archive\",\"app\":\"App\",\"user\":\"alice\",\"file\":\"" +
                         archive + "\"}\n");
    EXPECT_TRUE(vktest::FileExists(archive));
    // The zip library would add to an existing file: the tool refuses to reuse one.
    r = RunTool(Args{"archive"} + User("alice") + Args{"--file", archive} + Backup());
    EXPECT_EQ(r.code, 73);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;

    Ok(Args{"unregister-app"} + App());
    Ok(Args{"register-app"} + NewApp());
    // The backup password from the environment, without the file's line end.
    r = Ok(Args{"restore"} + NewApp() +
               Args{"--user", "alice", "--file", archive, "--backup-password-env", "VK_T_BP"},
           {"", {}, {{"VK_T_BP", "backup pass"}}});
    EXPECT_EQ(r.out, "Restored user \"alice\" into \"App\" from " + archive + ".\n");

    const Args alice = NewApp() + Args{"--user", "alice"};
    EXPECT_EQ(Ok(Args{"list-users"} + NewApp()).out, "alice\n");
    EXPECT_EQ(Ok(Args{"list"} + alice).out, "mail\nweb\n");
    const Args pw = {"--password-file", passwordFile};
    EXPECT_EQ(Ok(Args{"retrieve"} + alice + Args{"--id", "mail"} + pw).out, "alice-mail-secret");
    EXPECT_EQ(Ok(Args{"retrieve"} + alice + Args{"--id", "web"} + pw).out, "alice-web-secret");
    EXPECT_EQ(Ok(Args{"metadata"} + alice + Args{"--id", "mail"}).out, "imap");
    EXPECT_EQ(Ok(Args{"protected-metadata"} + alice + Args{"--id", "mail"}).out, "host=mx");
    Ok(Args{"verify"} + NewApp() + Args{"--user", "alice"} + pw);
    // The old secret no longer opens anything.
    EXPECT_EQ(RunTool(Args{"list"} + User("alice")).code, 1);
}

TEST_F(ToolArchiveTest, RestoreRefusesToReplaceWithoutOverwriteAndChecksTheBackupPassword) {
    Ok(Args{"archive"} + User("alice") + Args{"--file", archive} + Backup());
    ToolRun r = RunTool(Args{"restore"} + User("alice") + Args{"--file", archive} + Backup());
    EXPECT_EQ(r.code, 13);
    EXPECT_NE(r.err.find("(Error_User_Already_Exists, -13)"), std::string::npos) << r.err;

    r = RunTool(Args{"restore", "--overwrite"} + User("alice") + Args{"--file", archive} +
                Args{"--backup-password-file", otherPasswordFile});
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("Error_"), std::string::npos) << r.err;
    const auto folders = UserFolders(root, "App");

    StoreText("alice", "mail", "changed after the archive");
    r = Ok(Args{"restore", "--overwrite", "--json"} + User("alice") + Args{"--file", archive} + Backup());
    EXPECT_EQ(r.out, "{\"ok\":true,\"command\":\"restore\",\"app\":\"App\",\"user\":\"alice\",\"file\":\"" +
                         archive + "\",\"overwrite\":true}\n");
    EXPECT_EQ(Ok(Args{"retrieve"} + Cred("alice", "mail") + Args{"--password-file", passwordFile}).out,
              "alice-mail-secret");
    EXPECT_EQ(UserFolders(root, "App"), folders) << "an overwriting restore keeps the user's folder";

    // Into another user's name: the archive belongs to alice.
    r = RunTool(Args{"restore"} + User("carol") + Args{"--file", archive} + Backup());
    EXPECT_EQ(r.code, 14);
    EXPECT_NE(r.err.find("(Error_Bad_Backup, -14)"), std::string::npos) << r.err;

    r = RunTool(Args{"restore"} + User("carol") + Args{"--file", root.host("scratch/missing.zip")} +
                Backup());
    EXPECT_EQ(r.code, 66);
    r = RunTool(Args{"archive"} + User("nobody") + Args{"--file", root.host("scratch/n.zip")} + Backup());
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("(Error_No_User, -3)"), std::string::npos) << r.err;
}
