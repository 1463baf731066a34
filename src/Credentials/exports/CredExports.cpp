/* Exports for one user's credentials. */
#include <cstdlib>
#include "ExportUtil.h"
#include "Frame.h"
#include "../util/TableSupport.h"
#include "../util/Util.h"

/* The id is copied and checked before the lock: 20 or more characters never reach a table. */
static void CopyCredId(CExportFrame& frame, LPCWSTR credId, WString& id) {
    frame.CopyName("credId", credId, id);
    /* An id the list cannot carry (empty, a "," or a control character) is refused as a long one is. */
    if (!frame.Rejected() && (id.size() >= CRED_ID_CHARS || !tables::IsListableName(id.c_str())))
        frame.Reject(__LINE__, Error_Invalid_ID, "Error_Invalid_ID");
}

extern "C" LONG StoreCredential(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                const WCHAR* password, const WCHAR* credId, SAFEARRAY* metaData,
                                SAFEARRAY* encMetaData, SAFEARRAY* credData) {
    static const char* const name = "StoreCredential";
    CExportFrame frame(name);
    WString app, user, id;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CheckString("password", password);
    frame.CheckBytes("metaData", metaData);
    frame.CheckBytes("encMetaData", encMetaData);
    frame.CheckBytes("credData", credData);
    CopyCredId(frame, credId, id);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        CAppTable& table = tables.App;
        BOOL added = FALSE;
        /* A new user is named by app.bin only with the credential stored. */
        LONG opened = FindOrAddUser(name, table, user, password, tables.Ref, &added, FALSE);
        if (opened != 0) return opened;
        if (tables.OpenUser(user) != 0) {
            _Print(name, "UserExists==FALSE");
            if (added) table.FinishAddedUser(user.c_str(), FALSE);
            return Error_No_User;
        }
        CUserTable& userTable = *tables.User;

        _Print(name, " FindCredInUserTable");
        CredentialRecord* found = NULL;
        LONG status = userTable.FindCredInUserTable(id.c_str(), password, &found, NULL);
        if (status != 0) {
            /* The record may be there with its blob file missing or broken. Ids
             * stay unique: such a credential is replaced like a sound one. */
            found = NULL;
            if (userTable.FindCredInUserTable(id.c_str(), NULL, &found, NULL) == 0 && found != NULL) {
                _Print(name, "cred unreadable - replace it");
                status = 0;
            }
        }
        /* The old credential goes in the same table save that brings the new one, and
         * its blob only after that save: a failure or a crash leaves one of the two. */
        CredentialRecord* replacing = NULL;
        if (status == 0) {
            _Print(name, "foudn cred - delete it");
            replacing = found;
        }

        _Print(name, " add cred");
        CredentialRecord* stored = NULL;
        if (userTable.AddCred(id.c_str(), metaData, encMetaData, credData, password, &stored, replacing) != 0) {
            _PrintError(name, __LINE__, "add cred failed- %d", 1);
            /* A call that stores nothing adds no user either. */
            if (added) table.FinishAddedUser(user.c_str(), FALSE);
            return 1;
        }
        if (added && table.FinishAddedUser(user.c_str(), TRUE) != 0) {
            _PrintError(name, __LINE__, "add cred failed- %d", 1);
            return 1;
        }
        return 0;
    });
}

/* The record's MD and EMD must lie inside the record. */
static BOOL RecordLengthsSound(const CredentialRecord* record) {
    return (ULONGLONG)CRED_RECORD_FIXED_SIZE + record->mdlen + record->emdlen <= record->len;
}

extern "C" LONG RetrieveCredentialMetaData(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                           const WCHAR* credId, SAFEARRAY** ppMetaData) {
    static const char* const name = "RetrieveCredentialMetaData";
    CExportFrame frame(name);
    WString app, user, id;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CopyName("credId", credId, id);
    frame.CheckOut("ppMetaData", ppMetaData);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        LONG opened = tables.Open(user, name, {.loaded = "loaded", .found = "FindUserInAppTable"});
        if (opened != 0) return opened;
        CUserTable& userTable = *tables.User;
        _Print(name, "usertable");

        CredentialRecord* record = NULL;
        if (userTable.FindCredInUserTable(id.c_str(), NULL, &record, NULL) != 0 || record == NULL) {
            _Print(name, "FindCredInUserTable");
            return Error_Invalid_ID;
        }
        _Print(name, "collecte metadata");
        if (!RecordLengthsSound(record)) {
            _PrintError(name, __LINE__, "record lengths do not fit the record");
            return Error_Internal;
        }
        PutByteArray(CredPayload(record), record->mdlen, ppMetaData);
        return 0;
    });
}

