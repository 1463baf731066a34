/* Access rules the core gives its objects on Windows (see AccessRules.h). */
#include "AccessRules.h"

#ifdef _WIN32
#include <aclapi.h>
#include <sddl.h>
#include <cstring>
#include <vector>
#include "../platform/Wide.h"
#include "../platform/DiagLog.h"

namespace {

struct LocalMem {
    void* p = NULL;
    ~LocalMem() {
        if (p) LocalFree(p);
    }
};

bool SidIs(PSID sid, LPCWSTR text) {
    LocalMem other;
    return ConvertStringSidToSidW(text, reinterpret_cast<PSID*>(&other.p)) && EqualSid(sid, other.p);
}

bool IsCaller(PSID sid) {
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    std::vector<BYTE> buf(256);
    DWORD cb = 0;
    bool same = false;
    if (GetTokenInformation(token, TokenUser, buf.data(), (DWORD)buf.size(), &cb))
        same = EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid) != FALSE;
    CloseHandle(token);
    return same;
}

/* SYSTEM, Administrators, TrustedInstaller or the calling account. */
bool IsAdministration(PSID sid) {
    return SidIs(sid, W("S-1-5-18")) || SidIs(sid, W("S-1-5-32-544")) ||
           SidIs(sid, W("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")) || IsCaller(sid);
}

/* The DACL the SDDL text describes, inside *sd (LocalFree'd by the holder). */
PACL DaclOf(LPCWSTR sddl, LocalMem& sd) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR*>(&sd.p), NULL))
        return NULL;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    if (!GetSecurityDescriptorDacl(sd.p, &present, &dacl, &defaulted) || !present) return NULL;
    return dacl;
}

bool SameAces(PACL a, PACL b) {
    if (a == NULL || b == NULL || a->AceCount != b->AceCount) return false;
    for (WORD i = 0; i < a->AceCount; ++i) {
        void *x = NULL, *y = NULL;
        if (!GetAce(a, i, &x) || !GetAce(b, i, &y)) return false;
        const WORD n = static_cast<ACE_HEADER*>(x)->AceSize;
        if (n != static_cast<ACE_HEADER*>(y)->AceSize || std::memcmp(x, y, n) != 0) return false;
    }
    return true;
}

} // namespace

BOOL OnlyAdministrationMay(PSID owner, PACL dacl, ACCESS_MASK mask) {
    /* No DACL at all lets everybody do everything. */
    if (owner == NULL || !IsAdministration(owner) || dacl == NULL) return FALSE;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = NULL;
        if (!GetAce(dacl, i, &ace)) return FALSE;
        const ACE_HEADER* h = static_cast<ACE_HEADER*>(ace);
        if (h->AceType == ACCESS_DENIED_ACE_TYPE || (h->AceFlags & INHERIT_ONLY_ACE)) continue;
        if (h->AceType != ACCESS_ALLOWED_ACE_TYPE) return FALSE; /* a kind not judged here */
        const ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        /* OWNER RIGHTS stands for the owner, checked above. */
        if ((allowed->Mask & mask) && !SidIs(sid, W("S-1-3-4")) && !IsAdministration(sid)) return FALSE;
    }
    return TRUE;
}

/* TRUE when only the administration owns path and can do to it what mask names. */
static BOOL PathOnlyAdministrationMay(LPCWSTR path, ACCESS_MASK mask) {
    PSID owner = NULL;
    PACL dacl = NULL;
    LocalMem sd;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              NULL, &dacl, NULL, reinterpret_cast<PSECURITY_DESCRIPTOR*>(&sd.p)) != ERROR_SUCCESS)
        return FALSE;
    return OnlyAdministrationMay(owner, dacl, mask);
}

BOOL OwnedByAdministration(LPCWSTR path) { return PathOnlyAdministrationMay(path, 0); }

BOOL IsInstalledModule(LPCWSTR path) {
    if (!PathOnlyAdministrationMay(path, VAULT_CHANGING_RIGHTS)) return FALSE;
    /* Its folder must take no file, and no folder above may be renamed, replaced
     * or handed over; adding beside them is harmless (C:\ lets every account). */
    const ACCESS_MASK above = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | MAXIMUM_ALLOWED;
    WString folder(path);
    for (bool first = true;; first = false) {
        size_t sep = folder.find_last_of(W("\\/"));
        if (sep == WString::npos || sep == 0) return TRUE;
        folder.resize(sep);
        if (folder.size() == 2 && folder[1] == W(':')) folder += W('\\'); /* the drive's root */
        if (!PathOnlyAdministrationMay(folder.c_str(), first ? VAULT_CHANGING_RIGHTS : above)) return FALSE;
        if (folder.size() == 3 && folder[1] == W(':')) return TRUE;
    }
}

DWORD ProtectVaultFolder(LPCWSTR folder) {
    LocalMem sd;
    PACL dacl = DaclOf(VAULT_FOLDER_SDDL, sd);
    if (dacl == NULL) return GetLastError() ? GetLastError() : ERROR_INVALID_ACL;
    return SetNamedSecurityInfoW(const_cast<LPWSTR>(folder), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL, dacl,
                                 NULL);
}

HANDLE CreateVaultMutex(LPCWSTR name) {
    LocalMem sd;
    PACL ours = DaclOf(VAULT_MUTEX_SDDL, sd);
    if (ours == NULL) return NULL;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd.p, FALSE};
    /* Not CreateMutexW: it asks an existing mutex for every right, which the
     * vault's users do not hold. */
    HANDLE h = CreateMutexExW(&sa, name, 0, VAULT_MUTEX_ACCESS);
    const DWORD error = GetLastError();
    if (h == NULL) {
        if (error == ERROR_ACCESS_DENIED)
            _PrintError("CreateVaultMutex", __LINE__, "the mutex %S is closed to this account", name);
        SetLastError(error);
        return NULL;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        /* Whoever made it first is its owner; with the vault's rules that owner
         * can change nothing, with any others it could lock the vault's users out. */
        PACL found = NULL;
        LocalMem foundSd;
        if (GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &found, NULL,
                            reinterpret_cast<PSECURITY_DESCRIPTOR*>(&foundSd.p)) != ERROR_SUCCESS ||
            !SameAces(found, ours)) {
            _PrintError("CreateVaultMutex", __LINE__, "the mutex %S has access rules not the vault's", name);
            CloseHandle(h);
            SetLastError(ERROR_ACCESS_DENIED);
            return NULL;
        }
    }
    SetLastError(error);
    return h;
}
#endif
