/* The tool's command line: secrets refused on it, the input sources, help, the
 * machine root, and the documented exit codes. */
#include "ToolHarness.h"

#include <vaultkeep/vaultkeep.h>

#include <filesystem>
#include <set>
#include <fstream>
#include <sstream>

using namespace vktool_test;
using vktest::Bytes;

namespace {

const char* const kCommands[] = {
    "init",        "register-app", "unregister-app", "add-user", "list-users",
    "delete-user", "store",        "retrieve",       "metadata", "protected-metadata",
    "list",        "delete",       "archive",        "restore",  "verify"};

/* Every status of the public header with the exit code the tool documents for it. */
const std::pair<LONG, int> kStatusExits[] = {
    {Error_Bad_App, 1},
    {Error_App_Already_Exists, 2},
    {Error_No_User, 3},
    {Error_Non_Supported_Version, 4},
    {Error_Cred_Not_Found, 5},
    {Error_Internal, 6},
    {Error_Invalid_ID, 7},
    {Error_Invalid_Cred, 8},
    {Error_TPM_Not_Owned, 9},
    {Error_Insufficient_Privileges, 11},
    {Error_Cant_Load_Library, 12},
    {Error_User_Already_Exists, 13},
    {Error_Bad_Backup, 14},
    {Error_Invalid_File, 15},
    {Error_Decrypt_Failed, 16},
    {Error_Table_Alloc, 99},
};

std::string SourceFile(const std::string& rel) {
    return (std::filesystem::path(__FILE__).parent_path() / "../.." / rel).lexically_normal().string();
}

} // namespace

TEST_F(ToolTest, SecretsOnTheCommandLineAreRefusedWithHowToPassThem) {
    const std::string value = "Zq9-visible-value";
    struct Case {
        std::vector<std::string> args;
        const char* hint; // the option the message must point to
    };
    const Case cases[] = {
        {{"list-users", "--app", "App", "--secret", value}, "--secret-file FILE"},
        {{"list-users", "--app", "App", "--secret=" + value}, "--secret-env VAR"},
        {{"--secret", value, "list-users", "--app", "App"}, "--secret-fd N"},
        {{"retrieve", "--app", "App", "--user", "u", "--id", "i", "--password", value},
         "--password-file FILE"},
        {{"add-user", "--app", "App", "--user", "u", "--pass=" + value}, "--password-env VAR"},
        {{"add-user", "--app", "App", "--user", "u", "-p", value}, "--password-fd N"},
        {{"archive", "--app", "App", "--backup-password", value}, "--backup-password-file FILE"},
        {{"store", "--data", value}, "--data-file FILE"},
        {{"store", "--metadata", value}, "--metadata-file FILE"},
        {{"store", "--protected-metadata=" + value}, "--protected-metadata-env VAR"},
        {{"--help", "--secret", value}, "--secret-file FILE"},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(c.args);
        EXPECT_EQ(r.code, 64) << c.args[0] << " " << c.args.back();
        EXPECT_NE(r.err.find(c.hint), std::string::npos) << r.err;
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
    Ok({"add-user", "--app", "App", "--user", "alice", "--secret-file", secretFile, "--password-file",
        passwordFile});
    const std::string secret = std::string("app-secret\0\xff bytes", 17);
    // The secret has a NUL in it, so it cannot travel in an environment variable; text secrets can.
    const std::string textSecret = "plain text secret";
    Ok({"register-app", "--app", "TextApp", "--secret-file", File("text", textSecret)});

    struct Case {
        const char* name;
        std::vector<std::string> args;
        RunOptions opts;
    };
    std::vector<Case> cases = {
        {"file", {"--app", "App", "--secret-file", secretFile}, {}},
        {"stdin", {"--app", "App", "--secret-file", "-"}, {secret, {}, {}}},
        {"fd 0", {"--app", "App", "--secret-fd", "0"}, {secret, {}, {}}},
        {"fd 7", {"--app", "App", "--secret-fd", "7"}, {"", {{7, secret}}, {}}},
        {"env", {"--app", "TextApp", "--secret-env", "VK_T_SECRET"}, {"", {}, {{"VK_T_SECRET", textSecret}}}},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(std::vector<std::string>{"list-users"} + c.args, c.opts);
        EXPECT_EQ(r.code, 0) << c.name << ": " << r.err;
    }
    // The password file ends in a line end that is not part of the password; the variable has none.
    StoreText("alice", "web", "hunter2");
    ToolRun r = RunTool(std::vector<std::string>{"retrieve"} + Cred("alice", "web") +
                            std::vector<std::string>{"--password-env", "VK_T_PW"},
                        {"", {}, {{"VK_T_PW", "pa\xc3\x9f word"}}});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "hunter2");
}

