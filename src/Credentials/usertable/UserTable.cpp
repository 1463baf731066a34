/* CUserTable: construction, and reading, verifying and saving user.bin. */
#include "UserTable.h"
#include <cstdlib>
#include <cstring>
#include "../util/TableSupport.h"
#include "../util/Trace.h"
#include "../platform/DiagLog.h"
#include "../util/Util.h"

using namespace tables;

#define USER_TABLE_FILE W("\\user.bin")

CUserTable::CUserTable(DWORD type, LPCWSTR appName, SAFEARRAY* appSecret, LPCWSTR userName, LPCWSTR userGUID,
                       LPCWSTR userFolder)
    : AppSecret(NULL), AppSecretLen(0), AppName(appName ? appName : W("")), UserGUID(userGUID ? userGUID : W("")),
      Creds(), ZipLibrary(NULL), Type(type), UserFolder(userFolder ? userFolder : W("")),
      UserName(userName ? userName : W("")), UserExists(0) {
    memset(&Header, 0, sizeof(Header));
    AppSecret = CopyByteArray(appSecret, &AppSecretLen);
    if (!AppSecret) {
        _PrintError("CUserTable::CUserTable", __LINE__, "invalid application secret");
        return;
    }
    ReadUserTable();
}

CUserTable::CUserTable(DWORD type, LPCWSTR appName, const BYTE* appSecret, LONG appSecretLen, LPCWSTR userName,
                       LPCWSTR userGUID, LPCWSTR userFolder)
    : AppSecret(NULL), AppSecretLen(0), AppName(appName ? appName : W("")), UserGUID(userGUID ? userGUID : W("")),
      Creds(), ZipLibrary(NULL), Type(type), UserFolder(userFolder ? userFolder : W("")), UserName(),
      UserExists(0) {
    memset(&Header, 0, sizeof(Header));
    if (appSecretLen < 0 || (!appSecret && appSecretLen > 0)) {
        _PrintError("CUserTable::CUserTable", __LINE__, "invalid application secret");
        return;
    }
    AppSecret = (BYTE*)malloc(appSecretLen ? (size_t)appSecretLen : 1);
    if (!AppSecret) {
        _PrintError("CUserTable::CUserTable", __LINE__, "malloc() failed.");
        return;
    }
    if (appSecretLen) memcpy(AppSecret, appSecret, (size_t)appSecretLen);
    AppSecretLen = (DWORD)appSecretLen;
    ReadUserTable();
}

CUserTable::~CUserTable() {
    FreeSecret(AppSecret, AppSecretLen);
    for (CredentialRecord* r : Creds) free(r);
    Creds.clear();
}

/* A record as found in a verified body; FALSE when it does not fit or its fields are not what a writer makes. */
static BOOL CheckRecord(const BYTE* body, DWORD bodyLen, DWORD offset, DWORD* pLen) {
    if (offset > bodyLen || bodyLen - offset < CRED_RECORD_FIXED_SIZE) return FALSE;
    /* Records follow each other at any byte offset: read the fixed part into an aligned copy. */
    CredentialRecord fixed;
    memcpy(&fixed, body + offset, CRED_RECORD_FIXED_SIZE);
    const CredentialRecord* r = &fixed;
    ULONGLONG expected = (ULONGLONG)CRED_RECORD_FIXED_SIZE + r->mdlen + r->emdlen;
    if (r->len < CRED_RECORD_FIXED_SIZE || r->len != expected || r->len > bodyLen - offset) return FALSE;
    if (!FieldTerminated(r->id, CRED_ID_CHARS) || !IsGuidString(r->blobname, 260)) return FALSE;
    *pLen = r->len;
    return TRUE;
}

