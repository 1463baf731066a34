/* Helpers shared by the export bodies: the user's record, output arrays, owned buffers. */
#pragma once
#include <windows.h>
#include <oleauto.h>
#include "../apptable/AppTable.h"
#include "../platform/Wide.h"
#include "../usertable/UserTable.h"
#include <vaultkeep/vaultkeep.h>

/* The fields of a user's record that open the user's table, copied out of the
 * record (bounded by their fields) so they outlive a record the table frees. */
struct UserRef {
    WString guid;
    WString path;
};

/* Text of a fixed-size UTF-16 field: up to its first NUL or its end. */
WString FieldText(const WCHAR* field, size_t capacity);
void RefFromRecord(const UserRecord* record, UserRef& ref);
/* TRUE when the record's folder is the application folder, a backslash and its GUID: the only
 * place this system makes (and so reads, writes or deletes) a user's files. */
BOOL RecordFolderSound(const CAppTable& table, const UserRecord* record);
/* Step 2 of the user-opening sequence: 0 with the record's fields, or Error_No_User
 * (also for a record whose folder is not sound). */
LONG FindUser(CAppTable& table, const WString& userName, UserRef& ref);
/* Steps 1 and 2 for the exports that add a missing user with its password,
 * logging under the export's name: 0 with the record's fields, or the status
 * the export returns. */
LONG FindOrAddUser(const char* name, CAppTable& table, const WString& userName, const WCHAR* password,
                   UserRef& ref, BOOL* added = NULL, BOOL save = TRUE);

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
