/* RestoreUser: a user's store and key back from an archive, re-keyed to the current secret,
 * and the user's record put back in the application table. */
#include "AppTable.h"
#include <cstdlib>
#include <cstring>
#include "Reclaim.h"
#include "../platform/DiagLog.h"
#include "../platform/KeyProvider.h"
#include "../usertable/UserTable.h"
#include "../util/TableSupport.h"
#include "../util/Trace.h"
#include "../util/Util.h"

using namespace tables;

namespace {

/* A user folder path leaves room for a blob file name (a GUID) below it within MAX_PATH. */
const size_t kGuidChars = 36;

/* The restored blobs not yet handed to ReWrap. */
struct BlobList {
    std::vector<RestoredBlob*> blobs;
    ~BlobList() { FreeRestoredBlobs(blobs); }
};

/* The temporary folder of a restore: removed when the call leaves without committing it. */
struct TempFolder {
    WString path;
    bool committed = false;
    ~TempFolder() {
        if (committed || path.empty()) return;
        try {
            CUtil::DeleteDirectory(path);
        } catch (...) {
        }
    }
};

/* TRUE unless the provider says it has no container of that name (a damaged one counts as there). */
BOOL KeyExists(LPCWSTR name) {
    HCRYPTPROV hProv = 0;
    if (CryptAcquireContextW(&hProv, name, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET)) {
        CryptReleaseContext(hProv, 0);
        return TRUE;
    }
    DWORD error = GetLastError();
    return error != (DWORD)NTE_BAD_KEYSET && error != (DWORD)NTE_KEYSET_NOT_DEF;
}

/* TRUE when the provider opens the container and it holds an exchange key pair. */
BOOL HoldsKeyPair(LPCWSTR name) {
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, name, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET)) return FALSE;
    HCRYPTKEY hKey = 0;
    const BOOL held = CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey);
    if (held) CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return held;
}

/* The blob file names a verified table holds. */
std::vector<WString> BlobNames(const CUserTable& t) {
    std::vector<WString> names;
    for (const CredentialRecord* r : t.Creds) names.push_back(FieldString(r->blobname, 260));
    return names;
}

BOOL Named(const std::vector<WString>& names, const WCHAR* name) {
    for (const WString& n : names)
        if (n == name) return TRUE;
    return FALSE;
}

/* Deletes the files of a folder that are not in keep: what nothing names. */
void DeleteUnnamedFiles(const WString& folder, const std::vector<WString>& keep) {
    std::vector<WIN32_FIND_DATAW> entries;
    if (!reclaim::ListFolder(folder, entries)) {
        /* Left for VaultkeepCheck: unnamed files are debris, never read. */
        _PrintError("DeleteUnnamedFiles", __LINE__, "cannot list %S (error %d)", folder.c_str(), (int)GetLastError());
        return;
    }
    for (const WIN32_FIND_DATAW& e : entries) {
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (!Named(keep, e.cFileName)) DeleteFileW((folder + W("\\") + e.cFileName).c_str());
    }
}

/* Replaces the contents of a user's folder with the restored store, file by file:
 * the blobs first (a name both hold is the same credential, re-keyed), user.bin
 * last, so the folder's table names a complete store at every moment. */
LONG MoveStoreInto(const char* name, const WString& from, const WString& to, const std::vector<WString>& blobs) {
    std::vector<WString> files(blobs);
    files.push_back(W("user.bin"));
    for (const WString& f : files) {
        if (!MoveFileExW((from + W("\\") + f).c_str(), (to + W("\\") + f).c_str(), MOVEFILE_REPLACE_EXISTING)) {
            _PrintError(name, __LINE__, "cannot move the restored %S in place, error %d", f.c_str(),
                        (int)GetLastError());
            return Error_Internal;
        }
    }
    return 0;
}

} // namespace

