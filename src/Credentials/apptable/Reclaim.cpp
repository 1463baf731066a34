/* Finding and removing what interrupted calls left behind. */
#include "Reclaim.h"
#include <cstddef>
#include <cstring>
#include "../util/Trace.h"
#include "../platform/DiagLog.h"
#include "../platform/KeyProvider.h"
#include "../usertable/UserTable.h"
#include "../util/Util.h"
#include "AppTable.h"
#include "../util/TableSupport.h"

using namespace tables;

namespace reclaim {

namespace {

#define TRASH_FOLDER_NAME W("Vaultkeep Trash")
#define MAX_APP_KEY_CHARS 256

/* The key names the users of one registered application's table name, read
 * without its secret; every count and offset is checked against the file.
 * FALSE when the table, or a user's key name, cannot be read: a key such a
 * user owns is then unknown, and must not be taken for an orphan. */
BOOL KeysOfApplication(const WString& appName, const WString& exceptFolder, std::vector<WString>& keys) {
    WString location;
    DWORD type = 0;
    if (CUtil::FindAppRegSetting(appName, location, type) != 0) return FALSE;
    location = WString(location.c_str());
    if (location.empty()) return FALSE;

    std::vector<BYTE> table;
    const DWORD read = ReadFileWhole((location + W("\\app.bin")).c_str(), APP_TABLE_MAX_BODY + HMAC_SIZE, table);
    /* A registration that never wrote its table has no users. */
    if (read == ERROR_FILE_NOT_FOUND || read == ERROR_PATH_NOT_FOUND) return TRUE;
    if (read != ERROR_SUCCESS || table.size() < sizeof(AppTableHeader)) return FALSE;
    AppTableHeader header;
    memcpy(&header, table.data(), sizeof(header));
    if (header.usercount > MAXIMUM_NUMBER_OF_USERS || header.recordsize != USER_RECORD_SIZE) return FALSE;
    BOOL complete = TRUE;
    for (DWORD i = 0; i < header.usercount; ++i) {
        const size_t at = APP_TABLE_HEADER_SIZE + (size_t)i * sizeof(UserRecord);
        if (at + sizeof(UserRecord) > table.size()) return FALSE;
        UserRecord record;
        memcpy(&record, table.data() + at, sizeof(record));
        if (!FieldTerminated(record.path, 260)) {
            complete = FALSE;
            continue;
        }
        WString folder = FieldString(record.path, 260);
        if (folder == exceptFolder) continue;
        WString key = UnverifiedKeyName(folder);
        if (key.empty())
            complete = FALSE;
        else
            keys.push_back(key);
    }
    return complete;
}

} // namespace

WString TrashFolder(LPCWSTR dataFolder) {
    WString folder(dataFolder ? dataFolder : W(""));
    while (!folder.empty() && folder[folder.size() - 1] == W('\\')) folder.resize(folder.size() - 1);
    size_t slash = folder.find_last_of(W('\\'));
    if (slash == WString::npos) return WString();
    return folder.substr(0, slash + 1) + TRASH_FOLDER_NAME;
}

BOOL SetAside(LPCWSTR dataFolder, const WString& folder, WString* aside) {
    WString trash = TrashFolder(dataFolder);
    if (trash.empty()) return FALSE;
    CreateDirectoryW(trash.c_str(), NULL);
    WString to = trash + W("\\") + CUtil::GenerateGUID();
    if (!MoveFileExW(folder.c_str(), to.c_str(), 0)) return FALSE;
    if (aside) *aside = to;
    return TRUE;
}

BOOL IsUnfinishedRegistration(const WString& appFolder) {
    std::vector<WIN32_FIND_DATAW> entries;
    if (!ListFolder(appFolder, entries)) return FALSE;
    for (const WIN32_FIND_DATAW& e : entries) {
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FALSE;
        const WString name = e.cFileName;
        const BOOL temporary = name.size() > 2 && name[0] == W('.') && name[1] == W('~');
        const BOOL shortTable =
            name == W("app.bin") && e.nFileSizeHigh == 0 && e.nFileSizeLow < APP_TABLE_HEADER_SIZE + HMAC_SIZE;
        if (!temporary && !shortTable) return FALSE;
    }
    return TRUE;
}

BOOL ListFolder(const WString& folder, std::vector<WIN32_FIND_DATAW>& entries) {
    entries.clear();
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((folder + W("\\*")).c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        fd.cFileName[MAX_PATH - 1] = 0;
        const WCHAR* n = fd.cFileName;
        if ((n[0] == W('.') && n[1] == 0) || (n[0] == W('.') && n[1] == W('.') && n[2] == 0)) continue;
        entries.push_back(fd);
    } while (FindNextFileW(hFind, &fd));
    DWORD error = GetLastError();
    FindClose(hFind);
    return error == ERROR_NO_MORE_FILES;
}

WString UnverifiedKeyName(const WString& userFolder) {
    /* Read whole, under the bound the table's own reader has: a table is small,
     * and only its header is looked at. */
    std::vector<BYTE> table;
    if (ReadFileWhole((userFolder + W("\\user.bin")).c_str(), 0x7FFFFFFF, table) != ERROR_SUCCESS ||
        table.size() < sizeof(UserTableHeader))
        return WString();
    UserTableHeader header;
    memcpy(&header, table.data(), sizeof(header));
    if (!IsGuidString(header.uuid, 38)) return WString();
    return FieldString(header.uuid, 38);
}

BOOL KeysInUse(const WString& exceptFolder, std::vector<WString>& keys) {
    keys.clear();
    HKEY hKey = NULL;
    LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, VAULTKEEP_REG_KEY, 0, KEY_READ, &hKey);
    if (opened == ERROR_FILE_NOT_FOUND) return TRUE;
    if (opened != ERROR_SUCCESS) return FALSE;
    BOOL complete = TRUE;
    for (DWORD i = 0;; ++i) {
        WCHAR name[MAX_APP_KEY_CHARS];
        DWORD cch = MAX_APP_KEY_CHARS;
        LSTATUS rc = RegEnumKeyExW(hKey, i, name, &cch, NULL, NULL, NULL, NULL);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            complete = FALSE;
            break;
        }
        if (!KeysOfApplication(WString(name, cch), exceptFolder, keys)) {
            _Print("reclaim::KeysInUse", "application %S could not be read whole: the keys its users may own are kept",
                   WString(name, cch).c_str());
            complete = FALSE;
        }
    }
    RegCloseKey(hKey);
    return complete;
}

