/* The no-echo prompt, driven through a pseudo-terminal. */
#include "ToolHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

using namespace vktool_test;

namespace {

using Args = std::vector<std::string>;

/* The tool on the slave side of a pty; the test holds the slave open too, so the
 * terminal's settings can still be read after the tool has gone. */
class PtyTool {
  public:
    explicit PtyTool(const Args& args) {
        m_pid = forkpty(&m_master, nullptr, nullptr, nullptr);
        if (m_pid == 0) {
            const std::string tool = ToolPath();
            std::vector<char*> argv{const_cast<char*>(tool.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(tool.c_str(), argv.data());
            _exit(127);
        }
        m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY);
    }
    ~PtyTool() {
        if (m_pid > 0 && !m_done) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_slave >= 0) close(m_slave);
        if (m_master >= 0) close(m_master);
    }

    /* Reads the terminal until `marker` appears; false after 30 s. */
    bool WaitFor(const std::string& marker) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (m_seen.find(marker) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !Pump(200))
                return m_seen.find(marker) != std::string::npos;
        }
        return true;
    }
    void Type(const std::string& text) {
        ASSERT_EQ(write(m_master, text.data(), text.size()), (ssize_t)text.size());
    }
    bool EchoOn() const {
        struct termios t;
        return tcgetattr(m_slave, &t) == 0 && (t.c_lflag & ECHO);
    }
    /* Waits for the tool to end and returns its exit status (128 + signal when killed). */
    int Finish() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        int status = 0;
        for (;;) {
            Pump(100);
            const pid_t w = waitpid(m_pid, &status, WNOHANG);
            if (w == m_pid) break;
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
        }
        m_done = true;
        while (Pump(50)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& Seen() const { return m_seen; }

  private:
    bool Pump(int ms) {
        struct pollfd pf = {m_master, POLLIN, 0};
        if (poll(&pf, 1, ms) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(m_master, buf, sizeof buf);
        if (n <= 0) return false;
        m_seen.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_master = -1, m_slave = -1;
    bool m_done = false;
    std::string m_seen;
};

} // namespace

class ToolPromptTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        typedSecretFile = File("typed", kSecret);
        Ok({"register-app", "--app", "App", "--secret-file", typedSecretFile});
        Ok({"store", "--app", "App", "--secret-file", typedSecretFile, "--user", "alice", "--id", "web",
            "--password-file", File("typedpw", kPassword), "--data-file", File("cred", "the credential")});
    }
    static constexpr const char* kSecret = "typed secret 42";
    static constexpr const char* kPassword = "typed password 7";
    std::string typedSecretFile;
};

TEST_F(ToolPromptTest, SecretIsAskedWithEchoOffAndNeverShown) {
    PtyTool t({"list-users", "--app", "App"});
    ASSERT_TRUE(t.WaitFor("Application secret: ")) << t.Seen();
    EXPECT_FALSE(t.EchoOn()) << "echo is on while the secret is typed";
    t.Type(std::string(kSecret) + "\n");
    EXPECT_EQ(t.Finish(), 0) << t.Seen();
    EXPECT_NE(t.Seen().find("alice"), std::string::npos) << t.Seen();
    EXPECT_EQ(t.Seen().find(kSecret), std::string::npos) << "the typed secret was echoed: " << t.Seen();
    EXPECT_TRUE(t.EchoOn()) << "echo was not restored";
}

TEST_F(ToolPromptTest, PasswordIsAskedAfterTheSecretAndOpensTheCredential) {
    PtyTool t({"retrieve", "--app", "App", "--user", "alice", "--id", "web"});
    ASSERT_TRUE(t.WaitFor("Application secret: ")) << t.Seen();
    t.Type(std::string(kSecret) + "\r");
    ASSERT_TRUE(t.WaitFor("Password: ")) << t.Seen();
    EXPECT_FALSE(t.EchoOn());
    t.Type(std::string(kPassword) + "\n");
    EXPECT_EQ(t.Finish(), 0) << t.Seen();
    EXPECT_NE(t.Seen().find("the credential"), std::string::npos) << t.Seen();
    EXPECT_EQ(t.Seen().find(kPassword), std::string::npos) << t.Seen();
    EXPECT_EQ(t.Seen().find(kSecret), std::string::npos) << t.Seen();
}

TEST_F(ToolPromptTest, ANewSecretIsAskedTwiceAndMustMatch) {
    {
        PtyTool t({"register-app", "--app", "Other"});
        ASSERT_TRUE(t.WaitFor("Application secret: ")) << t.Seen();
        t.Type("first\n");
        ASSERT_TRUE(t.WaitFor("Repeat application secret: ")) << t.Seen();
        t.Type("second\n");
        EXPECT_EQ(t.Finish(), 66) << t.Seen();
        EXPECT_NE(t.Seen().find("the two entries of the application secret differ"), std::string::npos)
            << t.Seen();
    }
    EXPECT_EQ(RunTool({"list-users", "--app", "Other", "--secret-file", File("first", "first")}).code, 1)
        << "a mismatched entry registered the application";
    {
        PtyTool t({"register-app", "--app", "Other"});
        ASSERT_TRUE(t.WaitFor("Application secret: ")) << t.Seen();
        t.Type("same\n");
        ASSERT_TRUE(t.WaitFor("Repeat application secret: ")) << t.Seen();
        t.Type("same\n");
        EXPECT_EQ(t.Finish(), 0) << t.Seen();
    }
    Ok({"list-users", "--app", "Other", "--secret-file", File("same", "same")});
}

TEST_F(ToolPromptTest, AnInterruptedPromptRestoresEcho) {
    PtyTool t({"list-users", "--app", "App"});
    ASSERT_TRUE(t.WaitFor("Application secret: ")) << t.Seen();
    ASSERT_FALSE(t.EchoOn());
    t.Type("\x03"); // ^C
    EXPECT_EQ(t.Finish(), 128 + SIGINT) << t.Seen();
    EXPECT_TRUE(t.EchoOn()) << "the terminal was left without echo";
}
