/* CryptoAPI, dispatched to the default or a registered provider (crypt/). */
#ifndef PAL_WIN32_CRYPT_H
#define PAL_WIN32_CRYPT_H

#include "pal/win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef unsigned int ALG_ID;

#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define CRYPT_OAEP 0x00000040
#define CALG_AES_256 0x00006610
#define CALG_RSA_KEYX 0x0000a400
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define CUR_BLOB_VERSION 2
#define PP_ENUMCONTAINERS 2
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2

typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

/* A NULL provider name selects the built-in default provider, which gives
 * verify-only contexts and CryptGenRandom. A named provider is the module of
 * HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>,
 * value "Image Path". An unregistered name fails with NTE_PROV_DLL_NOT_FOUND. */
PAL_EXPORT BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                                     DWORD dwFlags);
PAL_EXPORT BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
PAL_EXPORT BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);
PAL_EXPORT BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
PAL_EXPORT BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
PAL_EXPORT BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
PAL_EXPORT BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
PAL_EXPORT BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                               DWORD* pdwDataLen);
PAL_EXPORT BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                               DWORD dwFlags, HCRYPTKEY* phKey);
PAL_EXPORT BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                             DWORD* pdwDataLen, DWORD dwBufLen);
PAL_EXPORT BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                             DWORD* pdwDataLen);
PAL_EXPORT BOOL CryptDestroyKey(HCRYPTKEY hKey);

#ifdef __cplusplus
}
#endif

#endif