LONG RestoreUserFromArchive(const char* name, CAppTable& table, const WString& app, SAFEARRAY* appSecret,
                            const WString& user, const WString& archive, LPCWSTR backupPassword, ULONG overwrite) {
    /* The user as it stands: present and sound, present with a table that does not
     * verify (its record is reused), or absent. ownKey is the key that is the user's own. */
    BOOL exists = FALSE;
    BOOL recorded = FALSE;
    WString oldFolder, ownKey;
    UserRecord* record = NULL;
    if (table.FindUserInAppTable(user.c_str(), &record) == 0 && record != NULL) {
        _Print(name, "FindUserInAppTable");
        if (!RecordFolderSound(table, record)) {
            _PrintError(name, __LINE__, "user folder not below the application folder: %S",
                        FieldString(record->path, 260).c_str());
            return Error_No_User;
        }
        UserRef ref;
        RefFromRecord(record, ref);
        recorded = TRUE;
        oldFolder = ref.path;
        CUserTable existing(table.Type, app.c_str(), appSecret, user.c_str(), ref.guid.c_str(), ref.path.c_str());
        if (existing.UserExists) {
            exists = TRUE;
            ownKey = FieldString(existing.Header.uuid, 38);
            if (!overwrite) return Error_User_Already_Exists;
        } else {
            ownKey = ref.guid; /* the name every user this system made gives its key */
        }
    } else {
        if (!IsListableName(user.c_str()) || user.size() > 256) {
            _PrintError(name, __LINE__, "invalid user name");
            return Error_No_User;
        }
        /* A new user needs a free record; refused before anything is unpacked or imported. */
        if (table.Header.usercount >= MAXIMUM_NUMBER_OF_USERS || table.Users.size() >= MAXIMUM_NUMBER_OF_USERS) {
            _PrintError(name, __LINE__, "> MAXIMUM_NUMBER_OF_USERS");
            return Error_Internal;
        }
    }
    _Print(name, "usertable");

    WString guid = CUtil::GenerateGUID();
    TempFolder temp;
    WString tempPath = table.Location + W("\\") + guid;
    if (table.Location.empty() || tempPath.size() + 1 + kGuidChars > MAX_PATH - 1) {
        _PrintError(name, __LINE__, "user folder path too long");
        return Error_Internal;
    }
    temp.path = tempPath;

    CUserTable restored(table.Type, app.c_str(), appSecret, user.c_str(), guid.c_str(), tempPath.c_str());

    BYTE* wrapped = NULL;
    DWORD cbWrapped = 0;
    LONG status = restored.Restore(archive.c_str(), &wrapped, &cbWrapped);
    if (status != 0) {
        FreeSecret(wrapped, cbWrapped);
        return status;
    }
    status = table.unwrapsecret(wrapped, cbWrapped, backupPassword);
    FreeSecret(wrapped, cbWrapped);
    if (status != 0) return status;

    BlobList list;
    status = restored.RestoreVerify(tempPath.c_str(), table.AppSecret, table.AppSecretLen, list.blobs);
    if (status != 0) return status;

    /* The key the archive brings must be named by its verified table and may only
     * take the place of the user's own key: never land over another user's. */
    WString key = FieldString(restored.Header.uuid, 38);
    if (table.Type == 1 && !IsGuidString(key.c_str())) {
        _PrintError(name, __LINE__, "bad");
        return Error_Bad_Backup;
    }
    if (!key.empty() && key != ownKey && KeyExists(key.c_str())) {
        _PrintError(name, __LINE__, "the archive's key %S belongs to another user of this machine", key.c_str());
        return Error_User_Already_Exists;
    }
    /* Without key.backup the key must already be here and be the user's own: the
     * container both verified tables name, holding a key pair. */
    const BOOL keyBackup = GetFileAttributesW((tempPath + W("\\key.backup")).c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!key.empty() && !keyBackup && (key != ownKey || !HoldsKeyPair(key.c_str()))) {
        _PrintError(name, __LINE__, "no key.backup, and the user's key %S is not on this machine", key.c_str());
        return Error_Bad_Backup;
    }
    /* What the archive brought that its table does not name is not kept. */
    std::vector<WString> blobs = BlobNames(restored);
    {
        std::vector<WString> keep(blobs);
        keep.push_back(W("user.bin"));
        keep.push_back(W("user.backup"));
        keep.push_back(W("key.backup"));
        DeleteUnnamedFiles(tempPath, keep);
    }

    if (restored.ReWrap(table.AppSecret, table.AppSecretLen, list.blobs) != 0) return Error_Bad_Backup;
    /* Only a store that verified and was re-keyed brings its key back. */
    HRESULT keyResult = S_OK;
    if (!key.empty() && keyBackup && restored.RestoreKey(backupPassword, key.c_str(), &keyResult) != 0) {
        /* A key sealed by another machine's TPM cannot come back: the store still
         * does, as an archive is meant to carry it. Any other failure (a full disk,
         * an unreachable provider) fails the call before a store is put in place. */
        if (keyResult != (HRESULT)NTE_DEVICE_NOT_FOUND) {
            _PrintError(name, __LINE__, "the archive's key could not be restored, 0x%08x", (unsigned)keyResult);
            return Error_Internal;
        }
    }

    if (exists) {
        status = MoveStoreInto(name, tempPath, oldFolder, blobs);
        if (status != 0) return status;
        /* The old store's blobs are named by nothing now; a crash before this leaves them to repair. */
        DeleteUnnamedFiles(oldFolder, [&] {
            std::vector<WString> keep(blobs);
            keep.push_back(W("user.bin"));
            return keep;
        }());
        CUtil::FlushFolder(oldFolder);
        if (!ownKey.empty() && ownKey != key && !reclaim::KeyInUse(ownKey, oldFolder))
            reclaim::DeleteKey(ownKey.c_str());
        return 0; /* the temporary folder, now holding only the backups, goes with temp */
    }

    restored.DeleteBackupFiles();
    CUtil::FlushFolder(tempPath);
    WString oldKey = recorded ? reclaim::UnverifiedKeyName(oldFolder) : WString();
    status = table.RestoreUser(user.c_str(), restored.UserFolder, guid);
    if (status != 0) return status;
    temp.committed = true;
    CUtil::FlushFolder(table.Location);
    if (recorded) {
        /* The record named a store that did not verify; it names the restored one now. */
        CUtil::DeleteDirectory(oldFolder);
        if (!oldKey.empty() && oldKey != key && !reclaim::KeyInUse(oldKey, WString())) reclaim::DeleteKey(oldKey.c_str());
    }
    return 0;
}

