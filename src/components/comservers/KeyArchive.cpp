/*
 * The key-archive server: writes and reads key.backup, a user's key container
 * sealed under the backup password by the key storage provider's own escrow
 * calls. The provider module is found the way CryptoAPI finds it, through its
 * registration, and stays loaded once loaded.
 *
 * Results: ArchiveTPMKeys sets *pResult to the number of containers archived
 * (1, or 0 on failure); RestoreTPMKeys hands back the label stored at archive
 * time (the key-archive string) in *pResult, or NULL on failure. Failures are
 * HRESULTs: the provider's NTE_* code as it gave it, HRESULT_FROM_WIN32 of a
 * file or loader error, NTE_PROV_DLL_NOT_FOUND when no provider is registered,
 * HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a key.backup that is not one.
 */
#include "ComObject.h"
#include "ComServers.h"
#include "KeyBackup.h"
#include "KeyProvider.h"
#include "Servers.h"

#include "Platform.h"
#include "WholeFile.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace comservers {
namespace {

constexpr DWORD kMaxImagePathChars = 32767;
constexpr DWORD kContainerNameChars = MAX_PATH;

HRESULT FromStatus(LONG status) {
    if (status == 0) return S_OK;
    // Negative values are HRESULTs already (NTE_*); positive ones are Win32 codes.
    return status < 0 ? static_cast<HRESULT>(status) : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

/* A BSTR as the NUL-terminated text it carries; NULL is the empty string. */
LPCWSTR Text(BSTR s) { return s != nullptr ? s : W(""); }
bool IsEmpty(BSTR s) { return s == nullptr || s[0] == 0; }

/* The provider's "Image Path", read as untrusted data. */
HRESULT ReadImagePath(WString& path) {
    path.clear();
    WString subKey = WString(W("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\")) + TPM_KSP_PROVIDER_NAME;
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return NTE_PROV_DLL_NOT_FOUND;
    DWORD type = REG_NONE;
    DWORD cb = 0;
    LSTATUS rc = RegQueryValueExW(hKey, W("Image Path"), nullptr, &type, nullptr, &cb);
    if (rc == ERROR_SUCCESS && (type != REG_SZ || cb == 0 || cb > kMaxImagePathChars * sizeof(WCHAR))) rc = ERROR_INVALID_DATA;
    std::vector<WCHAR> buf;
    if (rc == ERROR_SUCCESS) {
        buf.assign(cb / sizeof(WCHAR) + 1, 0);
        rc = RegQueryValueExW(hKey, W("Image Path"), nullptr, &type, reinterpret_cast<LPBYTE>(buf.data()), &cb);
        if (rc == ERROR_SUCCESS && type != REG_SZ) rc = ERROR_INVALID_DATA;
    }
    RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS) return NTE_PROV_DLL_NOT_FOUND;
    path.assign(buf.data()); // stops at the first NUL; the spare unit guarantees one
    return path.empty() ? NTE_PROV_DLL_NOT_FOUND : S_OK;
}

template <typename Fn>
Fn ProcAs(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(proc));
}

/* One of the provider's escrow exports. */
HRESULT FindProviderExport(const char* name, FARPROC& proc) {
    proc = nullptr;
    WString path;
    HRESULT hr = ReadImagePath(path);
    if (FAILED(hr)) return hr;
    HMODULE hModule = LoadLibraryW(path.c_str());
    if (hModule == nullptr) return NTE_PROV_DLL_NOT_FOUND;
    proc = GetProcAddress(hModule, name);
    if (proc == nullptr) {
        FreeLibrary(hModule);
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    return S_OK; // the module stays loaded: its export is in use
}

/* folder + separator + "key.backup". A host path (one starting with '/') keeps
 * the host's separator; the PAL passes such paths through unchanged. */
WString BackupPath(BSTR folder) {
    WString path(Text(folder));
    const WCHAR sep = path[0] == W('/') ? W('/') : W('\\');
    if (path.back() != W('\\') && path.back() != W('/')) path.push_back(sep);
    path += W("key.backup");
    return path;
}

/* key.backup is rebuilt from the provider whenever it is archived: written whole, not flushed. */
HRESULT WriteBackup(const WString& path, const std::vector<BYTE>& bytes) {
    const WholeFilePart part = {bytes.data(), static_cast<DWORD>(bytes.size())};
    const DWORD err = WriteFileWhole(path.c_str(), CREATE_ALWAYS, &part, 1, FILE_ATTRIBUTE_TEMPORARY);
    return err == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(err);
}

HRESULT ReadBackup(const WString& path, std::vector<BYTE>& bytes) {
    bytes.clear();
    const DWORD err = ReadFileWhole(path.c_str(), keybackup::kMaxFileSize, bytes);
    return err == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(err);
}

class KeyArchive final : public ComObject<KeyArchive, IKeyArchive, &IID_IKeyArchive> {
public:
    VK_NOT_IMPLEMENTED(3) VK_NOT_IMPLEMENTED(4) VK_NOT_IMPLEMENTED(5) VK_NOT_IMPLEMENTED(6)
    VK_NOT_IMPLEMENTED(7) VK_NOT_IMPLEMENTED(9) VK_NOT_IMPLEMENTED(10) VK_NOT_IMPLEMENTED(11)
    VK_NOT_IMPLEMENTED(12)

    /* expected: empty, or the container the backup must hold (anything else is
     * refused before it is imported). reserved and flag carry nothing. */
    STDMETHOD(RestoreTPMKeys)(BSTR folder, BSTR expected, BSTR reserved, BSTR password, VARIANT_BOOL flag,
                              BSTR* pResult) override {
        if (pResult == nullptr) return E_POINTER;
        *pResult = nullptr;
        if (IsEmpty(folder)) return E_INVALIDARG;
        if (expected != nullptr && SysStringLen(expected) > kContainerNameChars) return E_INVALIDARG;
        try {
            return Restore(folder, expected, password, pResult);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    /* one: how many containers are named; this version archives exactly one. */
    STDMETHOD(ArchiveTPMKeys)(BSTR container, LONG one, BSTR folder, BSTR archiveString, BSTR password,
                              LONG* pResult) override {
        if (pResult == nullptr) return E_POINTER;
        *pResult = 0;
        if (IsEmpty(container) || IsEmpty(folder) || one != 1) return E_INVALIDARG;
        try {
            HRESULT hr = Archive(container, folder, archiveString, password);
            if (SUCCEEDED(hr)) *pResult = 1;
            return hr;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

private:
    static HRESULT Archive(BSTR container, BSTR folder, BSTR archiveString, BSTR password) {
        WString label(archiveString != nullptr ? archiveString : W(""),
                             archiveString != nullptr ? SysStringLen(archiveString) : 0);
        if (label.size() > keybackup::kMaxLabelChars) return E_INVALIDARG;

        FARPROC proc = nullptr;
        HRESULT hr = FindProviderExport("TpmKspExportContainer", proc);
        if (FAILED(hr)) return hr;
        auto exportContainer = ProcAs<PFN_TpmKspExportContainer>(proc);

        BYTE* sealed = nullptr;
        DWORD cbSealed = 0;
        LONG status = exportContainer(Text(container), Text(password), &sealed, &cbSealed);
        if (status != 0) {
            free(sealed);
            return FromStatus(status);
        }
        std::vector<BYTE> file;
        bool built = keybackup::Build(label, sealed, cbSealed, file);
        if (sealed != nullptr) {
            Wipe(sealed, cbSealed);
            free(sealed);
        }
        if (!built) return NTE_BAD_DATA;
        hr = WriteBackup(BackupPath(folder), file);
        Wipe(file.data(), file.size());
        return hr;
    }

    static HRESULT Restore(BSTR folder, BSTR expected, BSTR password, BSTR* pResult) {
        std::vector<BYTE> file;
        HRESULT hr = ReadBackup(BackupPath(folder), file);
        if (FAILED(hr)) return hr;
        WString label;
        size_t sealedOffset = 0;
        size_t cbSealed = 0;
        if (!keybackup::Parse(file, label, sealedOffset, cbSealed)) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

        FARPROC proc = nullptr;
        LONG status;
        if (!IsEmpty(expected)) {
            hr = FindProviderExport("TpmKspImportContainerAs", proc);
            if (FAILED(hr)) return hr;
            status = ProcAs<PFN_TpmKspImportContainerAs>(proc)(file.data() + sealedOffset,
                                                                static_cast<DWORD>(cbSealed), Text(password),
                                                                Text(expected));
        } else {
            hr = FindProviderExport("TpmKspImportContainer", proc);
            if (FAILED(hr)) return hr;
            WCHAR container[kContainerNameChars + 1] = {};
            status = ProcAs<PFN_TpmKspImportContainer>(proc)(file.data() + sealedOffset, static_cast<DWORD>(cbSealed),
                                                              Text(password), container, kContainerNameChars);
        }
        Wipe(file.data(), file.size());
        if (status != 0) return FromStatus(status);

        BSTR out = SysAllocStringLen(label.data(), static_cast<UINT>(label.size()));
        if (out == nullptr) return E_OUTOFMEMORY;
        *pResult = out;
        return S_OK;
    }
};

} // namespace

HRESULT CreateKeyArchive(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    return CreateObject<KeyArchive>(pUnkOuter, riid, ppv);
}

} // namespace comservers
