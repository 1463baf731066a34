/*
 * CUserTable: archiving a user's folder and key (user.backup, key.backup, the zip
 * library) and restoring one: unpacking, verifying under the archived secret,
 * restoring the key and re-keying the store to the current secret.
 *
 * user.backup: a little-endian 32-bit length n, then the n bytes of the WrappedSecret.
 */
#include "UserTable.h"
#include <comdef.h>
#include <cstdlib>
#include <cstring>
#include "../util/AccessRules.h"
#include "../util/TableSupport.h"
#include "../util/Trace.h"
#include "../platform/ComServers.h"
#include "../platform/DiagLog.h"
#include "../platform/ZipUtil.h"
#include "../util/Util.h"

using namespace tables;

#define USER_BACKUP_FILE W("\\user.backup")
#define KEY_BACKUP_FILE W("\\key.backup")
#define USER_BACKUP_LENGTH_SIZE 4

namespace {

/* A BSTR for one call, wiped before it is freed (it may carry the backup password). */
struct CallBstr {
    BSTR s;
    explicit CallBstr(LPCWSTR text) : s(SysAllocString(text ? text : W(""))) {
        if (!s) _com_issue_error(E_OUTOFMEMORY);
    }
    ~CallBstr() {
        if (s) {
            SecureZeroMemory(s, SysStringLen(s) * sizeof(WCHAR));
            SysFreeString(s);
        }
    }
    CallBstr(const CallBstr&) = delete;
    CallBstr& operator=(const CallBstr&) = delete;
};

/* The key-archive object, made as every caller makes it; released when it goes. */
struct KeyArchiveObject {
    IKeyArchive* p = NULL;
    ~KeyArchiveObject() {
        if (p) p->Release();
    }
};

/* 0 with the object; 1 (after the error line) when it cannot be had. */
LONG CreateKeyArchive(const char* fn, KeyArchiveObject& object) {
    try {
        IUnknown* unknown = NULL;
        HRESULT hr = CoCreateInstance(CLSID_KeyArchive, NULL, CLSCTX_ALL, IID_IUnknown,
                                      reinterpret_cast<void**>(&unknown));
        if (SUCCEEDED(hr) && unknown) {
            hr = OleRun(unknown);
            if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_IKeyArchive, reinterpret_cast<void**>(&object.p));
            unknown->Release();
        }
        if (FAILED(hr) || !unknown || !object.p) {
            if (object.p) {
                object.p->Release();
                object.p = NULL;
            }
            _PrintError(fn, __LINE__, "CreateInstance error");
            return 1;
        }
    } catch (...) {
        _PrintError(fn, __LINE__, "CreateInstance exception");
        return 1;
    }
    return 0;
}

/* A derived table key, wiped when it goes. */
struct DerivedKey {
    BYTE key[KEY_SIZE];
    BOOL made; /* FALSE: key is all zeros and must not be used */
    DerivedKey(const BYTE* secret, DWORD secretLen, const BYTE* salt) {
        memset(key, 0, sizeof(key));
        LONG keyLen = KEY_SIZE;
        made = CUtil::GenAESKey(secret, (LONG)secretLen, key, &keyLen, salt) == 0;
    }
    ~DerivedKey() { SecureZeroMemory(key, sizeof(key)); }
    DerivedKey(const DerivedKey&) = delete;
    DerivedKey& operator=(const DerivedKey&) = delete;
};

} // namespace

void FreeRestoredBlobs(std::vector<RestoredBlob*>& blobs) {
    for (RestoredBlob* b : blobs) {
        if (!b) continue;
        FreeSecret(b->data, b->len);
        free(b);
    }
    blobs.clear();
}

LONG CUserTable::LoadZipLibrary() {
    CFuncTrace trace("CUserTable::LoadZipLibrary");
    WCHAR folder[MAX_PATH];
    folder[0] = 0;
    if (GetInstallFolder(folder) != 0) return Error_Bad_App;
    WString path = WString(folder) + ZIPUTIL_RELATIVE_PATH;
#ifdef _WIN32
    /* Loaded into every caller's process: only from a folder administrators alone
     * can change (the platform layer checks the same on POSIX). */
    if (!IsInstalledModule(path.c_str())) {
        _PrintError(trace.Name(), __LINE__, "%S is not in an installed folder", path.c_str());
        return Error_Cant_Load_Library;
    }
#endif
    ZipLibrary = LoadLibraryW(path.c_str());
    if (!ZipLibrary) {
        OutputDebugStringW(W("cant load library\n"));
        OutputDebugStringW((path + W("\n")).c_str());
        return Error_Cant_Load_Library;
    }
    _Print(trace.Name(), "ret=%d", 0);
    return 0;
}

