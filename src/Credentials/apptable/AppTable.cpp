/* CAppTable: construction (reading and verifying app.bin), saving, and the registry settings. */
#include "AppTable.h"
#include <shlobj.h>
#include <shlwapi.h>
#include <strsafe.h>
#include <cstdlib>
#include <cstring>
#include "../util/Trace.h"
#include "../platform/DiagLog.h"
#include "../util/Util.h"
#include "../util/TableSupport.h"

using namespace tables;

#define APP_TABLE_FILE W("\\app.bin")
/* A user folder is Location + "\" + GUID, and a blob file in it adds "\" + GUID. */
#define GUID_CHARS 36
#define USER_PATH_RESERVE (1 + GUID_CHARS + 1 + GUID_CHARS)

/* The data folder: common application data + "Tarnwick Systems Corp\Vaultkeep\" (ends in a backslash). */
void CAppTable::ComputeDataFolder(WCHAR folder[MAX_PATH], BOOL create) {
    folder[0] = 0;
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_DEFAULT, folder))) {
        /* Never build on a relative path. */
        folder[0] = 0;
        return;
    }
    PathAppendW(folder, W("Tarnwick Systems Corp"));
    if (create && !PathFileExistsW(folder)) CreateDirectoryW(folder, NULL);
    PathAppendW(folder, W("Vaultkeep\\"));
    size_t n = WLen(folder);
    if (n > 0 && folder[n - 1] != u'\\' && n + 1 < MAX_PATH) {
        folder[n] = u'\\';
        folder[n + 1] = 0;
    }
    if (create && !PathFileExistsW(folder)) CreateDirectoryW(folder, NULL);
}

LONG CAppTable::CheckAppName(LPCWSTR appName) {
    size_t n = WLen(appName);
    if (n == 0) return Error_Bad_App;
    if ((n == 1 && appName[0] == u'.') || (n == 2 && appName[0] == u'.' && appName[1] == u'.')) return Error_Bad_App;
    for (size_t i = 0; i < n; ++i) {
        WCHAR c = appName[i];
        if (c < 0x20 || c == 0x7F) return Error_Bad_App;
        switch (c) {
        case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
            return Error_Bad_App;
        default:
            break;
        }
        /* UTF-16 must be well formed to name a host folder faithfully. */
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= n || appName[i + 1] < 0xDC00 || appName[i + 1] > 0xDFFF) return Error_Bad_App;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return Error_Bad_App;
        }
    }
    /* Windows drops a trailing dot or space from a folder name: two names would share one folder. */
    if (appName[n - 1] == u'.' || appName[n - 1] == u' ') return Error_Bad_App;

    size_t keyLen = WLen(VAULTKEEP_REG_KEY) + 1 + n;
    if (keyLen > MAX_PATH - 1) return Error_Internal;
    WCHAR dataFolder[MAX_PATH];
    ComputeDataFolder(dataFolder, FALSE);
    if (WLen(dataFolder) + n + USER_PATH_RESERVE > MAX_PATH - 1) return Error_Internal;
    return 0;
}

