/* CAppTable operations: registering and removing the application, and its user list. */
#include "AppTable.h"
#include <shlwapi.h>
#include <cstdlib>
#include <cstring>
#include "../util/Trace.h"
#include "../platform/DiagLog.h"
#include "../platform/KeyProvider.h"
#include "../usertable/UserTable.h"
#include "../util/Util.h"
#include "Reclaim.h"
#include "../util/TableSupport.h"

using namespace tables;

#define USER_NAME_MAX_CHARS 256

namespace {
/* Frees a record that has not (yet) been handed to the table, also when an exception passes. */
struct PendingRecord {
    UserRecord* r;
    explicit PendingRecord(UserRecord* rec) : r(rec) {}
    ~PendingRecord() { free(r); }
    UserRecord* release() {
        UserRecord* out = r;
        r = NULL;
        return out;
    }
};
} // namespace

LONG CAppTable::AddApp() {
    CFuncTrace trace("CAppTable::AddApp");
    const char* fn = trace.Name();

    /* Refused before the registry or the file system is touched. */
    LONG status = CheckAppName(AppName.c_str());
    if (status != 0) {
        _PrintError(fn, __LINE__, "invalid application name");
        return status;
    }
    if (!AppSecret) {
        _PrintError(fn, __LINE__, "invalid application secret");
        return Error_Internal;
    }

    ComputeDataFolder(DataFolder, TRUE);
    status = CreateAppRegSetting();
    /* The settings are on disk before the folder is made: a folder never names an
     * application the registry does not. */
    if (status == 0 && RegFlushKey(HKEY_LOCAL_MACHINE) != ERROR_SUCCESS) status = Error_Insufficient_Privileges;
    if (status != 0) {
        _PrintError(fn, __LINE__, "cannot create app reg setting");
        return status;
    }

    reclaim::EmptyTrash(DataFolder, NULL);
    /* A folder without its table is a registration that did not finish: it holds the
     * name of nothing, and goes to the trash. */
    if (PathFileExistsW(Location.c_str()) &&
        (!reclaim::IsUnfinishedRegistration(Location) || !reclaim::SetAside(DataFolder, Location, NULL))) {
        _Print(fn, "Error_App_Already_Exists");
        return Error_App_Already_Exists;
    }
    CreateDirectoryW(Location.c_str(), NULL);

    Header.recordsize = USER_RECORD_SIZE;
    Header.usercount = 0;
    CCryptRandom random(1);
    random.GenerateRandom(Header.salt);

    for (UserRecord* r : Users) free(r);
    Users.clear();
    status = SaveAppTable();
    _Print(fn, "Status=%d", (int)status);
    if (status == 0) {
        /* The table in its folder, then the folder in the data folder. */
        CUtil::FlushFolder(Location);
        CUtil::FlushFolder(WString(DataFolder));
    } else {
        /* A registration that failed leaves the name free: whatever it made goes. */
        WString aside;
        if (reclaim::SetAside(DataFolder, Location, &aside)) CUtil::DeleteDirectory(aside);
    }
    return status;
}

/* The folder CreateAppRegSetting names for this application. */
static WString ExpectedLocation(const WCHAR* dataFolder, const WString& appName) {
    return WString(dataFolder) + appName;
}

