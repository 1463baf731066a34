/* CAppTable: the in-memory application table and its file app.bin. */
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <vector>
#include "../platform/Wide.h"
#include "../util/Util.h"

#define MAXIMUM_SUPPORTED_VERSION 1
#define MAXIMUM_NUMBER_OF_USERS 255
#define USER_RECORD_SIZE 1182
#define APP_TABLE_HEADER_SIZE 48
/* Far beyond any table this system writes (255 records); bounds the buffer a hostile file can ask for. */
#define APP_TABLE_MAX_BODY (APP_TABLE_HEADER_SIZE + 1024u * USER_RECORD_SIZE)

#pragma pack(push, 1)
struct AppTableHeader {
    DWORD version;
    DWORD totalsize;
    BYTE salt[32];
    DWORD usercount;
    DWORD recordsize;
};

struct UserRecord {
    WCHAR username[257];
    WCHAR guid[74];
    WCHAR path[260];
};
#pragma pack(pop)
static_assert(sizeof(AppTableHeader) == APP_TABLE_HEADER_SIZE, "AppTableHeader is 48 bytes");
static_assert(sizeof(UserRecord) == USER_RECORD_SIZE, "UserRecord is 1182 bytes");

/* The fields of a user's record that open the user's table, copied out of the
 * record (bounded by their fields) so they outlive a record the table frees. */
struct UserRef {
    WString guid;
    WString path;
};
void RefFromRecord(const UserRecord* record, UserRef& ref);

class CAppTable {
public:
    BYTE* AppSecret;
    DWORD AppSecretLen;
    BYTE* SavedSecret;
    DWORD SavedSecretLen;
    WString AppName;
    AppTableHeader Header;
    std::vector<UserRecord*> Users;
    WCHAR DataFolder[MAX_PATH];
    WString Location;
    DWORD Type;
    LONG loaded;

    CAppTable(LPCWSTR appName, SAFEARRAY* appSecret);
    ~CAppTable();
    CAppTable(const CAppTable&) = delete;
    CAppTable& operator=(const CAppTable&) = delete;

    LONG SaveAppTable();
    LONG CreateAppRegSetting();

    LONG AddApp();
    LONG DeleteApp();
    /* With save FALSE the user's folder, table and key are made and the record is
     * added in memory only: app.bin names the user once FinishAddedUser keeps it. */
    LONG AddUser(LPCWSTR userName, LPCWSTR password, UserRecord** ppRecord, BOOL save = TRUE);
    /* For the user the last AddUser added unsaved: keep saves app.bin (a failure
     * drops the user as !keep does); !keep removes the user's folder and key. */
    LONG FinishAddedUser(LPCWSTR userName, BOOL keep);
    LONG FindUserInAppTable(LPCWSTR userName, UserRecord** ppRecord);
    WString ListOfUsers();
    LONG DeleteUserInAppTable(LPCWSTR userName);
    LONG RestoreUser(LPCWSTR userName, WString folder, WString guid);

    LONG wrapsecret(LPCWSTR password, BYTE** ppBlock, DWORD* pcbBlock);
    LONG unwrapsecret(const BYTE* pBlock, DWORD cbBlock, LPCWSTR password);

    /* An application name must be usable as one folder name below the data folder
     * and as one registry key name, with room for the user folders and files below
     * it within MAX_PATH. 0 when it is; else the status that refuses it:
     * -6 (Error_Internal) when too long, -1 (Error_Bad_App) otherwise. */
    static LONG CheckAppName(LPCWSTR appName);
    static BOOL IsValidAppName(LPCWSTR appName) { return CheckAppName(appName) == 0; }
    /* The data folder, ending in a backslash (empty when it cannot be found); with
     * create, made where missing. */
    static void ComputeDataFolder(WCHAR folder[MAX_PATH], BOOL create);
};

/* TRUE when the record's folder is the application folder, a backslash and its GUID: the only
 * place this system makes (and so reads, writes or deletes) a user's files. */
BOOL RecordFolderSound(const CAppTable& table, const UserRecord* record);

/* The RestoreUser export's work on the caller's loaded table, logged under name:
 * the archive unpacked, verified and re-keyed in a temporary folder, the key
 * brought back, then the store put in the user's place. */
LONG RestoreUserFromArchive(const char* name, CAppTable& table, const WString& app, SAFEARRAY* appSecret,
                            const WString& user, const WString& archive, LPCWSTR backupPassword, ULONG overwrite);

/* The ChangeAppSecret export's work on the caller's table, loaded under the old
 * secret, logged under name: every user's store re-keyed into a new folder, then
 * one app.bin under the new secret naming them (the commit point), then the old
 * folders removed. */
LONG RotateAppSecret(const char* name, CAppTable& table, SAFEARRAY* newSecret);
