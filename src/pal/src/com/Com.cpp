/*
 * COM for in-process servers: per-thread initialisation, activation through
 * the registry's InprocServer32 entries, OleRun.
 *
 * HRESULT functions report through their result only; they leave the thread's
 * last error as the registry and loader calls beneath them set it.
 */
#include <windows.h>
#include <objbase.h>

#include "com/RegValue.h"
#include "internal/paths.h"

#include <map>
#include <mutex>
#include <new>
#include <string>

extern "C" {
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IRunnableObject = {0x00000126, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}

namespace pal::com {
namespace {

/* CoInitialize calls on this thread not yet balanced by CoUninitialize. */
thread_local ULONG t_initCount = 0;

typedef HRESULT (*PFN_DllGetClassObject)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

/* Server modules stay loaded for the life of the process: objects they made
 * may outlive any call we could tie an unload to. Keyed by host path: the
 * same "C:\..." text names another file under another machine root. */
std::mutex g_modulesLock;
std::map<std::string, PFN_DllGetClassObject>& Modules() {
    static auto* modules = new std::map<std::string, PFN_DllGetClassObject>();
    return *modules;
}

HRESULT InitWorker(LPVOID pvReserved) {
    if (pvReserved != nullptr) return E_INVALIDARG;
    if (t_initCount == ~ULONG(0)) return E_OUTOFMEMORY;
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

HRESULT FindServer(REFCLSID rclsid, PFN_DllGetClassObject& pfn) {
    WCHAR guidText[40] = {};
    if (StringFromGUID2(rclsid, guidText, 40) == 0) return E_UNEXPECTED;
    std::u16string subKey = u"Software\\Classes\\CLSID\\";
    subKey += guidText;
    subKey += u"\\InprocServer32";

    std::u16string path;
    LONG rc = pal::reg::QueryString(HKEY_LOCAL_MACHINE, subKey.c_str(), nullptr, path);
    if (rc != ERROR_SUCCESS || path.empty()) return REGDB_E_CLASSNOTREG;
    std::string hostPath;
    DWORD pathError = ERROR_SUCCESS;
    if (!pal::ToHostPath(path.c_str(), hostPath, pathError)) return CO_E_DLLNOTFOUND;

    {
        std::lock_guard<std::mutex> lock(g_modulesLock);
        auto it = Modules().find(hostPath);
        if (it != Modules().end()) {
            pfn = it->second;
            return S_OK;
        }
    }
    // Loaded outside the lock: a server's initialisers may activate other classes.
    HMODULE hModule = LoadLibraryW(path.c_str());
    if (hModule == nullptr) return CO_E_DLLNOTFOUND;
    // Through void(*)(void), the one cast between function types that is always allowed.
    auto entry = reinterpret_cast<PFN_DllGetClassObject>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(hModule, "DllGetClassObject")));
    if (entry == nullptr) {
        FreeLibrary(hModule);
        return CO_E_ERRORINDLL;
    }
    std::lock_guard<std::mutex> lock(g_modulesLock);
    Modules().emplace(hostPath, entry); // a racing loader's entry is the same module
    pfn = entry;
    return S_OK;
}

HRESULT CreateWorker(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (t_initCount == 0) return CO_E_NOTINITIALIZED;
    // Only in-process servers exist here; a request that rules them out finds no class.
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;

    PFN_DllGetClassObject getClassObject = nullptr;
    HRESULT hr = FindServer(rclsid, getClassObject);
    if (FAILED(hr)) return hr;

    IClassFactory* factory = nullptr;
    hr = getClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    if (factory == nullptr) return CO_E_ERRORINDLL;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    if (SUCCEEDED(hr) && *ppv == nullptr) return E_NOINTERFACE;
    return hr;
}

} // namespace
} // namespace pal::com

using namespace pal::com;

extern "C" PAL_EXPORT HRESULT CoInitialize(LPVOID pvReserved) {
    return InitWorker(pvReserved);
}

extern "C" PAL_EXPORT void CoUninitialize(void) {
    // An unbalanced call is ignored, as on Windows.
    if (t_initCount > 0) --t_initCount;
}

extern "C" PAL_EXPORT HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                               LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    HRESULT hr;
    try {
        hr = CreateWorker(rclsid, pUnkOuter, dwClsContext, riid, ppv);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        // A server's C++ exception must not cross into a Win32 caller.
        hr = CO_E_ERRORINDLL;
    }
    if (FAILED(hr) && *ppv != nullptr) {
        // Never hand out a pointer beside a failure.
        *ppv = nullptr;
    }
    return hr;
}

extern "C" PAL_EXPORT HRESULT OleRun(LPUNKNOWN pUnknown) {
    if (pUnknown == nullptr) return E_INVALIDARG;
    try {
        IRunnableObject* runnable = nullptr;
        if (FAILED(pUnknown->QueryInterface(IID_IRunnableObject, reinterpret_cast<void**>(&runnable))) ||
            runnable == nullptr) {
            return S_OK; // not runnable: it is running by being there
        }
        HRESULT hr = runnable->Run(nullptr);
        runnable->Release();
        return hr;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