CAppTable::CAppTable(LPCWSTR appName, SAFEARRAY* appSecret)
    : AppSecret(NULL), AppSecretLen(0), SavedSecret(NULL), SavedSecretLen(0), AppName(appName ? appName : W("")),
      Users(), Location(), Type(0), loaded(0) {
    CFuncTrace trace("CAppTable::CAppTable");
    const char* fn = trace.Name();
    memset(&Header, 0, sizeof(Header));
    DataFolder[0] = 0;

    if (CheckAppName(AppName.c_str()) != 0) {
        _PrintError(fn, __LINE__, "invalid application name");
        return;
    }

    /* Only a registration makes folders: a call that reads writes nothing. */
    ComputeDataFolder(DataFolder, FALSE);

    AppSecret = CopyByteArray(appSecret, &AppSecretLen);
    if (!AppSecret) {
        _PrintError(fn, __LINE__, "invalid application secret");
        return;
    }

    if (CUtil::FindAppRegSetting(AppName, Location, Type) != 0) return;
    /* The registry value is a NUL-terminated text; anything after its NUL is not part of it. */
    Location = WString(Location.c_str());
    if (Location.empty()) return;

    WString path = Location + APP_TABLE_FILE;
    /* A body shorter than the header, or longer than any table can be, is refused before anything is read. */
    HeapBytes file;
    ULONGLONG size = 0;
    BOOL opened = FALSE;
    DWORD err = ReadFileWhole(path.c_str(), APP_TABLE_MAX_BODY + HMAC_SIZE, file, &size, &opened);
    if (err == ERROR_NOT_ENOUGH_MEMORY) {
        _PrintError(fn, __LINE__, "bad malloc");
        FreeSecret(AppSecret, AppSecretLen); /* the destructor does not run for an unfinished object */
        throw -3;
    }
    if (!opened) {
        _PrintError(fn, __LINE__, "cannot open the table, error %d", (int)err);
        return;
    }
    if (size > APP_TABLE_MAX_BODY + HMAC_SIZE || (err == ERROR_SUCCESS && size < APP_TABLE_HEADER_SIZE + HMAC_SIZE)) {
        _PrintError(fn, __LINE__, "Invalid data size (%d)", (int)size);
        return;
    }
    if (err != ERROR_SUCCESS) {
        _PrintError(fn, __LINE__, "ReadFile() failed. ErrorCode = %d", (int)err);
        return;
    }
    DWORD fileSize = (DWORD)size;
    DWORD bodyLen = fileSize - HMAC_SIZE;
    BYTE* buffer = file.release();
    const BYTE* stored = buffer + bodyLen;

    const AppTableHeader* fileHeader = (const AppTableHeader*)buffer;
    if (fileHeader->version > MAXIMUM_SUPPORTED_VERSION) {
        free(buffer);
        _PrintError(fn, __LINE__, ">MAXIMUM_SUPPORTED_VERSION");
        return;
    }
    if (fileHeader->usercount > MAXIMUM_NUMBER_OF_USERS) {
        free(buffer);
        _PrintError(fn, __LINE__, "> MAXIMUM_NUMBER_OF_USERS");
        return;
    }

    memcpy(&Header, buffer, APP_TABLE_HEADER_SIZE);

    BYTE mac[HMAC_SIZE];
    if (!TableHmac(AppSecret, AppSecretLen, Header.salt, buffer, bodyLen, mac) || !MacEqual(mac, stored)) {
        Users.clear();
        Header.usercount = 0;
        free(buffer);
        _PrintError(fn, __LINE__, "loaded=false");
        return;
    }

    /* Verified, yet still checked: every record must lie inside the body and hold terminated fields. */
    BOOL layoutOk = Header.recordsize == USER_RECORD_SIZE &&
                    (ULONGLONG)bodyLen == APP_TABLE_HEADER_SIZE + (ULONGLONG)Header.usercount * USER_RECORD_SIZE;
    for (DWORD i = 0; layoutOk && i < Header.usercount; ++i) {
        const UserRecord* r = (const UserRecord*)(buffer + APP_TABLE_HEADER_SIZE + (size_t)i * USER_RECORD_SIZE);
        if (!FieldTerminated(r->username, 257) || !FieldTerminated(r->guid, 74) || !FieldTerminated(r->path, 260))
            layoutOk = FALSE;
    }
    if (!layoutOk) {
        _PrintError(fn, __LINE__, "invalid table layout: recordsize=%u usercount=%u size=%u", Header.recordsize,
                    Header.usercount, fileSize);
        Users.clear();
        Header.usercount = 0;
        free(buffer);
        return;
    }

    Users.clear();
    const BYTE* p = buffer + APP_TABLE_HEADER_SIZE;
    for (DWORD i = 0; i < Header.usercount; ++i) {
        UserRecord* r = (UserRecord*)malloc(USER_RECORD_SIZE);
        if (!r) {
            _Print(fn, "malloc() failed.");
            free(buffer);
            return;
        }
        memcpy(r, p, USER_RECORD_SIZE);
        ZeroFieldTail(r->username, 257);
        ZeroFieldTail(r->guid, 74);
        ZeroFieldTail(r->path, 260);
        Users.push_back(r);
        p += Header.recordsize;
    }
    free(buffer);
    loaded = 1;
}