LONG CUserTable::ReadUserTable() {
    CFuncTrace trace("CUserTable::ReadUserTable");
    const char* fn = trace.Name();

    UserExists = 0;
    WString path = UserFolder + USER_TABLE_FILE;
    memset(&Header, 0, sizeof(Header));
    for (CredentialRecord* r : Creds) free(r);
    Creds.clear();

    if (!AppSecret) {
        _PrintError(fn, __LINE__, "invalid application secret");
        return Error_Internal;
    }

    /* A missing table is read as no user, and is not made by the read. */
    HeapBytes file;
    ULONGLONG size = 0;
    BOOL opened = FALSE;
    DWORD err = ReadFileWhole(path.c_str(), 0x7FFFFFFF, file, &size, &opened);
    if (opened) {
        _Print(fn, "open file");

        /* Too short to hold its HMAC: the read of the body fails. */
        if (err == ERROR_SUCCESS && size < HMAC_SIZE) err = ERROR_HANDLE_EOF;
        if (err != ERROR_SUCCESS) {
            _PrintError(fn, __LINE__, "ReadFile() failed. ErrorCode = %d", (int)err);
            return Error_Internal;
        }
        /* No field is looked at before the body is known to hold the whole header. */
        if (size < USER_TABLE_HEADER_SIZE + HMAC_SIZE) {
            _PrintError(fn, __LINE__, "Invalid data size (%d)", (int)size);
            _PrintError(fn, __LINE__, "file corrupted");
            return Error_No_User;
        }
        DWORD fileSize = (DWORD)size;
        DWORD bodyLen = fileSize - HMAC_SIZE;
        BYTE* buffer = file.release();
        const BYTE* stored = buffer + bodyLen;

        const UserTableHeader* fileHeader = (const UserTableHeader*)buffer;
        if (fileHeader->version > 1) {
            free(buffer);
            _PrintError(fn, __LINE__, "Error_Non_Supported_Version");
            return Error_Non_Supported_Version;
        }
        if (fileHeader->credcount > MAXIMUM_NUMBER_OF_CREDS) {
            free(buffer);
            _PrintError(fn, __LINE__, "> MAXIMUM_NUMBER_OF_CREDS");
            _Print(fn, "Error_Invalid_Cred");
            return Error_Invalid_Cred;
        }

        memcpy(&Header, buffer, USER_TABLE_HEADER_SIZE);
        /* Unverified text is logged without reading past its field. */
        _Print(fn, "ReadUserTable uuid=%S", FieldString(Header.uuid, 38).c_str());
        _Print(fn, "ReadUserTable username=%S", FieldString(Header.username, 257).c_str());
        _Print(fn, "ReadUserTable totalsize=%d", (int)Header.totalsize);

        BYTE mac[HMAC_SIZE];
        if (!TableHmac(AppSecret, AppSecretLen, Header.salt, buffer, bodyLen, mac) || !MacEqual(mac, stored)) {
            UserExists = 0;
            free(buffer);
            _PrintError(fn, __LINE__, "file corrupted");
            return Error_No_User;
        }
        _Print(fn, "hmac good");
        _Print(fn, "nubmer of creds=%d totalsize=%d version=%d username=%s", (int)Header.credcount,
               (int)Header.totalsize, (int)Header.version, Narrow(Header.username, 257).c_str());

        /* Verified, yet still checked: the header's strings end inside their fields, and every record
         * has the length its parts add up to, lies inside the body, and the records fill the body. */
        BOOL layoutOk = FieldTerminated(Header.username, 257) && FieldTerminated(Header.uuid, 38);
        DWORD offset = USER_TABLE_HEADER_SIZE;
        for (DWORD i = 0; layoutOk && i < Header.credcount; ++i) {
            DWORD len = 0;
            if (!CheckRecord(buffer, bodyLen, offset, &len)) {
                _PrintError(fn, __LINE__, "invalid credential record %d at offset %d", (int)i, (int)offset);
                layoutOk = FALSE;
                break;
            }
            offset += len;
        }
        if (layoutOk && offset != bodyLen) {
            _PrintError(fn, __LINE__, "invalid data size (%d) for %d creds", (int)fileSize, (int)Header.credcount);
            layoutOk = FALSE;
        }
        if (!layoutOk) {
            free(buffer);
            _PrintError(fn, __LINE__, "file corrupted");
            return Error_No_User;
        }

        offset = USER_TABLE_HEADER_SIZE;
        for (DWORD i = 0; i < Header.credcount; ++i) {
            DWORD recLen = 0;
            CheckRecord(buffer, bodyLen, offset, &recLen); /* checked above, all records */
            CredentialRecord* r = (CredentialRecord*)malloc(recLen);
            if (!r) {
                _Print(fn, "malloc() failed.");
                free(buffer);
                return Error_Internal;
            }
            memcpy(r, buffer + offset, recLen);
            ZeroFieldTail(r->id, CRED_ID_CHARS);
            ZeroFieldTail(r->blobname, 260);
            Creds.push_back(r);
            offset += r->len;
            _Print(fn, "creds[%d] len=%d id=%s version=%d", (int)i, (int)r->len,
                   Narrow(r->id, CRED_ID_CHARS).c_str(), (int)r->version);
            _Print(fn, "MD=%d EMD=%d", (int)r->mdlen, (int)r->emdlen);
        }
        ZeroFieldTail(Header.username, 257);
        ZeroFieldTail(Header.uuid, 38);
        UserExists = 1;
        free(buffer);
    }

    _Print(fn, "ReadUserTable  end uuid= %S", FieldString(Header.uuid, 38).c_str());
    return 0;
}

