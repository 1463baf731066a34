/* Helpers shared by the export bodies. */
#include "ExportUtil.h"
#include <comdef.h>
#include <cstdlib>
#include <cstring>
#include "../platform/DiagLog.h"
#include "../util/TableSupport.h"
#include "../util/Util.h"

WString FieldText(const WCHAR* field, size_t capacity) {
    size_t n = 0;
    while (n < capacity && field[n] != W('\0')) ++n;
    return WString(field, n);
}

/* 0 with the record, Error_No_User without one; *unsound tells a record whose folder is not its own. */
static LONG LookUp(CAppTable& table, const WString& userName, UserRef& ref, BOOL* unsound) {
    *unsound = FALSE;
    UserRecord* record = NULL;
    if (table.FindUserInAppTable(userName.c_str(), &record) != 0 || record == NULL) return Error_No_User;
    if (!RecordFolderSound(table, record)) {
        /* Nothing is read, written or deleted in a folder the record names elsewhere. */
        _PrintError("FindUser", __LINE__, "user folder not below the application folder: %S",
                    FieldText(record->path, 260).c_str());
        *unsound = TRUE;
        return Error_No_User;
    }
    RefFromRecord(record, ref);
    return 0;
}

LONG FindUser(CAppTable& table, const WString& userName, UserRef& ref) {
    BOOL unsound;
    return LookUp(table, userName, ref, &unsound);
}

CUserTables::CUserTables(const WString& appName, SAFEARRAY* appSecret)
    : App(appName.c_str(), appSecret), m_appName(appName), m_appSecret(appSecret) {}

LONG CUserTables::Open(const WString& userName, const char* name, const OpenLines& lines) {
    auto line = [name](const char* text) {
        if (name && text) _Print(name, "%s", text);
    };
    if (!App.loaded) {
        line(lines.notLoaded);
        return Error_Bad_App;
    }
    line(lines.loaded);
    if (FindUser(App, userName, Ref) != 0) {
        line(lines.noUser);
        return Error_No_User;
    }
    line(lines.found);
    LONG status = OpenUser(userName);
    if (status != 0) line(lines.noTable);
    return status;
}

LONG CUserTables::OpenUser(const WString& userName) {
    User.emplace(App.Type, m_appName.c_str(), m_appSecret, userName.c_str(), Ref.guid.c_str(), Ref.path.c_str());
    return User->UserExists ? 0 : Error_No_User;
}

LONG FindOrAddUser(const char* name, CAppTable& table, const WString& userName, const WCHAR* password,
                   UserRef& ref, BOOL* added, BOOL save) {
    if (added) *added = FALSE;
    if (!table.loaded) {
        _PrintError(name, __LINE__, "loaded==FALSE");
        return Error_Bad_App;
    }
    BOOL unsound = FALSE;
    if (LookUp(table, userName, ref, &unsound) == 0) return 0;
    if (unsound) return Error_No_User; /* the name is taken, by a record that is not usable */
    _Print(name, "FindUserInAppTable not found- add them");
    UserRecord* record = NULL;
    LONG status = table.AddUser(userName.c_str(), password, &record, save);
    if (status != 0) {
        _PrintError(name, __LINE__, "add user failed - %d", (int)status);
        return status;
    }
    if (record == NULL) return Error_Internal;
    RefFromRecord(record, ref);
    if (added) *added = TRUE;
    return 0;
}

void PutByteArray(const BYTE* data, DWORD len, SAFEARRAY** ppOut) {
    SAFEARRAYBOUND bound;
    bound.cElements = len;
    bound.lLbound = 0;
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);
    if (psa == NULL) _com_issue_error(E_OUTOFMEMORY);
    void* target = NULL;
    HRESULT hr = SafeArrayAccessData(psa, &target);
    if (FAILED(hr)) {
        SafeArrayDestroy(psa);
        _com_issue_error(hr);
    }
    if (len != 0) memcpy(target, data, len);
    SafeArrayUnaccessData(psa);
    *ppOut = psa;
}

CMallocBuffer::~CMallocBuffer() {
    tables::FreeSecret(p, len);
}

CTableKey::CTableKey(const BYTE* secret, DWORD secretLen, const BYTE* salt) {
    memset(key, 0, sizeof(key));
    LONG keyLen = sizeof(key);
    status = CUtil::GenAESKey(secret, (LONG)secretLen, key, &keyLen, salt);
}

CTableKey::~CTableKey() { SecureZeroMemory(key, sizeof(key)); }
