/* CUserTable: credential records, their blob files, and the blob encryption steps. */
#include "UserTable.h"
#include <algorithm>
#include <comdef.h>
#include <cstdlib>
#include <cstring>
#include "../util/TableSupport.h"
#include "../util/Trace.h"
#include "../platform/DiagLog.h"
#include "../util/Util.h"

using namespace tables;

#define BLOB_FILE_MIN_SIZE (BLOB_HEADER_SIZE + HMAC_SIZE)

namespace {
/* Access to a caller's byte array for one scope; a failed access is raised as the HRESULT. */
struct ArrayData {
    SAFEARRAY* psa;
    BYTE* data;
    DWORD len;
    explicit ArrayData(SAFEARRAY* array) : psa(NULL), data(NULL), len(0) {
        if (!ByteArrayLength(array, &len)) _com_issue_error(E_INVALIDARG);
        void* p = NULL;
        HRESULT hr = SafeArrayAccessData(array, &p);
        if (FAILED(hr)) _com_issue_error(hr);
        psa = array;
        data = (BYTE*)p;
    }
    ~ArrayData() {
        if (psa) SafeArrayUnaccessData(psa);
    }
    ArrayData(const ArrayData&) = delete;
    ArrayData& operator=(const ArrayData&) = delete;
};

} // namespace

static WString BlobPath(const WString& folder, const CredentialRecord* r) {
    return folder + W("\\") + FieldString(r->blobname, 260);
}

/* The position of a record in the table, or -1. */
static ptrdiff_t IndexOf(const std::vector<CredentialRecord*>& creds, const CredentialRecord* r) {
    for (size_t i = 0; i < creds.size(); ++i)
        if (creds[i] == r) return (ptrdiff_t)i;
    return -1;
}

