/* TPM-bound blob encryption: the TPM status, the user's key pair, and the
 * credential blob in its TPM-bound (type 1) and software (type 0) forms. */
#include "Util.h"
#include <comdef.h>
#include <cstdlib>
#include <cstring>
#include "TableSupport.h"
#include "Trace.h"
#include "../platform/ComServers.h"
#include "../platform/KeyProvider.h"
#include "../platform/Kry10.h"

#define BLOB_WORK_EXTRA 768
#define BLOB_HEADER_BYTES 4

/* The system error of the failed step as a status; never 0, which reads as success. */
static LONG LastErrorStatus() {
    DWORD error = GetLastError();
    return error != 0 ? (LONG)error : Error_Internal;
}

BOOL CUtil::IsTPMOwned() {
    IUnknown* unknown = NULL;
    ITpmStatus* status = NULL;
    HRESULT hr = CoCreateInstance(CLSID_TpmStatus, NULL, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unknown));
    if (SUCCEEDED(hr) && unknown != NULL) {
        hr = OleRun(unknown);
        if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_ITpmStatus, reinterpret_cast<void**>(&status));
        unknown->Release();
    }
    if (FAILED(hr) || unknown == NULL || status == NULL) _com_issue_error(E_POINTER);

    VARIANT_BOOL owned = 0;
    status->get_IsOwned(&owned);
    status->Release();
    return owned != 0 ? TRUE : FALSE;
}

/* The status of a provider call that the user's key refused: a TPM refusing every password
 * until its lockout ends is not a wrong password; a wrong password is Error_Decrypt_Failed;
 * any other error is `otherwise`. */
static LONG KeyRefusal(const char* name, DWORD error, LONG otherwise) {
    if (error == (DWORD)TPM_E_DEFEND_LOCK_RUNNING) {
        _PrintError(name, __LINE__, "TPM is locked out");
        return Error_TPM_Not_Owned;
    }
    return error == (DWORD)TPM_E_AUTHFAIL ? (LONG)Error_Decrypt_Failed : otherwise;
}

static BOOL OpenContainer(HCRYPTPROV* pProv, LPCWSTR container, DWORD flags) {
    *pProv = 0;
    return CryptAcquireContextW(pProv, container, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, flags);
}

LONG CUtil::GenerateKey(LPCWSTR container, LPCWSTR password) {
    CFuncTrace trace("CUtil::GenerateKey");
    static const char* const name = "CUtil::GenerateKey";

    if (!IsTPMOwned()) {
        _PrintError(name, __LINE__, "TPM not owned");
        return Error_TPM_Not_Owned;
    }

    HCRYPTPROV prov = 0;
    if (OpenContainer(&prov, container, CRYPT_MACHINE_KEYSET)) {
        CryptReleaseContext(prov, 0);
        return 0;
    }
    LONG error = LastErrorStatus();
    if (error != NTE_BAD_KEYSET && error != NTE_KEYSET_NOT_DEF) return error;
    if (!OpenContainer(&prov, container, CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET)) return LastErrorStatus();

    LONG status = 0;
    TcgKeyParams params;
    memset(&params, 0, sizeof(params));
    params.dwField0 = 1;
    params.qwField8 = 0;
    params.dwField16 = 512;
    params.dwField20 = 0;
    params.dwField24 = 3;
    params.dwField28 = 1;
    params.dwField32 = 0;
    params.dwField36 = 1;
    if (!CryptSetProvParam(prov, PP_TCG_KEYPARAM, reinterpret_cast<const BYTE*>(&params), 1)) {
        status = LastErrorStatus();
        _PrintError(name, __LINE__, "CryptSetProvParam PP_TCG_KEYPARAM failed %d", (int)status);
    }

    HCRYPTKEY key = 0;
    try {
        CAnsiString pw(password);
        if (!CryptSetProvParam(prov, PP_KEYEXCHANGE_PSWD, pw.bytes(), 0)) {
            status = LastErrorStatus();
            _PrintError(name, __LINE__, "CryptSetProvParam PP_KEYEXCHANGE_PSWD failed %d", (int)status);
        }
        if (!CryptGenKey(prov, AT_KEYEXCHANGE, TPM_KSP_EXCHANGE_KEY_FLAGS, &key)) {
            status = LastErrorStatus();
            _PrintError(name, __LINE__, "CryptGenKey failed %x", (unsigned)status);
        }
    } catch (...) {
        CryptReleaseContext(prov, 0);
        throw;
    }
    if (key != 0) CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return status;
}

