/*
 * CAppTable: wrapping the application's name and secret under a backup password
 * for an archive, and unwrapping them at restore time: the table then works
 * under the archived secret, the caller's set aside until CAppTable::RestoreUser
 * (RestoreUser.cpp) returns to it.
 *
 * SecretRecord, the plaintext (little-endian):
 *   0             4          namelen   (characters of AppName + 1) * 2
 *   4             namelen    name      UTF-16LE with its NUL
 *   4 + namelen   4          secretlen
 *   8 + namelen   secretlen  secret
 * WrappedSecret: 32-byte salt of the backup key, then EncryptWithAES of the record.
 */
#include "AppTable.h"
#include <cstdlib>
#include <cstring>
#include "../usertable/UserTable.h"
#include "../util/Trace.h"
#include "../platform/DiagLog.h"
#include "../util/Util.h"
#include "../util/TableSupport.h"

using namespace tables;

#define WRAP_SALT_SIZE 32
#define SECRET_RECORD_FIXED 8 /* namelen and secretlen */

namespace {

void PutLe32(BYTE* p, DWORD v) {
    p[0] = (BYTE)v;
    p[1] = (BYTE)(v >> 8);
    p[2] = (BYTE)(v >> 16);
    p[3] = (BYTE)(v >> 24);
}

DWORD GetLe32(const BYTE* p) { return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24); }

/* The backup key: PBKDF2 of the password's ANSI bytes and the salt; wiped when it goes. */
struct BackupKey {
    BYTE key[KEY_SIZE];
    BOOL made; /* FALSE: key is all zeros and must not be used */
    BackupKey(LPCWSTR password, const BYTE* salt) {
        memset(key, 0, sizeof(key));
        CAnsiString ansi(password);
        LONG keyLen = KEY_SIZE;
        made = CUtil::GenAESKey(ansi.bytes(), ansi.length(), key, &keyLen, salt) == 0;
    }
    ~BackupKey() { SecureZeroMemory(key, sizeof(key)); }
    BackupKey(const BackupKey&) = delete;
    BackupKey& operator=(const BackupKey&) = delete;
};

/* A malloc block that is wiped and freed unless handed on. */
struct Owned {
    BYTE* p = NULL;
    DWORD len = 0;
    ~Owned() { FreeSecret(p, len); }
    BYTE* release() {
        BYTE* out = p;
        p = NULL;
        len = 0;
        return out;
    }
};

/*
 * The name and secret of a decrypted SecretRecord, checked against the plaintext's
 * length: FALSE when a length runs past it, namelen is odd or too short for a NUL,
 * or the name holds no NUL.
 */
BOOL ParseSecretRecord(const BYTE* plain, DWORD len, WString& name, const BYTE** secret, DWORD* secretLen) {
    if (len < SECRET_RECORD_FIXED) return FALSE;
    DWORD namelen = GetLe32(plain);
    if (namelen < sizeof(WCHAR) || namelen % sizeof(WCHAR) != 0 || namelen > len - SECRET_RECORD_FIXED) return FALSE;
    DWORD slen = GetLe32(plain + 4 + namelen);
    if (slen > len - SECRET_RECORD_FIXED - namelen) return FALSE;

    DWORD units = namelen / sizeof(WCHAR);
    WString text;
    BOOL terminated = FALSE;
    for (DWORD i = 0; i < units; ++i) {
        WCHAR c = (WCHAR)(plain[4 + 2 * i] | (plain[4 + 2 * i + 1] << 8));
        if (c == 0) {
            terminated = TRUE;
            break;
        }
        text.push_back(c);
    }
    if (!terminated) return FALSE;
    name.swap(text);
    *secret = plain + SECRET_RECORD_FIXED + namelen;
    *secretLen = slen;
    return TRUE;
}

} // namespace

