/* Storage locations and registry settings: the stateless CUtil helpers, the
 * Users write grant and the maker's installation folder. */
#include "Util.h"
#include <aclapi.h>
#include <comdef.h>
#include <io.h>
#include <rpc.h>
#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <strsafe.h>
#include "Trace.h"

#define USERS_GROUP_SID W("S-1-5-32-545")
#define FIND_APP_KEY_CHARS 300

LONG CUtil::FindAppRegSetting(WString appName, WString& location, DWORD& type) {
    CFuncTrace trace("CUtil::FindAppRegSetting");
    static const char* const name = "CUtil::FindAppRegSetting";

    WCHAR keyPath[FIND_APP_KEY_CHARS];
    /* A name too long for the key path cannot have been registered. */
    if (FAILED(StringCchPrintfW(keyPath, FIND_APP_KEY_CHARS, W("%s\\%s"), VAULTKEEP_REG_KEY, appName.c_str()))) {
        _Print(name, "app doesn't exist");
        return Error_Bad_App;
    }

    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        _Print(name, "app doesn't exist");
        return Error_Bad_App;
    }

    DWORD cb = 0;
    RegQueryValueExW(hKey, W("Location"), NULL, NULL, NULL, &cb);
    WString value(cb / sizeof(WCHAR), W('\0'));
    DWORD cbValue = (DWORD)(value.size() * sizeof(WCHAR));
    if (RegQueryValueExW(hKey, W("Location"), NULL, NULL, reinterpret_cast<BYTE*>(value.data()), &cbValue) !=
        ERROR_SUCCESS) {
        RegCloseKey(hKey);
        _PrintError(name, __LINE__, "Error_Bad_App");
        return Error_Bad_App;
    }
    /* The value is read with its NUL; the text ends there. */
    size_t textLen = 0;
    while (textLen < cbValue / sizeof(WCHAR) && value[textLen] != W('\0')) ++textLen;
    value.resize(textLen);
    if (value.empty()) {
        RegCloseKey(hKey);
        _PrintError(name, __LINE__, "Error_Bad_App");
        return Error_Bad_App;
    }

    DWORD typeValue = 0;
    DWORD cbType = sizeof(typeValue);
    if (RegQueryValueExW(hKey, W("Type"), NULL, NULL, reinterpret_cast<BYTE*>(&typeValue), &cbType) !=
            ERROR_SUCCESS ||
        cbType != sizeof(typeValue)) {
        RegCloseKey(hKey);
        _PrintError(name, __LINE__, "Error_Bad_App");
        return Error_Bad_App;
    }

    location = value;
    type = typeValue;
    RegCloseKey(hKey);
    return 0;
}

static BOOL IsDotName(const WCHAR* name, size_t dots) {
    for (size_t i = 0; i < dots; ++i)
        if (name[i] != W('.')) return FALSE;
    return name[dots] == W('\0');
}

BOOL CUtil::DeleteDirectory(WString folder) {
    CFuncTrace trace("CUtil::DeleteDirectory");

    /* Paths are kept in strings of their own length rather than 260-character
     * buffers, so a deep tree is removed whole instead of half. */
    WString pattern = folder + W("\\*");
    WString prefix = folder + W("\\");

    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(pattern.c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) return FALSE;

    BOOL more = TRUE;
    while (more) {
        fd.cFileName[MAX_PATH - 1] = W('\0');
        if (!IsDotName(fd.cFileName, 1) && !IsDotName(fd.cFileName, 2)) {
            WString full = prefix + fd.cFileName;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                /* A link is removed itself, never followed: what it points at is not ours. */
                if (!DeleteFileW(full.c_str()) && !RemoveDirectoryW(full.c_str())) {
                    FindClose(hFind);
                    return FALSE;
                }
            } else if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!DeleteFileW(full.c_str())) {
                    FindClose(hFind);
                    return FALSE;
                }
            } else {
                if (!CUtil::DeleteDirectory(full)) {
                    FindClose(hFind);
                    return FALSE;
                }
                RemoveDirectoryW(full.c_str());
            }
        }
        more = FindNextFileW(hFind, &fd);
    }
    DWORD error = GetLastError();
    FindClose(hFind);
    if (error != ERROR_NO_MORE_FILES) return FALSE;
    return RemoveDirectoryW(folder.c_str());
}

BOOL CUtil::FlushFolder(const WString& folder) {
    CFuncTrace trace("CUtil::FlushFolder");
    WString path(folder);
    while (path.size() > 3 && path[path.size() - 1] == W('\\')) path.resize(path.size() - 1);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    BOOL flushed = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
    DWORD error = flushed ? ERROR_SUCCESS : GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    /* The change is in place and every later call sees it; only its survival of a
     * power loss is in doubt, so the caller's result stands and the doubt is logged. */
    if (!flushed) _PrintError(trace.Name(), __LINE__, "cannot flush folder %S, error %d", path.c_str(), (int)error);
    return flushed;
}

