/* VaultkeepCheck: what an application's store holds that its tables do not account for. */
#include <algorithm>
#include <cstring>
#include <vector>
#include "ExportUtil.h"
#include "Frame.h"
#include "../apptable/Reclaim.h"
#include "../util/TableSupport.h"
#include "../util/Util.h"

using namespace tables;

namespace {

/* One finding; state is "found" in a check, "removed" or "left" in a repair. */
struct Finding {
    const WCHAR* kind;
    WString user;
    WString name;
    const WCHAR* state;
};

class CChecker {
public:
    CChecker(CAppTable& table, BOOL repair) : m_table(table), m_repair(repair) {}

    void CheckApplication();
    WString Report() const;

private:
    void Add(const WCHAR* kind, const WString& user, const WString& name, BOOL removable, BOOL removed) {
        m_findings.push_back({kind, user, name, !m_repair ? W("found") : (removable && removed) ? W("removed") : W("left")});
    }
    void CheckUser(const UserRecord* record);
    void CheckKeys();
    /* Removes an entry of a folder: a file (or a link, never what it points at) or a folder. */
    static BOOL RemoveEntry(const WString& folder, const WIN32_FIND_DATAW& entry);
    static BOOL IsPlatformTemporary(LPCWSTR name) { return name[0] == W('.') && name[1] == W('~'); }