LONG CUserTable::Archive(LPCWSTR archivePath, const BYTE* wrapped, DWORD cbWrapped, LPCWSTR password,
                         LPCWSTR keyArchiveString) {
    CFuncTrace trace("CUserTable::Archive");
    const char* fn = trace.Name();

    if (LoadZipLibrary() != 0) {
        _PrintError(fn, __LINE__, "Error_Cant_Load_Library");
        return Error_Cant_Load_Library;
    }

    KeyArchiveObject keyArchive;
    if (CreateKeyArchive(fn, keyArchive) != 0) return 1;

    try {
        CallBstr container(FieldString(Header.uuid, 38).c_str());
        CallBstr folder(UserFolder.c_str());
        CallBstr archiveString(keyArchiveString);
        CallBstr backupPassword(password);
        LONG result = 0;
        HRESULT hr = keyArchive.p->ArchiveTPMKeys(container.s, 1, folder.s, archiveString.s, backupPassword.s, &result);
        if (FAILED(hr)) _com_issue_error(hr);
    } catch (...) {
        _PrintError(fn, __LINE__, "ArchiveTPMKeys exception");
        return 1;
    }

    /* Create-new: a user.backup left by an interrupted archive is never reused. It lives only
     * until the archive is packed, so it is not flushed to disk. */
    WString backupPath = UserFolder + USER_BACKUP_FILE;
    BYTE length[USER_BACKUP_LENGTH_SIZE];
    length[0] = (BYTE)cbWrapped;
    length[1] = (BYTE)(cbWrapped >> 8);
    length[2] = (BYTE)(cbWrapped >> 16);
    length[3] = (BYTE)(cbWrapped >> 24);
    const WholeFilePart parts[] = {{length, sizeof(length)}, {wrapped, cbWrapped}};
    BOOL opened = FALSE;
    const DWORD error = WriteFileWhole(backupPath.c_str(), CREATE_NEW, parts, cbWrapped ? 2 : 1,
                                       FILE_ATTRIBUTE_TEMPORARY, &opened);
    if (error != ERROR_SUCCESS && !opened) {
        _PrintError(fn, __LINE__, "Error_Insufficient_Privileges");
        return Error_Insufficient_Privileges;
    }
    if (error != ERROR_SUCCESS) {
        _PrintError(fn, __LINE__, "WriteFile() failed. ErrorCode = %d", (int)error);
        return Error_Internal;
    }

    PFN_KsZip zip = reinterpret_cast<PFN_KsZip>(reinterpret_cast<void*>(GetProcAddress(ZipLibrary, "KsZip")));
    if (!zip || zip(archivePath, UserFolder.c_str()) == 0) {
        _PrintError(fn, __LINE__, "zip error");
        return Error_Insufficient_Privileges;
    }
    return 0;
}

LONG CUserTable::DeleteBackupFiles() {
    CFuncTrace trace("CUserTable::DeleteBackupFiles");
    DeleteFileW((UserFolder + USER_BACKUP_FILE).c_str());
    DeleteFileW((UserFolder + KEY_BACKUP_FILE).c_str());
    return 0;
}

