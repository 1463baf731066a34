/* archive and restore through the tool into an application registered again under a new secret. (An archive
 * file never reused, and restore's statuses: the rows of tests/data/tool_command_lines.tsv.) */
#include "ToolHarness.h"

using namespace vktool_test;
using Args = std::vector<std::string>;

TEST_F(ToolTest, ArchivedUserComesBackUnderANewSecretWithEveryCredential) {
    Register();
    StoreText("alice", "mail", "alice-mail-secret", "imap", "host=mx");
    StoreText("alice", "web", "alice-web-secret");
    StoreText("bob", "pin", "1234");
    const std::string archive = root.host("scratch/alice.zip");
    ToolRun r = Ok(Args{"archive", "--json"} + User("alice") +
                   Args{"--file", archive, "--backup-password-file", File("backup", "backup pass\n")});
    EXPECT_EQ(r.out, "{\"ok\":true,\"command\":\"archive\",\"app\":\"App\",\"user\":\"alice\",\"file\":\"" +
                         archive + "\"}\n");

    const Args newApp = {"--app", "App", "--secret-file", otherSecretFile},
               alice = newApp + Args{"--user", "alice"};
    Ok(Args{"unregister-app"} + App());
    Ok(Args{"register-app"} + newApp);
    // The backup password from the environment, without the file's line end.
    r = Ok(Args{"restore"} + alice + Args{"--file", archive, "--backup-password-env", "VK_T_BP"},
           {"", {}, {{"VK_T_BP", "backup pass"}}});
    EXPECT_EQ(r.out, "Restored user \"alice\" into \"App\" from " + archive + ".\n");
    // What the restore brings back under the new secret is archive_test's.
    EXPECT_EQ(Ok(Args{"retrieve"} + alice + Args{"--id", "mail", "--password-file", passwordFile}).out,
              "alice-mail-secret");
}
