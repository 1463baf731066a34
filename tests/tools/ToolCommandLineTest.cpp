/* The tool's command line: secrets refused on it, the input sources, help, the machine root, and
 * the documented exit codes. */
#include "ToolHarness.h"

#include <vaultkeep/vaultkeep.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

using namespace vktool_test;
using Args = std::vector<std::string>;

namespace {

const char* const kCommands[] = {
    "init",        "register-app", "unregister-app", "add-user", "list-users",
    "delete-user", "store",        "retrieve",       "metadata", "protected-metadata",
    "list",        "delete",       "archive",        "restore",  "verify"};

} // namespace

TEST_F(ToolTest, SecretsOnTheCommandLineAreRefusedWithHowToPassThem) {
    const std::string value = "Zq9-visible-value";
    const std::pair<Args, const char*> cases[] = {
        // the option the message must point to
        {{"list-users", "--app", "App", "--secret", value}, "--secret-file FILE"},
        {{"list-users", "--app", "App", "--secret=" + value}, "--secret-env VAR"},
        {{"--secret", value, "list-users", "--app", "App"}, "--secret-fd N"},
        {{"retrieve", "--app", "App", "--user", "u", "--id", "i", "--password", value},
         "--password-file FILE"},
        {{"add-user", "--app", "App", "--user", "u", "-p", value}, "--password-fd N"},
        {{"archive", "--app", "App", "--backup-password", value}, "--backup-password-file FILE"},
        {{"store", "--data", value}, "--data-file FILE"},
        {{"store", "--protected-metadata=" + value}, "--protected-metadata-env VAR"}};
    for (const auto& [args, hint] : cases) {
        ToolRun r = RunTool(args);
        EXPECT_EQ(r.code, 64) << args[0] << " " << args.back();
        EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("command line"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(value), std::string::npos) << "the refused value was echoed: " << r.err;
        EXPECT_EQ(r.out, "");
    }
    ToolRun j = RunTool({"list-users", "--json", "--app", "App", "--secret", value});
    EXPECT_EQ(j.code, 64);
    EXPECT_EQ(
        j.out.rfind("{\"ok\":false,\"command\":null,\"error\":\"usage\",\"message\":\"--secret would put", 0),
        0u)
        << j.out;
    EXPECT_NE(j.out.find("\"exit_code\":64}"), std::string::npos) << j.out;
    EXPECT_EQ(j.out.find(value), std::string::npos);
}

TEST_F(ToolTest, EveryInputSourceGivesTheSameSecretAndPassword) {
    Register();
    const std::string secret = std::string("app-secret\0\xff bytes", 17);
    // The secret has a NUL in it, so it cannot travel in an environment variable; text secrets can.
    Ok({"register-app", "--app", "TextApp", "--secret-file", File("text", "plain text secret")});
    const std::pair<Args, RunOptions> cases[] = {
        {{"--app", "App", "--secret-file", "-"}, {secret, {}, {}}},
        {{"--app", "App", "--secret-fd", "0"}, {secret, {}, {}}},
        {{"--app", "App", "--secret-fd", "7"}, {"", {{7, secret}}, {}}},
        {{"--app", "TextApp", "--secret-env", "VK_T_SECRET"},
         {"", {}, {{"VK_T_SECRET", "plain text secret"}}}}};
    for (const auto& [args, opts] : cases) {
        ToolRun r = RunTool(Args{"list-users"} + args, opts);
        EXPECT_EQ(r.code, 0) << args.back() << ": " << r.err;
    }
    // The password file ends in a line end that is not part of the password; the variable has none.
    StoreText("alice", "web", "hunter2");
    ToolRun r = RunTool(Args{"retrieve"} + Cred("alice", "web") + Args{"--password-env", "VK_T_PW"},
                        {"", {}, {{"VK_T_PW", "pa\xc3\x9f word"}}});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "hunter2");
}

TEST_F(ToolTest, UnusableInputsAreReportedBeforeTheVaultIsTouched) {
    Register();
    const std::tuple<Args, int, const char*> cases[] = {
        {{"--secret-file", root.host("scratch/none")}, 66, "cannot read the application secret from file"},
        {{"--secret-env", "VK_T_UNSET"}, 66, "VK_T_UNSET is not set"},
        {{"--secret-fd", "9"}, 66, "descriptor 9"},
        {{"--secret-file", File("empty", "")}, 66, "the application secret is empty"},
        {{"--secret-file", secretFile, "--secret-env", "X"}, 64, "more than once"},
        {{}, 64, "no application secret given: pass it with --secret-file FILE"},
        {{"--secret-file", secretFile, "--password-file", passwordFile}, 64, "takes no user password"}};
    for (const auto& [args, code, message] : cases) {
        ToolRun r = RunTool(Args{"list-users", "--app", "App"} + args);
        EXPECT_EQ(r.code, code) << message << ": " << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    ToolRun r = RunTool(
        Args{"store", "--app", "App", "--user", "u", "--id", "i", "--secret-file", "-", "--data-file", "-"});
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.err.find("only one input can come from standard input"), std::string::npos) << r.err;
    r = RunTool(Args{"add-user"} + User("bob") + Args{"--password-file", File("badpw", "\xff\xfe")});
    EXPECT_EQ(r.code, 66);
    EXPECT_NE(r.err.find("not valid UTF-8"), std::string::npos) << r.err;
}

