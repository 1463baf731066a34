/*
 * Vaultkeep: a credential vault loaded as a shared library.
 *
 * Thirteen exports with C linkage. Strings are zero-terminated UTF-16; byte
 * arrays are one-dimensional SAFEARRAYs of VT_UI1. Output arrays and strings
 * belong to the caller (SafeArrayDestroy, SysFreeString). Every call returns a
 * status: 0 on success, a negative Error_* value on most failures. Besides:
 * StoreCredential returns 1 when the credential could not be stored,
 * ArchiveUser 1 when the key archive server failed, and AddUser (or a
 * StoreCredential that adds its user) the key provider's code when the user's
 * key could not be made (a system error or an NTE_* value).
 *
 * The machine root is $VAULTKEEP_ROOT (see the README).
 */
#ifndef VAULTKEEP_VAULTKEEP_H
#define VAULTKEEP_VAULTKEEP_H

#if defined(_WIN32)
/* Windows: the real Win32 and OLE Automation declarations; the DLL's exports
 * come from its module definition file. */
#include <windows.h>
#include <oleauto.h>
#if defined(VAULTKEEP_BUILDING)
#define VAULTKEEP_API
#else
#define VAULTKEEP_API __declspec(dllimport)
#endif
#else
#include "oletypes.h"
#define VAULTKEEP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(_WIN32)
/* The OLE Automation helpers, exported by the library itself (oleaut32 on Windows). */
VAULTKEEP_API BSTR SysAllocString(const OLECHAR* psz);
VAULTKEEP_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
VAULTKEEP_API void SysFreeString(BSTR bstrString);
VAULTKEEP_API UINT SysStringLen(BSTR pbstr);
VAULTKEEP_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
VAULTKEEP_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
VAULTKEEP_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);
VAULTKEEP_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
VAULTKEEP_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
VAULTKEEP_API UINT SafeArrayGetDim(SAFEARRAY* psa);
VAULTKEEP_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
VAULTKEEP_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
#endif

enum VaultkeepStatus {
    Error_Success = 0,
    Error_Bad_App = -1,
    Error_App_Already_Exists = -2,
    Error_No_User = -3,
    Error_Non_Supported_Version = -4,
    Error_Cred_Not_Found = -5,
    Error_Internal = -6,
    Error_Invalid_ID = -7,
    Error_Invalid_Cred = -8,
    Error_TPM_Not_Owned = -9,
    Error_Insufficient_Privileges = -11,
    Error_Cant_Load_Library = -12,
    Error_User_Already_Exists = -13,
    Error_Bad_Backup = -14,
    Error_Invalid_File = -15,
    Error_Decrypt_Failed = -16,
    Error_Table_Alloc = -99
};

VAULTKEEP_API LONG RegisterApp(const WCHAR* appName, SAFEARRAY* appSecret);
VAULTKEEP_API LONG UnRegisterApp(const WCHAR* appName, SAFEARRAY* appSecret);
VAULTKEEP_API LONG AddUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                           const WCHAR* password);
VAULTKEEP_API LONG QueryListOfUsers(const WCHAR* appName, SAFEARRAY* appSecret, BSTR* pUserList);
VAULTKEEP_API LONG DeleteUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName);
VAULTKEEP_API LONG StoreCredential(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                   const WCHAR* password, const WCHAR* credId, SAFEARRAY* metaData,
                                   SAFEARRAY* encMetaData, SAFEARRAY* credData);
VAULTKEEP_API LONG RetrieveCredentialMetaData(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                              const WCHAR* credId, SAFEARRAY** ppMetaData);
VAULTKEEP_API LONG RetrieveEncryptedCredentialMetaData(const WCHAR* appName, SAFEARRAY* appSecret,
                                                       const WCHAR* userName, const WCHAR* credId,
                                                       SAFEARRAY** ppEncMetaData);