CAppTable::~CAppTable() {
    CFuncTrace trace("CAppTable::~CAppTable");
    FreeSecret(AppSecret, AppSecretLen);
    FreeSecret(SavedSecret, SavedSecretLen);
    for (UserRecord* r : Users) free(r);
    Users.clear();
}

LONG CAppTable::SaveAppTable() {
    CFuncTrace trace("CAppTable::SaveAppTable");
    const char* fn = trace.Name();
    LONG status = Error_Internal;

    /* The two counts are kept equal; the vector is what is written. */
    Header.usercount = (DWORD)Users.size();
    Header.recordsize = USER_RECORD_SIZE;
    DWORD bodyLen = Header.usercount * Header.recordsize + APP_TABLE_HEADER_SIZE;
    WString path = Location + APP_TABLE_FILE;

    Header.totalsize = bodyLen + HMAC_SIZE;
    Header.version = MAXIMUM_SUPPORTED_VERSION;

    /* The whole image first: nothing is opened that could be left half written. */
    BYTE* image = (BYTE*)malloc(bodyLen);
    if (!image) {
        _PrintError(fn, __LINE__, "malloc() failed.");
        _Print(fn, "Status=%d", (int)status);
        return status;
    }
    memcpy(image, &Header, APP_TABLE_HEADER_SIZE);
    for (DWORD i = 0; i < Header.usercount; ++i)
        memcpy(image + APP_TABLE_HEADER_SIZE + (size_t)i * Header.recordsize, Users[i], Header.recordsize);
    BYTE mac[HMAC_SIZE];
    const BOOL sealed = TableHmac(AppSecret, AppSecretLen, Header.salt, image, bodyLen, mac);
    const WholeFilePart parts[] = {{image, bodyLen}, {mac, HMAC_SIZE}};
    BOOL opened = FALSE;
    const DWORD err = sealed ? WriteFileWhole(path.c_str(), CREATE_ALWAYS, parts, 2, FILE_ATTRIBUTE_NORMAL, &opened)
                             : ERROR_INVALID_DATA;
    if (err == ERROR_SUCCESS) {
        status = 0;
    } else if (!opened) {
        _Print(fn, "failed to open file %d", (int)err);
        status = Error_Insufficient_Privileges;
    } else {
        _PrintError(fn, __LINE__, "WriteFile() failed. ErrorCode = %d", (int)err);
        status = Error_Internal;
    }
    free(image);

    _Print(fn, "Status=%d", (int)status);
    return status;
}

LONG CAppTable::CreateAppRegSetting() {
    CFuncTrace trace("CAppTable::CreateAppRegSetting");
    const char* fn = trace.Name();
    LONG status = 0;
    HKEY hKey = NULL;
    WCHAR keyPath[MAX_PATH];

    if (FAILED(StringCchPrintfW(keyPath, MAX_PATH, W("%s\\%s"), VAULTKEEP_REG_KEY, AppName.c_str()))) {
        _PrintError(fn, __LINE__, "StringCchPrintf() failed.");
        status = Error_Internal;
    } else {
        DWORD disposition = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                            &hKey, &disposition) != ERROR_SUCCESS) {
            hKey = NULL;
            _PrintError(fn, __LINE__, "Failed to open/create registry key -- %S", keyPath);
            status = Error_Insufficient_Privileges;
        } else {
            if (disposition == REG_CREATED_NEW_KEY) _Print(fn, "Created a new registry key -- %S", keyPath);
            Location = WString(DataFolder) + AppName;
            DWORD type = 1;
            if (RegSetValueExW(hKey, W("Location"), 0, REG_SZ, (const BYTE*)Location.c_str(),
                               (DWORD)(Location.size() * sizeof(WCHAR) + sizeof(WCHAR))) != ERROR_SUCCESS) {
                _PrintError(fn, __LINE__, "Error_Insufficient_Privileges");
                status = Error_Insufficient_Privileges;
            } else if (RegSetValueExW(hKey, W("Type"), 0, REG_DWORD, (const BYTE*)&type, sizeof(type)) !=
                       ERROR_SUCCESS) {
                _PrintError(fn, __LINE__, "Error_Insufficient_Privileges");
                status = Error_Insufficient_Privileges;
            }
        }
    }

    if (hKey) RegCloseKey(hKey);
    _Print(fn, "returnvalue=%d", (int)status);
    return status;
}