LONG CUserTable::AddCred(LPCWSTR id, SAFEARRAY* md, SAFEARRAY* emd, SAFEARRAY* cred, LPCWSTR password,
                         CredentialRecord** ppRecord, CredentialRecord* replacing) {
    CFuncTrace trace("CUserTable::AddCred");
    const char* fn = trace.Name();
    if (ppRecord) *ppRecord = NULL;

    const ptrdiff_t replaced = replacing ? IndexOf(Creds, replacing) : -1;
    if (replacing && replaced < 0) {
        _PrintError(fn, __LINE__, "record to replace is not in the table");
        return Error_Internal;
    }
    /* Refusals come before anything is encrypted or written. */
    if (replaced < 0 && (Header.credcount >= MAXIMUM_NUMBER_OF_CREDS || Creds.size() >= MAXIMUM_NUMBER_OF_CREDS)) {
        _PrintError(fn, __LINE__, "> MAXIMUM_NUMBER_OF_CREDS");
        return Error_Invalid_Cred;
    }
    if (!id || WLen(id) >= CRED_ID_CHARS || !IsListableName(id)) {
        _PrintError(fn, __LINE__, "Error_Invalid_ID");
        return Error_Invalid_ID;
    }
    if (!AppSecret) {
        _PrintError(fn, __LINE__, "invalid application secret");
        return Error_Internal;
    }

    BYTE* encEmd = NULL;
    DWORD emdlen = 0;
    DWORD mdlen = 0;
    CredentialRecord* r = NULL;
    {
        ArrayData mdData(md);
        ArrayData emdData(emd);
        mdlen = mdData.len;

        BYTE key[KEY_SIZE];
        LONG keyLen = KEY_SIZE;
        const BOOL keyed = CUtil::GenAESKey(AppSecret, (LONG)AppSecretLen, key, &keyLen, Header.salt) == 0;
        emdlen = emdData.len;
        BYTE none = 0; /* an empty array may have no data pointer */
        /* Never under a key that was not derived (all zeros). */
        LONG aes = keyed ? CUtil::EncryptWithAES(key, KEY_SIZE, emdData.data ? emdData.data : &none, &emdlen, &encEmd)
                         : (LONG)Error_Internal;
        SecureZeroMemory(key, sizeof(key));
        if (aes != 0 || !encEmd) {
            _PrintError(fn, __LINE__, "EncryptWithAES() failed.");
            free(encEmd);
            return aes != 0 ? aes : Error_Internal;
        }

        ULONGLONG recLen = (ULONGLONG)CRED_RECORD_FIXED_SIZE + mdlen + emdlen;
        if (recLen <= 0x7FFFFFFF) r = (CredentialRecord*)calloc(1, (size_t)recLen);
        if (!r) {
            _Print(fn, "malloc() failed.");
            free(encEmd);
            return Error_Internal;
        }
        CopyField(r->id, CRED_ID_CHARS, id);
        WString blobname = CUtil::GenerateGUID();
        CopyField(r->blobname, 260, blobname.c_str());
        r->mdlen = mdlen;
        r->len = (DWORD)recLen;
        r->emdlen = emdlen;
        r->version = 1;
        BYTE* payload = CredPayload(r);
        if (mdlen) memcpy(payload, mdData.data, mdlen);
        if (emdlen) memcpy(payload + mdlen, encEmd, emdlen);
        free(encEmd);
        encEmd = NULL;
    }

    if (ppRecord) *ppRecord = r;
    Creds.push_back(r);

    BYTE* blob = NULL;
    DWORD blobLen = 0;
    LONG status;
    try {
        status = EncryptBlob(cred, password, &blob, &blobLen);
    } catch (...) {
        /* The record must not outlive a credential that was never encrypted. */
        Creds.pop_back();
        free(r);
        if (ppRecord) *ppRecord = NULL;
        throw;
    }
    _Print(fn, "EncryptBlob len=%x", (unsigned)blobLen);
    if (status != 0 || !blob) {
        /* No blob is written from a result that is missing, and no record is kept without its blob. */
        _PrintError(fn, __LINE__, "EncryptBlob failed %d", (int)status);
        free(blob);
        Creds.pop_back();
        free(r);
        if (ppRecord) *ppRecord = NULL;
        return status != 0 ? status : Error_Internal;
    }

    _Print(fn, "SaveBlob");
    WString path = BlobPath(UserFolder, r);
    status = SaveBlob(path.c_str(), blobLen, blob);
    free(blob);
    if (status != 0) {
        /* No record is kept whose blob was never written: the table stays as it was on disk. */
        _Print(fn, "saveBlob error");
        Creds.pop_back();
        free(r);
        if (ppRecord) *ppRecord = NULL;
        _Print(fn, "res- %d", (int)status);
        return status;
    }

    /* The blob's folder entry is on disk before the table that names it: a crash
     * must not leave a table naming a blob whose name was lost. */
    CUtil::FlushFolder(UserFolder);
    /* The old record leaves in the same save that names the new blob: on disk the
     * table names the old credential or the new one, never neither. */
    if (replaced >= 0) Creds.erase(Creds.begin() + replaced);
    Header.credcount = (DWORD)Creds.size();
    _Print(fn, "save table");
    LONG saved = SaveUserTable();
    _Print(fn, "res- %d", (int)saved);
    if (saved != 0) {
        /* The table on disk is the old one: the new blob is named by nothing, the old one still counts. */
        DeleteFileW(path.c_str());
        Creds.pop_back();
        free(r);
        if (ppRecord) *ppRecord = NULL;
        if (replaced >= 0) Creds.insert(Creds.begin() + replaced, replacing);
        Header.credcount = (DWORD)Creds.size();
        return saved;
    }
    /* The folder is flushed before the old blob goes: unflushed, the removal could
     * reach the disk before the rename and leave the old table naming a missing blob.
     * A blob a crash leaves after the flush is named by nothing and reclaimed by
     * repair. (A failed flush is logged and the blob goes all the same: Windows may
     * refuse to flush a folder, and its moves are written through.) */
    CUtil::FlushFolder(UserFolder);
    if (replaced >= 0) {
        DeleteFileW(BlobPath(UserFolder, replacing).c_str());
        free(replacing);
    }
    return 0;
}

