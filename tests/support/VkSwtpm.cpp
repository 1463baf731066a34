#include "VkSwtpm.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "diaglog_control.h"

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

#if defined(VK_TEST_HAVE_TSS2) && !defined(_WIN32)
/* Runs one ESAPI call on a simulator: "" or what failed. */
template <class F> std::string Administer(const std::string& tcti, const char* what, F&& call) {
    if (!IsSimulator(tcti)) return "refusing to administer a TCTI that is not a simulator: " + tcti;
    TSS2_TCTI_CONTEXT* t = nullptr;
    ESYS_CONTEXT* esys = nullptr;
    TSS2_RC rc = Tss2_TctiLdr_Initialize(tcti.c_str(), &t);
    if (rc == TSS2_RC_SUCCESS) rc = Esys_Initialize(&esys, t, nullptr);
    if (rc == TSS2_RC_SUCCESS) rc = call(esys);
    if (esys) Esys_Finalize(&esys);
    if (t) Tss2_TctiLdr_Finalize(&t);
    std::ostringstream s;
    if (rc != TSS2_RC_SUCCESS)
        s << what << " failed 0x" << std::hex << rc << " (" << Tss2_RC_Decode(rc) << ")";
    return s.str();
}
#endif

} // namespace

std::string SharedTcti() {
    const char* tcti = std::getenv("VAULTKEEP_KSP_TCTI");
    return tcti && IsSimulator(tcti) ? std::string(tcti) : std::string();
}

#if defined(VK_TEST_HAVE_TSS2) && !defined(_WIN32)
std::string DefenceOff(const std::string& tcti) {
    return Administer(tcti, "DictionaryAttackParameters", [&](ESYS_CONTEXT* esys) {
        return Esys_DictionaryAttackParameters(esys, ESYS_TR_RH_LOCKOUT, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                               ESYS_TR_NONE, 3, 0, 0);
    });
}

std::string SetOwnerPassword(const std::string& tcti, const std::string& password) {
    TPM2B_AUTH auth = {};
    auth.size = static_cast<UINT16>(password.size());
    memcpy(auth.buffer, password.data(), password.size());
    return Administer(tcti, "HierarchyChangeAuth", [&](ESYS_CONTEXT* esys) {
        return Esys_HierarchyChangeAuth(esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                                        &auth);
    });
}
#else
// The TPM backend is Linux-only and needs the TSS: there is nothing to administer.
std::string DefenceOff(const std::string&) {
    return "no TPM administration in this build";
}
#endif

#ifndef _WIN32
namespace {

/* Whether something answers on the loopback port. */
bool Answers(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

} // namespace

bool Installed() {
    return std::system("command -v swtpm >/dev/null 2>&1") == 0;
}

Simulator::~Simulator() {
    Stop();
    std::error_code ec;
    if (!m_stateDir.empty()) std::filesystem::remove_all(m_stateDir, ec);
}

std::string Simulator::Start() {
    if (m_stateDir.empty()) {
        char tmpl[] = "/tmp/vktest-swtpm-XXXXXX";
        if (!mkdtemp(tmpl)) return "cannot make a state folder";
        m_stateDir = tmpl;
    }
    std::mt19937 pick(std::random_device{}());
    for (int attempt = 0; attempt < 20; ++attempt) { // a taken port makes swtpm exit: try another
        const int port = 20000 + 2 * static_cast<int>(pick() % 20000);
        const auto tcp = [](int p) { return " type=tcp,port=" + std::to_string(p) + ",bindaddr=127.0.0.1"; };
        const std::string command = "exec swtpm socket --tpm2 --flags not-need-init,startup-clear --server" +
                                    tcp(port) + " --ctrl" + tcp(port + 1) + " --tpmstate dir='" + m_stateDir +
                                    "' >>'" + m_stateDir + "/swtpm.log' 2>&1";
        m_pid = fork();
        if (m_pid < 0) return "fork failed";
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM); // a crashed test leaves no simulator behind
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 250 && m_pid > 0; ++i) { // at most 5 s
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) m_pid = -1;
            if (m_pid > 0 && Answers(port)) {
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
    return "swtpm did not start; see " + m_stateDir + "/swtpm.log";
}

void Simulator::Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    m_tcti.clear();
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

} // namespace vktest::swtpm