TEST_F(ToolTest, UnusableInputsAreReportedBeforeTheVaultIsTouched) {
    Register();
    struct Case {
        const char* name;
        std::vector<std::string> args;
        RunOptions opts;
        int code;
        const char* message;
    };
    const std::string missing = root.host("scratch/none");
    std::vector<Case> cases = {
        {"missing file", {"--secret-file", missing}, {}, 66, "cannot read the application secret from file"},
        {"unset variable", {"--secret-env", "VK_T_UNSET"}, {}, 66, "VK_T_UNSET is not set"},
        {"bad descriptor", {"--secret-fd", "x"}, {}, 64, "--secret-fd needs a descriptor number"},
        {"closed descriptor", {"--secret-fd", "9"}, {}, 66, "descriptor 9"},
        {"empty secret", {"--secret-file", File("empty", "")}, {}, 66, "the application secret is empty"},
        {"given twice", {"--secret-file", secretFile, "--secret-env", "X"}, {}, 64, "more than once"},
        {"no source, no terminal",
         {},
         {},
         64,
         "no application secret given: pass it with --secret-file FILE"},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(std::vector<std::string>{"list-users", "--app", "App"} + c.args, c.opts);
        EXPECT_EQ(r.code, c.code) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    }
    // Two inputs cannot both read standard input.
    ToolRun r = RunTool(std::vector<std::string>{"store"} +
                        std::vector<std::string>{"--app", "App", "--user", "u", "--id", "i", "--secret-file",
                                                 "-", "--data-file", "-"});
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.err.find("only one input can come from standard input"), std::string::npos) << r.err;
    // A password that is not UTF-8 cannot become a wide string.
    r = RunTool(std::vector<std::string>{"add-user"} + User("bob") +
                std::vector<std::string>{"--password-file", File("badpw", "\xff\xfe")});
    EXPECT_EQ(r.code, 66);
    EXPECT_NE(r.err.find("not valid UTF-8"), std::string::npos) << r.err;
    // An input the command does not take.
    r = RunTool(std::vector<std::string>{"list-users"} + App() +
                std::vector<std::string>{"--password-file", passwordFile});
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.err.find("takes no user password"), std::string::npos) << r.err;
}

TEST_F(ToolTest, HelpDescribesEveryCommandAndBadCommandLinesAreUsageErrors) {
    ToolRun top = Ok({"--help"});
    for (const char* cmd : kCommands) {
        EXPECT_NE(top.out.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{cmd, "--help"}, std::vector<std::string>{"help", cmd}}) {
            ToolRun r = Ok(args);
            EXPECT_EQ(r.out.rfind(std::string("Usage: vaultkeep ") + cmd + " ", 0), 0u) << r.out;
        }
    }
    EXPECT_EQ(Ok({"--version"}).out, "vaultkeep 1.0.0\n");

    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"list-users", "--app", "App", "--out", "x", "--secret-file", secretFile},
        {"list-users", "extra", "--app", "App"},
        {"list-users", "--app"},
        {"list-users", "--app", "A", "--app", "B"},
        {"list-users", "--app="},
        {"restore", "--overwrite=yes"},
    };
    for (const auto& args : bad) {
        ToolRun r = RunTool(args);
        EXPECT_EQ(r.code, 64) << (args.empty() ? "(none)" : args[0]) << ": " << r.err;
        EXPECT_EQ(r.err.rfind("vaultkeep: ", 0), 0u) << r.err;
    }
    ToolRun r = RunTool({"list-users", "--secret-file", secretFile});
    EXPECT_EQ(r.code, 64);
    EXPECT_NE(r.err.find("--app is required"), std::string::npos) << r.err;
}

TEST_F(ToolTest, ExitCodeTableIsDistinctAndDocumentedInHelpAndManualPage) {
    const std::string help = Ok({"--help"}).out;
    std::ifstream f(SourceFile("docs/man/vaultkeep.1"));
    ASSERT_TRUE(f.good()) << SourceFile("docs/man/vaultkeep.1");
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string man = ss.str();
    std::set<int> codes;
    for (const auto& [status, code] : kStatusExits) {
        const char* name = VaultkeepStatusName(status);
        ASSERT_NE(name, nullptr) << status;
        EXPECT_TRUE(codes.insert(code).second) << "exit code " << code << " used twice";
        char line[64];
        snprintf(line, sizeof line, "%4d  %s", code, name);
        EXPECT_NE(help.find(line), std::string::npos) << "--help lacks \"" << line << "\"";
        EXPECT_NE(man.find(name), std::string::npos) << "manual page lacks " << name;
        EXPECT_NE(man.find(".B " + std::to_string(code) + "\n"), std::string::npos)
            << "manual page lacks code " << code;
    }
    for (int code : {20, 21, 40, 64, 66, 70, 73}) {
        EXPECT_TRUE(codes.insert(code).second) << code;
        EXPECT_NE(man.find(".B " + std::to_string(code) + "\n"), std::string::npos) << code;
    }
    for (const char* cmd : kCommands)
        EXPECT_NE(man.find(std::string(".B ") + cmd), std::string::npos) << cmd;
}

TEST_F(ToolTest, InitLaysOutARootOnceAndOtherCommandsNeedAnExistingRoot) {
    const std::string fresh = root.host("scratch/new/root");
    ToolRun first = Ok({"init", "--root", fresh});
    EXPECT_EQ(first.out, "Machine root ready: " + fresh + "\n");
    auto before = Snapshot(fresh);
    EXPECT_FALSE(before.empty()) << "init wrote nothing below " << fresh;
    ToolRun again = Ok({"init", "--json", "--root", fresh});
    EXPECT_EQ(again.out, "{\"ok\":true,\"command\":\"init\",\"root\":\"" + fresh + "\"}\n");
    EXPECT_EQ(Snapshot(fresh), before) << "a second init changed the root";

    ToolRun r = RunTool(std::vector<std::string>{"list-users", "--root", root.host("scratch/typo")} + App());
    EXPECT_EQ(r.code, 66);
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_FALSE(vktest::FileExists(root.host("scratch/typo")));
    // --root wins over the environment.
    Register();
    r = RunTool(std::vector<std::string>{"list-users", "--root", fresh} + App());
    EXPECT_EQ(r.code, 1) << "App is registered in the environment's root, not in " << fresh;
}