VAULTKEEP_API LONG RetrieveCredential(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                      const WCHAR* password, const WCHAR* credId, SAFEARRAY** ppCredData);
VAULTKEEP_API LONG QueryUserCreds(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                  BSTR* pCredList);
VAULTKEEP_API LONG DeleteCred(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                              const WCHAR* credId);
VAULTKEEP_API LONG ArchiveUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                               const WCHAR* archivePath, const WCHAR* backupPassword,
                               const WCHAR* keyArchiveString);
VAULTKEEP_API LONG RestoreUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                               const WCHAR* archivePath, const WCHAR* backupPassword, ULONG overwrite);

/* Beyond the thirteen. ChangeUserPassword: the user's key, opened with oldPassword,
 * is protected by newPassword from then on; the key pair, and so every credential,
 * stays. Error_Decrypt_Failed when oldPassword does not open the key (on a TPM a
 * wrong password counts against its dictionary-attack defence, as a retrieve's
 * does); Error_Invalid_Cred, before anything is read, for an empty newPassword or
 * one longer than VAULTKEEP_MAX_PASSWORD characters.
 * ChangeAppSecret: every table and blob of the application re-keyed from oldSecret
 * to newSecret in one step: after a failure or a crash at any moment the
 * application works under the old secret only or under the new one only; what an
 * interrupted call leaves is debris VaultkeepCheck reports and repairs. */
#define VAULTKEEP_MAX_PASSWORD 1024
VAULTKEEP_API LONG ChangeUserPassword(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName,
                                      const WCHAR* oldPassword, const WCHAR* newPassword);
VAULTKEEP_API LONG ChangeAppSecret(const WCHAR* appName, SAFEARRAY* oldSecret, SAFEARRAY* newSecret);

/* Lays out the machine root for use (components registered, "Install Path",
 * the zip library in place). Idempotent; the first export call of a process on
 * a root that was never set up does the same. Returns 0 or a negative status. */
VAULTKEEP_API LONG VaultkeepInitRoot(void);

/* Compares an application's store on disk with what its tables name: records
 * whose blob is gone or does not verify, files and user folders nothing names
 * (what an interrupted call leaves behind), backups of an archive that did not
 * finish, removed applications still in the trash. *pReport gets one line per
 * finding, "kind<TAB>user<TAB>name<TAB>state\n", state "found"; with
 * VAULTKEEP_CHECK_REPAIR what can go is removed ("removed"), what cannot, or
 * must stay as evidence, is kept ("left"). Returns 0 or a negative status. */
#define VAULTKEEP_CHECK_REPAIR 0x1
VAULTKEEP_API LONG VaultkeepCheck(const WCHAR* appName, SAFEARRAY* appSecret, ULONG flags, BSTR* pReport);

/* The machine root's settings: every registry value the library and its
 * components read. *pList gets one line per setting,
 * "name<TAB>kind<TAB>state<TAB>value\n": kind "admin" (an administrator's
 * choice, changed with VaultkeepSetSettings) or "record" (written by the
 * layout and by RegisterApp), state "set" or "unset" (value then empty).
 * Returns 0 or a negative status. */
VAULTKEEP_API LONG VaultkeepGetSettings(BSTR* pList);
/* Changes administrator's settings as one: changes holds lines "name=value"
 * (set) or "name" (unset). When "Backend" or "TCTI" change, the key provider
 * must then answer and report its TPM owned, else every change is undone
 * (Error_TPM_Not_Owned). Also: ERROR_INVALID_PARAMETER (87) for a name that
 * is not an administrator's setting or a value it cannot hold, nothing
 * written; ERROR_BUSY (170) when the backend in use would change while users
 * of registered applications hold keys under it (they would no longer be
 * found), unless VAULTKEEP_SETTINGS_FORCE; Error_Insufficient_Privileges when
 * the caller may not write the settings. */
#define VAULTKEEP_SETTINGS_FORCE 0x1
VAULTKEEP_API LONG VaultkeepSetSettings(const WCHAR* changes, ULONG flags);
/* The status name ("Error_No_User"), or NULL for an unknown value. */
VAULTKEEP_API const char* VaultkeepStatusName(LONG status);

#ifdef __cplusplus
}
#endif

#endif