WString CUtil::GenerateGUID() {
    CFuncTrace trace("CUtil::GenerateGUID");
    GUID guid = {};
    HRESULT hr = CoCreateGuid(&guid);
    /* A GUID names folders, key containers and blob files: a failed generator
     * must not hand out a repeated (zero) name. */
    if (FAILED(hr)) _com_issue_error(hr);
    RPC_WSTR text = NULL;
    if (UuidToStringW(&guid, &text) != RPC_S_OK || text == NULL) _com_issue_error(E_OUTOFMEMORY);
    WString result;
    try {
        result = reinterpret_cast<const WCHAR*>(text);
    } catch (...) {
        RpcStringFreeW(&text);
        throw;
    }
    RpcStringFreeW(&text);
    return result;
}

static void ReportAcl(WCHAR* buffer, HRESULT formatted) {
    if (SUCCEEDED(formatted)) OutputDebugStringW(buffer);
}

BOOL SetUsersWriteAccess(LPCWSTR path, BOOL grant) {
    if (path == NULL || path[0] == W('\0')) return FALSE;

    BOOL result = FALSE;
    PSID usersSid = NULL;
    PACL dacl = NULL;
    PACL newDacl = NULL;
    PSECURITY_DESCRIPTOR sd = NULL;
    WCHAR report[MAX_PATH];

    do {
        if (!ConvertStringSidToSidW(USERS_GROUP_SID, &usersSid)) {
            ReportAcl(report, StringCchPrintfW(report, MAX_PATH, W("ConvertStringSidToSid() failed. Error %u\n"),
                                               (unsigned)GetLastError()));
            break;
        }

        DWORD rc = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL,
                                         &sd);
        if (rc != ERROR_SUCCESS) {
            ReportAcl(report,
                      StringCchPrintfW(report, MAX_PATH, W("GetNamedSecurityInfo() failed. Error %u\n"), (unsigned)rc));
            break;
        }

        ACL_SIZE_INFORMATION info = {};
        if (!GetAclInformation(dacl, &info, sizeof(info), AclSizeInformation)) {
            ReportAcl(report, StringCchPrintfW(report, MAX_PATH, W("GetAclInformation() failed. Error = %d\n"),
                                               (int)GetLastError()));
            break;
        }

        /* One stale entry of the Users group goes: a plain write grant, or an
         * entry of the opposite kind that would contradict the new one. */
        const BYTE opposite = grant ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE;
        for (DWORD i = 0; i < info.AceCount; ++i) {
            LPVOID entry = NULL;
            if (!GetAce(dacl, i, &entry) || entry == NULL) continue;
            ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            if (EqualSid(usersSid, &ace->SidStart) &&
                (ace->Mask == GENERIC_WRITE || ace->Header.AceType == opposite)) {
                DeleteAce(dacl, i);
                break;
            }
        }

        EXPLICIT_ACCESS_W access = {};
        access.grfAccessPermissions = GENERIC_WRITE;
        access.grfAccessMode = grant ? GRANT_ACCESS : DENY_ACCESS;
        access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        access.Trustee.pMultipleTrustee = NULL;
        access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        access.Trustee.ptstrName = static_cast<LPWSTR>(usersSid);

        rc = SetEntriesInAclW(1, &access, dacl, &newDacl);
        if (rc != ERROR_SUCCESS) {
            ReportAcl(report,
                      StringCchPrintfW(report, MAX_PATH, W("SetEntriesInAcl() failed. Error = %u\n"), (unsigned)rc));
            break;
        }

        rc = SetNamedSecurityInfoW(const_cast<LPWSTR>(path), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                                   newDacl, NULL);
        if (rc != ERROR_SUCCESS) {
            ReportAcl(report, StringCchPrintfW(report, MAX_PATH, W("SetNamedSecurityInfo() Error %u\n"), (unsigned)rc));
            break;
        }
        result = TRUE;
    } while (FALSE);

    if (newDacl != NULL) LocalFree(newDacl);
    if (usersSid != NULL) LocalFree(usersSid);
    if (sd != NULL) LocalFree(sd);
    return result;
}

LONG GetInstallFolder(WCHAR folder[MAX_PATH]) {
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MAKER_REG_KEY, 0, KEY_QUERY_VALUE, &hKey) == ERROR_SUCCESS) {
        WCHAR value[MAX_PATH] = {0}; /* 520 bytes */
        DWORD cb = sizeof(value);
        DWORD type = REG_NONE;
        LSTATUS rc = RegQueryValueExW(hKey, W("Install Path"), NULL, &type, reinterpret_cast<BYTE*>(value), &cb);
        RegCloseKey(hKey);
        /* The stored bytes need not end in a NUL: the text stops at the first
         * NUL or at the value's end, whichever comes first. */
        size_t chars = 0;
        if (rc == ERROR_SUCCESS && type == REG_SZ) {
            size_t limit = cb / sizeof(WCHAR);
            if (limit > MAX_PATH - 1) limit = MAX_PATH - 1;
            while (chars < limit && value[chars] != W('\0')) ++chars;
        }
        if (chars > 0) {
            for (size_t i = 0; i < chars; ++i) folder[i] = value[i];
            folder[chars] = W('\0');
            return 0;
        }
    }

    if (FAILED(SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, SHGFP_TYPE_DEFAULT, folder))) return -1;
    if (!PathAppendW(folder, W("Tarnwick Systems Corp"))) return -1;
    return 0;
}