LONG CUserTable::Restore(LPCWSTR archivePath, BYTE** ppWrapped, DWORD* pcbWrapped) {
    CFuncTrace trace("CUserTable::Restore");
    const char* fn = trace.Name();
    *ppWrapped = NULL;
    *pcbWrapped = 0;

    if (LoadZipLibrary() != 0) {
        _PrintError(fn, __LINE__, "Error_Cant_Load_Library");
        return Error_Cant_Load_Library;
    }
    /* Its result is not needed: what it did not unpack is missed below. */
    PFN_KsUnzip unzip = reinterpret_cast<PFN_KsUnzip>(reinterpret_cast<void*>(GetProcAddress(ZipLibrary, "KsUnzip")));
    if (unzip) unzip(UserFolder.c_str(), archivePath);

    WString backupPath = UserFolder + USER_BACKUP_FILE;
    /* The file holds its length field and exactly that many bytes, within what a wrapping can be. */
    const ULONGLONG maxSize = (ULONGLONG)USER_BACKUP_LENGTH_SIZE + MAXIMUM_WRAPPED_SECRET_SIZE;
    HeapBytes file;
    ULONGLONG size = 0;
    BOOL opened = FALSE;
    DWORD error = ReadFileWhole(backupPath.c_str(), maxSize, file, &size, &opened);
    if (!opened) {
        _PrintError(fn, __LINE__, "Error_Invalid_File");
        _PrintError(fn, __LINE__, "ErrorCode (%d); File-Name = %S", (int)error, backupPath.c_str());
        return Error_Invalid_File;
    }
    if (size <= maxSize && (error != ERROR_SUCCESS || size < USER_BACKUP_LENGTH_SIZE)) {
        _PrintError(fn, __LINE__, "ReadFile() failed. ErrorCode = %d", (int)error);
        return Error_Internal;
    }
    const BYTE* length = file.data();
    DWORD n = size > maxSize ? 0
                             : (DWORD)length[0] | ((DWORD)length[1] << 8) | ((DWORD)length[2] << 16) |
                                   ((DWORD)length[3] << 24);
    if (n == 0 || n > MAXIMUM_WRAPPED_SECRET_SIZE || size != (ULONGLONG)n + USER_BACKUP_LENGTH_SIZE) {
        _PrintError(fn, __LINE__, "invalid user.backup: length %u, file size %d", n, (int)size);
        return Error_Bad_Backup;
    }
    BYTE* wrapped = file.release();
    memmove(wrapped, wrapped + USER_BACKUP_LENGTH_SIZE, n);
    *ppWrapped = wrapped;
    *pcbWrapped = n;
    return 0;
}

LONG CUserTable::RestoreVerify(LPCWSTR folder, const BYTE* secret, DWORD secretLen, std::vector<RestoredBlob*>& blobs) {
    CFuncTrace trace("CUserTable::RestoreVerify");
    const char* fn = trace.Name();

    /* The archived secret stands in for this table's own until every return. */
    struct SecretSwap {
        CUserTable& t;
        BYTE* own;
        DWORD ownLen;
        BYTE* archived;
        DWORD archivedLen;
        SecretSwap(CUserTable& table, const BYTE* secret, DWORD len)
            : t(table), own(table.AppSecret), ownLen(table.AppSecretLen), archived(NULL), archivedLen(len) {
            archived = (BYTE*)malloc(len ? len : 1);
            if (!archived) return;
            if (len) memcpy(archived, secret, len);
            t.AppSecret = archived;
            t.AppSecretLen = len;
        }
        ~SecretSwap() {
            t.AppSecret = own;
            t.AppSecretLen = ownLen;
            FreeSecret(archived, archivedLen);
        }
    } swap(*this, secret, secretLen);

    /* The list belongs to the caller only once it is complete. */
    struct ListGuard {
        std::vector<RestoredBlob*>& list;
        bool keep = false;
        ~ListGuard() {
            if (!keep) FreeRestoredBlobs(list);
        }
    } guard{blobs};
    FreeRestoredBlobs(blobs);

    if (!swap.archived || !secret) {
        _PrintError(fn, __LINE__, "malloc() failed.");
        return Error_Internal;
    }

    if (ReadUserTable() != 0 || !UserExists) {
        _PrintError(fn, __LINE__, "bad");
        return Error_Bad_Backup;
    }
    if (!FieldEquals(Header.username, 257, UserName.c_str())) {
        _PrintError(fn, __LINE__, "bad");
        return Error_Bad_Backup;
    }

    WString prefix = WString(folder ? folder : W("")) + W("\\");
    for (size_t i = 0; i < Creds.size(); ++i) {
        RestoredBlob* b = (RestoredBlob*)calloc(1, sizeof(RestoredBlob));
        if (!b) return Error_Internal;
        blobs.push_back(b);
        WString path = prefix + FieldString(Creds[i]->blobname, 260);
        if (path.size() > MAX_PATH - 1) {
            _PrintError(fn, __LINE__, "blob path too long");
            return Error_Internal;
        }
        CopyField(b->path, MAX_PATH, path.c_str());
        if (ReadBlob(b->path, &b->len, &b->data) != 0) return Error_Internal;
    }
    guard.keep = true;
    return 0;
}

