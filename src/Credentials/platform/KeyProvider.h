/* The TPM-backed key container provider, reached through CryptoAPI only. */
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include "Wide.h"

#define TPM_KSP_PROVIDER_NAME W("Tarnwick TPM Key Storage Provider")

/* winerror.h of the Windows SDK has these, mingw's not */
#ifndef TPM_E_AUTHFAIL
#define TPM_E_AUTHFAIL ((HRESULT)0x80280001L)
#endif
#ifndef TPM_E_DEFEND_LOCK_RUNNING
#define TPM_E_DEFEND_LOCK_RUNNING ((HRESULT)0x80280803L)
#endif

#define PP_TCG_KEYPARAM 0x101
#define PP_KEYEXCHANGE_PSWD 0x104

/* 2048-bit modulus, user protected, exportable. */
#define TPM_KSP_EXCHANGE_KEY_FLAGS 0x08000003
#define TPM_KSP_WRAPPED_KEY_MAX 512

#pragma pack(push, 4)
typedef struct _TcgKeyParams {
    DWORD dwField0;   /* 1 */
    DWORD dwReserved4;
    ULONGLONG qwField8; /* 0 */
    DWORD dwField16;  /* 512 */
    DWORD dwField20;  /* 0 */
    DWORD dwField24;  /* 3 */
    DWORD dwField28;  /* 1 */
    DWORD dwField32;  /* 0 */
    DWORD dwField36;  /* 1 */
    BYTE rgbReserved[192 - 40];
} TcgKeyParams;
#pragma pack(pop)
static_assert(sizeof(TcgKeyParams) == 192, "TcgKeyParams is 192 bytes");

/* Vendor parameter (CryptGetProvParam, any context of the provider, a verify-only
 * one included): a DWORD, non-zero when the provider's TPM is present and owned. */
#define PP_TPM_OWNED 0x1001

/* Where the provider reads its settings ("Backend", "TCTI", "SoftwareTpmOwned"),
 * and the backend it uses when "Backend" is not set. */
#ifndef TPM_KSP_SETTINGS_KEY
#define TPM_KSP_SETTINGS_KEY W("SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider")
#endif
#define TPM_KSP_DEFAULT_BACKEND W("software")

/* Vendor parameter (CryptSetProvParam, a container context): the new key password,
 * NUL-terminated ANSI as PP_KEYEXCHANGE_PSWD takes it. The exchange key, opened with
 * the password PP_KEYEXCHANGE_PSWD set, is protected by the new one from then on; the
 * key pair stays. TPM_E_AUTHFAIL when the set password does not open it (a TPM counts
 * that as any wrong password); on success the context holds the new password. */
#define PP_KEYEXCHANGE_NEW_PSWD 0x1002

/* The provider's answer for a key another TPM sealed (winerror.h has it; older headers may not). */
#ifndef NTE_DEVICE_NOT_FOUND
#define NTE_DEVICE_NOT_FOUND ((HRESULT)0x80090035L)
#endif

/*
 * Container escrow, exported by the provider module by name for the key-archive
 * server (found through the provider's registration):
 *  "TpmKspExportContainer": seals the named machine container under the backup
 *      password into a new malloc'd block; the caller frees it.
 *  "TpmKspImportContainer": opens such a block with the backup password and
 *      writes the container back into the machine key set under the name it
 *      carries (replacing one of that name); optionally returns that name.
 *  "TpmKspImportContainerAs": the same for a block that must hold the named
 *      container; another is refused (NTE_BAD_KEYSET_PARAM) before anything is
 *      written.
 * Both return 0 or an NTE_* / Win32 code as a signed value.
 */
typedef LONG (*PFN_TpmKspExportContainer)(LPCWSTR container, LPCWSTR backupPassword, BYTE** ppBlob, DWORD* pcbBlob);
typedef LONG (*PFN_TpmKspImportContainer)(const BYTE* pBlob, DWORD cbBlob, LPCWSTR backupPassword,
                                          WCHAR* containerOut, DWORD cchContainerOut);
typedef LONG (*PFN_TpmKspImportContainerAs)(const BYTE* pBlob, DWORD cbBlob, LPCWSTR backupPassword,
                                            LPCWSTR container);
