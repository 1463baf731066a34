/* CUtil: stateless storage and cryptographic helpers; CCryptRandom: the random source. */
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <vaultkeep/vaultkeep.h>
#include "../platform/Wide.h"

#define SALT_SIZE 32
#define KEY_SIZE 32
#define HMAC_SIZE 32
#define PBKDF2_ITERATIONS 1000
/* The registry keys of the applications and of the maker. */
#define VAULTKEEP_REG_KEY W("Software\\Tarnwick Systems Corp.\\Vaultkeep")
#define MAKER_REG_KEY W("SOFTWARE\\Tarnwick Systems Corp.")

class CUtil {
public:
    /* Storage locations and registry settings. */
    static LONG FindAppRegSetting(WString appName, WString& location, DWORD& type);
    static BOOL DeleteDirectory(WString folder);
    /* Makes the renames, creations and deletions made in a folder survive a crash.
     * Called once per changed folder and call, after the folder's last change. */
    static BOOL FlushFolder(const WString& folder);
    static WString GenerateGUID();

    /* Key derivation, HMAC and AES. Output buffers come from malloc; the caller frees them. */
    static LONG GenAESKey(const BYTE* password, LONG passwordLen, BYTE* key, const LONG* pKeyLen, const BYTE* salt);
    static LONG GenerateHMAC(const BYTE* key, LONG keyLen, const BYTE* data, const DWORD* pDataLen, BYTE* hmac);
    static LONG EncryptWithAES(const BYTE* key, LONG keyLen, const BYTE* plain, DWORD* pLen, BYTE** ppOut);
    static LONG DecryptWithAES(const BYTE* key, LONG keyLen, const BYTE* cipher, DWORD* pLen, BYTE** ppOut);

    /* TPM-bound blob encryption. */
    static BOOL IsTPMOwned();
    static LONG GenerateKey(LPCWSTR container, LPCWSTR password);
    /* The container's key protected by newPassword instead of oldPassword: 0, -16 when
     * oldPassword does not open it, -9 while the TPM refuses passwords, else -6. */
    static LONG ChangeKeyPassword(LPCWSTR container, LPCWSTR oldPassword, LPCWSTR newPassword);
    static LONG EncryptBlob(LONG type, BYTE* data, LPCWSTR container, LPCWSTR password, const BYTE* salt,
                            DWORD* pLen, BYTE** ppOut);
    static LONG DecryptBlob(LONG type, BYTE* blob, LPCWSTR container, LPCWSTR password, const BYTE* salt,
                            DWORD* pLen, BYTE** ppOut);
    /* Wipes a byte array that held a decrypted credential, then destroys it. */
    static void DestroyPlainArray(SAFEARRAY* psa);
};

/* A password converted to the ANSI code page, NUL-terminated, wiped on destruction. */
class CAnsiString {
public:
    explicit CAnsiString(LPCWSTR wide);
    ~CAnsiString();
    CAnsiString(const CAnsiString&) = delete;
    CAnsiString& operator=(const CAnsiString&) = delete;
    const char* c_str() const { return m_data ? m_data : ""; }
    const BYTE* bytes() const { return reinterpret_cast<const BYTE*>(c_str()); }
    LONG length() const { return m_len; } /* without the NUL */

private:
    char* m_data;
    LONG m_len;
};

BOOL SetUsersWriteAccess(LPCWSTR path, BOOL grant);
LONG GetInstallFolder(WCHAR folder[MAX_PATH]);

class CCryptRandom {
public:
    LONG Source;
    HCRYPTPROV Provider;

    explicit CCryptRandom(LONG source); /* source 1: throws the DWORD system error when no context */
    virtual ~CCryptRandom();
    void GenerateRandom(BYTE* buffer); /* exactly 32 bytes */

    CCryptRandom(const CCryptRandom&) = delete;
    CCryptRandom& operator=(const CCryptRandom&) = delete;
};
