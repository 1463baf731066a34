/* verify: finds bytes flipped on disk, reports each failure, and changes nothing. */
#include "ToolHarness.h"

#include <filesystem>

using namespace vktool_test;

namespace {

using Args = std::vector<std::string>;

/* Blob file: 40-byte header, data, 32-byte HMAC; user.bin ends in its HMAC too. */
const size_t kBlobHeader = 40;

} // namespace

class ToolVerifyTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        Register();
        // The user folders are GUID-named: tell them apart by the order they appear.
        Ok(Args{"add-user"} + User("alice") + Args{"--password-file", passwordFile});
        aliceFolder = UserFolders(root, "App").at(0);
        Ok(Args{"add-user"} + User("bob") + Args{"--password-file", passwordFile});
        for (const std::string& f : UserFolders(root, "App"))
            if (f != aliceFolder) bobFolder = f;
        StoreText("alice", "mail", "alice-mail", "md", "emd");
        StoreText("bob", "pin", "bob-pin", "md", "emd");
        StoreText("bob", "web", "bob-web");
        ASSERT_FALSE(bobFolder.empty());
    }
    Args BobWithPassword() const { return Args{"--user", "bob", "--password-file", passwordFile}; }

    std::string aliceFolder, bobFolder;
};

TEST_F(ToolVerifyTest, ACleanVaultVerifiesAndBlobsNeedThePassword) {
    ToolRun r = Ok(Args{"verify"} + App());
    EXPECT_NE(r.out.find("Application \"App\": table verifies (2 users)."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  user \"bob\": table verifies (2 credentials)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verify: no problems found."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the blobs of 3 credentials were not checked"), std::string::npos) << r.out;

    r = Ok(Args{"verify", "--json"} + App() + BobWithPassword());
    EXPECT_EQ(
        r.out,
        "{\"ok\":true,\"command\":\"verify\",\"app\":\"App\",\"users\":[{\"name\":\"bob\",\"ok\":true,"
        "\"status\":0,"
        "\"credentials\":[{\"id\":\"pin\",\"ok\":true,\"metadata\":\"ok\",\"protected_metadata\":\"ok\","
        "\"blob\":"
        "\"ok\",\"status\":0},{\"id\":\"web\",\"ok\":true,\"metadata\":\"ok\",\"protected_metadata\":\"ok\","
        "\"blob\":\"ok\",\"status\":0}]}],\"problems\":0,\"blobs_not_checked\":0}\n");

    ToolRun bad = RunTool(Args{"verify", "--app", "App", "--secret-file", otherSecretFile});
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.err.find("(Error_Bad_App, -1)"), std::string::npos) << bad.err;
    bad = RunTool(Args{"verify"} + App() + Args{"--password-file", passwordFile});
    EXPECT_EQ(bad.code, 64) << "a password without --user";
    bad = RunTool(Args{"verify"} + App() + Args{"--user", "carol"});
    EXPECT_EQ(bad.code, 3);
}

TEST_F(ToolVerifyTest, VerifyChangesNothingOnDisk) {
    const auto before = Snapshot(root.path());
    Ok(Args{"verify"} + App());
    Ok(Args{"verify"} + App() + BobWithPassword());
    FlipByte(bobFolder + "/user.bin", vktest::ReadFileBytes(bobFolder + "/user.bin").size() - 1);
    const auto damaged = Snapshot(root.path());
    EXPECT_EQ(RunTool(Args{"verify"} + App()).code, 40);
    EXPECT_EQ(RunTool(Args{"verify"} + App() + BobWithPassword()).code, 40);
    EXPECT_EQ(Snapshot(root.path()), damaged);
    EXPECT_NE(before, damaged);
}

TEST_F(ToolVerifyTest, AFlippedByteInAUserTableIsNamedAndTheRestStillChecked) {
    FlipByte(bobFolder + "/user.bin", vktest::ReadFileBytes(bobFolder + "/user.bin").size() - 1);
    ToolRun r = RunTool(Args{"verify"} + App());
    EXPECT_EQ(r.code, 40) << r.out << r.err;
    EXPECT_NE(r.out.find("  user \"bob\": table FAILED: does not verify (Error_No_User, -3)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  user \"alice\": table verifies (1 credential)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verify: 1 problem found."), std::string::npos) << r.out;

    r = RunTool(Args{"verify", "--json"} + App());
    EXPECT_EQ(r.code, 40);
    EXPECT_NE(
        r.out.find(
            "{\"name\":\"bob\",\"ok\":false,\"status\":-3,\"message\":\"does not verify (Error_No_User, "
            "-3)\",\"credentials\":[]}"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"problems\":1,"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.rfind("{\"ok\":false,\"command\":\"verify\"", 0), 0u) << r.out;

    // The library refuses the damaged user too.
    r = RunTool(Args{"list"} + User("bob"));
    EXPECT_EQ(r.code, 3);
}

TEST_F(ToolVerifyTest, AFlippedByteInABlobIsFoundWithThePasswordAndRetrieveRefusesIt) {
    std::vector<std::string> blobs = BlobFiles(bobFolder);
    ASSERT_EQ(blobs.size(), 2u);
    Ok(Args{"verify"} + App() + BobWithPassword());
    for (const std::string& blob : blobs)
        FlipByte(blob, kBlobHeader);

    // Without the password the blobs cannot be opened: verify says so and passes what it can check.
    ToolRun r = Ok(Args{"verify"} + App());
    EXPECT_NE(r.out.find("    credential \"pin\": metadata ok, protected metadata ok, blob not checked"),
              std::string::npos)
        << r.out;

    r = RunTool(Args{"verify"} + App() + BobWithPassword());
    EXPECT_EQ(r.code, 40);
    EXPECT_NE(
        r.out.find("    credential \"pin\": metadata ok, protected metadata ok, blob failed: does not verify "
                   "(Error_No_User, -3)"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("verify: 2 problems found."), std::string::npos) << r.out;

    r = RunTool(Args{"retrieve"} + Cred("bob", "pin") + Args{"--password-file", passwordFile});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("blob does not verify (Error_No_User, -3)"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    // A blob file that is gone is a different failure.
    std::filesystem::remove(blobs[0]);
    r = RunTool(Args{"verify", "--json"} + App() + BobWithPassword());
    EXPECT_EQ(r.code, 40);
    EXPECT_NE(r.out.find("\"blob\":\"failed\",\"status\":-8,"), std::string::npos) << r.out;
}