LONG CAppTable::RestoreUser(LPCWSTR userName, WString folder, WString guid) {
    CFuncTrace trace("CAppTable::RestoreUser");
    const char* fn = trace.Name();

    /* Back to the caller's secret before anything is saved. */
    if (SavedSecret) {
        FreeSecret(AppSecret, AppSecretLen);
        AppSecret = SavedSecret;
        AppSecretLen = SavedSecretLen;
        SavedSecret = NULL;
        SavedSecretLen = 0;
    }

    /* What does not fit its field is refused rather than cut. */
    if (!userName || WLen(userName) > 256 || folder.empty() || folder.size() > 259 || guid.empty() ||
        guid.size() > 73) {
        _PrintError(fn, __LINE__, "user record fields too long");
        return Error_Internal;
    }

    /* A record of that name whose table did not verify is given the restored folder:
     * one record per name, and it is the one that works. */
    UserRecord* existing = NULL;
    for (DWORD i = 0; i < Header.usercount && i < Users.size(); ++i) {
        if (FieldEquals(Users[i]->username, 257, userName)) {
            existing = Users[i];
            break;
        }
    }
    if (existing) {
        UserRecord before;
        memcpy(&before, existing, sizeof(before));
        CopyField(existing->path, 260, folder.c_str());
        CopyField(existing->guid, 74, guid.c_str());
        _Print(fn, "record of %S given the restored folder", userName);
        LONG status = SaveAppTable();
        if (status != 0) memcpy(existing, &before, sizeof(before));
        _Print(fn, "status=%d", (int)status);
        return status;
    }

    if (Header.usercount >= MAXIMUM_NUMBER_OF_USERS || Users.size() >= MAXIMUM_NUMBER_OF_USERS) {
        _PrintError(fn, __LINE__, "> MAXIMUM_NUMBER_OF_USERS");
        return Error_Internal;
    }
    UserRecord* r = (UserRecord*)calloc(1, USER_RECORD_SIZE);
    if (!r) return Error_Internal;
    CopyField(r->username, 257, userName);
    CopyField(r->path, 260, folder.c_str());
    CopyField(r->guid, 74, guid.c_str());
    try {
        Users.push_back(r);
    } catch (...) {
        free(r);
        throw;
    }
    Header.usercount++;

    LONG status = SaveAppTable();
    if (status != 0) {
        Users.pop_back();
        Header.usercount--;
        free(r);
    }
    _Print(fn, "status=%d", (int)status);
    return status;
}
