/* CUserTable: the in-memory user table, its file user.bin, credential records and blob files. */
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstddef>
#include <vector>
#include "../platform/Wide.h"

#define MAXIMUM_NUMBER_OF_CREDS 255
#define USER_TABLE_HEADER_SIZE 636
#define CRED_RECORD_FIXED_SIZE 580 /* 576 bytes of fields plus the 4-byte tail */
#define CRED_ID_CHARS 20
#define BLOB_HEADER_SIZE 40
/* Upper bound of a WrappedSecret: wrapsecret makes none larger, the restore reads none larger. */
#define MAXIMUM_WRAPPED_SECRET_SIZE (1u << 24)

#pragma pack(push, 4)
struct UserTableHeader {
    DWORD version;
    DWORD totalsize;
    WCHAR username[257];
    BYTE salt[32];
    BYTE padding[2];
    DWORD credcount;
    WCHAR uuid[38];
};

struct CredentialRecord {
    DWORD version;
    DWORD len;
    WCHAR id[CRED_ID_CHARS];
    WCHAR blobname[260];
    DWORD mdlen;
    DWORD emdlen;
    BYTE data[4]; /* MD, then EMD, then the 4-byte tail */
};

struct BlobFileHeader {
    DWORD version;
    DWORD len;
    BYTE salt[32];
};
#pragma pack(pop)
static_assert(sizeof(UserTableHeader) == USER_TABLE_HEADER_SIZE, "UserTableHeader is 636 bytes");
static_assert(sizeof(CredentialRecord) == CRED_RECORD_FIXED_SIZE, "CredentialRecord fixed part is 580 bytes");
static_assert(sizeof(BlobFileHeader) == BLOB_HEADER_SIZE, "BlobFileHeader is 40 bytes");

/* A record's MD and EMD run past the 4 bytes data declares: they are reached
 * from the record's start, never by indexing the array beyond its bound. */
inline BYTE* CredPayload(CredentialRecord* r) { return reinterpret_cast<BYTE*>(r) + offsetof(CredentialRecord, data); }
inline const BYTE* CredPayload(const CredentialRecord* r) {
    return reinterpret_cast<const BYTE*>(r) + offsetof(CredentialRecord, data);
}

struct RestoredBlob {
    WCHAR path[MAX_PATH];
    DWORD len;
    BYTE* data;
};

/* Wipes and frees every entry and empties the list. */
void FreeRestoredBlobs(std::vector<RestoredBlob*>& blobs);

class CUserTable {
public:
    BYTE* AppSecret;
    DWORD AppSecretLen;
    UserTableHeader Header;
    WString AppName;
    WString UserGUID;
    std::vector<CredentialRecord*> Creds;
    HMODULE ZipLibrary;
    DWORD Type;
    WString UserFolder;
    WString UserName;
    LONG UserExists;

    CUserTable(DWORD type, LPCWSTR appName, SAFEARRAY* appSecret, LPCWSTR userName, LPCWSTR userGUID,
               LPCWSTR userFolder);
    CUserTable(DWORD type, LPCWSTR appName, const BYTE* appSecret, LONG appSecretLen, LPCWSTR userName,
               LPCWSTR userGUID, LPCWSTR userFolder);
    ~CUserTable();
    CUserTable(const CUserTable&) = delete;
    CUserTable& operator=(const CUserTable&) = delete;

    LONG ReadUserTable();
    LONG SaveUserTable();

    /* With replacing (a record of this table), the new record takes its place in
     * the one table save that publishes the new blob, and its blob goes after. */
    LONG AddCred(LPCWSTR id, SAFEARRAY* md, SAFEARRAY* emd, SAFEARRAY* cred, LPCWSTR password,
                 CredentialRecord** ppRecord, CredentialRecord* replacing = NULL);
    LONG FindCredInUserTable(LPCWSTR id, LPCWSTR password, CredentialRecord** ppRecord, SAFEARRAY** ppCred);
    LONG DeleteCred(LPCWSTR id);
    /* Removes these records (of this table) in one save; on failure the table
     * keeps them. Their blobs are left alone. */
    LONG DropRecords(const std::vector<CredentialRecord*>& records);
    LONG ListCreds(WString& list);
    LONG EncryptBlob(SAFEARRAY* cred, LPCWSTR password, BYTE** ppOut, DWORD* pcbOut);
    LONG DecryptBlob(DWORD len, BYTE* data, LPCWSTR uuid, LPCWSTR password, SAFEARRAY** ppCred);
    LONG SaveBlob(LPCWSTR path, DWORD len, const BYTE* data);
    LONG ReadBlob(LPCWSTR path, DWORD* pLen, BYTE** ppData);

    LONG AddUser(LPCWSTR password, LPCWSTR userName);
    LONG DeleteUser();
    /* The user's key protected by newPassword instead of oldPassword; the key pair,
     * and so every blob, stays. */
    LONG ChangePassword(LPCWSTR oldPassword, LPCWSTR newPassword);

    LONG LoadZipLibrary();
    LONG Archive(LPCWSTR archivePath, const BYTE* wrapped, DWORD cbWrapped, LPCWSTR password,
                 LPCWSTR keyArchiveString);
    LONG DeleteBackupFiles();
    LONG Restore(LPCWSTR archivePath, BYTE** ppWrapped, DWORD* pcbWrapped);
    LONG RestoreVerify(LPCWSTR folder, const BYTE* secret, DWORD secretLen, std::vector<RestoredBlob*>& blobs);
    LONG ReWrap(const BYTE* secret, DWORD secretLen, std::vector<RestoredBlob*>& blobs);
    /* The store in folder, verified under secret, re-keyed to this table's secret into
     * this table's folder (RestoreVerify and ReWrap, as for an unpacked archive). */
    LONG ReKeyFrom(const WString& folder, const BYTE* secret, DWORD secretLen);
    /* expectedKey: the only container the archive's key.backup may bring back;
     * *pResult: the key archive's result (E_FAIL when it could not be asked). */
    LONG RestoreKey(LPCWSTR password, LPCWSTR expectedKey = NULL, HRESULT* pResult = NULL);
};
