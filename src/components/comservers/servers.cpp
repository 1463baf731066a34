/*
 * The module's entry points: class objects, unload check and registration of
 * the random-number, TPM status and key-archive servers.
 */
#include "ComObject.h"
#include "ComServers.h"
#include "Servers.h"
#include "Wide.h"

namespace comservers {

std::atomic<LONG> g_liveObjects{0};
std::atomic<LONG> g_serverLocks{0};

namespace {

HMODULE g_hModule = nullptr;

struct ClassEntry {
    const CLSID* clsid;
    PFN_CreateObject create;
    LPCWSTR description;
};

const ClassEntry kClasses[] = {
    {&CLSID_RandomGenerator, CreateRandomGenerator, W("Vaultkeep Random Generator")},
    {&CLSID_TpmStatus, CreateTpmStatus, W("Vaultkeep TPM Status")},
    {&CLSID_KeyArchive, CreateKeyArchive, W("Vaultkeep Key Archive")},
};

const ClassEntry* FindClass(REFCLSID rclsid) {
    for (const ClassEntry& c : kClasses)
        if (*c.clsid == rclsid) return &c;
    return nullptr;
}

/* Class objects are static: they hold no state and never count as live objects
 * (as on Windows, only LockServer keeps the module). */
class ClassFactory final : public IClassFactory {
public:
    explicit constexpr ClassFactory(PFN_CreateObject create) : m_create(create) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppvObject = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)(void) override { return 2; }
    STDMETHOD_(ULONG, Release)(void) override { return 1; }

    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        try {
            return m_create(pUnkOuter, riid, ppvObject);
        } catch (...) {
            return E_UNEXPECTED;
        }
    }
    STDMETHOD(LockServer)(BOOL fLock) override {
        if (fLock)
            g_serverLocks.fetch_add(1);
        else if (g_serverLocks.load() > 0)
            g_serverLocks.fetch_sub(1);
        return S_OK;
    }

private:
    PFN_CreateObject m_create;
};

ClassFactory g_factories[] = {ClassFactory(CreateRandomGenerator), ClassFactory(CreateTpmStatus),
                              ClassFactory(CreateKeyArchive)};
static_assert(sizeof(g_factories) / sizeof(g_factories[0]) == sizeof(kClasses) / sizeof(kClasses[0]),
              "one class object per class");

WString ClassKey(const CLSID& clsid) {
    WCHAR guid[40] = {};
    if (StringFromGUID2(clsid, guid, 40) == 0) return WString();
    return WString(W("Software\\Classes\\CLSID\\")) + guid;
}

LONG SetString(HKEY hKey, LPCWSTR name, const WString& value) {
    return RegSetValueExW(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

LONG RegisterClass(const ClassEntry& c, const WString& modulePath) {
    WString key = ClassKey(*c.clsid);
    if (key.empty()) return ERROR_INVALID_PARAMETER;
    HKEY hClass = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &hClass, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = SetString(hClass, nullptr, c.description);
    HKEY hServer = nullptr;
    if (rc == ERROR_SUCCESS)
        rc = RegCreateKeyExW(hClass, W("InprocServer32"), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                             &hServer, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = SetString(hServer, nullptr, modulePath);
        if (rc == ERROR_SUCCESS) rc = SetString(hServer, W("ThreadingModel"), W("Both"));
        RegCloseKey(hServer);
    }
    RegCloseKey(hClass);
    return rc;
}

LONG UnregisterClass(const ClassEntry& c) {
    WString key = ClassKey(*c.clsid);
    if (key.empty()) return ERROR_INVALID_PARAMETER;
    LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, (key + W("\\InprocServer32")).c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

/* This module's own path, as the loader names it (a Windows path below the
 * machine root, else the host path). */
HRESULT OwnPath(WString& path) {
    WCHAR buf[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameW(g_hModule, buf, MAX_PATH + 1);
    if (g_hModule == nullptr || n == 0 || n > MAX_PATH) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    path.assign(buf, n);
    return S_OK;
}

} // namespace
} // namespace comservers

using namespace comservers;

extern "C" PAL_EXPORT BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
    if (fdwReason == DLL_PROCESS_ATTACH) {
        g_hModule = hinstDLL;
        DisableThreadLibraryCalls(hinstDLL);
    }
    return TRUE;
}

extern "C" PAL_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    const ClassEntry* c = FindClass(rclsid);
    if (c == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factories[c - kClasses].QueryInterface(riid, ppv);
}

extern "C" PAL_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
    return g_liveObjects.load() == 0 && g_serverLocks.load() == 0 ? S_OK : S_FALSE;
}

/* Writes HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{clsid}\InprocServer32 for
 * every class, the default value naming this module. Idempotent. */
extern "C" PAL_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void) {
    try {
        WString path;
        HRESULT hr = OwnPath(path);
        if (FAILED(hr)) return hr;
        for (const ClassEntry& c : kClasses) {
            LONG rc = RegisterClass(c, path);
            if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

extern "C" PAL_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
    try {
        HRESULT result = S_OK;
        for (const ClassEntry& c : kClasses) {
            LONG rc = UnregisterClass(c);
            if (rc != ERROR_SUCCESS && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(rc);
        }
        return result;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
