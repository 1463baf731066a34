/* CUserTable: creating and deleting a user's own store and key. */
#include "UserTable.h"
#include <cstring>
#include "../util/TableSupport.h"
#include "../util/Trace.h"
#include "../platform/DiagLog.h"
#include "../platform/KeyProvider.h"
#include "../util/Util.h"

using namespace tables;

#define USER_NAME_MAX_CHARS 256

namespace {
/* A system string copy that is freed on every path, an exception's among them. */
struct SysString {
    BSTR s;
    explicit SysString(LPCWSTR text) : s(SysAllocString(text)) {}
    ~SysString() { SysFreeString(s); }
};
} // namespace

LONG CUserTable::AddUser(LPCWSTR password, LPCWSTR userName) {
    CFuncTrace trace("CUserTable::AddUser");
    const char* fn = trace.Name();

    /* Refusals come before the folder, the key or the file is made. */
    if (!userName || WLen(userName) > USER_NAME_MAX_CHARS) {
        _PrintError(fn, __LINE__, "user name longer than %d characters", USER_NAME_MAX_CHARS);
        return Error_No_User;
    }
    if (UserGUID.size() > 37) {
        _PrintError(fn, __LINE__, "GUID string too long for uuid");
        return Error_Internal;
    }

    CreateDirectoryW(UserFolder.c_str(), NULL);

    /* A fresh table: nothing of an earlier read carries over. */
    for (CredentialRecord* r : Creds) free(r);
    Creds.clear();
    memset(&Header, 0, sizeof(Header));
    CopyField(Header.username, 257, userName);
    Header.credcount = 0;

    SysString guid(UserGUID.c_str());
    _Print(fn, "AddUser UserGUID.c_str()=%S", guid.s ? guid.s : W(""));

    /* user.bin names the key before the key exists: a key is only ever made where a
     * table already points at it, so what a crash leaves behind can be found and removed. */
    if (Type == 1) CopyField(Header.uuid, 38, UserGUID.c_str());
    CCryptRandom random((LONG)Type);
    random.GenerateRandom(Header.salt);

    LONG status = SaveUserTable();
    if (status != 0) {
        RemoveDirectoryW(UserFolder.c_str());
        _Print(fn, "status=%d", (int)status);
        return status;
    }

    if (Type == 1) {
        status = CUtil::GenerateKey(guid.s ? guid.s : UserGUID.c_str(), password);
        if (status != 0) {
            /* No user without a key: the table and the folder go again. */
            DeleteFileW((UserFolder + W("\\user.bin")).c_str());
            RemoveDirectoryW(UserFolder.c_str());
            _Print(fn, "status=%d", (int)status);
            return status;
        }
        _Print(fn, "AddUser uuid=%S", Header.uuid);
    } else {
        _PrintError(fn, __LINE__, "NOT SUPPORTED");
    }

    /* The table must be on disk before the application table names the folder. */
    CUtil::FlushFolder(UserFolder);
    _Print(fn, "status=%d", (int)status);
    return status;
}

LONG CUserTable::ChangePassword(LPCWSTR oldPassword, LPCWSTR newPassword) {
    CFuncTrace trace("CUserTable::ChangePassword");
    /* A table without a key (type 0) seals each blob under the password itself. */
    if (Type != 1 || !IsGuidString(Header.uuid, 38)) {
        _PrintError(trace.Name(), __LINE__, "the user has no key whose password could change");
        return Error_Internal;
    }
    return CUtil::ChangeKeyPassword(Header.uuid, oldPassword, newPassword);
}

LONG CUserTable::DeleteUser() {
    CFuncTrace trace("CUserTable::DeleteUser");
    /* The key goes first, while user.bin still names it: a folder a crash leaves
     * behind then still tells repair which key was the user's. */
    if (Header.uuid[0] != 0 && FieldTerminated(Header.uuid, 38)) {
        HCRYPTPROV hProv = 0; /* an empty name would select the provider's default container */
        CryptAcquireContextW(&hProv, Header.uuid, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL,
                             CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET);
    }
    CUtil::DeleteDirectory(WString(UserFolder));
    return 0;
}