LONG CAppTable::wrapsecret(LPCWSTR password, BYTE** ppBlock, DWORD* pcbBlock) {
    CFuncTrace trace("CAppTable::wrapsecret");
    const char* fn = trace.Name();
    *ppBlock = NULL;
    *pcbBlock = 0;

    CCryptRandom random(1);
    BYTE salt[WRAP_SALT_SIZE];
    memset(salt, 0, sizeof(salt));
    random.GenerateRandom(salt);

    /* The block is sized from the actual lengths; the plaintext is the record alone. */
    ULONGLONG namelen = ((ULONGLONG)AppName.size() + 1) * sizeof(WCHAR);
    ULONGLONG plainLen = SECRET_RECORD_FIXED + namelen + AppSecretLen;
    if (!AppSecret || plainLen > MAXIMUM_WRAPPED_SECRET_SIZE) {
        _PrintError(fn, __LINE__, "secret too long to wrap");
        return Error_Internal;
    }

    Owned plain;
    plain.p = (BYTE*)malloc((size_t)plainLen);
    if (!plain.p) {
        _PrintError(fn, __LINE__, "malloc() failed.");
        return Error_Internal;
    }
    plain.len = (DWORD)plainLen;
    BYTE* p = plain.p;
    PutLe32(p, (DWORD)namelen);
    p += 4;
    for (size_t i = 0; i <= AppName.size(); ++i) {
        WCHAR c = i < AppName.size() ? AppName[i] : 0;
        *p++ = (BYTE)(c & 0xFF);
        *p++ = (BYTE)(c >> 8);
    }
    PutLe32(p, AppSecretLen);
    p += 4;
    if (AppSecretLen) memcpy(p, AppSecret, AppSecretLen);

    BackupKey key(password, salt);
    DWORD cipherLen = plain.len;
    Owned cipher;
    LONG status = key.made ? CUtil::EncryptWithAES(key.key, KEY_SIZE, plain.p, &cipherLen, &cipher.p) : (LONG)Error_Internal;
    if (cipher.p) cipher.len = cipherLen;
    if (status != 0 || !cipher.p || cipherLen == 0 || cipherLen > MAXIMUM_WRAPPED_SECRET_SIZE - WRAP_SALT_SIZE) {
        _PrintError(fn, __LINE__, "EncryptWithAES() failed.");
        return Error_Internal;
    }

    BYTE* block = (BYTE*)malloc(WRAP_SALT_SIZE + (size_t)cipherLen);
    if (!block) {
        _PrintError(fn, __LINE__, "EncryptWithAES() failed.");
        return Error_Internal;
    }
    memcpy(block, salt, WRAP_SALT_SIZE);
    memcpy(block + WRAP_SALT_SIZE, cipher.p, cipherLen);
    *ppBlock = block;
    *pcbBlock = WRAP_SALT_SIZE + cipherLen;
    return 0;
}

LONG CAppTable::unwrapsecret(const BYTE* pBlock, DWORD cbBlock, LPCWSTR password) {
    CFuncTrace trace("CAppTable::unwrapsecret");
    const char* fn = trace.Name();

    /* A block with no ciphertext after its salt decrypts to nothing. */
    if (!pBlock || cbBlock <= WRAP_SALT_SIZE || cbBlock > MAXIMUM_WRAPPED_SECRET_SIZE) {
        _PrintError(fn, __LINE__, "DecryptWithAES() failed.");
        return Error_Decrypt_Failed;
    }

    BackupKey key(password, pBlock);
    DWORD plainLen = cbBlock - WRAP_SALT_SIZE;
    Owned plain;
    LONG status =
        key.made ? CUtil::DecryptWithAES(key.key, KEY_SIZE, pBlock + WRAP_SALT_SIZE, &plainLen, &plain.p) : (LONG)Error_Internal;
    if (plain.p) plain.len = plainLen;
    if (status != 0 || !plain.p) {
        _PrintError(fn, __LINE__, "DecryptWithAES() failed.");
        return Error_Decrypt_Failed;
    }

    WString name;
    const BYTE* secret = NULL;
    DWORD secretLen = 0;
    if (!ParseSecretRecord(plain.p, plain.len, name, &secret, &secretLen)) {
        _PrintError(fn, __LINE__, "invalid secret record");
        return Error_Decrypt_Failed;
    }

    /* Everything that can fail comes first, so a failure leaves the table as it was. */
    Owned archived;
    archived.p = (BYTE*)malloc(secretLen ? secretLen : 1);
    if (!archived.p) {
        _PrintError(fn, __LINE__, "malloc() failed.");
        return Error_Internal;
    }
    archived.len = secretLen;
    if (secretLen) memcpy(archived.p, secret, secretLen);

    /* A second unwrap keeps the caller's secret aside, not the first archived one. */
    if (!SavedSecret) {
        Owned saved;
        saved.p = (BYTE*)malloc(AppSecretLen ? AppSecretLen : 1);
        if (!saved.p) {
            _PrintError(fn, __LINE__, "malloc() failed.");
            return Error_Internal;
        }
        saved.len = AppSecretLen;
        if (AppSecretLen && AppSecret) memcpy(saved.p, AppSecret, AppSecretLen);
        SavedSecretLen = saved.len;
        SavedSecret = saved.release();
    }

    AppName.swap(name);
    FreeSecret(AppSecret, AppSecretLen);
    AppSecretLen = archived.len;
    AppSecret = archived.release();
    return 0;
}