LONG CUserTable::EncryptBlob(SAFEARRAY* cred, LPCWSTR password, BYTE** ppOut, DWORD* pcbOut) {
    LONG status;
    {
        CFuncTrace trace("CUserTable::EncryptBlob");
        ArrayData data(cred);
        DWORD len = data.len;
        BYTE* out = NULL;
        BYTE none = 0; /* an empty array may have no data pointer */
        status = CUtil::EncryptBlob((LONG)Type, data.data ? data.data : &none, Header.uuid, password, Header.salt,
                                    &len, &out);
        *ppOut = out;
        *pcbOut = len;
    }
    return status;
}

LONG CUserTable::FindCredInUserTable(LPCWSTR id, LPCWSTR password, CredentialRecord** ppRecord,
                                     SAFEARRAY** ppCred) {
    CFuncTrace trace("CUserTable::FindCredInUserTable");
    const char* fn = trace.Name();
    LONG status = Error_Cred_Not_Found;
    BOOL delivered = FALSE;

    for (size_t i = 0; i < Creds.size(); ++i) {
        CredentialRecord* r = Creds[i];
        _Print(fn, "read cred %d", (int)i);
        if (!FieldEquals(r->id, CRED_ID_CHARS, id)) continue;

        _Print(fn, "ID good");
        if (ppRecord) *ppRecord = r;
        if (!password) {
            status = 0;
            break;
        }

        _Print(fn, "read blob");
        DWORD len = 0;
        BYTE* data = NULL;
        WString path = BlobPath(UserFolder, r);
        status = ReadBlob(path.c_str(), &len, &data);
        if (status != 0) {
            _Print(fn, "cant read blob");
            break;
        }
        _Print(fn, "read blob");
        if (ppCred) {
            /* A later record of the same id replaces the array, never leaks it. */
            if (delivered && *ppCred) {
                CUtil::DestroyPlainArray(*ppCred);
                *ppCred = NULL;
            }
            _Print(fn, "decrypting...uuid=%S", Header.uuid);
            status = DecryptBlob(len, data, Header.uuid, password, ppCred);
            if (status != 0) {
                _Print(fn, "decrypt error");
                FreeSecret(data, len);
                break;
            }
            delivered = TRUE;
        }
        FreeSecret(data, len);
        status = 0;
    }

    _Print(fn, "status=%d", (int)status);
    return status;
}

LONG CUserTable::DecryptBlob(DWORD len, BYTE* data, LPCWSTR uuid, LPCWSTR password, SAFEARRAY** ppCred) {
    CFuncTrace trace("CUserTable::DecryptBlob");
    const char* fn = trace.Name();
    BYTE* plain = NULL;
    DWORD plainLen = len;

    LONG status = CUtil::DecryptBlob((LONG)Type, data, uuid, password, Header.salt, &plainLen, &plain);
    if (status != 0 || !plain) {
        if (plain) FreeSecret(plain, plainLen);
        if (status == 0) status = Error_Internal;
        _Print(fn, "status=%d", (int)status);
        return status;
    }
    _Print(fn, "Blob len=%x", (unsigned)plainLen);

    SAFEARRAYBOUND bound;
    bound.cElements = plainLen;
    bound.lLbound = 0;
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);
    if (!psa) {
        FreeSecret(plain, plainLen);
        status = Error_Internal;
        _Print(fn, "status=%d", (int)status);
        return status;
    }
    void* dest = NULL;
    HRESULT hr = SafeArrayAccessData(psa, &dest);
    if (FAILED(hr)) {
        FreeSecret(plain, plainLen);
        CUtil::DestroyPlainArray(psa);
        _com_issue_error(hr);
    }
    if (plainLen) memcpy(dest, plain, plainLen);
    SafeArrayUnaccessData(psa);
    FreeSecret(plain, plainLen);
    if (ppCred) *ppCred = psa;
    else CUtil::DestroyPlainArray(psa);

    _Print(fn, "status=%d", 0);
    return 0;
}

