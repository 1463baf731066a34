/* archive and restore through the tool, including into an application registered again under a new secret. */
#include "ToolHarness.h"

using namespace vktool_test;
using Args = std::vector<std::string>;

class ToolArchiveTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        Register();
        StoreText("alice", "mail", "alice-mail-secret", "imap", "host=mx");
        StoreText("alice", "web", "alice-web-secret");
        StoreText("bob", "pin", "1234");
        archive = root.host("scratch/alice.zip");
        backup = {"--backup-password-file", File("backup", "backup pass\n")};
        pw = {"--password-file", passwordFile};
    }
    ToolRun Archive(const std::string& user, const std::string& file) {
        return RunTool(Args{"archive"} + User(user) + Args{"--file", file} + backup);
    }

    std::string archive;
    Args backup, pw;
};

TEST_F(ToolArchiveTest, AUserComesBackUnderANewSecretWithEveryCredential) {
    ToolRun r = Ok(Args{"archive", "--json"} + User("alice") + Args{"--file", archive} + backup);
    EXPECT_EQ(r.out, "{\"ok\":true,\"command\":\"archive\",\"app\":\"App\",\"user\":\"alice\",\"file\":\"" +
                         archive + "\"}\n");
    // The zip library would add to an existing file: the tool refuses to reuse one.
    r = Archive("alice", archive);
    EXPECT_EQ(r.code, 73);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;

    const Args newApp = {"--app", "App", "--secret-file", otherSecretFile},
               alice = newApp + Args{"--user", "alice"};
    Ok(Args{"unregister-app"} + App());
    Ok(Args{"register-app"} + newApp);
    // The backup password from the environment, without the file's line end.
    r = Ok(Args{"restore"} + alice + Args{"--file", archive, "--backup-password-env", "VK_T_BP"},
           {"", {}, {{"VK_T_BP", "backup pass"}}});
    EXPECT_EQ(r.out, "Restored user \"alice\" into \"App\" from " + archive + ".\n");
    // What the restore brings back under the new secret is archive_test's.
    EXPECT_EQ(Ok(Args{"retrieve"} + alice + Args{"--id", "mail"} + pw).out, "alice-mail-secret");
}

/* The statuses themselves: archive_test; their messages: ToolVaultTest. Here the exit codes of the
 * restore and archive paths. */
TEST_F(ToolArchiveTest, RestoreStatusesAndTheirExitCodes) {
    ASSERT_EQ(Archive("alice", archive).code, 0);
    const Args from = Args{"--file", archive};
    EXPECT_EQ(RunTool(Args{"restore"} + User("alice") + from + backup).code, 13) << "Error_User_Already_Exists";
    EXPECT_EQ(RunTool(Args{"restore", "--overwrite"} + User("alice") + from +
                      Args{"--backup-password-file", otherPasswordFile})
                  .code,
              16)
        << "Error_Decrypt_Failed";
    StoreText("alice", "mail", "changed after the archive");
    ToolRun r = Ok(Args{"restore", "--overwrite", "--json"} + User("alice") + from + backup);
    EXPECT_EQ(r.out, "{\"ok\":true,\"command\":\"restore\",\"app\":\"App\",\"user\":\"alice\",\"file\":\"" +
                         archive + "\",\"overwrite\":true}\n");
    EXPECT_EQ(Ok(Args{"retrieve"} + Cred("alice", "mail") + pw).out, "alice-mail-secret");
    EXPECT_EQ(RunTool(Args{"restore"} + User("carol") + from + backup).code, 14) << "the archive is alice's";
    EXPECT_EQ(RunTool(Args{"restore"} + User("carol") + Args{"--file", archive + ".missing"} + backup).code, 66);
    EXPECT_EQ(Archive("nobody", root.host("scratch/n.zip")).code, 3) << "Error_No_User";
}