LONG CUserTable::ReWrap(const BYTE* secret, DWORD secretLen, std::vector<RestoredBlob*>& blobs) {
    CFuncTrace trace("CUserTable::ReWrap");
    const char* fn = trace.Name();

    struct ListGuard {
        std::vector<RestoredBlob*>& list;
        ~ListGuard() { FreeRestoredBlobs(list); }
    } guard{blobs};

    if (blobs.size() != Creds.size() || !secret || !AppSecret) {
        _PrintError(fn, __LINE__, "restored blobs do not match the table");
        return Error_Bad_Backup;
    }

    /* One salt for the whole table: the two keys are derived once. */
    DerivedKey archivedKey(secret, secretLen, Header.salt);
    DerivedKey currentKey(AppSecret, AppSecretLen, Header.salt);
    if (!archivedKey.made || !currentKey.made) {
        _PrintError(fn, __LINE__, "the table keys could not be derived");
        return Error_Internal;
    }

    for (size_t i = 0; i < Creds.size(); ++i) {
        CredentialRecord* r = Creds[i];
        BYTE* stored = CredPayload(r) + r->mdlen;

        DWORD plainLen = r->emdlen;
        BYTE* plain = NULL;
        LONG status = CUtil::DecryptWithAES(archivedKey.key, KEY_SIZE, stored, &plainLen, &plain);
        if (status != 0 || !plain) {
            _PrintError(fn, __LINE__, "EMD of cred %d does not decrypt", (int)i);
            return Error_Bad_Backup;
        }
        DWORD cipherLen = plainLen;
        BYTE* cipher = NULL;
        status = CUtil::EncryptWithAES(currentKey.key, KEY_SIZE, plain, &cipherLen, &cipher);
        FreeSecret(plain, plainLen);
        if (status != 0 || !cipher) {
            free(cipher);
            _PrintError(fn, __LINE__, "EncryptWithAES() failed.");
            return Error_Bad_Backup;
        }

        if (cipherLen == r->emdlen) {
            memcpy(stored, cipher, cipherLen);
        } else {
            /* Not expected of one scheme, yet the record is rebuilt rather than overrun. */
            ULONGLONG newLen = (ULONGLONG)CRED_RECORD_FIXED_SIZE + r->mdlen + cipherLen;
            CredentialRecord* nr = newLen > 0x7FFFFFFF ? NULL : (CredentialRecord*)calloc(1, (size_t)newLen);
            if (!nr) {
                free(cipher);
                _PrintError(fn, __LINE__, "malloc() failed.");
                return Error_Bad_Backup;
            }
            memcpy(nr, r, CRED_RECORD_FIXED_SIZE - 4 + r->mdlen);
            memcpy(CredPayload(nr) + r->mdlen, cipher, cipherLen);
            nr->emdlen = cipherLen;
            nr->len = (DWORD)newLen;
            free(r);
            Creds[i] = nr;
        }
        free(cipher);

        /* A new salt and an HMAC under the current secret; the blob data stays as it is. */
        if (SaveBlob(blobs[i]->path, blobs[i]->len, blobs[i]->data) != 0) {
            _PrintError(fn, __LINE__, "saveBlob error");
            return Error_Bad_Backup;
        }
    }

    return SaveUserTable();
}

LONG CUserTable::ReKeyFrom(const WString& folder, const BYTE* secret, DWORD secretLen) {
    CFuncTrace trace("CUserTable::ReKeyFrom");
    const WString target = UserFolder;
    std::vector<RestoredBlob*> blobs;
    UserFolder = folder;
    LONG status = RestoreVerify(folder.c_str(), secret, secretLen, blobs);
    UserFolder = target;
    if (status != 0) return status;
    /* Read from folder, written to this table's own. */
    for (size_t i = 0; i < blobs.size() && i < Creds.size(); ++i)
        CopyField(blobs[i]->path, MAX_PATH, (target + W("\\") + FieldString(Creds[i]->blobname, 260)).c_str());
    return ReWrap(secret, secretLen, blobs);
}

LONG CUserTable::RestoreKey(LPCWSTR password, LPCWSTR expectedKey, HRESULT* pResult) {
    CFuncTrace trace("CUserTable::RestoreKey");
    const char* fn = trace.Name();
    if (pResult) *pResult = E_FAIL;
    KeyArchiveObject keyArchive;
    if (CreateKeyArchive(fn, keyArchive) != 0) return 1;
    try {
        CallBstr folder(UserFolder.c_str());
        CallBstr expected(expectedKey);
        CallBstr empty(W(""));
        CallBstr backupPassword(password);
        BSTR result = NULL;
        HRESULT hr = keyArchive.p->RestoreTPMKeys(folder.s, expected.s, empty.s, backupPassword.s, 0, &result);
        if (result) SysFreeString(result);
        if (pResult) *pResult = hr;
        if (FAILED(hr)) _com_issue_error(hr);
    } catch (...) {
        _PrintError(fn, __LINE__, "RestoreTPMKeys exception");
        return 1;
    }
    return 0;
}