LONG CUtil::ChangeKeyPassword(LPCWSTR container, LPCWSTR oldPassword, LPCWSTR newPassword) {
    CFuncTrace trace("CUtil::ChangeKeyPassword");
    const char* name = trace.Name();
    if (!IsTPMOwned()) {
        _PrintError(name, __LINE__, "TPM not owned");
        return Error_TPM_Not_Owned;
    }
    HCRYPTPROV prov = 0;
    if (!OpenContainer(&prov, container, CRYPT_MACHINE_KEYSET)) {
        _PrintError(name, __LINE__, "cant open container %S", container);
        return Error_Internal;
    }
    LONG status = 0;
    try {
        CAnsiString oldPw(oldPassword), newPw(newPassword);
        if (!CryptSetProvParam(prov, PP_KEYEXCHANGE_PSWD, oldPw.bytes(), 0)) {
            _PrintError(name, __LINE__, "cant CryptSetProvParam res=%x", (unsigned)GetLastError());
            status = Error_Internal;
        } else if (!CryptSetProvParam(prov, PP_KEYEXCHANGE_NEW_PSWD, newPw.bytes(), 0)) {
            const DWORD error = GetLastError();
            _PrintError(name, __LINE__, "cant change the key password res=%x", (unsigned)error);
            status = KeyRefusal(name, error, Error_Internal);
        }
    } catch (...) {
        CryptReleaseContext(prov, 0);
        throw;
    }
    CryptReleaseContext(prov, 0);
    return status;
}

/*
 * The software form: AES of the crypto library under the key derived from the
 * password and the user table's salt, with an IV of 32 zero bytes. The output
 * goes to storage the library grows, so any length fits; a failed derivation or
 * cipher step is a failure, never a blob under a zero key or unchecked output.
 */
