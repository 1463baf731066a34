/* verify: finds bytes flipped on disk, reports each failure, and changes nothing. (A clean vault, and what
 * verify refuses: the rows of tests/data/tool_command_lines.tsv.) */
#include "ToolHarness.h"

#include <algorithm>
#include <filesystem>

using namespace vktool_test;
using Args = std::vector<std::string>;

class ToolVerifyTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        Register();
        // The user folders are GUID-named: bob's is the one his store adds.
        const std::string app = root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep/App/");
        StoreText("alice", "mail", "alice-mail", "md", "emd");
        const std::vector<std::string> before = vktest::ListDir(app);
        StoreText("bob", "pin", "bob-pin", "md", "emd");
        StoreText("bob", "web", "bob-web");
        for (const std::string& name : vktest::ListDir(app))
            if (std::find(before.begin(), before.end(), name) == before.end()) bobFolder = app + name;
        ASSERT_FALSE(bobFolder.empty());
        bob = {"--user", "bob", "--password-file", passwordFile};
    }
    bool Says(const ToolRun& r, const std::string& text) { return r.out.find(text) != std::string::npos; }
    static void FlipByte(const std::string& path, size_t at) {
        vktest::Bytes b = vktest::ReadFileBytes(path);
        b.at(at) ^= 0x01;
        vktest::WriteFileBytes(path, b);
    }

    std::string bobFolder;
    Args bob;
};

TEST_F(ToolVerifyTest, AFlippedByteInAUserTableIsNamedTheRestStillCheckedAndNothingChanged) {
    FlipByte(bobFolder + "/user.bin", vktest::ReadFileBytes(bobFolder + "/user.bin").size() - 1);
    const auto damaged = vktest::Snapshot(root.path(), true);
    ToolRun r = RunTool(Args{"verify"} + App());
    EXPECT_EQ(r.code, 40) << r.out << r.err;
    EXPECT_TRUE(Says(r, "  user \"bob\": table FAILED: does not verify (Error_No_User, -3)")) << r.out;
    EXPECT_TRUE(Says(r, "  user \"alice\": table verifies (1 credential)")) << r.out;
    EXPECT_TRUE(Says(r, "verify: 1 problem found.")) << r.out;
    r = RunTool(Args{"verify", "--json"} + App() + bob);
    EXPECT_EQ(r.code, 40);
    EXPECT_EQ(r.out.rfind("{\"ok\":false,\"command\":\"verify\"", 0), 0u) << r.out;
    EXPECT_TRUE(Says(r, "{\"name\":\"bob\",\"ok\":false,\"status\":-3,\"message\":\"does not verify "
                        "(Error_No_User, -3)\",\"credentials\":[]}"))
        << r.out;
    EXPECT_TRUE(Says(r, "\"problems\":1,")) << r.out;
    EXPECT_EQ(vktest::Snapshot(root.path(), true), damaged) << "verify changed the vault";
}

TEST_F(ToolVerifyTest, AFlippedByteInABlobIsFoundWithThePasswordAndRetrieveRefusesIt) {
    std::vector<std::string> blobs;
    for (const std::string& name : vktest::ListDir(bobFolder))
        if (name != "user.bin") blobs.push_back(bobFolder + "/" + name);
    ASSERT_EQ(blobs.size(), 2u);
    for (const std::string& blob : blobs)
        FlipByte(blob, 40); // the first data byte after the header
    // Without the password the blobs cannot be opened, but their seal under the secret is checked.
    ToolRun r = RunTool(Args{"verify"} + App());
    EXPECT_EQ(r.code, 40);
    EXPECT_TRUE(Says(r, "    credential \"pin\": metadata ok, protected metadata ok, blob not checked"))
        << r.out;
    EXPECT_TRUE(Says(r, "  credential pin of user bob: its blob file does not verify")) << r.out;
    r = RunTool(Args{"verify"} + App() + bob);
    EXPECT_EQ(r.code, 40);
    EXPECT_TRUE(
        Says(r, "    credential \"pin\": metadata ok, protected metadata ok, blob failed: does not verify "
                "(Error_No_User, -3)"))
        << r.out;
    EXPECT_TRUE(Says(r, "verify: 2 problems found.")) << r.out;
    r = RunTool(Args{"retrieve"} + Cred("bob", "pin") + Args{"--password-file", passwordFile});
    EXPECT_EQ(r.code, 3); // the tool's reading of Error_No_User for retrieve
    EXPECT_NE(r.err.find("or the credential's blob does not verify (Error_No_User, -3)"), std::string::npos)
        << r.err;
    // A blob file that is gone is a different failure.
    std::filesystem::remove(blobs[0]);
    EXPECT_TRUE(Says(RunTool(Args{"verify", "--json"} + App() + bob), "\"blob\":\"failed\",\"status\":-8,"));
    // repair drops the record that lost its blob and leaves the damaged one, which it cannot fix.
    r = RunTool(Args{"verify"} + App());
    EXPECT_TRUE(Says(r, "`vaultkeep repair --app App` removes")) << r.out;
    r = RunTool(Args{"repair"} + App());
    EXPECT_EQ(r.code, 40) << r.out << r.err;
    EXPECT_TRUE(Says(r, "repair: 1 item removed; 1 left that a repair cannot fix (see verify).")) << r.out;
    EXPECT_EQ(Ok(Args{"list"} + User("bob")).out.find('\n'), Ok(Args{"list"} + User("bob")).out.size() - 1)
        << "one id left";
}