LONG CUserTable::SaveUserTable() {
    CFuncTrace trace("CUserTable::SaveUserTable");
    const char* fn = trace.Name();
    LONG status = Error_Internal;

    WString path = UserFolder + USER_TABLE_FILE;

    /* The two counts are kept equal; the vector is what is written. */
    Header.credcount = (DWORD)Creds.size();
    ULONGLONG bodyLen = USER_TABLE_HEADER_SIZE;
    _Print(fn, "saving %d creds", (int)Header.credcount);
    for (DWORD i = 0; i < Header.credcount; ++i) {
        const CredentialRecord* r = Creds[i];
        bodyLen += (ULONGLONG)r->mdlen + r->emdlen + CRED_RECORD_FIXED_SIZE;
        _Print(fn, "cred %d len=%d", (int)i, (int)r->len);
        _Print(fn, "MD=%d EMD=%d", (int)r->mdlen, (int)r->emdlen);
    }
    Header.totalsize = (DWORD)(bodyLen + HMAC_SIZE);
    Header.version = 1;
    _Print(fn, "totallen= %d", (int)Header.totalsize);

    if (!AppSecret || bodyLen + HMAC_SIZE > 0x7FFFFFFF) {
        _PrintError(fn, __LINE__, "WriteFile() failed.");
        return Error_Internal;
    }

    /* The whole image first: nothing is opened that could be left half written. */
    BYTE* body = (BYTE*)malloc((size_t)bodyLen);
    if (!body) {
        _PrintError(fn, __LINE__, "malloc failed");
        return Error_Table_Alloc;
    }
    memcpy(body, &Header, USER_TABLE_HEADER_SIZE);
    size_t offset = USER_TABLE_HEADER_SIZE;
    for (DWORD i = 0; i < Header.credcount; ++i) {
        const CredentialRecord* r = Creds[i];
        size_t n = (size_t)CRED_RECORD_FIXED_SIZE + r->mdlen + r->emdlen;
        memcpy(body + offset, r, n);
        offset += n;
    }

    BYTE mac[HMAC_SIZE];
    const BOOL sealed = TableHmac(AppSecret, AppSecretLen, Header.salt, body, (DWORD)bodyLen, mac);
    const WholeFilePart parts[] = {{body, (DWORD)bodyLen}, {mac, HMAC_SIZE}};
    BOOL opened = FALSE;
    const DWORD err = sealed ? WriteFileWhole(path.c_str(), CREATE_ALWAYS, parts, 2, FILE_ATTRIBUTE_NORMAL, &opened)
                             : ERROR_INVALID_DATA;
    free(body);
    if (err != ERROR_SUCCESS) {
        _PrintError(fn, __LINE__, opened ? "WriteFile() failed." : "fp==null");
        return Error_Internal;
    }

    _Print(fn, "write permission");
    SetUsersWriteAccess(path.c_str(), TRUE);
    _Print(fn, "after write permission");
    status = 0;

    _Print(fn, "status=%d", (int)status);
    return status;
}