static LONG SoftwareBlob(const char* name, BOOL decrypt, BYTE* data, LPCWSTR password, const BYTE* salt, DWORD* pLen,
                         BYTE** ppOut) {
    CAnsiString pw(password);
    BYTE key[KEY_SIZE] = {0};
    LONG keyLen = KEY_SIZE;
    if (CUtil::GenAESKey(pw.bytes(), pw.length(), key, &keyLen, salt) != 0) {
        SecureZeroMemory(key, sizeof(key));
        _PrintError(name, __LINE__, "GenAESKey failed");
        return Error_Internal;
    }
    if (KRY_Initialize() < 0) {
        SecureZeroMemory(key, sizeof(key));
        _PrintError(name, __LINE__, "KRY_Initialize failed");
        return Error_Internal;
    }

    LONG status = Error_Internal;
    KRY_STREAM input = NULL;
    KRY_STREAM output = NULL;
    KRY_CIPHER cipher = NULL;
    BYTE iv[32] = {0};
    try {
        do {
            LONG rc = KRY_StreamCreateOnBuffer(data, *pLen, KRY_STREAM_READ, &input);
            if (rc < 0) {
                _PrintError(name, __LINE__, "KRY_StreamCreateOnBuffer failed");
                status = rc;
                break;
            }
            rc = KRY_StreamCreateOnBuffer(NULL, 0, KRY_STREAM_WRITE, &output);
            if (rc < 0) {
                _PrintError(name, __LINE__, "KRY_StreamCreateOnBuffer failed");
                status = rc;
                break;
            }
            rc = KRY_AesCreate(0, 1, key, KEY_SIZE, iv, sizeof(iv), &cipher);
            if (rc < 0) {
                _PrintError(name, __LINE__, "KRY_AesCreate failed");
                break;
            }
            rc = decrypt ? KRY_AesDecrypt(cipher, input, output) : KRY_AesEncrypt(cipher, input, output);
            if (rc < 0) {
                _PrintError(name, __LINE__, decrypt ? "KRY_AesDecrypt failed" : "KRY_AesEncrypt failed");
                break;
            }
            ULONGLONG length = 0;
            if (KRY_StreamLength(output, &length) < 0 || length > 0xFFFFFFFFull) break;
            DWORD len = (DWORD)length;
            BYTE* buffer = static_cast<BYTE*>(malloc(len != 0 ? len : 1));
            if (buffer == NULL) break;
            if (len != 0 && (KRY_StreamSeek(output, 0, 0) < 0 || KRY_StreamRead(output, buffer, len, 0, len) < 0)) {
                tables::FreeSecret(buffer, len);
                break;
            }
            *pLen = len;
            *ppOut = buffer;
            status = 0;
        } while (FALSE);
    } catch (...) {
        _PrintError(name, __LINE__, "exception");
    }
    if (cipher != NULL) KRY_AesDestroy(cipher);
    if (output != NULL) KRY_StreamDestroy(output);
    if (input != NULL) KRY_StreamDestroy(input);
    KRY_Uninitialize();
    SecureZeroMemory(key, sizeof(key));
    return status;
}

/* Opens a wrapped blob key with the container's private key under the user's
 * password; the failure as a status: a wrong password (or a key that is not the
 * one the blob was wrapped to) is Error_Decrypt_Failed, a TPM refusing every
 * password during its lockout Error_TPM_Not_Owned. */
static LONG ImportWrapped(const char* name, HCRYPTPROV prov, LPCWSTR password, const BYTE* wrapped, DWORD wrappedLen,
                          HCRYPTKEY* pKey) {
    *pKey = 0;
    HCRYPTKEY exchangeKey = 0;
    LONG status = Error_Internal;
    {
        CAnsiString pw(password);
        if (CryptSetProvParam(prov, PP_KEYEXCHANGE_PSWD, pw.bytes(), 0) != 1) {
            _PrintError(name, __LINE__, "cant CryptSetProvParam res=%x", (unsigned)GetLastError());
            return status;
        }
    }
    if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchangeKey)) {
        _PrintError(name, __LINE__, "cant CryptGetUserKey res=%x", (unsigned)GetLastError());
        return status;
    }
    if (CryptImportKey(prov, wrapped, wrappedLen, exchangeKey, CRYPT_OAEP, pKey)) {
        status = 0;
    } else {
        const DWORD error = GetLastError();
        _PrintError(name, __LINE__, "cant CryptImportKey res=%x", (unsigned)error);
        /* A key that does not open the wrapped bytes is as wrong as a wrong password. */
        status = KeyRefusal(name, error, Error_Decrypt_Failed);
        *pKey = 0;
    }
    CryptDestroyKey(exchangeKey);
    return status;
}

/*
 * The blob key is wrapped to the container's public key, and then opened again
 * under the user's password before anything is encrypted under it: a container
 * put in place of the user's (a key of someone else's, under their password) does
 * not open under this password, so nothing is ever wrapped to a key the user does
 * not hold. The public key alone proves nothing, as anyone able to write the
 * provider's store can replace the container whole.
 */
