/* Exports that archive a user into a backup and restore one from it. */
#include <cstdlib>
#include "ExportUtil.h"
#include "Frame.h"
#include "../util/Util.h"

namespace {

/* A user folder path leaves room for a blob file name (a GUID) below it within MAX_PATH. */
const size_t kGuidChars = 36;

/* Wipes and frees a WrappedSecret block. */
void FreeWrapped(BYTE*& block, DWORD len) {
    if (block) {
        SecureZeroMemory(block, len);
        free(block);
        block = NULL;
    }
}

/* The restored blobs not yet handed to ReWrap. */
struct BlobList {
    std::vector<RestoredBlob*> blobs;
    ~BlobList() {
        for (RestoredBlob* b : blobs) {
            if (!b) continue;
            if (b->data) {
                SecureZeroMemory(b->data, b->len);
                free(b->data);
            }
            free(b);
        }
    }
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

} // namespace

extern "C" LONG ArchiveUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                            const WCHAR* archivePath, const WCHAR* backupPassword, const WCHAR* keyArchiveString) {
    static const char* const name = "ArchiveUser";
    CExportFrame frame(name);
    WString app, user, archive;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CopyName("archivePath", archivePath, archive);
    frame.CheckString("backupPassword", backupPassword);
    frame.CheckString("keyArchiveString", keyArchiveString);
    return frame.Run([&]() -> LONG {
        CAppTable table(app.c_str(), appSecret);
        if (!table.loaded) return Error_Bad_App;
        _Print(name, "loaded");

        UserRef ref;
        LONG status = FindUser(table, user, ref);
        if (status != 0) {
            _Print(name, "cant find app");
            return status;
        }
        CUserTable userTable(table.Type, app.c_str(), appSecret, user.c_str(), ref.guid.c_str(), ref.path.c_str());
        if (!userTable.UserExists) {
            _Print(name, "cant find user");
            return Error_No_User;
        }

        /* Whatever happens from here, neither backup file stays in the live folder. */
        struct BackupFiles {
            CUserTable& t;
            ~BackupFiles() { t.DeleteBackupFiles(); }
        } cleanup{userTable};

        BYTE* wrapped = NULL;
        DWORD cbWrapped = 0;
        /* No archive is made without the wrapped secret that opens it. */
        status = table.wrapsecret(backupPassword, &wrapped, &cbWrapped);
        if (status == 0) {
            try {
                status = userTable.Archive(archive.c_str(), wrapped, cbWrapped, backupPassword, keyArchiveString);
            } catch (...) {
                FreeWrapped(wrapped, cbWrapped);
                throw;
            }
        }
        FreeWrapped(wrapped, cbWrapped);
        return status;
    });
}

extern "C" LONG RestoreUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                            const WCHAR* archivePath, const WCHAR* backupPassword, ULONG overwrite) {
    static const char* const name = "RestoreUser";
    CExportFrame frame(name);
    WString app, user, archive;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CopyName("archivePath", archivePath, archive);
    frame.CheckString("backupPassword", backupPassword);
    return frame.Run([&]() -> LONG {
        CAppTable table(app.c_str(), appSecret);
        if (!table.loaded) return Error_Bad_App;
        _Print(name, "loaded");

        BOOL exists = FALSE;
        WString oldGuid;
        UserRef ref;
        if (FindUser(table, user, ref) == 0) {
            _Print(name, "FindUserInAppTable");
            CUserTable existing(table.Type, app.c_str(), appSecret, user.c_str(), ref.guid.c_str(), ref.path.c_str());
            if (existing.UserExists) {
                exists = TRUE;
                oldGuid = ref.guid;
                if (!overwrite) return Error_User_Already_Exists;
            }
        }
        /* A new user needs a free record; refused before anything is unpacked or imported. */
        if (!exists && (table.Header.usercount >= MAXIMUM_NUMBER_OF_USERS ||
                        table.Users.size() >= MAXIMUM_NUMBER_OF_USERS)) {
            _PrintError(name, __LINE__, "> MAXIMUM_NUMBER_OF_USERS");
            return Error_Internal;
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
            FreeWrapped(wrapped, cbWrapped);
            return status;
        }
        status = table.unwrapsecret(wrapped, cbWrapped, backupPassword);
        FreeWrapped(wrapped, cbWrapped);
        if (status != 0) return status;

        BlobList list;
        LONG verified = restored.RestoreVerify(tempPath.c_str(), table.AppSecret, table.AppSecretLen, list.blobs);
        /* The key comes back whatever the verification said, as it always has. */
        restored.RestoreKey(backupPassword);
        if (verified != 0) return verified;
        if (restored.ReWrap(table.AppSecret, table.AppSecretLen, list.blobs) != 0) return Error_Bad_Backup;

        if (exists) {
            restored.DeleteBackupFiles();
            /* The old folder is set aside, not deleted, until the restored one stands in its place. */
            WString oldFolder = table.Location + W("\\") + oldGuid;
            WString aside = table.Location + W("\\") + CUtil::GenerateGUID();
            if (!MoveFileW(oldFolder.c_str(), aside.c_str())) {
                _PrintError(name, __LINE__, "cannot move the old folder aside, error %d", (int)GetLastError());
                return Error_Internal;
            }
            if (!MoveFileW(tempPath.c_str(), oldFolder.c_str())) {
                DWORD error = GetLastError();
                MoveFileW(aside.c_str(), oldFolder.c_str());
                _PrintError(name, __LINE__, "cannot move the restored folder in place, error %d", (int)error);
                return Error_Internal;
            }
            temp.committed = true;
            CUtil::DeleteDirectory(aside);
            return 0;
        }

        status = table.RestoreUser(user.c_str(), restored.UserFolder, guid);
        restored.DeleteBackupFiles();
        if (status == 0) temp.committed = true;
        return status;
    });
}