BOOL KeyInUse(const WString& keyName, const WString& exceptFolder) {
    std::vector<WString> keys;
    /* A walk that could not read every application may have missed the user: keep the key. */
    if (!KeysInUse(exceptFolder, keys)) return TRUE;
    for (const WString& k : keys)
        if (k == keyName) return TRUE;
    return FALSE;
}

BOOL DeleteKey(LPCWSTR keyName) {
    if (!keyName || !keyName[0]) return FALSE; /* an empty name would select the provider's default container */
    HCRYPTPROV hProv = 0;
    return CryptAcquireContextW(&hProv, keyName, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL,
                                CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET);
}

BOOL ListKeys(std::vector<WString>& names) {
    names.clear();
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, NULL, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET))
        return FALSE;
    std::vector<char> name;
    DWORD cb = 0;
    BOOL complete = CryptGetProvParam(hProv, PP_ENUMCONTAINERS, NULL, &cb, CRYPT_FIRST) && cb > 0;
    if (complete) name.resize(cb);
    for (DWORD flags = CRYPT_FIRST; complete; flags = CRYPT_NEXT) {
        cb = (DWORD)name.size();
        if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name.data()), &cb, flags)) {
            complete = GetLastError() == ERROR_NO_MORE_ITEMS;
            break;
        }
        name[name.size() - 1] = 0;
        WCHAR wide[MAX_PATH];
        if (MultiByteToWideChar(CP_ACP, 0, name.data(), -1, wide, MAX_PATH) <= 0)
            complete = FALSE;
        else
            names.push_back(wide);
    }
    CryptReleaseContext(hProv, 0);
    return complete;
}

void EmptyTrash(LPCWSTR dataFolder, std::vector<TrashEntry>* found, BOOL remove) {
    CFuncTrace trace("reclaim::EmptyTrash");
    WString trash = TrashFolder(dataFolder);
    std::vector<WIN32_FIND_DATAW> entries;
    if (trash.empty() || !ListFolder(trash, entries)) return;
    std::vector<WString> inUse;
    BOOL inUseKnown = FALSE, inUseComplete = FALSE;
    for (const WIN32_FIND_DATAW& app : entries) {
        BOOL removed = FALSE;
        const BOOL folder =
            (app.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(app.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (remove && folder) {
            WString appFolder = trash + W("\\") + app.cFileName;
            if (!inUseKnown) {
                inUseComplete = KeysInUse(WString(), inUse);
                inUseKnown = TRUE;
            }
            std::vector<WIN32_FIND_DATAW> users;
            ListFolder(appFolder, users);
            for (const WIN32_FIND_DATAW& u : users) {
                if (!(u.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsGuidString(u.cFileName, MAX_PATH)) continue;
                WString key = UnverifiedKeyName(appFolder + W("\\") + u.cFileName);
                BOOL used = !inUseComplete;
                for (const WString& k : inUse) used = used || k == key;
                if (!key.empty() && !used) DeleteKey(key.c_str());
            }
            removed = CUtil::DeleteDirectory(appFolder);
            _Print(trace.Name(), removed ? "removed %S" : "could not remove %S", appFolder.c_str());
        }
        if (found) found->push_back(TrashEntry{app.cFileName, removed});
    }
}

} // namespace reclaim