TEST_F(ToolTest, HelpDescribesEveryCommandAndBadCommandLinesAreUsageErrors) {
    const std::string top = Ok({"--help"}).out;
    for (const char* cmd : kCommands) {
        EXPECT_NE(top.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
        EXPECT_EQ(Ok({cmd, "--help"}).out.rfind(std::string("Usage: vaultkeep ") + cmd + " ", 0), 0u) << cmd;
    }
    const Args bad[] = {{},
                        {"frobnicate"},
                        {"list-users", "--app", "App", "--out", "x", "--secret-file", secretFile},
                        {"list-users", "extra", "--app", "App"},
                        {"list-users", "--app"},
                        {"list-users", "--app", "A", "--app", "B"},
                        {"restore", "--overwrite=yes"}};
    for (const Args& args : bad) {
        ToolRun r = RunTool(args);
        EXPECT_EQ(r.code, 64) << (args.empty() ? "(none)" : args[0]) << ": " << r.err;
        EXPECT_EQ(r.err.rfind("vaultkeep: ", 0), 0u) << r.err;
    }
    EXPECT_NE(RunTool({"list-users", "--secret-file", secretFile}).err.find("--app is required"),
              std::string::npos);
}

TEST_F(ToolTest, ExitCodeTableIsDistinctAndDocumentedInHelpAndManualPage) {
    const std::string help = Ok({"--help"}).out;
    // A compiler cache makes __FILE__ relative to the build folder, the one holding bin/.
    const std::filesystem::path source = std::filesystem::path(ToolPath()).parent_path().parent_path() / __FILE__;
    std::ifstream f((source.parent_path() / "../../docs/man/vaultkeep.1").lexically_normal());
    ASSERT_TRUE(f.good());
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string man = ss.str();
    std::set<int> codes;
    // Every status of the public header with the exit code the tool documents for it: -status, and 99.
    for (LONG status : {-1, -2, -3, -4, -5, -6, -7, -8, -9, -11, -12, -13, -14, -15, -16, -99}) {
        const char* name = VaultkeepStatusName(status);
        ASSERT_NE(name, nullptr) << status;
        const int code = -status;
        EXPECT_TRUE(codes.insert(code).second) << "exit code " << code << " used twice";
        char line[64];
        snprintf(line, sizeof line, "%4d  %s", code, name);
        EXPECT_NE(help.find(line), std::string::npos) << "--help lacks \"" << line << "\"";
        EXPECT_NE(man.find(name), std::string::npos) << "manual page lacks " << name;
    }
    for (int code : {20, 21, 40, 64, 66, 70, 73})
        EXPECT_TRUE(codes.insert(code).second) << code;
    for (int code : codes)
        EXPECT_NE(man.find(".B " + std::to_string(code) + "\n"), std::string::npos) << code;
    for (const char* cmd : kCommands)
        EXPECT_NE(man.find(std::string(".B ") + cmd), std::string::npos) << cmd;
}

TEST_F(ToolTest, InitLaysOutARootOnceAndOtherCommandsNeedAnExistingRoot) {
    const std::string fresh = root.host("scratch/new/root");
#ifdef _WIN32
    // One machine root there, the machine itself: a root elsewhere is refused, and nothing is laid out.
    for (const Args& command : {Args{"init"}, Args{"list-users"} + App()}) {
        ToolRun r = RunTool(command + Args{"--root", fresh});
        EXPECT_EQ(r.code, 64) << command.front();
        EXPECT_NE(r.err.find("--root is not available on Windows"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(vktest::FileExists(fresh));
    return;
#endif
    EXPECT_EQ(Ok({"init", "--root", fresh}).out, "Machine root ready: " + fresh + "\n");
    auto before = Snapshot(fresh);
    EXPECT_FALSE(before.empty()) << "init wrote nothing below " << fresh;
    EXPECT_EQ(Ok({"init", "--json", "--root", fresh}).out,
              "{\"ok\":true,\"command\":\"init\",\"root\":\"" + fresh + "\"}\n");
    EXPECT_EQ(Snapshot(fresh), before) << "a second init changed the root";

    ToolRun r = RunTool(Args{"list-users", "--root", root.host("scratch/typo")} + App());
    EXPECT_EQ(r.code, 66);
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_FALSE(vktest::FileExists(root.host("scratch/typo")));
    Register(); // in the environment's root: --root wins over it
    EXPECT_EQ(RunTool(Args{"list-users", "--root", fresh} + App()).code, 1);
}