extern "C" LONG RetrieveEncryptedCredentialMetaData(const WCHAR* appName, SAFEARRAY* appSecret,
                                                    const WCHAR* userName, const WCHAR* credId,
                                                    SAFEARRAY** ppEncMetaData) {
    static const char* const name = "RetrieveEncryptedCredentialMetaData";
    CExportFrame frame(name);
    WString app, user, id;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CopyName("credId", credId, id);
    frame.CheckOut("ppEncMetaData", ppEncMetaData);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        LONG opened = tables.Open(user);
        if (opened != 0) return opened;
        CAppTable& table = tables.App;
        CUserTable& userTable = *tables.User;

        CredentialRecord* record = NULL;
        if (userTable.FindCredInUserTable(id.c_str(), NULL, &record, NULL) != 0 || record == NULL) {
            return Error_Invalid_ID;
        }
        if (!RecordLengthsSound(record)) {
            _PrintError(name, __LINE__, "record lengths do not fit the record");
            return Error_Internal;
        }

        CTableKey key(table.AppSecret, table.AppSecretLen, userTable.Header.salt);
        if (key.status != 0) {
            _PrintError(name, __LINE__, "GenAESKey failed - %d", (int)key.status);
            return Error_Internal;
        }
        CMallocBuffer plain;
        plain.len = record->emdlen;
        LONG status = CUtil::DecryptWithAES(key.key, sizeof(key.key), CredPayload(record) + record->mdlen, &plain.len,
                                            &plain.p);
        if (status != 0 || plain.p == NULL) {
            /* Nothing is built from a buffer the decryption did not deliver. */
            return status < 0 ? status : Error_Internal;
        }
        PutByteArray(plain.p, plain.len, ppEncMetaData);
        _Print(name, "RetrieveEncryptedCredentialMetaData: encmetadata size=%d", (int)plain.len);
        return 0;
    });
}

extern "C" LONG RetrieveCredential(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                   const WCHAR* password, const WCHAR* credId, SAFEARRAY** ppCredData) {
    static const char* const name = "RetrieveCredential";
    CExportFrame frame(name, FRAME_LOG_EXCEPTION);
    if (ppCredData != NULL) *ppCredData = NULL;
    WString app, user, id;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CopyName("credId", credId, id);
    frame.CheckOut("ppCredData", ppCredData);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        LONG status = tables.Open(user, name,
                                  {.notLoaded = "loaded==FALSE",
                                   .noUser = "FindUserInAppTable - no user",
                                   .noTable = "UserExists==FALSE"});
        if (status != 0) return status;
        CredentialRecord* record = NULL;
        status = tables.User->FindCredInUserTable(id.c_str(), password, &record, ppCredData);
        if (status != 0) {
            _Print(name, " no cred");
            /* A call that delivers no credential leaves null behind. */
            if (*ppCredData != NULL) {
                CUtil::DestroyPlainArray(*ppCredData);
                *ppCredData = NULL;
            }
        }
        return status;
    });
}

extern "C" LONG QueryUserCreds(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName, BSTR* pCredList) {
    CExportFrame frame("QueryUserCreds", FRAME_LOG_EXCEPTION);
    WString app, user;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CheckOut("pCredList", pCredList);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        LONG opened = tables.Open(user);
        if (opened != 0) return opened;
        WString list;
        tables.User->ListCreds(list); /* -5 for no credentials: the empty list */
        BSTR result = SysAllocString(list.c_str());
        if (result == NULL) return Error_Internal;
        *pCredList = result;
        return 0;
    });
}

extern "C" LONG DeleteCred(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName, const WCHAR* credId) {
    CExportFrame frame("DeleteCred", FRAME_LOG_EXCEPTION);
    WString app, user, id;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CopyName("credId", credId, id);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        LONG opened = tables.Open(user);
        if (opened != 0) return opened;
        CredentialRecord* record = NULL;
        if (tables.User->FindCredInUserTable(id.c_str(), NULL, &record, NULL) != 0) return Error_Invalid_ID;
        return tables.User->DeleteCred(id.c_str());
    });
}
