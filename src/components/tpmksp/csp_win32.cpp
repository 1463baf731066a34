/*
 * The provider as a real CryptoAPI service provider DLL (Windows): advapi32
 * finds it through "Image Path" under
 * HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name> and calls these
 * entry points with its own handles unwrapped. Each one forwards to the same
 * provider table the POSIX build hands to its PAL, so both builds share every
 * check and worker. The provider has no hashes, signatures or derived keys:
 * those entry points exist because advapi32 requires them, and refuse as a
 * provider without the algorithm does.
 */
#include "pal/csp.h"

#include <string>

extern "C" const PAL_CSP_TABLE* CPGetProviderTable(void);

namespace {

const PAL_CSP_TABLE& Table() {
    return *CPGetProviderTable();
}

BOOL Refuse(DWORD error) {
    SetLastError(error);
    return FALSE;
}

} // namespace

#define CSP_ENTRY extern "C" __declspec(dllexport) BOOL WINAPI

/* advapi32 passes the container name in the ANSI code page; names are GUIDs or
 * other plain text, which round-trip. */
CSP_ENTRY CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, PVOID pVTable) {
    std::wstring name;
    if (szContainer && szContainer[0]) {
        int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, szContainer, -1, nullptr, 0);
        if (n <= 0) return Refuse(static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
        name.resize(static_cast<size_t>(n));
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, szContainer, -1, &name[0], n);
        name.resize(static_cast<size_t>(n - 1));
    }
    return Table().AcquireContext(phProv, szContainer ? name.c_str() : nullptr, dwFlags);
}

CSP_ENTRY CPAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, DWORD dwFlags, PVOID pVTable) {
    return Table().AcquireContext(phProv, szContainer, dwFlags);
}

CSP_ENTRY CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return Table().ReleaseContext(hProv, dwFlags);
}

CSP_ENTRY CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    return Table().GenRandom(hProv, dwLen, pbBuffer);
}

CSP_ENTRY CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return Table().SetProvParam(hProv, dwParam, pbData, dwFlags);
}

CSP_ENTRY CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return Table().GetProvParam(hProv, dwParam, pbData, pdwDataLen, dwFlags);
}

CSP_ENTRY CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return Table().GenKey(hProv, Algid, dwFlags, phKey);
}

CSP_ENTRY CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return Table().GetUserKey(hProv, dwKeySpec, phUserKey);
}

CSP_ENTRY CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                      BYTE* pbData, DWORD* pdwDataLen) {
    return Table().ExportKey(hProv, hKey, hPubKey, dwBlobType, dwFlags, pbData, pdwDataLen);
}

CSP_ENTRY CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                      HCRYPTKEY* phKey) {
    return Table().ImportKey(hProv, pbData, cbDataLen, hPubKey, dwFlags, phKey);
}

CSP_ENTRY CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen, DWORD cbBufLen) {
    if (hHash != 0) return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
    return Table().Encrypt(hProv, hKey, fFinal, dwFlags, pbData, pdwDataLen, cbBufLen);
}

CSP_ENTRY CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen) {
    if (hHash != 0) return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
    return Table().Decrypt(hProv, hKey, fFinal, dwFlags, pbData, pdwDataLen);
}

CSP_ENTRY CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    return Table().DestroyKey(hProv, hKey);
}

/* ---- what this provider does not offer ------------------------------------ */

CSP_ENTRY CPSetKeyParam(HCRYPTPROV, HCRYPTKEY, DWORD, const BYTE*, DWORD) {
    return Refuse(static_cast<DWORD>(NTE_BAD_TYPE));
}
CSP_ENTRY CPGetKeyParam(HCRYPTPROV, HCRYPTKEY, DWORD, BYTE*, DWORD*, DWORD) {
    return Refuse(static_cast<DWORD>(NTE_BAD_TYPE));
}
CSP_ENTRY CPDeriveKey(HCRYPTPROV, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY*) {
    return Refuse(static_cast<DWORD>(NTE_BAD_ALGID));
}
CSP_ENTRY CPCreateHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*) {
    return Refuse(static_cast<DWORD>(NTE_BAD_ALGID));
}
CSP_ENTRY CPHashData(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, DWORD) {
    return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
}
CSP_ENTRY CPHashSessionKey(HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD) {
    return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
}
CSP_ENTRY CPSetHashParam(HCRYPTPROV, HCRYPTHASH, DWORD, const BYTE*, DWORD) {
    return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
}
CSP_ENTRY CPGetHashParam(HCRYPTPROV, HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD) {
    return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
}
CSP_ENTRY CPDestroyHash(HCRYPTPROV, HCRYPTHASH) {
    return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
}
CSP_ENTRY CPSignHash(HCRYPTPROV, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*) {
    return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
}
CSP_ENTRY CPVerifySignature(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD) {
    return Refuse(static_cast<DWORD>(NTE_BAD_HASH));
}
