/* Laying out a machine root once. */
#include "RootLayout.h"
#include <shlobj.h>
#include <shlwapi.h>
#include <vector>
#include "DllMain.h"
#include "../platform/ZipUtil.h"
#include "../util/AccessRules.h"
#include "../util/Trace.h"
#include "../util/Util.h"
#include "../util/WholeFile.h"

typedef HRESULT(STDAPICALLTYPE* PFN_DllRegisterServer)(void);

static const char kLayoutName[] = "LayOutRoot";

BOOL IsRootLaidOut() noexcept {
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETUP_REG_KEY, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) return FALSE;
    DWORD value = 0, type = 0, cb = sizeof(value);
    LSTATUS rc = RegQueryValueExW(hKey, SETUP_MARKER_VALUE, NULL, &type, reinterpret_cast<BYTE*>(&value), &cb);
    RegCloseKey(hKey);
    return rc == ERROR_SUCCESS && type == REG_DWORD && cb == sizeof(value) && value != 0;
}

/* The components' folder (MODULE_SUBFOLDER of this library's own), with its
 * trailing separator as the loader spelled it (a Windows path below the root,
 * or a host path outside it). Empty when the module's name is unknown: the
 * components are then found by bare name. */
static WString ModuleFolder() {
    if (g_hModule == NULL) return WString();
    WCHAR path[MAX_PATH + 1] = {0};
    DWORD n = GetModuleFileNameW(g_hModule, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return WString();
    WString full(path, n);
    size_t sep = full.find_last_of(W("\\/"));
    if (sep == WString::npos) return WString();
    WString folder = full.substr(0, sep + 1);
    static const WCHAR sub[] = MODULE_SUBFOLDER;
    if (sub[0]) folder += WString(sub) + full[sep];
    return folder;
}

static LONG RegisterComponent(const WString& folder, LPCWSTR module) {
    WString path = folder + module;
#ifdef _WIN32
    /* What is registered here runs in every process of the machine that uses the
     * vault, administrators' included: only from a folder they alone can change. */
    if (folder.empty() || !IsInstalledModule(path.c_str())) {
        _PrintError(kLayoutName, __LINE__, "%S is not in an installed folder, not registered", path.c_str());
        return Error_Cant_Load_Library;
    }
#endif
    HMODULE hModule = LoadLibraryW(path.c_str());
    if (hModule == NULL) {
        _PrintError(kLayoutName, __LINE__, "cannot load %S, error %d", path.c_str(), (int)GetLastError());
        return Error_Cant_Load_Library;
    }
    LONG status = Error_Success;
    PFN_DllRegisterServer reg = reinterpret_cast<PFN_DllRegisterServer>(reinterpret_cast<void*>(GetProcAddress(hModule, "DllRegisterServer")));
    if (reg == NULL) {
        _PrintError(kLayoutName, __LINE__, "%S has no DllRegisterServer", path.c_str());
        status = Error_Cant_Load_Library;
    } else {
        HRESULT hr = reg();
        if (FAILED(hr)) {
            _PrintError(kLayoutName, __LINE__, "DllRegisterServer of %S failed, hr=0x%x", path.c_str(), (unsigned)hr);
            status = Error_Insufficient_Privileges;
        }
    }
    FreeLibrary(hModule);
    return status;
}

/* Writes "Install Path" only where none is set: a value put there before the
 * first use is the admin's and stands. */
static LONG WriteInstallPath() {
    HKEY hKey = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, MAKER_REG_KEY, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &hKey, NULL) != ERROR_SUCCESS) {
        _PrintError(kLayoutName, __LINE__, "cannot create the key %S", MAKER_REG_KEY);
        return Error_Insufficient_Privileges;
    }
    LONG status = Error_Success;
    DWORD type = 0, cb = 0;
    if (RegQueryValueExW(hKey, INSTALL_PATH_VALUE, NULL, &type, NULL, &cb) != ERROR_SUCCESS) {
        static const WCHAR path[] = DEFAULT_INSTALL_PATH;
        if (RegSetValueExW(hKey, INSTALL_PATH_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof(path)) !=
            ERROR_SUCCESS) {
            _PrintError(kLayoutName, __LINE__, "cannot write %S", INSTALL_PATH_VALUE);
            status = Error_Insufficient_Privileges;
        }
    }
    RegCloseKey(hKey);
    return status;
}

/* Creates every missing folder along a path ("C:\A\B" or a host path). */
static BOOL CreateFolderTree(const WString& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != W('\\') && path[i] != W('/')) continue;
        WString prefix = path.substr(0, i);
        if (prefix.size() == 2 && prefix[1] == W(':')) continue; /* the drive itself */
        if (prefix.empty() || prefix.back() == W('\\') || prefix.back() == W('/')) continue;
        if (!CreateDirectoryW(prefix.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return FALSE;
    }
    return TRUE;
}

/* The whole file, or false when it cannot be read; a module is a few hundred KB. */
static bool ReadModule(LPCWSTR path, std::vector<BYTE>& bytes) {
    return ReadFileWhole(path, 64 << 20, bytes) == ERROR_SUCCESS;
}