LONG CUserTable::DeleteCred(LPCWSTR id) {
    CFuncTrace trace("CUserTable::DeleteCred");
    const char* fn = trace.Name();

    _Print(fn, "deleting %S", id ? id : W(""));
    _Print(fn, "before delete");
    for (size_t i = 0; i < Creds.size(); ++i) {
        _Print(fn, "cred %d", (int)i);
        _Print(fn, "MD=%d EMD=%d", (int)Creds[i]->mdlen, (int)Creds[i]->emdlen);
    }

    for (size_t i = 0; i < Creds.size(); ++i) {
        CredentialRecord* r = Creds[i];
        if (!FieldEquals(r->id, CRED_ID_CHARS, id)) continue;
        _Print(fn, "found %S cred=%d", id, (int)i);
        /* The record leaves the table, on disk, before its blob goes: a failed save
         * keeps both, and a blob a crash leaves behind is named by nothing. */
        Creds.erase(Creds.begin() + (ptrdiff_t)i);
        Header.credcount = (DWORD)Creds.size();
        LONG status = SaveUserTable();
        if (status != 0) {
            Creds.insert(Creds.begin() + (ptrdiff_t)i, r);
            Header.credcount = (DWORD)Creds.size();
        } else {
            CUtil::FlushFolder(UserFolder); /* before the blob goes, as in StoreCredential */
            DeleteFileW(BlobPath(UserFolder, r).c_str());
            free(r);
        }
        _Print(fn, "status=%d", (int)status);
        return status;
    }
    _Print(fn, "status=%d", (int)Error_Cred_Not_Found);
    return Error_Cred_Not_Found;
}

LONG CUserTable::DropRecords(const std::vector<CredentialRecord*>& records) {
    CFuncTrace trace("CUserTable::DropRecords");
    std::vector<CredentialRecord*> kept;
    for (CredentialRecord* r : Creds)
        if (std::find(records.begin(), records.end(), r) == records.end()) kept.push_back(r);
    kept.swap(Creds);
    LONG status = SaveUserTable();
    kept.swap(Creds);
    if (status == 0) {
        Creds.erase(std::remove_if(Creds.begin(), Creds.end(),
                                   [&](CredentialRecord* r) {
                                       if (std::find(records.begin(), records.end(), r) == records.end()) return false;
                                       free(r);
                                       return true;
                                   }),
                    Creds.end());
    }
    Header.credcount = (DWORD)Creds.size();
    _Print(trace.Name(), "status=%d", (int)status);
    return status;
}

LONG CUserTable::ListCreds(WString& list) {
    CFuncTrace trace("CUserTable::ListCreds");
    list.clear();
    if (Creds.empty()) return Error_Cred_Not_Found;
    for (size_t i = 0; i < Creds.size(); ++i) {
        if (i > 0) list += W(",");
        list += FieldString(Creds[i]->id, CRED_ID_CHARS);
    }
    _Print(trace.Name(), "status=%d", 0);
    return 0;
}

