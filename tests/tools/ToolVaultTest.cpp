/* Each subcommand end to end through the library: success output, the statuses of its main
 * failures with their exit codes and messages, and the JSON shapes. */
#include "ToolHarness.h"
#ifndef _WIN32 // the TPM backend is Linux-only
#include "VkSwtpm.h"
#endif

#include <sys/stat.h>

using namespace vktool_test;
using Args = std::vector<std::string>;

// Applications, users, credential listing and the JSON forms: the rows of tests/data/tool_command_lines.tsv.

TEST_F(ToolTest, CredentialsRoundTripByteForByteWithBothKindsOfMetadata) {
    Register();
    const std::string data("s\0e\xff"
                           "cret\n",
                           9),
        md("plain\0meta", 10), emd("hidden \xc3\xa9 meta");
    StoreText("alice", "web", data, md, emd);
    const Args pw = {"--password-file", passwordFile};
    EXPECT_EQ(Ok(Args{"retrieve"} + Cred("alice", "web") + pw).out, data);
    EXPECT_EQ(Ok(Args{"metadata"} + Cred("alice", "web")).out, md);
    EXPECT_EQ(Ok(Args{"protected-metadata"} + Cred("alice", "web")).out, emd);

    // --out: the bytes in a file only its owner can read, whatever the umask.
    const std::string outFile = root.host("scratch/out.bin");
    EXPECT_EQ(Ok(Args{"retrieve"} + Cred("alice", "web") + pw + Args{"--out", outFile}).out,
              "Wrote 9 bytes to " + outFile + ".\n");
    const vktest::Bytes got = vktest::ReadFileBytes(outFile);
    EXPECT_EQ(std::string(got.begin(), got.end()), data);
#ifndef _WIN32 // Windows files take their folder's ACL, not mode bits
    struct stat st;
    ASSERT_EQ(stat(outFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
    ToolRun r =
        RunTool(Args{"metadata"} + Cred("alice", "web") + Args{"--out", root.host("scratch/no/such/f")});
    EXPECT_EQ(r.code, 73);
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;

    // The credential from standard input, for a user that store creates.
    EXPECT_EQ(
        Ok(Args{"store", "--json"} + Cred("carol", "pin") + pw + Args{"--data-file", "-"}, {"1234", {}, {}})
            .out,
        "{\"ok\":true,\"command\":\"store\",\"app\":\"App\",\"user\":\"carol\",\"id\":\"pin\",\"length\":4}"
        "\n");
    EXPECT_EQ(Ok(Args{"retrieve"} + Cred("carol", "pin") + pw).out, "1234");
}

#ifndef _WIN32
/* An administrator's TPM, through the tool alone: the TPM must answer at the TCTI, and the TPM
 * counts wrong passwords (its defence: 3, then locked out) while switching away strands the user's key. */
TEST_F(ToolTest, TpmBackendChosenByInitKeepsCredentialsAndCountsWrongPasswords) {
    if (!vktest::swtpm::Installed()) GTEST_SKIP() << "swtpm is not installed";
    vktest::swtpm::ScopedEnv backend("VAULTKEEP_KSP_BACKEND", nullptr), tcti("VAULTKEEP_KSP_TCTI", nullptr);
    vktest::swtpm::Simulator sim;
    ASSERT_EQ(sim.Start(), "");
    EXPECT_EQ(RunTool({"init", "--backend", "tpm2", "--tcti", "swtpm:host=127.0.0.1,port=1"}).code, 9);
    EXPECT_EQ(Ok({"config", "get", "Backend"}).out, "software\n") << "a TPM that does not answer changes nothing";
    Ok({"config", "set", "TCTI", sim.tcti()});
    Ok({"config", "set", "Backend", "tpm2"});
    Register();
    StoreText("bob", "vpn", "tunnel");
    const Args pw = {"--password-file", passwordFile}, wrong = {"--password-file", otherPasswordFile};
    EXPECT_EQ(Ok(Args{"retrieve"} + Cred("bob", "vpn") + pw).out, "tunnel");
    ToolRun r = RunTool(Args{"config", "set", "Backend", "software"});
    EXPECT_EQ(r.code, 41);
    EXPECT_NE(r.err.find("would not be found"), std::string::npos) << r.err;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(RunTool(Args{"retrieve"} + Cred("bob", "vpn") + wrong).code, 16);
    EXPECT_EQ(RunTool(Args{"retrieve"} + Cred("bob", "vpn") + pw).code, 9) << "the TPM did not count them";
}
#endif