/* Copies the zip library beside the core to the install folder. With onlyStale
 * (init on a laid-out root, which an upgrade runs) only over a placed copy whose
 * bytes differ: one an admin removed stays removed, and an equal one is not
 * rewritten, so init on an up-to-date root needs no rights. */
static LONG PlaceZipLibrary(const WString& folder, bool onlyStale) {
    WString source = folder + ZIPUTIL_MODULE_NAME;
    if (folder.empty() || GetFileAttributesW(source.c_str()) == INVALID_FILE_ATTRIBUTES) {
        /* Not built or not shipped beside us: archives then report the missing library. */
        if (!onlyStale) _Print(kLayoutName, "no zip library beside the core, not placed");
        return Error_Success;
    }
    WCHAR install[MAX_PATH] = {0};
    if (GetInstallFolder(install) != 0) return onlyStale ? Error_Success : Error_Bad_App;
    WString target = WString(install) + ZIPUTIL_RELATIVE_PATH;
    if (onlyStale) {
        std::vector<BYTE> built, placed;
        if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES || !ReadModule(source.c_str(), built) ||
            (ReadModule(target.c_str(), placed) && placed == built))
            return Error_Success;
    }
    size_t sep = target.find_last_of(W("\\/"));
    if (!CreateFolderTree(target.substr(0, sep)) || !CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        _PrintError(kLayoutName, __LINE__, "cannot place the zip library at %S, error %d", target.c_str(),
                    (int)GetLastError());
        return Error_Insufficient_Privileges;
    }
    if (onlyStale) _Print(kLayoutName, "zip library refreshed");
    return Error_Success;
}

static LONG CreateDataFolder() {
    WCHAR folder[MAX_PATH] = {0};
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, folder)) ||
        !PathAppendW(folder, W("Tarnwick Systems Corp\\Vaultkeep"))) {
        _PrintError(kLayoutName, __LINE__, "no common application data folder");
        return Error_Internal;
    }
    if (!CreateFolderTree(WString(folder))) {
        _PrintError(kLayoutName, __LINE__, "cannot create %S, error %d", folder, (int)GetLastError());
        return Error_Insufficient_Privileges;
    }
#ifdef _WIN32
    /* Checked after they exist, so one made by another account in between is
     * seen too: its owner could give anyone any right below it. */
    WString data(folder);
    WString maker = data.substr(0, data.find_last_of(W('\\')));
    for (const WString* f : {&maker, &data}) {
        if (!OwnedByAdministration(f->c_str())) {
            _PrintError(kLayoutName, __LINE__, "%S belongs to another account, refused", f->c_str());
            return Error_Insufficient_Privileges;
        }
    }
    DWORD rc = ProtectVaultFolder(maker.c_str());
    if (rc != ERROR_SUCCESS) {
        _PrintError(kLayoutName, __LINE__, "cannot set the access rules of %S, error %d", maker.c_str(), (int)rc);
        return Error_Insufficient_Privileges;
    }
#endif
    return Error_Success;
}

static LONG WriteMarker() {
    HKEY hKey = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SETUP_REG_KEY, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &hKey, NULL) != ERROR_SUCCESS) {
        _PrintError(kLayoutName, __LINE__, "cannot create the key %S", SETUP_REG_KEY);
        return Error_Insufficient_Privileges;
    }
    DWORD one = 1;
    LSTATUS rc = RegSetValueExW(hKey, SETUP_MARKER_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                                sizeof(one));
    RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS) {
        _PrintError(kLayoutName, __LINE__, "cannot write the layout marker");
        return Error_Insufficient_Privileges;
    }
    return Error_Success;
}

LONG LayOutRoot() noexcept {
    if (IsRootLaidOut()) return Error_Success;
    CFuncTrace trace(kLayoutName);
    LONG status = Error_Internal;
    try {
        /* Every step is tried: one missing piece should not keep the others
         * from a root that must work as far as it can. The first failure is
         * the result, and without the marker the next call tries again. */
        WString folder = ModuleFolder();
        status = Error_Success;
        auto step = [&status](LONG result) {
            if (status == Error_Success) status = result;
        };
        step(RegisterComponent(folder, PROVIDER_MODULE_NAME));
        step(RegisterComponent(folder, COMSERVERS_MODULE_NAME));
        step(WriteInstallPath());
        step(PlaceZipLibrary(folder, false)); /* reads "Install Path" */
        step(CreateDataFolder());
        if (status == Error_Success) status = WriteMarker();
    } catch (...) {
        _PrintError(kLayoutName, __LINE__, "exception");
        status = Error_Internal;
    }
    if (status != Error_Success) _PrintError(kLayoutName, __LINE__, "layout failed - %d", (int)status);
    return status;
}

void EnsureRootLayout() noexcept { LayOutRoot(); }

LONG InitRoot() { return IsRootLaidOut() ? PlaceZipLibrary(ModuleFolder(), true) : LayOutRoot(); }
