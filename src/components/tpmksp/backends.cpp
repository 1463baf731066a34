/* The backends compiled into the provider, and which one a machine uses. */
#include "backend.h"
#include "../SecureEnv.h"

#include <cstdlib>
#include <cstring>

namespace tpmksp {

namespace {

const BackendEntry kBackends[] = {
    {"software", CreateSoftwareBackend,
     "containers in files below the machine root, private keys sealed under the key password"},
#ifdef TPMKSP_HAVE_TPM2
    {"tpm2", CreateTpm2Backend, "keys held by a TPM 2.0 reached through the TSS"},
#endif
};

constexpr size_t kMaxBackendName = 64;

/* The registry value "Backend", narrowed; names are ASCII, so anything else
 * simply matches no entry. */
bool ReadConfiguredName(char* name, size_t cch) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TPM_KSP_SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    WCHAR value[kMaxBackendName + 1] = {};
    DWORD type = 0;
    DWORD cb = sizeof(value) - sizeof(WCHAR);
    LSTATUS st = RegQueryValueExW(key, W("Backend"), nullptr, &type, reinterpret_cast<LPBYTE>(value), &cb);
    RegCloseKey(key);
    if (st != ERROR_SUCCESS || type != REG_SZ) return false;
    value[cb / sizeof(WCHAR)] = 0;
    size_t i = 0;
    for (; value[i] && i + 1 < cch; ++i)
        name[i] = value[i] < 0x80 ? static_cast<char>(value[i]) : '?';
    name[i] = 0;
    return true;
}

} // namespace

const BackendEntry* BackendTable(size_t* count) {
    *count = sizeof(kBackends) / sizeof(kBackends[0]);
    return kBackends;
}

DWORD CreateConfiguredBackend(std::unique_ptr<Backend>& out, const char** chosen) {
    char configured[kMaxBackendName + 1] = {};
    const char* name = kBackends[0].name;
    if (const char* env = SecureEnv("VAULTKEEP_KSP_BACKEND"); env && *env)
        name = env;
    else if (ReadConfiguredName(configured, sizeof(configured)) && configured[0])
        name = configured;

    for (const BackendEntry& e : kBackends) {
        if (strcmp(e.name, name) == 0) {
            if (chosen) *chosen = e.name;
            return e.factory(out);
        }
    }
    return Nte(NTE_PROV_DLL_NOT_FOUND);
}

} // namespace tpmksp