namespace vktest::ksp {

std::string ModulePath() {
    return BuiltModule("VaultkeepTpmKsp");
}

void SetSetting(const WCHAR* name, const WString& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              W("SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider"), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

bool LoggedError(const std::string& text) {
    bool said = false;
    for (const auto& l : diaglog::TakeCaptured())
        said |= l.level == diaglog::Level::Error && l.text.find(text) != std::string::npos;
    diaglog::SetCapture(false);
    return said;
}

void Module::Load() {
    handle = LoadLibraryW(U(ModulePath()).c_str());
    ASSERT_NE(handle, nullptr) << "cannot load " << ModulePath();
    exportContainer = reinterpret_cast<PFN_TpmKspExportContainer>(
        reinterpret_cast<void*>(GetProcAddress(handle, "TpmKspExportContainer")));
    importContainer = reinterpret_cast<PFN_TpmKspImportContainer>(
        reinterpret_cast<void*>(GetProcAddress(handle, "TpmKspImportContainer")));
    importContainerAs = reinterpret_cast<PFN_TpmKspImportContainerAs>(
        reinterpret_cast<void*>(GetProcAddress(handle, "TpmKspImportContainerAs")));
    ASSERT_TRUE(exportContainer && importContainer && importContainerAs);
    Register();
}

void Module::Register() {
    auto reg =
        reinterpret_cast<HRESULT (*)()>(reinterpret_cast<void*>(GetProcAddress(handle, "DllRegisterServer")));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
}

Module::~Module() {
    if (handle) FreeLibrary(handle);
}

DWORD Acquire(Prov& p, const WString& name, DWORD flags) {
    SetLastError(kSentinel);
    p.h = 0;
    if (CryptAcquireContextW(&p.h, name.empty() && (flags & CRYPT_VERIFYCONTEXT) ? nullptr : name.c_str(),
                             TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, flags))
        return 0;
    EXPECT_EQ(p.h, 0u);
    return GetLastError();
}

TcgKeyParams SystemKeyParams() {
    TcgKeyParams p;
    memset(&p, 0, sizeof(p));
    p.dwField0 = 1;
    p.dwField16 = 512;
    p.dwField24 = 3;
    p.dwField28 = 1;
    p.dwField36 = 1;
    return p;
}

DWORD MakeKey(const WString& name, const std::string& password, DWORD keyFlags) {
    const TcgKeyParams params = SystemKeyParams();
    Prov p;
    KeyH k;
    DWORD err = Acquire(p, name, kCreate);
    if (!err)
        err = KSP_CALL(CryptSetProvParam(p.h, PP_TCG_KEYPARAM, reinterpret_cast<const BYTE*>(&params), 1));
    if (!err) err = KSP_CALL(CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(password), 0));
    if (!err) err = KSP_CALL(CryptGenKey(p.h, AT_KEYEXCHANGE, keyFlags, &k.h));
    return err;
}

DWORD Open(const WString& name, const std::string* password, const Bytes& wrapped, const Bytes& cipher,
           Bytes& plain) {
    Prov p;
    KeyH exchange, blob;
    Bytes buf = cipher;
    DWORD len = static_cast<DWORD>(buf.size()), err = Acquire(p, name, kOpen);
    if (!err && password) err = KSP_CALL(CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(*password), 0));
    if (!err) err = KSP_CALL(CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h));
    if (!err)
        err = KSP_CALL(CryptImportKey(p.h, wrapped.data(), static_cast<DWORD>(wrapped.size()), exchange.h,
                                      CRYPT_OAEP, &blob.h));
    if (!err) err = KSP_CALL(CryptDecrypt(blob.h, 0, TRUE, 0, buf.data(), &len));
    if (!err) plain.assign(buf.begin(), buf.begin() + len);
    return err;
}

} // namespace vktest::ksp