LONG CUserTable::SaveBlob(LPCWSTR path, DWORD len, const BYTE* data) {
    CFuncTrace trace("CUserTable::SaveBlob");
    const char* fn = trace.Name();

    BlobFileHeader header;
    memset(&header, 0, sizeof(header));
    header.version = 1;
    header.len = len;
    CCryptRandom random((LONG)Type);
    random.GenerateRandom(header.salt);

    if (!AppSecret || (ULONGLONG)len + BLOB_FILE_MIN_SIZE > 0x7FFFFFFF || (len && !data)) {
        _PrintError(fn, __LINE__, "invalid blob");
        return Error_Insufficient_Privileges;
    }

    /* The whole image first: nothing is opened that could be left half written. */
    DWORD imageLen = BLOB_HEADER_SIZE + len;
    BYTE* image = (BYTE*)malloc(imageLen);
    if (!image) {
        _PrintError(fn, __LINE__, "malloc failed");
        return Error_Insufficient_Privileges;
    }
    memcpy(image, &header, BLOB_HEADER_SIZE);
    if (len) memcpy(image + BLOB_HEADER_SIZE, data, len);

    BYTE mac[HMAC_SIZE];
    const BOOL sealed = TableHmac(AppSecret, AppSecretLen, header.salt, image, imageLen, mac);
    const WholeFilePart parts[] = {{image, imageLen}, {mac, HMAC_SIZE}};
    BOOL opened = FALSE;
    const DWORD err =
        sealed ? WriteFileWhole(path, CREATE_ALWAYS, parts, 2, FILE_ATTRIBUTE_NORMAL, &opened) : ERROR_INVALID_DATA;
    free(image);
    /* A blob that is not whole is not there at all. */
    if (err != ERROR_SUCCESS) {
        if (opened) _PrintError(fn, __LINE__, "WriteFile() failed. ErrorCode = %d", (int)err);
        return Error_Insufficient_Privileges;
    }
    SetUsersWriteAccess(path, TRUE);
    return 0;
}

LONG CUserTable::ReadBlob(LPCWSTR path, DWORD* pLen, BYTE** ppData) {
    CFuncTrace trace("CUserTable::ReadBlob");
    const char* fn = trace.Name();
    *ppData = NULL;
    if (!AppSecret) {
        _PrintError(fn, __LINE__, "invalid application secret");
        return Error_Internal;
    }

    /* Too short for header and HMAC, or too long for any blob: it does not verify. */
    HeapBytes file;
    ULONGLONG size = 0;
    BOOL opened = FALSE;
    DWORD err = ReadFileWhole(path, 0x7FFFFFFF, file, &size, &opened);
    if (!opened) {
        _Print(fn, "status=%d", (int)Error_Invalid_Cred);
        return Error_Invalid_Cred;
    }
    if (size > 0x7FFFFFFF || (err == ERROR_SUCCESS && size < BLOB_FILE_MIN_SIZE)) {
        UserExists = 0;
        _PrintError(fn, __LINE__, "Invalid data size (%d)", (int)size);
        _Print(fn, "Error_No_User");
        return Error_No_User;
    }
    if (err != ERROR_SUCCESS) {
        _PrintError(fn, __LINE__, "ReadFile() failed. ErrorCode = %d", (int)err);
        return Error_Internal;
    }
    DWORD fileSize = (DWORD)size;
    DWORD bodyLen = fileSize - HMAC_SIZE;
    BYTE* buffer = file.release();
    BYTE* stored = buffer + bodyLen;

    const BlobFileHeader* header = (const BlobFileHeader*)buffer;
    BYTE mac[HMAC_SIZE];
    if (!TableHmac(AppSecret, AppSecretLen, header->salt, buffer, bodyLen, mac) || !MacEqual(mac, stored)) {
        UserExists = 0;
        free(buffer);
        _Print(fn, "Error_No_User");
        return Error_No_User;
    }
    /* Verified, yet still checked: the data must be exactly what the file holds. */
    if ((ULONGLONG)header->len + BLOB_FILE_MIN_SIZE != fileSize) {
        DWORD badLen = header->len;
        UserExists = 0;
        free(buffer);
        _PrintError(fn, __LINE__, "invalid blob length %u for size %u", badLen, fileSize);
        _Print(fn, "Error_No_User");
        return Error_No_User;
    }

    DWORD len = header->len;
    BYTE* data = (BYTE*)malloc(len ? len : 1);
    if (!data) {
        free(buffer);
        _PrintError(fn, __LINE__, "malloc failed");
        return Error_Internal;
    }
    if (len) memcpy(data, buffer + BLOB_HEADER_SIZE, len);
    free(buffer);
    *pLen = len;
    *ppData = data;
    _Print(fn, "status=%d", 0);
    return 0;
}
