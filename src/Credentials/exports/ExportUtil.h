/* Helpers shared by the export bodies: the user's record, output arrays, owned buffers. */
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <optional>
#include "../apptable/AppTable.h"
#include "../platform/Wide.h"
#include "../usertable/UserTable.h"
#include <vaultkeep/vaultkeep.h>

/* Text of a fixed-size UTF-16 field: up to its first NUL or its end. */
WString FieldText(const WCHAR* field, size_t capacity);
/*
 * The user-opening sequence every per-user export starts with: (1) the
 * application table loaded under the secret, (2) the user's record found in
 * it, (3) the user's table opened from the record's folder, (4) that table
 * verified.
 */

/* Step 2: 0 with the record's fields, or Error_No_User
 * (also for a record whose folder is not sound). */
LONG FindUser(CAppTable& table, const WString& userName, UserRef& ref);
/* Steps 1 and 2 for the exports that add a missing user with its password,
 * logging under the export's name: 0 with the record's fields, or the status
 * the export returns. */
LONG FindOrAddUser(const char* name, CAppTable& table, const WString& userName, const WCHAR* password,
                   UserRef& ref, BOOL* added = NULL, BOOL save = TRUE);

/* The information lines an export logs at the steps of the user-opening sequence,
 * under its own name (NULL: none). */
struct OpenLines {
    const char* notLoaded = NULL;
    const char* loaded = NULL;
    const char* noUser = NULL;
    const char* found = NULL;
    const char* noTable = NULL;
};

/* The tables of the user-opening sequence for one call: the application table,
 * the user's record and the user's table, destroyed user table first. */
class CUserTables {
public:
    CUserTables(const WString& appName, SAFEARRAY* appSecret);
    CUserTables(const CUserTables&) = delete;
    CUserTables& operator=(const CUserTables&) = delete;

    /* The whole sequence: 0 with User open and verified, else Error_Bad_App or Error_No_User. */
    LONG Open(const WString& userName, const char* name = NULL, const OpenLines& lines = OpenLines());
    /* Steps 3 and 4, for the user Ref names (found, or just added): 0 or Error_No_User. */
    LONG OpenUser(const WString& userName);

    CAppTable App;
    UserRef Ref;
    std::optional<CUserTable> User;

private:
    WString m_appName;
    SAFEARRAY* m_appSecret;
};

/* A new one-dimensional VT_UI1 array, lower bound 0, holding the bytes, stored
 * in *ppOut only when complete. Raises a COM error when it cannot be made. */
void PutByteArray(const BYTE* data, DWORD len, SAFEARRAY** ppOut);

/* A block from the C allocator, wiped and freed when it goes. */
class CMallocBuffer {
public:
    CMallocBuffer() noexcept : p(NULL), len(0) {}
    ~CMallocBuffer();
    CMallocBuffer(const CMallocBuffer&) = delete;
    CMallocBuffer& operator=(const CMallocBuffer&) = delete;
    BYTE* p;
    DWORD len;
};

/* The key of a user's table: 32 bytes from the application secret and the table's salt, wiped when it goes. */
class CTableKey {
public:
    CTableKey(const BYTE* secret, DWORD secretLen, const BYTE* salt);
    ~CTableKey();
    CTableKey(const CTableKey&) = delete;
    CTableKey& operator=(const CTableKey&) = delete;
    LONG status;
    BYTE key[32];
};