    CAppTable& m_table;
    BOOL m_repair;
    std::vector<Finding> m_findings;
};

BOOL CChecker::RemoveEntry(const WString& folder, const WIN32_FIND_DATAW& entry) {
    WString path = folder + W("\\") + entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return CUtil::DeleteDirectory(path);
    return DeleteFileW(path.c_str());
}

void CChecker::CheckUser(const UserRecord* record) {
    const WString user = FieldString(record->username, 257);
    if (!RecordFolderSound(m_table, record)) {
        /* Nothing is looked at, let alone removed, where such a record points. */
        Add(W("unsound-record"), user, FieldString(record->path, 260), FALSE, FALSE);
        return;
    }
    UserRef ref;
    RefFromRecord(record, ref);
    CUserTable userTable(m_table.Type, m_table.AppName.c_str(), m_table.AppSecret, (LONG)m_table.AppSecretLen,
                         user.c_str(), ref.guid.c_str(), ref.path.c_str());
    if (!userTable.UserExists) {
        Add(W("bad-table"), user, ref.guid, FALSE, FALSE);
        return;
    }

    std::vector<WString> named;
    std::vector<CredentialRecord*> missing;
    for (CredentialRecord* r : userTable.Creds) {
        const WString id = FieldString(r->id, CRED_ID_CHARS);
        const WString blob = FieldString(r->blobname, 260);
        named.push_back(blob);
        DWORD len = 0;
        BYTE* data = NULL;
        LONG status = IsGuidString(r->blobname, 260) ? userTable.ReadBlob((ref.path + W("\\") + blob).c_str(), &len, &data)
                                                     : Error_No_User;
        FreeSecret(data, len);
        if (status == Error_Invalid_Cred && GetFileAttributesW((ref.path + W("\\") + blob).c_str()) == INVALID_FILE_ATTRIBUTES) {
            missing.push_back(r);
        } else if (status != 0) {
            /* Kept as it is: a blob that does not verify may be evidence of tampering. */
            Add(W("bad-blob"), user, id, FALSE, FALSE);
        }
    }
    userTable.UserExists = 1; /* a blob that failed to verify says nothing about the table */

    if (!missing.empty()) {
        /* A record whose blob is gone can never be read again; a repair drops it in one save. */
        std::vector<WString> ids;
        for (CredentialRecord* r : missing) ids.push_back(FieldString(r->id, CRED_ID_CHARS));
        const BOOL removed = m_repair && userTable.DropRecords(missing) == 0;
        for (const WString& id : ids) Add(W("missing-blob"), user, id, TRUE, removed);
    }

    std::vector<WIN32_FIND_DATAW> entries;
    if (!reclaim::ListFolder(ref.path, entries)) return;
    BOOL changed = FALSE;
    for (const WIN32_FIND_DATAW& e : entries) {
        const WString name = e.cFileName;
        if (name == W("user.bin") || std::find(named.begin(), named.end(), name) != named.end()) continue;
        /* The store makes only files here: a folder of one of these names is not its debris. */
        const BOOL isFolder =
            (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        const WCHAR* kind = isFolder                                                  ? NULL
                            : name == W("user.backup") || name == W("key.backup") ? W("stale-backup")
                            : IsPlatformTemporary(e.cFileName)                    ? W("temporary")
                            : IsGuidString(e.cFileName, MAX_PATH)                 ? W("orphan-blob")
                                                                                  : NULL;
        if (kind == NULL) {
            Add(W("unknown"), user, name, FALSE, FALSE);
            continue;
        }
        BOOL removed = m_repair && RemoveEntry(ref.path, e);
        changed = changed || removed;
        Add(kind, user, name, TRUE, removed);
    }
    if (changed) CUtil::FlushFolder(ref.path);
}

void CChecker::CheckApplication() {
    std::vector<WString> folders;
    for (size_t i = 0; i < m_table.Header.usercount && i < m_table.Users.size(); ++i) {
        const UserRecord* record = m_table.Users[i];
        folders.push_back(FieldString(record->guid, 74));
        CheckUser(record);
    }

    std::vector<WIN32_FIND_DATAW> entries;
    BOOL changed = FALSE;
    if (reclaim::ListFolder(m_table.Location, entries)) {
        std::vector<WString> keys;
        BOOL keysRead = FALSE, keysComplete = FALSE;
        for (const WIN32_FIND_DATAW& e : entries) {
            const WString name = e.cFileName;
            if (name == W("app.bin") || std::find(folders.begin(), folders.end(), name) != folders.end()) continue;
            const BOOL isFolder =
                (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
            if (isFolder && IsGuidString(e.cFileName, MAX_PATH)) {
                /* A user folder no record names: an AddUser, DeleteUser or RestoreUser
                 * that did not finish. Its key goes with it unless a live user names it. */
                BOOL removed = FALSE;
                if (m_repair) {
                    const WString folder = m_table.Location + W("\\") + name;
                    const WString key = reclaim::UnverifiedKeyName(folder);
                    if (!keysRead) {
                        keysComplete = reclaim::KeysInUse(WString(), keys);
                        keysRead = TRUE;
                    }
                    /* A walk that missed an application may have missed the key's user. */
                    BOOL used = !keysComplete || std::find(keys.begin(), keys.end(), key) != keys.end();
                    if (!key.empty() && !used) reclaim::DeleteKey(key.c_str());
                    removed = CUtil::DeleteDirectory(folder);
                }
                changed = changed || removed;
                Add(W("orphan-folder"), WString(), name, TRUE, removed);
            } else if (!isFolder && IsPlatformTemporary(e.cFileName)) {
                BOOL removed = m_repair && RemoveEntry(m_table.Location, e);
                changed = changed || removed;
                Add(W("temporary"), WString(), name, TRUE, removed);
            } else {
                Add(W("unknown"), WString(), name, FALSE, FALSE);
            }
        }
    }
    if (changed) CUtil::FlushFolder(m_table.Location);

    /* Removed applications wait in the trash until a later call finishes them off. */
    std::vector<reclaim::TrashEntry> trash;
    reclaim::EmptyTrash(m_table.DataFolder, &trash, m_repair);
    for (const reclaim::TrashEntry& e : trash) Add(W("trash"), WString(), e.name, TRUE, e.removed);

    CheckKeys();
}

void CChecker::CheckKeys() {
    /* Keys that no user of any application names: what a call that failed part-way
     * through making or removing a user left. Removed only when every application
     * was read: one that could not be may name any of them. */
    std::vector<WString> containers, keys;
    if (!reclaim::ListKeys(containers)) {
        _Print("VaultkeepCheck", "the key provider could not list its keys: keys that no user names are not looked for");
        return;
    }
    const BOOL complete = reclaim::KeysInUse(WString(), keys);
    for (const WString& name : containers) {
        if (!IsGuidString(name.c_str(), MAX_PATH) || std::find(keys.begin(), keys.end(), name) != keys.end()) continue;
        const BOOL removed = m_repair && complete && reclaim::DeleteKey(name.c_str());
        Add(W("orphan-key"), WString(), name, complete, removed);
    }
    if (!complete) _Print("VaultkeepCheck", "not every application could be read: keys no user names are left");
}

WString CChecker::Report() const {
    WString report;
    for (const Finding& f : m_findings) {
        report += f.kind;
        report += W("\t") + f.user + W("\t") + f.name + W("\t") + f.state + W("\n");
    }
    return report;
}

} // namespace

extern "C" LONG VaultkeepCheck(const WCHAR* appName, SAFEARRAY* appSecret, ULONG flags, BSTR* pReport) {
    CExportFrame frame("VaultkeepCheck", FRAME_LOG_EXCEPTION);
    WString app;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CheckOut("pReport", pReport);
    if ((flags & ~(ULONG)VAULTKEEP_CHECK_REPAIR) != 0) frame.Reject(__LINE__, Error_Internal, "unknown flags");
    return frame.Run([&]() -> LONG {
        CAppTable table(app.c_str(), appSecret);
        if (!table.loaded) return Error_Bad_App;
        CChecker checker(table, (flags & VAULTKEEP_CHECK_REPAIR) != 0);
        checker.CheckApplication();
        BSTR result = SysAllocString(checker.Report().c_str());
        if (result == NULL) return Error_Internal;
        *pReport = result;
        return 0;
    });
}