static LONG EncryptTpmBlob(BYTE* data, LPCWSTR container, LPCWSTR password, DWORD* pLen, BYTE** ppOut) {
    static const char* const name = "CUtil::EncryptBlob";
    HCRYPTPROV prov = 0;
    if (!OpenContainer(&prov, container, CRYPT_MACHINE_KEYSET)) {
        LONG status = LastErrorStatus();
        _PrintError(name, __LINE__, "cant CryptAcquireContext res=%x", (unsigned)status);
        return status;
    }

    const DWORD secretLen = *pLen;
    if (secretLen > 0xFFFFFFFFu - BLOB_WORK_EXTRA) {
        CryptReleaseContext(prov, 0);
        _PrintError(name, __LINE__, "secret too long: %u", (unsigned)secretLen);
        return Error_Internal;
    }
    const DWORD capacity = secretLen + BLOB_WORK_EXTRA;
    BYTE* buffer = static_cast<BYTE*>(calloc(capacity, 1));
    if (buffer == NULL) {
        CryptReleaseContext(prov, 0);
        return Error_Internal;
    }

    LONG status = 0;
    HCRYPTKEY exchangeKey = 0;
    HCRYPTKEY blobKey = 0;
    BYTE wrapped[TPM_KSP_WRAPPED_KEY_MAX];
    DWORD wrappedLen = sizeof(wrapped);
    if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchangeKey)) {
        status = LastErrorStatus();
        _PrintError(name, __LINE__, "cant CryptGetUserKey res=%x", (unsigned)status);
    } else if (!CryptGenKey(prov, CALG_AES_256, CRYPT_EXPORTABLE, &blobKey)) {
        status = LastErrorStatus();
        _PrintError(name, __LINE__, "cant CryptGenKey res=%x", (unsigned)status);
    } else if (!CryptExportKey(blobKey, exchangeKey, SIMPLEBLOB, CRYPT_OAEP, wrapped, &wrappedLen) ||
               wrappedLen > sizeof(wrapped)) {
        status = LastErrorStatus();
        _PrintError(name, __LINE__, "cant CryptExportKey res=%x", (unsigned)status);
    }
    if (status == 0) {
        HCRYPTKEY opened = 0;
        try {
            status = ImportWrapped(name, prov, password, wrapped, wrappedLen, &opened);
        } catch (...) {
            CryptDestroyKey(blobKey);
            CryptDestroyKey(exchangeKey);
            CryptReleaseContext(prov, 0);
            throw;
        }
        if (opened != 0) CryptDestroyKey(opened);
        if (status != 0) _PrintError(name, __LINE__, "the password does not open the key of container %S", container);
    }
    if (status != 0) {
        if (blobKey != 0) CryptDestroyKey(blobKey);
        if (exchangeKey != 0) CryptDestroyKey(exchangeKey);
        CryptReleaseContext(prov, 0);
        free(buffer);
        return status;
    }

    memcpy(buffer, &wrappedLen, BLOB_HEADER_BYTES);
    memcpy(buffer + BLOB_HEADER_BYTES, wrapped, wrappedLen);
    BYTE* payload = buffer + BLOB_HEADER_BYTES + wrappedLen;
    if (secretLen != 0) memcpy(payload, data, secretLen);
    if (!CryptEncrypt(blobKey, 0, TRUE, 0, payload, pLen, capacity - BLOB_HEADER_BYTES - wrappedLen)) {
        status = LastErrorStatus();
        _PrintError(name, __LINE__, "cant CryptEncrypt res=%x", (unsigned)status);
        /* Nothing of the secret stays readable in a buffer that is not a blob. */
        SecureZeroMemory(payload, secretLen);
    }
    CryptDestroyKey(blobKey);
    CryptDestroyKey(exchangeKey);
    CryptReleaseContext(prov, 0);
    if (status != 0) {
        free(buffer);
        return status;
    }
    *pLen += wrappedLen + BLOB_HEADER_BYTES;
    *ppOut = buffer; /* handed out only as a whole blob */
    return status;
}

