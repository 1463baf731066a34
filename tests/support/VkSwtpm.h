/* The swtpm simulator for the TPM tests: the shared one the test command starts
 * (its TCTI in VAULTKEEP_KSP_TCTI), and private ones a test starts, restarts on
 * the same state and stops itself. Administration goes through ESAPI with the
 * empty hierarchy authorizations of a fresh simulator; every call refuses a
 * TCTI that is not a simulator's, so a real TPM is never touched. */
#pragma once
#include <cstdint>
#include <string>

namespace vktest::swtpm {

/* The TCTI of the simulator the test command started, or "" when there is none. */
std::string SharedTcti();

/* Whether the swtpm program is installed (private simulators can run). */
bool Installed();

/* The administration calls answer "" on success, else what failed. */

/* TPM2_DictionaryAttackParameters. A recovery time of 0 turns the defence off. */
std::string SetDictionaryAttack(const std::string& tcti, uint32_t maxTries, uint32_t recoverySeconds,
                                uint32_t lockoutRecoverySeconds);
/* The lockout counter (TPM_PT_LOCKOUT_COUNTER) and whether the TPM is in lockout. */
std::string LockoutState(const std::string& tcti, uint32_t& failedTries, bool& inLockout);
/* TPM2_HierarchyChangeAuth of the owner hierarchy, from an empty authorization. */
std::string SetOwnerPassword(const std::string& tcti, const std::string& password);
/* TPM2_HierarchyControl: disables the storage hierarchy until the next TPM reset. */
std::string DisableStorageHierarchy(const std::string& tcti);

/* An environment variable set (value) or unset (nullptr) for the life of the object. */
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

/* A private simulator on free loopback ports. Its state folder is made fresh,
 * or is the folder of an earlier simulator to restart that TPM. */
class Simulator {
  public:
    explicit Simulator(std::string stateDir = "");
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /* "" once it answers on its port, else why not. */
    std::string Start();
    /* Stops the process; the state folder stays until destruction. */
    void Stop();
    /* Leaves the state folder behind for a later Simulator(stateDir()). */
    void KeepState() { m_ownsState = false; }

    const std::string& tcti() const { return m_tcti; }
    const std::string& stateDir() const { return m_stateDir; }

  private:
    std::string m_stateDir;
    std::string m_tcti;
    bool m_ownsState = false;
    int m_pid = -1;
};

} // namespace vktest::swtpm
