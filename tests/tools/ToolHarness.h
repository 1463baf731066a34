/* Runs the built vaultkeep tool as a child process against the test's fresh root. */
#pragma once
#include "VkTest.h"

#include <map>
#include <string>
#include <vector>

namespace vktool_test {

struct ToolRun {
    int code = -1; // exit status, or 128 + signal
    std::string out, err;
};

struct RunOptions {
    std::string stdinData;                  // the child's standard input
    std::map<int, std::string> fds;         // descriptor number -> bytes readable from it
    std::map<std::string, std::string> env; // added to the child's environment
};

std::string ToolPath();
#ifndef _WIN32
/* In a forked child: becomes the tool with these arguments (exit status 127 when it cannot). */
[[noreturn]] void ExecTool(const std::vector<std::string>& args);
#endif
/* Runs the tool without a controlling terminal, so it can never prompt. */
ToolRun RunTool(const std::vector<std::string>& args, const RunOptions& opts = {});

/* A fresh root, the secret and password files, and short-hands for the usual calls. */
class ToolTest : public vktest::RootTest {
  protected:
    void SetUp() override;
    /* Writes bytes to a file in the root's scratch folder and returns its path. */
    std::string File(const std::string& name, const std::string& bytes);
    /* Runs and expects success, reporting the output on failure. */
    ToolRun Ok(const std::vector<std::string>& args, const RunOptions& opts = {});
    /* "--app A --secret-file <secret>" and friends. */
    std::vector<std::string> App(const std::string& app = "App") const;
    std::vector<std::string> User(const std::string& user, const std::string& app = "App") const;
    std::vector<std::string> Cred(const std::string& user, const std::string& id,
                                  const std::string& app = "App") const;
    void Register(const std::string& app = "App");
    void StoreText(const std::string& user, const std::string& id, const std::string& data,
                   const std::string& md = "", const std::string& emd = "");

    std::string secretFile, passwordFile, otherSecretFile, otherPasswordFile;
};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b);

} // namespace vktool_test
