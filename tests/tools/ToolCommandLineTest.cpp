/* The tool's command line: secrets refused on it, the input sources, help, the machine root, and
 * the documented exit codes. */
#include "ToolHarness.h"
#include "VkSwtpm.h"

#include <vaultkeep/vaultkeep.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

using namespace vktool_test;
using Args = std::vector<std::string>;

namespace {

const char* const kCommands[] = {
    "init",        "register-app", "unregister-app", "add-user", "list-users",
    "delete-user", "store",        "retrieve",       "metadata", "protected-metadata",
    "list",        "delete",       "archive",        "restore",  "verify",
    "config",      "passwd",       "rotate-secret"};

} // namespace

/* The rows of tests/data/tool_command_lines.tsv; a secret given on the command line is never echoed, in
 * the message or the output. */
TEST_F(ToolTest, CommandLineRowsGiveTheirExitCodeOutputAndMessage) {
    // The settings rows choose the backend and the TPM themselves: the test run's own must not win.
    vktest::swtpm::ScopedEnv backend("VAULTKEEP_KSP_BACKEND", nullptr), tcti("VAULTKEEP_KSP_TCTI", nullptr);
    const std::map<std::string, std::string> files = {{"@secret", secretFile},
                                                      {"@other-secret", otherSecretFile},
                                                      {"@other-password", otherPasswordFile},
                                                      {"@password", passwordFile},
                                                      {"@empty", File("empty", "")},
                                                      {"@missing", root.host("scratch/none")}};
    std::ifstream f(vktest::DataFile("tool_command_lines.tsv"));
    ASSERT_TRUE(f.good());
    int rows = 0;
    for (std::string line; std::getline(f, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cells;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, '\t');) {
            for (size_t at; (at = cell.find("@scratch/")) != std::string::npos;)
                cell.replace(at, 9, root.host("scratch/"));
            cells.push_back(files.count(cell) ? files.at(cell)
                            : cell.rfind("@file:", 0) == 0
                                ? File("f" + std::to_string(cells.size()), cell.substr(6))
                                : cell);
        }
        ASSERT_GE(cells.size(), 3u) << line;
        SCOPED_TRACE(line);
        ++rows;
        const ToolRun r = RunTool(Args(cells.begin() + 3, cells.end()));
        EXPECT_EQ(r.code, std::stoi(cells[0])) << r.err;
        for (size_t at; (at = cells[1].find("\\n")) != std::string::npos;)
            cells[1].replace(at, 2, "\n");
        EXPECT_EQ(r.out, cells[1]);
        std::stringstream fragments(cells[2]);
        for (std::string fragment; std::getline(fragments, fragment, '|');)
            EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
        const bool json = std::find(cells.begin(), cells.end(), "--json") != cells.end();
        EXPECT_TRUE(r.code == 0 || json || r.err.rfind("vaultkeep: ", 0) == 0) << r.err;
        EXPECT_EQ((r.out + r.err).find("Zq9-visible-value"), std::string::npos)
            << "a refused secret was echoed";
    }
    EXPECT_GE(rows, 70);
    ToolRun j = RunTool(Args{"add-user"} + User("bob") + Args{"--password-file", File("badpw", "\xff\xfe")});
    EXPECT_EQ(j.code, 66);
    EXPECT_NE(j.err.find("not valid UTF-8"), std::string::npos) << j.err;
#ifndef _WIN32 // arguments there are UTF-16, and cannot carry such bytes
    // JSON text stays UTF-8 whatever the bytes: each byte that is not becomes U+FFFD.
    j = RunTool({"--json", "fr\xc3\xa9\xff\xc3t\xed\xa0\x80"});
    EXPECT_NE(j.out.find("\\\"fr\xc3\xa9\\ufffd\\ufffdt\\ufffd\\ufffd\\ufffd\\\""), std::string::npos) << j.out;
#endif
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

TEST_F(ToolTest, HelpDescribesEveryCommand) {
    const std::string top = Ok({"--help"}).out;
    for (const char* cmd : kCommands) {
        EXPECT_NE(top.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
        EXPECT_EQ(Ok({cmd, "--help"}).out.rfind(std::string("Usage: vaultkeep ") + cmd + " ", 0), 0u) << cmd;
    }
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
    for (int code : {20, 21, 40, 41, 64, 66, 70, 73})
        EXPECT_TRUE(codes.insert(code).second) << code;
    for (int code : codes)
        EXPECT_NE(man.find(".B " + std::to_string(code) + "\n"), std::string::npos) << code;
    std::ifstream c((source.parent_path() / "../../docs/completion/vaultkeep").lexically_normal());
    const std::string completion((std::istreambuf_iterator<char>(c)), std::istreambuf_iterator<char>());
    for (const char* cmd : kCommands) {
        EXPECT_NE(man.find(std::string(".B ") + cmd), std::string::npos) << cmd;
        EXPECT_NE(completion.find(std::string(cmd) + " "), std::string::npos) << "bash completion lacks " << cmd;
    }
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
    auto before = vktest::Snapshot(fresh, true);
    EXPECT_FALSE(before.empty()) << "init wrote nothing below " << fresh;
    EXPECT_EQ(Ok({"init", "--json", "--root", fresh}).out,
              "{\"ok\":true,\"command\":\"init\",\"root\":\"" + fresh + "\"}\n");
    EXPECT_EQ(vktest::Snapshot(fresh, true), before) << "a second init changed the root";

    ToolRun r = RunTool(Args{"list-users", "--root", root.host("scratch/typo")} + App());
    EXPECT_EQ(r.code, 66);
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_FALSE(vktest::FileExists(root.host("scratch/typo")));
    Register(); // in the environment's root: --root wins over it
    EXPECT_EQ(RunTool(Args{"list-users", "--root", fresh} + App()).code, 1);
}
