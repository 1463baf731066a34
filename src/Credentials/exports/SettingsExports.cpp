/* The machine root's settings: the registry values the library and its
 * components read, shown by name, and the administrator's ones changed. */
#include "Frame.h"
#include <wincrypt.h>
#include <strsafe.h>
#include <cstring>
#include <vector>
#include "RootLayout.h"
#include "../apptable/Reclaim.h"
#include "../platform/ComServers.h"
#include "../platform/KeyProvider.h"
#include "../util/Util.h"

namespace {

const char kName[] = "Settings";
const DWORD kMaxAppKeyChars = 256;

struct Setting {
    WString name;
    WString key;
    const WCHAR* value; /* NULL: the key's default value */
    DWORD type;
    BOOL admin; /* an administrator's choice; otherwise a record the layout or RegisterApp writes */
};

WString ServerKey(REFCLSID clsid) {
    WCHAR guid[40] = {0};
    StringFromGUID2(clsid, guid, 40);
    return WString(W("Software\\Classes\\CLSID\\")) + guid + W("\\InprocServer32");
}

/* Every value read below HKEY_LOCAL_MACHINE, administrator's settings first. */
std::vector<Setting> Catalog() {
    const WString provider = WString(W("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\")) + TPM_KSP_PROVIDER_NAME;
    std::vector<Setting> all = {
        {W("Backend"), TPM_KSP_SETTINGS_KEY, W("Backend"), REG_SZ, TRUE},
        {W("TCTI"), TPM_KSP_SETTINGS_KEY, W("TCTI"), REG_SZ, TRUE},
        {W("SoftwareTpmOwned"), TPM_KSP_SETTINGS_KEY, W("SoftwareTpmOwned"), REG_DWORD, TRUE},
        {W("Install Path"), MAKER_REG_KEY, INSTALL_PATH_VALUE, REG_SZ, TRUE},
        {W("Layout"), SETUP_REG_KEY, SETUP_MARKER_VALUE, REG_DWORD, FALSE},
        {W("Provider Image Path"), provider, W("Image Path"), REG_SZ, FALSE},
        {W("Provider Type"), provider, W("Type"), REG_DWORD, FALSE},
        {W("Random Server"), ServerKey(CLSID_RandomGenerator), NULL, REG_SZ, FALSE},
        {W("TPM Status Server"), ServerKey(CLSID_TpmStatus), NULL, REG_SZ, FALSE},
        {W("Key Archive Server"), ServerKey(CLSID_KeyArchive), NULL, REG_SZ, FALSE},
    };
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, VAULTKEEP_REG_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return all;
    std::vector<WString> apps;
    for (DWORD i = 0;; ++i) {
        WCHAR app[kMaxAppKeyChars];
        DWORD cch = kMaxAppKeyChars;
        if (RegEnumKeyExW(hKey, i, app, &cch, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        apps.push_back(WString(app, cch));
    }
    RegCloseKey(hKey);
    for (const WString& app : apps) {
        const WString key = WString(VAULTKEEP_REG_KEY) + W("\\") + app;
        all.push_back({W("Application ") + app + W(" Location"), key, W("Location"), REG_SZ, FALSE});
        all.push_back({W("Application ") + app + W(" Type"), key, W("Type"), REG_DWORD, FALSE});
    }
    return all;
}

/* The value as text; FALSE when it is not set (or not of its type). */
BOOL ReadSetting(const Setting& s, WString& text) {
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, s.key.c_str(), 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) return FALSE;
    DWORD type = 0, cb = 0;
    BOOL found = RegQueryValueExW(hKey, s.value, NULL, &type, NULL, &cb) == ERROR_SUCCESS && type == s.type;
    std::vector<BYTE> data(cb + sizeof(WCHAR), 0);
    found = found && RegQueryValueExW(hKey, s.value, NULL, &type, data.data(), &cb) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    if (!found) return FALSE;
    if (s.type == REG_DWORD) {
        if (cb != sizeof(DWORD)) return FALSE;
        DWORD v = 0;
        memcpy(&v, data.data(), sizeof(v));
        WCHAR digits[16];
        StringCchPrintfW(digits, 16, W("%u"), (unsigned)v);
        text = digits;
        return TRUE;
    }
    text.assign(reinterpret_cast<const WCHAR*>(data.data()), cb / sizeof(WCHAR));
    while (!text.empty() && text.back() == 0) text.pop_back();
    /* A listing is one line per setting with tab-separated fields. */
    for (WCHAR& c : text)
        if (c < 0x20) c = W('?');
    return TRUE;
}

const Setting* Find(const std::vector<Setting>& all, const WString& name) {
    for (const Setting& s : all)
        if (name == s.name) return &s;
    return NULL;
}

/* NULL value: unset. ERROR_SUCCESS or the registry's error. */
LSTATUS WriteSetting(const Setting& s, const WString* value) {
    HKEY hKey = NULL;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, s.key.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 NULL, &hKey, NULL);
    if (rc != ERROR_SUCCESS) return rc;
    if (!value) {
        rc = RegDeleteValueW(hKey, s.value);
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    } else if (s.type == REG_DWORD) {
        DWORD v = 0;
        for (WCHAR c : *value) v = v * 10 + (DWORD)(c - W('0')); /* digits only, at most nine */
        rc = RegSetValueExW(hKey, s.value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof(v));
    } else {
        rc = RegSetValueExW(hKey, s.value, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                            (DWORD)((value->size() + 1) * sizeof(WCHAR)));
    }
    RegCloseKey(hKey);
    return rc;
}

BOOL ValidValue(const Setting& s, const WString& v) {
    if (v.empty() || v.size() > MAX_PATH) return FALSE;
    for (WCHAR c : v) {
        if (c < 0x20 || c == 0x7F) return FALSE;
        if (s.type == REG_DWORD && (c < W('0') || c > W('9'))) return FALSE;
    }
    return s.type != REG_DWORD || v.size() <= 9;
}

/* Whether the key provider, as the settings now choose it, answers and reports its TPM owned. */
BOOL ProviderAnswers() {
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, NULL, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        _PrintError(kName, __LINE__, "the key provider does not answer, error 0x%x", (unsigned)GetLastError());
        return FALSE;
    }
    DWORD owned = 0, cb = sizeof(owned);
    BOOL ok = CryptGetProvParam(hProv, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&owned), &cb, 0) && owned != 0;
    if (!ok) _PrintError(kName, __LINE__, "the key provider's TPM does not answer or is not owned");
    CryptReleaseContext(hProv, 0);
    return ok;
}

struct Change {
    const Setting* setting;
    BOOL set;
    WString value;
    BOOL had; /* the value before, for a roll back */
    WString old;
};

/* "name=value" or "name" lines into changes; ERROR_INVALID_PARAMETER for a name
 * that is not an administrator's setting or a value it cannot hold. */
LONG ParseChanges(const std::vector<Setting>& all, const WCHAR* text, std::vector<Change>& changes) {
    WString rest(text);
    while (!rest.empty()) {
        size_t end = rest.find(W('\n'));
        WString line = rest.substr(0, end);
        rest = end == WString::npos ? WString() : rest.substr(end + 1);
        if (line.empty()) continue;
        size_t eq = line.find(W('='));
        Change c;
        c.setting = Find(all, line.substr(0, eq));
        c.set = eq != WString::npos;
        if (c.set) c.value = line.substr(eq + 1);
        if (!c.setting || !c.setting->admin || (c.set && !ValidValue(*c.setting, c.value))) {
            _PrintError(kName, __LINE__, "refused: %S", line.c_str());
            return ERROR_INVALID_PARAMETER;
        }
        c.had = ReadSetting(*c.setting, c.old);
        changes.push_back(c);
    }
    return changes.empty() ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

/* The backend in use after the changes, "" for the provider's default. */
WString BackendAfter(const std::vector<Setting>& all, const std::vector<Change>& changes, WString* before) {
    WString now;
    ReadSetting(*Find(all, W("Backend")), now);
    if (before) *before = now;
    for (const Change& c : changes)
        if (c.setting->name == W("Backend")) now = c.set ? c.value : WString();
    return now;
}

WString Effective(const WString& backend) {
    return backend.empty() ? WString(TPM_KSP_DEFAULT_BACKEND) : backend;
}

} // namespace

extern "C" LONG VaultkeepGetSettings(BSTR* pList) {
    CExportFrame frame("VaultkeepGetSettings");
    frame.CheckOut("pList", pList);
    return frame.Run([&]() -> LONG {
        WString text;
        for (const Setting& s : Catalog()) {
            WString value;
            const BOOL set = ReadSetting(s, value);
            text += s.name + W("\t") + (s.admin ? W("admin") : W("record")) + W("\t") +
                    (set ? W("set") : W("unset")) + W("\t") + value + W("\n");
        }
        BSTR result = SysAllocString(text.c_str());
        if (!result) return Error_Internal;
        *pList = result;
        return Error_Success;
    });
}

extern "C" LONG VaultkeepSetSettings(const WCHAR* changes, ULONG flags) {
    CExportFrame frame("VaultkeepSetSettings");
    frame.CheckString("changes", changes);
    return frame.Run([&]() -> LONG {
        const std::vector<Setting> all = Catalog();
        std::vector<Change> list;
        LONG status = ParseChanges(all, changes, list);
        if (status != ERROR_SUCCESS) return status;
        WString before;
        const WString after = BackendAfter(all, list, &before);
        const BOOL switching = Effective(before) != Effective(after);
        if (switching && !(flags & VAULTKEEP_SETTINGS_FORCE)) {
            /* The users' keys live in the backend that made them: another one would not find them. */
            std::vector<WString> keys;
            if (!reclaim::KeysInUse(WString(), keys) || !keys.empty()) {
                _PrintError(kName, __LINE__, "%u users hold keys under the backend in use", (unsigned)keys.size());
                return ERROR_BUSY;
            }
        }
        BOOL device = FALSE;
        for (Change& c : list) {
            const WString name = c.setting->name;
            device = device || name == W("Backend") || name == W("TCTI");
            LSTATUS rc = WriteSetting(*c.setting, c.set ? &c.value : NULL);
            if (rc != ERROR_SUCCESS) {
                status = rc == ERROR_ACCESS_DENIED ? Error_Insufficient_Privileges : (LONG)rc;
                break;
            }
        }
        /* A backend that does not answer would fail every user's next call: keep the old settings. */
        if (status == ERROR_SUCCESS && device && !ProviderAnswers()) status = Error_TPM_Not_Owned;
        if (status != ERROR_SUCCESS)
            for (const Change& c : list) WriteSetting(*c.setting, c.had ? &c.old : NULL);
        return status;
    });
}
