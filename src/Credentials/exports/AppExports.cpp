/* Exports for applications and their users. */
#include "ExportUtil.h"
#include "Frame.h"

extern "C" LONG RegisterApp(const WCHAR* appName, SAFEARRAY* appSecret) {
    CExportFrame frame("RegisterApp");
    WString app;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    return frame.Run([&]() -> LONG {
        LONG status = Error_App_Already_Exists;
        CAppTable table(app.c_str(), appSecret);
        if (!table.loaded) status = table.AddApp();
        return status;
    });
}

extern "C" LONG UnRegisterApp(const WCHAR* appName, SAFEARRAY* appSecret) {
    CExportFrame frame("UnRegisterApp");
    WString app;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    return frame.Run([&]() -> LONG {
        LONG status = Error_Bad_App;
        CAppTable table(app.c_str(), appSecret);
        if (table.loaded) status = table.DeleteApp();
        return status;
    });
}

extern "C" LONG AddUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName, const WCHAR* password) {
    static const char* const name = "AddUser";
    CExportFrame frame(name);
    WString app, user;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CheckString("password", password);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        LONG opened = FindOrAddUser(name, tables.App, user, password, tables.Ref);
        if (opened != 0) return opened;
        if (tables.OpenUser(user) != 0) {
            _Print(name, "UserExists==FALSE");
            return Error_No_User;
        }
        return 0;
    });
}

extern "C" LONG QueryListOfUsers(const WCHAR* appName, SAFEARRAY* appSecret, BSTR* pUserList) {
    CExportFrame frame("QueryListOfUsers", FRAME_LOG_EXCEPTION);
    WString app;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CheckOut("pUserList", pUserList);
    return frame.Run([&]() -> LONG {
        LONG status = 0;
        WString list;
        {
            CAppTable table(app.c_str(), appSecret);
            if (table.loaded) {
                list = table.ListOfUsers();
            } else {
                status = Error_Bad_App;
            }
        }
        BSTR result = SysAllocString(list.c_str());
        if (result == NULL) return Error_Internal;
        *pUserList = result;
        return status;
    });
}

extern "C" LONG DeleteUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName) {
    CExportFrame frame("DeleteUser", FRAME_LOG_EXCEPTION);
    WString app, user;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        LONG status = tables.Open(user);
        if (status != 0) return status;
        /* The record leaves the application table before the user's files go. */
        status = tables.App.DeleteUserInAppTable(user.c_str());
        if (status != 0) return status;
        return tables.User->DeleteUser();
    });
}

extern "C" LONG ChangeUserPassword(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                   const WCHAR* oldPassword, const WCHAR* newPassword) {
    static const char* const name = "ChangeUserPassword";
    CExportFrame frame(name);
    WString app, user;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("appSecret", appSecret);
    frame.CopyName("userName", userName, user);
    frame.CheckString("oldPassword", oldPassword);
    frame.CheckNewPassword("newPassword", newPassword);
    return frame.Run([&]() -> LONG {
        CUserTables tables(app, appSecret);
        LONG status =
            tables.Open(user, name, {.loaded = "loaded", .noUser = "cant find user", .noTable = "cant find user"});
        if (status != 0) return status;
        return tables.User->ChangePassword(oldPassword, newPassword);
    });
}

extern "C" LONG ChangeAppSecret(const WCHAR* appName, SAFEARRAY* oldSecret, SAFEARRAY* newSecret) {
    static const char* const name = "ChangeAppSecret";
    CExportFrame frame(name);
    WString app;
    frame.CopyAppName("appName", appName, app);
    frame.CheckBytes("oldSecret", oldSecret);
    frame.CheckBytes("newSecret", newSecret);
    return frame.Run([&]() -> LONG {
        CAppTable table(app.c_str(), oldSecret);
        if (!table.loaded) return Error_Bad_App;
        _Print(name, "loaded");
        return RotateAppSecret(name, table, newSecret);
    });
}
