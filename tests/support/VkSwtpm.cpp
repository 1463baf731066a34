#include "VkSwtpm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#ifdef VK_TEST_HAVE_TSS2
#include <tss2/tss2_esys.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>
#endif

namespace vktest::swtpm {

namespace {

bool IsSimulator(const std::string& tcti) {
    return tcti.rfind("swtpm:", 0) == 0 || tcti.rfind("mssim:", 0) == 0;
}

std::string FindSwtpm() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/swtpm";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

bool PortFree(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

bool Answers(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

#ifdef VK_TEST_HAVE_TSS2
/* One administration session; refuses anything but a simulator. */
class Admin {
  public:
    explicit Admin(const std::string& tcti) {
        if (!IsSimulator(tcti)) {
            m_error = "refusing to administer a TCTI that is not a simulator: " + tcti;
            return;
        }
        TSS2_RC rc = Tss2_TctiLdr_Initialize(tcti.c_str(), &m_tcti);
        if (rc == TSS2_RC_SUCCESS) rc = Esys_Initialize(&m_esys, m_tcti, nullptr);
        if (rc != TSS2_RC_SUCCESS) m_error = Failed("connect", rc);
    }
    ~Admin() {
        if (m_esys) Esys_Finalize(&m_esys);
        if (m_tcti) Tss2_TctiLdr_Finalize(&m_tcti);
    }
    ESYS_CONTEXT* esys() const { return m_esys; }
    const std::string& error() const { return m_error; }
    static std::string Failed(const char* what, TSS2_RC rc) {
        std::ostringstream s;
        s << what << " failed 0x" << std::hex << rc << " (" << Tss2_RC_Decode(rc) << ")";
        return s.str();
    }

  private:
    TSS2_TCTI_CONTEXT* m_tcti = nullptr;
    ESYS_CONTEXT* m_esys = nullptr;
    std::string m_error;
};

bool Property(ESYS_CONTEXT* esys, TPM2_PT property, uint32_t& value, std::string& error) {
    TPMS_CAPABILITY_DATA* data = nullptr;
    TPMI_YES_NO more = TPM2_NO;
    TSS2_RC rc = Esys_GetCapability(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, TPM2_CAP_TPM_PROPERTIES,
                                    property, 1, &more, &data);
    if (rc != TSS2_RC_SUCCESS) {
        error = Admin::Failed("GetCapability", rc);
        return false;
    }
    const bool found =
        data->data.tpmProperties.count == 1 && data->data.tpmProperties.tpmProperty[0].property == property;
    value = found ? data->data.tpmProperties.tpmProperty[0].value : 0;
    Esys_Free(data);
    if (!found) error = "property not reported";
    return found;
}
#endif

} // namespace

std::string SharedTcti() {
    const char* tcti = std::getenv("VAULTKEEP_KSP_TCTI");
    return tcti && IsSimulator(tcti) ? std::string(tcti) : std::string();
}

bool Installed() {
    return !FindSwtpm().empty();
}

#ifdef VK_TEST_HAVE_TSS2
std::string SetDictionaryAttack(const std::string& tcti, uint32_t maxTries, uint32_t recoverySeconds,
                                uint32_t lockoutRecoverySeconds) {
    Admin admin(tcti);
    if (!admin.error().empty()) return admin.error();
    TSS2_RC rc =
        Esys_DictionaryAttackParameters(admin.esys(), ESYS_TR_RH_LOCKOUT, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                        ESYS_TR_NONE, maxTries, recoverySeconds, lockoutRecoverySeconds);
    return rc == TSS2_RC_SUCCESS ? "" : Admin::Failed("DictionaryAttackParameters", rc);
}

std::string LockoutState(const std::string& tcti, uint32_t& failedTries, bool& inLockout) {
    Admin admin(tcti);
    if (!admin.error().empty()) return admin.error();
    std::string error;
    uint32_t permanent = 0;
    if (!Property(admin.esys(), TPM2_PT_LOCKOUT_COUNTER, failedTries, error) ||
        !Property(admin.esys(), TPM2_PT_PERMANENT, permanent, error))
        return error;
    inLockout = (permanent & TPMA_PERMANENT_INLOCKOUT) != 0;
    return "";
}

std::string SetOwnerPassword(const std::string& tcti, const std::string& password) {
    Admin admin(tcti);
    if (!admin.error().empty()) return admin.error();
    TPM2B_AUTH auth = {};
    if (password.size() > sizeof(auth.buffer)) return "password too long";
    auth.size = static_cast<UINT16>(password.size());
    memcpy(auth.buffer, password.data(), password.size());
    TSS2_RC rc = Esys_HierarchyChangeAuth(admin.esys(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                          ESYS_TR_NONE, &auth);
    return rc == TSS2_RC_SUCCESS ? "" : Admin::Failed("HierarchyChangeAuth", rc);
}

std::string DisableStorageHierarchy(const std::string& tcti) {
    Admin admin(tcti);
    if (!admin.error().empty()) return admin.error();
    TSS2_RC rc = Esys_HierarchyControl(admin.esys(), ESYS_TR_RH_PLATFORM, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                       ESYS_TR_NONE, ESYS_TR_RH_OWNER, TPM2_NO);
    return rc == TSS2_RC_SUCCESS ? "" : Admin::Failed("HierarchyControl", rc);
}
#else
std::string SetDictionaryAttack(const std::string&, uint32_t, uint32_t, uint32_t) {
    return "the tests were built without the TSS";
}
std::string LockoutState(const std::string&, uint32_t&, bool&) {
    return "the tests were built without the TSS";
}
std::string SetOwnerPassword(const std::string&, const std::string&) {
    return "the tests were built without the TSS";
}
std::string DisableStorageHierarchy(const std::string&) {
    return "the tests were built without the TSS";
}
#endif

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) {
        m_old = old;
        m_had = true;
    }
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        setenv(m_name, m_old.c_str(), 1);
    else
        unsetenv(m_name);
}

Simulator::Simulator(std::string stateDir) : m_stateDir(std::move(stateDir)) {}

Simulator::~Simulator() {
    Stop();
    if (m_ownsState && !m_stateDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_stateDir, ec);
    }
}

std::string Simulator::Start() {
    if (m_pid > 0) return "already running";
    const std::string program = FindSwtpm();
    if (program.empty()) return "swtpm is not installed";
    if (m_stateDir.empty()) {
        char tmpl[] = "/tmp/vktest-swtpm-XXXXXX";
        if (!mkdtemp(tmpl)) return "cannot make a state folder";
        m_stateDir = tmpl;
        m_ownsState = true;
    }
    const std::string log = m_stateDir + "/swtpm.log";

    std::mt19937 pick(std::random_device{}());
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int port = 20000 + 2 * static_cast<int>(pick() % 20000);
        if (!PortFree(port) || !PortFree(port + 1)) continue;
        const std::vector<std::string> args = {
            program,
            "socket",
            "--tpm2",
            "--server",
            "type=tcp,port=" + std::to_string(port) + ",bindaddr=127.0.0.1",
            "--ctrl",
            "type=tcp,port=" + std::to_string(port + 1) + ",bindaddr=127.0.0.1",
            "--tpmstate",
            "dir=" + m_stateDir,
            "--flags",
            "not-need-init,startup-clear"};
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);

        const pid_t pid = fork();
        if (pid < 0) return "fork failed";
        if (pid == 0) {
            // Dies with the test process, so a crashed test leaves no simulator behind.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        m_pid = pid;
        for (int i = 0; i < 250; ++i) { // at most 5 s
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                m_pid = -1;
                break; // the port was taken after all; try another
            }
            if (Answers(port)) {
                m_tcti = "swtpm:host=127.0.0.1,port=" + std::to_string(port);
                return "";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_pid > 0) {
            Stop();
            return "swtpm did not answer on port " + std::to_string(port);
        }
    }
    return "no free loopback port pair for swtpm";
}

void Simulator::Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    bool gone = false;
    for (int i = 0; i < 250 && !gone; ++i) { // at most 5 s
        if (waitpid(m_pid, &status, WNOHANG) == m_pid)
            gone = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!gone) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    m_tcti.clear();
}

} // namespace vktest::swtpm
