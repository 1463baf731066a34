/*
 * ChangeAppSecret's work: every user's store re-keyed into a new folder beside its
 * own, then one app.bin under the new secret, naming the new folders, put in place
 * of the old one by rename. That rename is the only step that changes what the
 * application is: before it the old table, folders and secret are whole and
 * untouched; after it the new ones. Either side's leftovers are user folders no
 * record names, which a check reports and a repair removes (their keys stay: the
 * live users name them).
 */
#include "AppTable.h"
#include <cstring>
#include <vector>
#include "../platform/DiagLog.h"
#include "../usertable/UserTable.h"
#include "../util/TableSupport.h"
#include "../util/Trace.h"
#include "../util/Util.h"

using namespace tables;

namespace {

/* The new folders: removed when the call leaves without publishing them. */
struct NewFolders {
    std::vector<WString> paths;
    bool published = false;
    ~NewFolders() {
        if (published) return;
        try {
            for (const WString& p : paths) CUtil::DeleteDirectory(p);
        } catch (...) {
        }
    }
};

} // namespace

LONG RotateAppSecret(const char* name, CAppTable& table, SAFEARRAY* newSecret) {
    DWORD freshLen = 0;
    BYTE* fresh = CopyByteArray(newSecret, &freshLen);
    if (!fresh) {
        _PrintError(name, __LINE__, "invalid new secret");
        return Error_Internal;
    }
    struct Owned {
        BYTE*& p;
        DWORD& len;
        ~Owned() { FreeSecret(p, len); }
    } owned{fresh, freshLen};

    const DWORD count = (DWORD)table.Users.size();
    std::vector<UserRecord> records(count);
    NewFolders folders;
    for (DWORD i = 0; i < count; ++i) {
        const UserRecord* record = table.Users[i];
        const WString user = FieldString(record->username, 257);
        if (!RecordFolderSound(table, record)) {
            _PrintError(name, __LINE__, "the folder of user %S is not its own: nothing rotated", user.c_str());
            return Error_Internal;
        }
        UserRef ref;
        RefFromRecord(record, ref);
        const WString guid = CUtil::GenerateGUID();
        const WString folder = table.Location + W("\\") + guid;
        if (!CreateDirectoryW(folder.c_str(), NULL)) {
            _PrintError(name, __LINE__, "cannot make a folder for user %S, error %d", user.c_str(),
                        (int)GetLastError());
            return Error_Insufficient_Privileges;
        }
        folders.paths.push_back(folder);
        CUserTable rekeyed(table.Type, table.AppName.c_str(), fresh, (LONG)freshLen, user.c_str(), guid.c_str(),
                           folder.c_str());
        rekeyed.UserName = user;
        if (rekeyed.ReKeyFrom(ref.path, table.AppSecret, table.AppSecretLen) != 0) {
            _PrintError(name, __LINE__, "the store of user %S could not be re-keyed: nothing rotated", user.c_str());
            return Error_Internal;
        }
        /* Its table and blobs reach the disk before any table names the folder. */
        CUtil::FlushFolder(folder);
        memcpy(&records[i], record, sizeof(UserRecord));
        CopyField(records[i].guid, 74, guid.c_str());
        CopyField(records[i].path, 260, folder.c_str());
    }
    CUtil::FlushFolder(table.Location);
    _Print(name, "users re-keyed");

    /* The commit point. */
    std::vector<UserRecord> old(count);
    for (DWORD i = 0; i < count; ++i) {
        memcpy(&old[i], table.Users[i], sizeof(UserRecord));
        memcpy(table.Users[i], &records[i], sizeof(UserRecord));
    }
    std::swap(table.AppSecret, fresh);
    std::swap(table.AppSecretLen, freshLen);
    LONG status = table.SaveAppTable();
    if (status != 0) {
        /* The rename did not happen: the old table stands, and so does this object. */
        std::swap(table.AppSecret, fresh);
        std::swap(table.AppSecretLen, freshLen);
        for (DWORD i = 0; i < count; ++i) memcpy(table.Users[i], &old[i], sizeof(UserRecord));
        return status;
    }
    folders.published = true;
    /* The new table is on disk before the old stores go; what a crash brings back of them is debris. */
    CUtil::FlushFolder(table.Location);
    for (DWORD i = 0; i < count; ++i) CUtil::DeleteDirectory(FieldString(old[i].path, 260));
    return 0;
}