LONG CAppTable::DeleteApp() {
    CFuncTrace trace("CAppTable::DeleteApp");
    const char* fn = trace.Name();

    CUtil::FindAppRegSetting(AppName, Location, Type);
    Location = WString(Location.c_str());

    if (!loaded) {
        _Print(fn, "loaded==FALSE");
        return Error_Bad_App;
    }
    reclaim::EmptyTrash(DataFolder, NULL);

    /* The users' key names come from their verified tables, read before anything changes. */
    std::vector<WString> keys;
    for (DWORD i = 0; i < Header.usercount && i < Users.size(); ++i) {
        const UserRecord* r = Users[i];
        CUserTable user(Type, AppName.c_str(), AppSecret, (LONG)AppSecretLen, r->username, r->guid, r->path);
        if (user.UserExists && user.Header.uuid[0] != 0) {
            keys.push_back(FieldString(user.Header.uuid, 38));
        } else if (!user.UserExists) {
            _Print(fn, "user table not verified, key container kept: %S", r->guid);
        }
    }

    HKEY hParent = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, VAULTKEEP_REG_KEY, 0, KEY_ALL_ACCESS, &hParent) != ERROR_SUCCESS) {
        _PrintError(fn, __LINE__, "Error_Insufficient_Privileges");
        return Error_Insufficient_Privileges;
    }

    /* The application's folder leaves its name in one rename, which is the moment the
     * application is gone: a crash before it leaves everything, after it nothing that a
     * call can reach. Its contents are deleted from the trash afterwards. */
    WString trash = reclaim::TrashFolder(DataFolder);
    if (Location == ExpectedLocation(DataFolder, AppName) && !trash.empty()) {
        WString aside;
        if (!reclaim::SetAside(DataFolder, Location, &aside)) {
            DWORD error = GetLastError();
            RegCloseKey(hParent);
            _PrintError(fn, __LINE__, "cannot move the application folder aside, error %d", (int)error);
            return Error_Insufficient_Privileges;
        }
        /* Durable before the registry forgets the application, or a crash could leave the
         * folder holding the name with nothing left to unregister it. */
        CUtil::FlushFolder(WString(DataFolder));
        if (RegDeleteKeyW(hParent, AppName.c_str()) != ERROR_SUCCESS || RegFlushKey(hParent) != ERROR_SUCCESS) {
            MoveFileExW(aside.c_str(), Location.c_str(), 0);
            CUtil::FlushFolder(WString(DataFolder));
            RegCloseKey(hParent);
            _PrintError(fn, __LINE__, "Error_Insufficient_Privileges");
            return Error_Insufficient_Privileges;
        }
        RegCloseKey(hParent);
        for (UserRecord* r : Users) free(r);
        Users.clear();
        Header.usercount = 0;
        /* What a crash leaves of these is the trash's, emptied by a later call. */
        for (const WString& key : keys) reclaim::DeleteKey(key.c_str());
        CUtil::DeleteDirectory(aside);
        return 0;
    }

    /* A folder the registry names elsewhere is not ours to remove whole: only the user
     * folders this system made in it (the folder, "\", the GUID) and its table go. */
    _PrintError(fn, __LINE__, "application folder is not where it is made, removed piece by piece: %S",
                Location.c_str());
    for (DWORD i = 0; i < Header.usercount && i < Users.size(); ++i) {
        const UserRecord* r = Users[i];
        WString expected = Location + W("\\") + r->guid;
        if (IsGuidString(r->guid, 74) && FieldEquals(r->path, 260, expected.c_str())) {
            CUtil::DeleteDirectory(WString(r->path));
        } else {
            _PrintError(fn, __LINE__, "user folder not below the application folder, kept: %S", r->path);
        }
    }
    for (const WString& key : keys) reclaim::DeleteKey(key.c_str());
    for (UserRecord* r : Users) free(r);
    Users.clear();
    Header.usercount = 0;
    if (!Location.empty()) {
        WString table = Location + W("\\app.bin");
        DeleteFileW(table.c_str());
        RemoveDirectoryW(Location.c_str());
    }
    if (RegDeleteKeyW(hParent, AppName.c_str()) != ERROR_SUCCESS || RegFlushKey(hParent) != ERROR_SUCCESS) {
        RegCloseKey(hParent);
        _PrintError(fn, __LINE__, "Error_Insufficient_Privileges");
        return Error_Insufficient_Privileges;
    }
    RegCloseKey(hParent);
    return 0;
}

LONG CAppTable::AddUser(LPCWSTR userName, LPCWSTR password, UserRecord** ppRecord, BOOL save) {
    CFuncTrace trace("CAppTable::AddUser");
    const char* fn = trace.Name();

    /* Refusals come before anything is made or written. */
    if (!userName || WLen(userName) > USER_NAME_MAX_CHARS) {
        _PrintError(fn, __LINE__, "user name longer than %d characters", USER_NAME_MAX_CHARS);
        return Error_No_User;
    }
    if (!IsListableName(userName)) {
        _PrintError(fn, __LINE__, "invalid user name: empty, or holding \",\" or a control character");
        return Error_No_User;
    }
    if (Header.usercount >= MAXIMUM_NUMBER_OF_USERS || Users.size() >= MAXIMUM_NUMBER_OF_USERS) {
        _PrintError(fn, __LINE__, "> MAXIMUM_NUMBER_OF_USERS");
        return Error_Internal;
    }
    if (Location.empty()) {
        _PrintError(fn, __LINE__, "Error_Bad_App");
        return Error_Bad_App;
    }

    PendingRecord pending((UserRecord*)calloc(1, USER_RECORD_SIZE));
    if (!pending.r) {
        _Print(fn, "malloc() failed.");
        return Error_Internal;
    }
    UserRecord* r = pending.r;
    CopyField(r->username, 257, userName);

    WString guid = CUtil::GenerateGUID();
    _Print(fn, "CAppTable::GenerateGUID guid=%S", guid.c_str());
    WString path = Location + W("\\") + guid;
    /* The folder and every blob file in it (named by a GUID as long) must fit MAX_PATH. */
    if (guid.empty() || guid.size() > 73 || path.size() + 1 + guid.size() > MAX_PATH - 1) {
        _PrintError(fn, __LINE__, "user folder path too long");
        return Error_Internal;
    }
    CopyField(r->path, 260, path.c_str());
    CopyField(r->guid, 74, guid.c_str());
    _Print(fn, "CAppTable::ddUser u->guid=%S", r->guid);

    LONG status;
    {
        CUserTable user(Type, AppName.c_str(), AppSecret, (LONG)AppSecretLen, userName, r->guid, r->path);
        status = user.AddUser(password, userName);
        if (status != 0) {
            _Print(fn, "error adding user %x", (unsigned)status);
            return status;
        }
        Users.push_back(pending.release());
        Header.usercount++;
        if (ppRecord) *ppRecord = r;
        if (!save) return 0; /* the caller saves it with FinishAddedUser, or drops it */
        status = SaveAppTable();
        _Print(fn, "Status=%d", (int)status);
        if (status != 0) {
            /* app.bin on disk does not name the user: nothing of the user may stay either. */
            user.DeleteUser();
            Users.pop_back();
            Header.usercount--;
            free(r);
            if (ppRecord) *ppRecord = NULL;
        } else {
            CUtil::FlushFolder(Location);
        }
    }
    return status;
}

