/* Each subcommand end to end through the library: success output, the statuses of its main
 * failures with their exit codes and messages, and the JSON shapes. */
#include "ToolHarness.h"

#include <sys/stat.h>

using namespace vktool_test;
using Args = std::vector<std::string>;

namespace {

/* A failure must carry the status name and value in its message and the documented exit code. */
void ExpectStatus(const ToolRun& r, int exitCode, const std::string& nameAndValue, const std::string& what) {
    EXPECT_EQ(r.code, exitCode) << what << "\nstderr: " << r.err;
    EXPECT_NE(r.err.find("(" + nameAndValue + ")"), std::string::npos) << what << "\nstderr: " << r.err;
    EXPECT_EQ(r.out, "") << what;
}

} // namespace

// Applications and users: the rows of tests/data/tool_command_lines.tsv.

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

    // JSON carries bytes in base64 (RFC 4648 test vectors); metadata not given is stored empty.
    StoreText("alice", "b64", "foobar", "", "fo");
    const std::string head = "{\"ok\":true,\"command\":\"";
    const std::string tail = "\",\"app\":\"App\",\"user\":\"alice\",\"id\":\"b64\",\"length\":";
    EXPECT_EQ(Ok(Args{"retrieve", "--json"} + Cred("alice", "b64") + pw).out,
              head + "retrieve" + tail + "6,\"data_base64\":\"Zm9vYmFy\"}\n");
    EXPECT_EQ(Ok(Args{"protected-metadata", "--json"} + Cred("alice", "b64")).out,
              head + "protected-metadata" + tail + "2,\"data_base64\":\"Zm8=\"}\n");
    EXPECT_EQ(Ok(Args{"metadata", "--json"} + Cred("alice", "b64")).out,
              head + "metadata" + tail + "0,\"data_base64\":\"\"}\n");

    // The credential from standard input, for a user that store creates.
    EXPECT_EQ(
        Ok(Args{"store", "--json"} + Cred("carol", "pin") + pw + Args{"--data-file", "-"}, {"1234", {}, {}})
            .out,
        "{\"ok\":true,\"command\":\"store\",\"app\":\"App\",\"user\":\"carol\",\"id\":\"pin\",\"length\":4}"
        "\n");
    EXPECT_EQ(Ok(Args{"retrieve"} + Cred("carol", "pin") + pw).out, "1234");
}

TEST_F(ToolTest, CredentialListingReplacementDeletionAndTheirFailures) {
    Register();
    for (const char* id : {"x", "y", "z"})
        StoreText("alice", id, std::string("data-") + id);
    StoreText("alice", "x", "replaced");
    EXPECT_EQ(Ok(Args{"list", "--json"} + User("alice")).out,
              "{\"ok\":true,\"command\":\"list\",\"app\":\"App\",\"user\":\"alice\",\"ids\":[\"y\",\"z\","
              "\"x\"]}\n");
    const Args pw = {"--password-file", passwordFile};
    EXPECT_EQ(Ok(Args{"retrieve"} + Cred("alice", "x") + pw).out, "replaced");
    EXPECT_EQ(Ok(Args{"delete"} + Cred("alice", "y")).out, "Deleted credential \"y\" of user \"alice\".\n");
    EXPECT_EQ(Ok(Args{"list"} + User("alice")).out, "z\nx\n");

    const std::tuple<Args, int, const char*> cases[] = {
        {Args{"retrieve"} + Cred("alice", "y") + pw, 5, "Error_Cred_Not_Found, -5"},
        {Args{"metadata"} + Cred("alice", "y"), 7, "Error_Invalid_ID, -7"},
        {Args{"retrieve"} + Cred("alice", "x") + Args{"--password-file", otherPasswordFile}, 16,
         "Error_Decrypt_Failed, -16"},
        {Args{"store"} + Cred("alice", std::string(20, 'i')) + pw + Args{"--data-file", File("d20", "d")}, 7,
         "Error_Invalid_ID, -7"}};
    for (const auto& [args, code, status] : cases)
        ExpectStatus(RunTool(args), code, status, args[0] + " " + status);

    ToolRun r = RunTool(Args{"delete", "--json"} + Cred("alice", "y"));
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.out,
              "{\"ok\":false,\"command\":\"delete\",\"status\":-7,\"status_name\":\"Error_Invalid_ID\","
              "\"message\":\"no such credential (Error_Invalid_ID, -7)\",\"exit_code\":7}\n");
}
