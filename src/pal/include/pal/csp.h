/*
 * The provider interface behind CryptoAPI: what a provider module exports so
 * that CryptAcquireContextW can dispatch to it by name. A provider module
 * exports "CPGetProviderTable" returning a pointer to a static PAL_CSP_TABLE;
 * the PAL checks magic, version and size, and refuses a table with a NULL slot
 * it needs (NTE_PROV_DLL_NOT_FOUND).
 *
 * Every slot returns TRUE on success, or FALSE after SetLastError with an
 * NTE_* / Win32 code. Provider handles are the provider's own opaque values;
 * the PAL wraps them in typed HCRYPTPROV / HCRYPTKEY handles, so a provider
 * never sees another provider's handles. Calls on one context are serialised
 * by the caller.
 */
#ifndef PAL_CSP_H
#define PAL_CSP_H

#ifdef _WIN32
/* On Windows the table serves the module's own CryptoAPI entry points. */
#include <windows.h>
#include <wincrypt.h>
#else
#include "pal/win32.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define PAL_CSP_MAGIC 0x50534350u /* "PCSP" */
#define PAL_CSP_VERSION 1u

typedef ULONG_PTR PAL_CSP_PROV; /* provider's context handle */
typedef ULONG_PTR PAL_CSP_KEY;  /* provider's key handle */

typedef struct PAL_CSP_TABLE {
    DWORD dwMagic;   /* PAL_CSP_MAGIC */
    DWORD dwVersion; /* PAL_CSP_VERSION */
    DWORD cbSize;    /* sizeof(PAL_CSP_TABLE) */
    DWORD dwProvType; /* PROV_RSA_FULL */

    /* dwFlags as given to CryptAcquireContextW. With CRYPT_DELETEKEYSET the
     * container is deleted and *phProv is set to 0. */
    BOOL (*AcquireContext)(PAL_CSP_PROV* phProv, LPCWSTR szContainer, DWORD dwFlags);
    BOOL (*ReleaseContext)(PAL_CSP_PROV hProv, DWORD dwFlags);
    BOOL (*GenRandom)(PAL_CSP_PROV hProv, DWORD dwLen, BYTE* pbBuffer);
    BOOL (*SetProvParam)(PAL_CSP_PROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
    BOOL (*GetProvParam)(PAL_CSP_PROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
    BOOL (*GenKey)(PAL_CSP_PROV hProv, ALG_ID Algid, DWORD dwFlags, PAL_CSP_KEY* phKey);
    BOOL (*GetUserKey)(PAL_CSP_PROV hProv, DWORD dwKeySpec, PAL_CSP_KEY* phUserKey);
    BOOL (*ExportKey)(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey, PAL_CSP_KEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                      BYTE* pbData, DWORD* pdwDataLen);
    BOOL (*ImportKey)(PAL_CSP_PROV hProv, const BYTE* pbData, DWORD dwDataLen, PAL_CSP_KEY hPubKey, DWORD dwFlags,
                      PAL_CSP_KEY* phKey);
    BOOL (*Encrypt)(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey, BOOL Final, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen, DWORD dwBufLen);
    BOOL (*Decrypt)(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey, BOOL Final, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen);
    BOOL (*DestroyKey)(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey);
} PAL_CSP_TABLE;

typedef const PAL_CSP_TABLE* (*PFN_CPGetProviderTable)(void);

#ifdef __cplusplus
}
#endif

#endif