LONG CAppTable::FinishAddedUser(LPCWSTR userName, BOOL keep) {
    CFuncTrace trace("CAppTable::FinishAddedUser");
    if (Users.empty() || Header.usercount != Users.size() || !FieldEquals(Users.back()->username, 257, userName))
        return Error_Internal;
    UserRecord* r = Users.back();
    LONG status = 0;
    if (keep) {
        status = SaveAppTable();
        if (status == 0) {
            CUtil::FlushFolder(Location);
            return 0;
        }
    }
    /* app.bin never named the user: its folder and key go, and the record. */
    Users.pop_back();
    Header.usercount--;
    {
        CUserTable user(Type, AppName.c_str(), AppSecret, (LONG)AppSecretLen, userName, r->guid, r->path);
        user.DeleteUser();
    }
    free(r);
    _Print(trace.Name(), "status=%d", (int)status);
    return status;
}

LONG CAppTable::FindUserInAppTable(LPCWSTR userName, UserRecord** ppRecord) {
    CFuncTrace trace("CAppTable::FindUserInAppTable");
    const char* fn = trace.Name();
    for (DWORD i = 0; i < Header.usercount && i < Users.size(); ++i) {
        if (FieldEquals(Users[i]->username, 257, userName)) {
            if (ppRecord) *ppRecord = Users[i];
            _Print(fn, "got user");
            return 0;
        }
    }
    _Print(fn, "Error_No_User");
    return Error_No_User;
}

WString CAppTable::ListOfUsers() {
    CFuncTrace trace("CAppTable::ListOfUsers");
    WString list;
    DWORD count = Header.usercount < Users.size() ? Header.usercount : (DWORD)Users.size();
    for (DWORD i = 0; i < count; ++i) {
        list += FieldString(Users[i]->username, 257);
        if (i + 1 < count) list += W(",");
    }
    return list;
}

LONG CAppTable::DeleteUserInAppTable(LPCWSTR userName) {
    CFuncTrace trace("CAppTable::DeleteUserInAppTable");
    const char* fn = trace.Name();
    if (Header.usercount == 0) {
        _Print(fn, "Error_No_User");
        return Error_No_User;
    }
    for (size_t i = 0; i < Header.usercount && i < Users.size(); ++i) {
        if (FieldEquals(Users[i]->username, 257, userName)) {
            UserRecord* r = Users[i];
            Users.erase(Users.begin() + (ptrdiff_t)i);
            Header.usercount--;
            LONG status = SaveAppTable();
            _Print(fn, "exit-found user status=%d", (int)status);
            if (status != 0) {
                /* The file still names the user; so does the table, and the user's files stay. */
                Users.insert(Users.begin() + (ptrdiff_t)i, r);
                Header.usercount++;
                return status;
            }
            free(r);
            CUtil::FlushFolder(Location);
            return status;
        }
    }
    _Print(fn, "Error_No_User");
    return Error_No_User;
}

void RefFromRecord(const UserRecord* record, UserRef& ref) {
    ref.guid = FieldString(record->guid, 74);
    ref.path = FieldString(record->path, 260);
}

BOOL RecordFolderSound(const CAppTable& table, const UserRecord* record) {
    if (!IsGuidString(record->guid, 74) || table.Location.empty()) return FALSE;
    WString expected = table.Location + W("\\") + FieldString(record->guid, 74);
    return FieldEquals(record->path, 260, expected.c_str());
}
