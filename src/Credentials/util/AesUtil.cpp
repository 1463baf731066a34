/*
 * CUtil's symmetric cryptography: the PBKDF2 key of a password, the HMAC that
 * seals the table files, and AES stream encryption under a 32-byte key. Thin
 * wrappers around the crypto library; each call initialises it, works and
 * uninitialises it, so nothing outlives a call.
 */
#include <windows.h>
#include <stdlib.h>

#include "util/Util.h"
#include "platform/Kry10.h"
#include "platform/DiagLog.h"
#include "util/Trace.h"

static const char kGenAESKey[] = "CUtil::GenAESKey";
static const char kGenerateHMAC[] = "CUtil::GenerateHMAC";
static const char kEncryptWithAES[] = "CUtil::EncryptWithAES";
static const char kDecryptWithAES[] = "CUtil::DecryptWithAES";

LONG CUtil::GenAESKey(const BYTE* password, LONG passwordLen, BYTE* key, const LONG* pKeyLen, const BYTE* salt)
{
    CFuncTrace trace(kGenAESKey);
    LONG status = -1;
    if (KRY_Initialize() < 0)
        return status;
    try {
        /* A missing length pointer asks for no key: the library refuses it. */
        LONG keyLen = pKeyLen ? *pKeyLen : 0;
        status = KRY_Pbkdf2Compute(password, passwordLen, salt, SALT_SIZE, PBKDF2_ITERATIONS, key, keyLen);
    } catch (...) {
        _PrintError(kGenAESKey, __LINE__, "exception");
    }
    KRY_Uninitialize();
    return status;
}

LONG CUtil::GenerateHMAC(const BYTE* key, LONG keyLen, const BYTE* data, const DWORD* pDataLen, BYTE* hmac)
{
    CFuncTrace trace(kGenerateHMAC);
    LONG status = -1; /* a failure never reads as an HMAC made */
    if (KRY_Initialize() < 0)
        return status;
    try {
        if (pDataLen)
            status = KRY_HmacSha256Compute(key, keyLen, data, *pDataLen, hmac);
        else
            status = KRY_E_PARAM; /* never an HMAC of guessed data */
    } catch (...) {
        status = -1;
        _PrintError(kGenerateHMAC, __LINE__, "exception");
    }
    KRY_Uninitialize();
    return status;
}

/* The handles of one AES call; whatever is still set is released at its end. */
struct AesCall {
    KRY_STREAM input;
    KRY_STREAM output;
    KRY_CIPHER cipher;
};

/*
 * The work of EncryptWithAES / DecryptWithAES once the crypto library is
 * initialised: streams, cipher, transform, copy out. Returns the call's status;
 * sets *ppOut only to a complete new buffer (or to NULL on a failed decryption).
 */
static LONG AesWork(const char* name, BOOL encrypt, AesCall& call, const BYTE* key, const BYTE* input,
                    DWORD* pLen, BYTE** ppOut)
{
    LONG r = KRY_StreamCreateOnBuffer(const_cast<BYTE*>(input), *pLen, KRY_STREAM_READ, &call.input);
    if (r < 0) {
        call.input = NULL;
        _PrintError(name, __LINE__, "KRY_StreamCreateOnBuffer failed");
        return r;
    }
    r = KRY_StreamCreateOnBuffer(NULL, 0, KRY_STREAM_WRITE, &call.output);
    if (r < 0) {
        call.output = NULL;
        _PrintError(name, __LINE__, "KRY_StreamCreateOnBuffer failed");
        return r;
    }

    BYTE iv[32] = {0};
    if (KRY_AesCreate(0, 1, key, KEY_SIZE, iv, sizeof(iv), &call.cipher) < 0)
        call.cipher = NULL; /* the transform below then fails on the null cipher */

    if (encrypt) {
        KRY_AesEncrypt(call.cipher, call.input, call.output);
    } else {
        if (KRY_AesDecrypt(call.cipher, call.input, call.output) < 0) {
            _PrintError(name, __LINE__, "KRY_AesDecrypt failed");
            *ppOut = NULL;
            return Error_Internal;
        }
        KRY_AesDestroy(call.cipher);
        call.cipher = NULL;
        KRY_StreamDestroy(call.input);
        call.input = NULL;
    }

    ULONGLONG length = 0;
    KRY_StreamLength(call.output, &length);
    *pLen = (DWORD)length;
    /* Never malloc(0): a result always comes back as a real buffer, even when empty. */
    BYTE* buffer = (BYTE*)malloc(*pLen ? *pLen : 1);
    if (!buffer) {
        _PrintError(name, __LINE__, "malloc failed");
        *ppOut = NULL;
        *pLen = 0;
        return Error_Internal;
    }
    *ppOut = buffer;
    KRY_StreamSeek(call.output, 0, 0);
    KRY_StreamRead(call.output, buffer, *pLen, 0, *pLen);
    return Error_Success;
}

static LONG AesTransform(const char* name, BOOL encrypt, const BYTE* key, const BYTE* input, DWORD* pLen,
                         BYTE** ppOut)
{
    if (!pLen || !ppOut) {
        _PrintError(name, __LINE__, "invalid argument");
        return Error_Internal;
    }
    if (KRY_Initialize() < 0) {
        _PrintError(name, __LINE__, "KRY_Initialize failed");
        return Error_Internal;
    }
    AesCall call = {NULL, NULL, NULL};
    LONG status;
    try {
        status = AesWork(name, encrypt, call, key, input, pLen, ppOut);
    } catch (...) {
        _PrintError(name, __LINE__, "exception");
        status = Error_Success;
    }
    if (call.output)
        KRY_StreamDestroy(call.output);
    if (call.cipher)
        KRY_AesDestroy(call.cipher);
    if (call.input)
        KRY_StreamDestroy(call.input);
    KRY_Uninitialize();
    return status;
}

LONG CUtil::EncryptWithAES(const BYTE* key, LONG keyLen, const BYTE* plain, DWORD* pLen, BYTE** ppOut)
{
    (void)keyLen; /* the key is always 32 bytes */
    return AesTransform(kEncryptWithAES, TRUE, key, plain, pLen, ppOut);
}

LONG CUtil::DecryptWithAES(const BYTE* key, LONG keyLen, const BYTE* cipher, DWORD* pLen, BYTE** ppOut)
{
    (void)keyLen;
    return AesTransform(kDecryptWithAES, FALSE, key, cipher, pLen, ppOut);
}
