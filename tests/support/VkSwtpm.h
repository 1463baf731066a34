/* The TPM simulator and the key storage provider as the TPM tests drive them. Simulators are the one the
 * test command starts (its TCTI in VAULTKEEP_KSP_TCTI) or private ones a test starts, restarts on the same
 * state and stops; administration refuses any TCTI that is not a simulator's, so a real TPM is never
 * touched. */
#pragma once
#include <cstdint>
#include <string>

#include <windows.h>
#include <wincrypt.h>

#include "VkTest.h"
#include "platform/Wide.h"
#include "platform/KeyProvider.h"

namespace vktest::swtpm {

/* The TCTI of the simulator the test command started, or "" when there is none. */
std::string SharedTcti();
/* Whether the swtpm program is installed (private simulators can run; not on Windows). */
bool Installed();
/* TPM2_DictionaryAttackParameters with a recovery time of 0, which turns the defence off. "" or what failed.
 */
std::string DefenceOff(const std::string& tcti);
/* TPM2_HierarchyChangeAuth of the owner hierarchy, from an empty one (TSS builds): "" or what failed. */
std::string SetOwnerPassword(const std::string& tcti, const std::string& password);

/* An environment variable set (value) or unset (nullptr) for the life of the object. */
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

/* A private simulator on free loopback ports and a fresh state folder; started again, it is the same TPM. */
class Simulator {
  public:
    Simulator() = default;
    ~Simulator();
    Simulator(const Simulator&) = delete;

    std::string Start(); // "" once it answers, else why not
    void Stop();         // the state folder stays until destruction
    const std::string& tcti() const { return m_tcti; }

  private:
    std::string m_stateDir;
    std::string m_tcti;
    int m_pid = -1;
};

} // namespace vktest::swtpm

namespace vktest::ksp {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kOpen = CRYPT_MACHINE_KEYSET;
constexpr DWORD kCreate = CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET;
constexpr DWORD kDelete = CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET;

inline DWORD Code(HRESULT hr) {
    return static_cast<DWORD>(hr);
}
inline const BYTE* Pw(const std::string& s) {
    return reinterpret_cast<const BYTE*>(s.c_str());
}

/* Release what a test acquired even when an assertion returns early. */
struct Prov {
    HCRYPTPROV h = 0;
    ~Prov() {
        if (h) CryptReleaseContext(h, 0);
    }
};
struct KeyH {
    HCRYPTKEY h = 0;
    ~KeyH() {
        if (h) CryptDestroyKey(h);
    }
};

std::string ModulePath();

/* A REG_SZ setting of the provider in HKLM, as an administrator sets it. */
void SetSetting(const WCHAR* name, const WString& value);
/* Whether an error line containing text was captured since capture was last turned on; turns capture off. */
bool LoggedError(const std::string& text);

/* The provider module, loaded, with its escrow calls; Register() in whichever root is current. */
struct Module {
    void Load();
    void Register();
    ~Module();
    HMODULE handle = nullptr;
    PFN_TpmKspExportContainer exportContainer = nullptr;
    PFN_TpmKspImportContainer importContainer = nullptr;
    PFN_TpmKspImportContainerAs importContainerAs = nullptr;
};

/* 0 or the last error of a failed acquire (an empty name acquires without a container). */
DWORD Acquire(Prov& p, const WString& name, DWORD flags);

/* 0, or the last error of a failed call, which must have set one. */
template <class F> DWORD Check(F&& call) {
    SetLastError(kSentinel);
    if (call()) return 0;
    const DWORD err = GetLastError();
    EXPECT_NE(err, kSentinel) << "failure without a last error";
    EXPECT_NE(err, 0u) << "failure with ERROR_SUCCESS";
    return err;
}
#define KSP_CALL(...) ::vktest::ksp::Check([&] { return __VA_ARGS__; })

/* PP_TCG_KEYPARAM as the system sends it. */
TcgKeyParams SystemKeyParams();

/* CUtil::GenerateKey step by step: 0 or the failing step's code. */
DWORD MakeKey(const WString& name, const std::string& password, DWORD keyFlags = 0x08000003);

/* CUtil::DecryptBlob type 1 (no password set when password is null): 0 and the plaintext, or the code of
 * the failing step. */
DWORD Open(const WString& name, const std::string* password, const Bytes& wrapped, const Bytes& cipher,
           Bytes& plain);

} // namespace vktest::ksp
