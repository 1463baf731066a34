#ifndef _WIN32 // Linux only: a pseudo-terminal drives the prompt
/* The no-echo prompt, driven through a pseudo-terminal. */
#include "ToolHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

using namespace vktool_test;

namespace {

/* The tool on the slave side of a pty; the test holds the slave open too, so the terminal's
 * settings can still be read after the tool has gone. */
class PtyTool {
  public:
    explicit PtyTool(const std::vector<std::string>& args) {
        m_pid = forkpty(&m_master, nullptr, nullptr, nullptr);
        if (m_pid == 0) ExecTool(args);
        m_slave = open(ptsname(m_master), O_RDWR | O_NOCTTY);
    }
    ~PtyTool() {
        if (m_code < 0) vktest::KillHelper(m_pid), vktest::WaitHelper(m_pid);
        close(m_slave);
        close(m_master);
    }
    /* Reads the terminal until `marker` appears; false after 30 s of silence or the tool's end. */
    bool WaitFor(const std::string& marker) {
        while (seen.find(marker) == std::string::npos)
            if (!Pump(30000)) return false;
        return true;
    }
    void Type(const std::string& text) {
        ASSERT_EQ(write(m_master, text.data(), text.size()), (ssize_t)text.size());
    }
    bool EchoOn() const {
        struct termios t;
        return tcgetattr(m_slave, &t) == 0 && (t.c_lflag & ECHO);
    }
    /* Waits for the tool to end (60 s at most) and returns its exit status (128 + signal when killed). */
    int Finish() {
        for (int i = 0; i < 600 && vktest::HelperRunning(m_pid); ++i)
            Pump(100);
        vktest::KillHelper(m_pid); // nothing to end when it has ended
        m_code = vktest::WaitHelper(m_pid);
        while (Pump(50)) {
        }
        return m_code;
    }
    std::string seen;

  private:
    bool Pump(int ms) {
        struct pollfd pf = {m_master, POLLIN, 0};
        char buf[4096];
        ssize_t n = poll(&pf, 1, ms) > 0 ? read(m_master, buf, sizeof buf) : 0;
        if (n > 0) seen.append(buf, static_cast<size_t>(n));
        return n > 0;
    }
    pid_t m_pid = -1;
    int m_master = -1, m_slave = -1, m_code = -1;
};

} // namespace

class ToolPromptTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        Ok({"register-app", "--app", "App", "--secret-file", File("typed", kSecret)});
        Ok({"add-user", "--app", "App", "--secret-file", File("typed", kSecret), "--user", "alice",
            "--password-file", passwordFile});
    }
    static constexpr const char* kSecret = "typed secret 42";
};

TEST_F(ToolPromptTest, SecretIsAskedWithEchoOffAndNeverShown) {
    PtyTool t({"list-users", "--app", "App"});
    ASSERT_TRUE(t.WaitFor("Application secret: ")) << t.seen;
    EXPECT_FALSE(t.EchoOn()) << "echo is on while the secret is typed";
    t.Type(std::string(kSecret) + "\r");
    EXPECT_EQ(t.Finish(), 0) << t.seen;
    EXPECT_NE(t.seen.find("alice"), std::string::npos) << t.seen;
    EXPECT_EQ(t.seen.find(kSecret), std::string::npos) << "the typed secret was echoed: " << t.seen;
    EXPECT_TRUE(t.EchoOn()) << "echo was not restored";
}

TEST_F(ToolPromptTest, NewPasswordIsAskedTwiceAndBothMustMatch) {
    PtyTool t({"passwd", "--app", "App", "--secret-file", File("typed", kSecret), "--user", "alice",
               "--password-file", passwordFile});
    ASSERT_TRUE(t.WaitFor("New password: ")) << t.seen;
    t.Type("fresh pw\r");
    ASSERT_TRUE(t.WaitFor("Repeat new password: ")) << t.seen;
    t.Type("fresh pX\r");
    EXPECT_EQ(t.Finish(), 66) << t.seen;
}

TEST_F(ToolPromptTest, AnInterruptedPromptRestoresEcho) {
    PtyTool t({"list-users", "--app", "App"});
    ASSERT_TRUE(t.WaitFor("Application secret: ")) << t.seen;
    ASSERT_FALSE(t.EchoOn());
    t.Type("\x03"); // ^C
    EXPECT_EQ(t.Finish(), 128 + SIGINT) << t.seen;
    EXPECT_TRUE(t.EchoOn()) << "the terminal was left without echo";
}
#endif