LONG CUtil::EncryptBlob(LONG type, BYTE* data, LPCWSTR container, LPCWSTR password, const BYTE* salt, DWORD* pLen,
                        BYTE** ppOut) {
    CFuncTrace trace("CUtil::EncryptBlob");
    static const char* const name = "CUtil::EncryptBlob";

    if (type == 1) {
        if (!IsTPMOwned()) {
            _PrintError(name, __LINE__, "TPM not owned");
            return Error_TPM_Not_Owned;
        }
        return EncryptTpmBlob(data, container, password, pLen, ppOut);
    }
    if (type == 0) return SoftwareBlob(name, FALSE, data, password, salt, pLen, ppOut);
    return 0;
}

static LONG DecryptTpmBlob(BYTE* blob, LPCWSTR container, LPCWSTR password, DWORD* pLen, BYTE** ppOut) {
    static const char* const name = "CUtil::DecryptBlob";
    const DWORD blobLen = *pLen;
    DWORD wrappedLen = 0;
    if (blobLen >= BLOB_HEADER_BYTES) memcpy(&wrappedLen, blob, BLOB_HEADER_BYTES);
    if (blobLen < BLOB_HEADER_BYTES || wrappedLen > blobLen - BLOB_HEADER_BYTES) {
        /* Checked before the provider is touched: the wrapped key must lie inside the blob. */
        _PrintError(name, __LINE__, "bad blob: length %u, wrapped key %u", (unsigned)blobLen, (unsigned)wrappedLen);
        return Error_Decrypt_Failed;
    }

    HCRYPTPROV prov = 0;
    if (!OpenContainer(&prov, container, CRYPT_MACHINE_KEYSET)) {
        _PrintError(name, __LINE__, "cant open container %S", container);
        return Error_Internal;
    }
    _Print(name, "opened container %S", container);

    HCRYPTKEY blobKey = 0;
    LONG status;
    try {
        status = ImportWrapped(name, prov, password, blob + BLOB_HEADER_BYTES, wrappedLen, &blobKey);
    } catch (...) {
        CryptReleaseContext(prov, 0);
        throw;
    }
    if (status == 0) {
        status = Error_Internal;
        BYTE* payload = blob + BLOB_HEADER_BYTES + wrappedLen;
        *pLen = blobLen - BLOB_HEADER_BYTES - wrappedLen;
        if (CryptDecrypt(blobKey, 0, TRUE, 0, payload, pLen) && *pLen <= blobLen - BLOB_HEADER_BYTES - wrappedLen) {
            _Print(name, "decrypted it");
            BYTE* plain = static_cast<BYTE*>(malloc(*pLen != 0 ? *pLen : 1));
            if (plain != NULL) {
                if (*pLen != 0) memcpy(plain, payload, *pLen);
                *ppOut = plain;
                status = 0;
            }
        }
        CryptDestroyKey(blobKey);
    }
    CryptReleaseContext(prov, 0);
    return status;
}

LONG CUtil::DecryptBlob(LONG type, BYTE* blob, LPCWSTR container, LPCWSTR password, const BYTE* salt, DWORD* pLen,
                        BYTE** ppOut) {
    CFuncTrace trace("CUtil::DecryptBlob");
    static const char* const name = "CUtil::DecryptBlob";

    if (type == 1) {
        if (!IsTPMOwned()) {
            _PrintError(name, __LINE__, "TPM not owned");
            return Error_TPM_Not_Owned;
        }
        return DecryptTpmBlob(blob, container, password, pLen, ppOut);
    }
    if (type == 0) return SoftwareBlob(name, TRUE, blob, password, salt, pLen, ppOut);
    return Error_Internal;
}

void CUtil::DestroyPlainArray(SAFEARRAY* psa) {
    if (psa == NULL) return;
    void* data = NULL;
    if (SafeArrayGetDim(psa) == 1 && SUCCEEDED(SafeArrayAccessData(psa, &data))) {
        SecureZeroMemory(data, (SIZE_T)psa->rgsabound[0].cElements * SafeArrayGetElemsize(psa));
        SafeArrayUnaccessData(psa);
    }
    SafeArrayDestroy(psa);
}
