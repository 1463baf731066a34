/* The exports that archive a user into a backup and restore one from it. */
#include <cstdlib>
#include "ExportUtil.h"
#include "Frame.h"
#include "../util/TableSupport.h"
#include "../util/Util.h"

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
        CUserTables tables(app, appSecret);
        LONG status =
            tables.Open(user, name, {.loaded = "loaded", .noUser = "cant find app", .noTable = "cant find user"});
        if (status != 0) return status;
        CAppTable& table = tables.App;
        CUserTable& userTable = *tables.User;

        /* Whatever happens from here, neither backup file stays in the live folder. */
        struct BackupFiles {
            CUserTable& t;
            ~BackupFiles() { t.DeleteBackupFiles(); }
        } cleanup{userTable};

        /* Backups an interrupted archive left behind are not this archive's. */
        userTable.DeleteBackupFiles();

        BYTE* wrapped = NULL;
        DWORD cbWrapped = 0;
        /* No archive is made without the wrapped secret that opens it. */
        status = table.wrapsecret(backupPassword, &wrapped, &cbWrapped);
        if (status == 0) {
            try {
                status = userTable.Archive(archive.c_str(), wrapped, cbWrapped, backupPassword, keyArchiveString);
            } catch (...) {
                tables::FreeSecret(wrapped, cbWrapped);
                throw;
            }
        }
        tables::FreeSecret(wrapped, cbWrapped);
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
        return RestoreUserFromArchive(name, table, app, appSecret, user, archive, backupPassword, overwrite);
    });
}
