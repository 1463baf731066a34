/* ACLs in the Win32 binary layout and the explicit-access merge. */
#include "security/secutil.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pal::security {

namespace {

constexpr size_t kAclHeader = sizeof(ACL);
constexpr size_t kAceFixed = 8; /* header and mask before the SID */
constexpr size_t kMaxAclSize = 0xFFFF;
constexpr BYTE kAclRevisionDs = 4;
constexpr DWORD kInheritanceBits = 0x0F; /* object, container, no-propagate, inherit-only */

bool IsAccessAce(BYTE type) { return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE; }

WORD ReadWord(const uint8_t* p) {
    WORD v;
    memcpy(&v, p, 2);
    return v;
}

} // namespace

bool ValidateAcl(const ACL* acl, size_t& bytesInUse) {
    if (!acl) return false;
    if (acl->AclRevision != ACL_REVISION && acl->AclRevision != kAclRevisionDs) return false;
    if (acl->AclSize < kAclHeader || acl->AclSize % 4 != 0) return false;
    auto* base = reinterpret_cast<const uint8_t*>(acl);
    size_t off = kAclHeader;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        if (acl->AclSize - off < sizeof(ACE_HEADER)) return false;
        WORD size = ReadWord(base + off + 2);
        if (size < sizeof(ACE_HEADER) || size % 4 != 0 || size > acl->AclSize - off) return false;
        BYTE type = base[off];
        if (IsAccessAce(type) && (size < kAceFixed || !SidLength(base + off + kAceFixed, size - kAceFixed)))
            return false;
        off += size;
    }
    bytesInUse = off;
    return true;
}

bool DecodeAcl(const ACL* acl, std::vector<AceRecord>& aces) {
    size_t used;
    if (!ValidateAcl(acl, used)) return false;
    aces.clear();
    auto* base = reinterpret_cast<const uint8_t*>(acl);
    size_t off = kAclHeader;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        AceRecord r;
        WORD size = ReadWord(base + off + 2);
        r.type = base[off];
        r.flags = base[off + 1];
        if (IsAccessAce(r.type)) {
            memcpy(&r.mask, base + off + 4, 4);
            size_t len = SidLength(base + off + kAceFixed, size - kAceFixed);
            r.sid.assign(base + off + kAceFixed, base + off + kAceFixed + len);
        } else {
            r.raw.assign(base + off, base + off + size);
        }
        aces.push_back(std::move(r));
        off += size;
    }
    return true;
}

static size_t AceSize(const AceRecord& r) { return r.raw.empty() ? kAceFixed + r.sid.size() : r.raw.size(); }

size_t EncodedSize(const std::vector<AceRecord>& aces) {
    size_t total = kAclHeader;
    for (const AceRecord& r : aces) total += AceSize(r);
    return total;
}

void EncodeInto(const std::vector<AceRecord>& aces, uint8_t* buf) {
    size_t total = EncodedSize(aces);
    ACL header = {ACL_REVISION, 0, static_cast<WORD>(total), static_cast<WORD>(aces.size()), 0};
    memcpy(buf, &header, kAclHeader);
    size_t off = kAclHeader;
    for (const AceRecord& r : aces) {
        if (!r.raw.empty()) {
            memcpy(buf + off, r.raw.data(), r.raw.size());
        } else {
            WORD size = static_cast<WORD>(AceSize(r));
            buf[off] = r.type;
            buf[off + 1] = r.flags;
            memcpy(buf + off + 2, &size, 2);
            memcpy(buf + off + 4, &r.mask, 4);
            memcpy(buf + off + kAceFixed, r.sid.data(), r.sid.size());
        }
        off += AceSize(r);
    }
}

ACL* EncodeAcl(const std::vector<AceRecord>& aces, DWORD& error) {
    size_t total = EncodedSize(aces);
    if (total > kMaxAclSize - 3 || aces.size() > 0xFFFF) {
        error = ERROR_INVALID_ACL;
        return nullptr;
    }
    auto* buf = static_cast<uint8_t*>(malloc(total));
    if (!buf) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    EncodeInto(aces, buf);
    error = ERROR_SUCCESS;
    return reinterpret_cast<ACL*>(buf);
}

namespace {

bool SameTrustee(const AceRecord& r, const std::vector<uint8_t>& sid) { return r.raw.empty() && r.sid == sid; }

DWORD CheckTrustee(const TRUSTEE_W& t, std::vector<uint8_t>& sid) {
    if (t.pMultipleTrustee || t.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE) return ERROR_INVALID_PARAMETER;
    if (t.TrusteeForm != TRUSTEE_IS_SID) return ERROR_NOT_SUPPORTED;
    size_t len = SidLength(t.ptstrName);
    if (!len) return ERROR_INVALID_SID;
    auto* p = reinterpret_cast<const uint8_t*>(t.ptstrName);
    sid.assign(p, p + len);
    return ERROR_SUCCESS;
}

/* Merges one explicit entry. Deny ACEs stay ahead of allow ACEs. */
DWORD Apply(const EXPLICIT_ACCESS_W& e, std::vector<AceRecord>& aces) {
    if (e.grfAccessMode == NOT_USED_ACCESS) return ERROR_SUCCESS;
    std::vector<uint8_t> sid;
    DWORD err = CheckTrustee(e.Trustee, sid);
    if (err != ERROR_SUCCESS) return err;
    BYTE flags = static_cast<BYTE>(e.grfInheritance & kInheritanceBits);
    ACCESS_MASK mask = e.grfAccessPermissions;
    auto erase = [&](BYTE type) {
        aces.erase(std::remove_if(aces.begin(), aces.end(),
                                  [&](const AceRecord& r) { return SameTrustee(r, sid) && r.type == type; }),
                   aces.end());
    };
    auto merge = [&](BYTE type) {
        for (AceRecord& r : aces) {
            if (SameTrustee(r, sid) && r.type == type && r.flags == flags) {
                r.mask |= mask;
                return;
            }
        }
        AceRecord r;
        r.type = type;
        r.flags = flags;
        r.mask = mask;
        r.sid = sid;
        if (type == ACCESS_DENIED_ACE_TYPE) {
            auto firstAllow = std::find_if(aces.begin(), aces.end(),
                                           [](const AceRecord& a) { return a.type != ACCESS_DENIED_ACE_TYPE; });
            aces.insert(firstAllow, std::move(r));
        } else {
            aces.push_back(std::move(r));
        }
    };
    switch (e.grfAccessMode) {
    case GRANT_ACCESS:
        /* A grant lifts the same rights from the trustee's deny entries. */
        for (AceRecord& r : aces)
            if (SameTrustee(r, sid) && r.type == ACCESS_DENIED_ACE_TYPE) r.mask &= ~mask;
        aces.erase(std::remove_if(aces.begin(), aces.end(),
                                  [&](const AceRecord& r) {
                                      return SameTrustee(r, sid) && r.type == ACCESS_DENIED_ACE_TYPE && r.mask == 0;
                                  }),
                   aces.end());
        merge(ACCESS_ALLOWED_ACE_TYPE);
        return ERROR_SUCCESS;
    case SET_ACCESS:
        erase(ACCESS_ALLOWED_ACE_TYPE);
        erase(ACCESS_DENIED_ACE_TYPE);
        merge(ACCESS_ALLOWED_ACE_TYPE);
        return ERROR_SUCCESS;
    case DENY_ACCESS:
        merge(ACCESS_DENIED_ACE_TYPE);
        return ERROR_SUCCESS;
    case REVOKE_ACCESS:
        erase(ACCESS_ALLOWED_ACE_TYPE);
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

DWORD SetEntriesWorker(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl) {
    if (!newAcl) return ERROR_INVALID_PARAMETER;
    *newAcl = nullptr;
    if (count && !entries) return ERROR_INVALID_PARAMETER;
    std::vector<AceRecord> aces;
    if (oldAcl && !DecodeAcl(oldAcl, aces)) return ERROR_INVALID_ACL;
    for (ULONG i = 0; i < count; ++i) {
        DWORD err = Apply(entries[i], aces);
        if (err != ERROR_SUCCESS) return err;
    }
    DWORD err;
    *newAcl = EncodeAcl(aces, err);
    return err;
}

} // namespace
} // namespace pal::security

using namespace pal::security;

extern "C" BOOL GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                                  ACL_INFORMATION_CLASS dwAclInformationClass) {
    DWORD err = ERROR_SUCCESS;
    size_t used = 0;
    if (!pAcl || !pAclInformation) {
        err = ERROR_INVALID_PARAMETER;
    } else if (!ValidateAcl(pAcl, used)) {
        err = ERROR_INVALID_ACL;
    } else if (dwAclInformationClass == AclSizeInformation) {
        if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION)) {
            err = ERROR_INSUFFICIENT_BUFFER;
        } else {
            ACL_SIZE_INFORMATION info = {pAcl->AceCount, static_cast<DWORD>(used),
                                         static_cast<DWORD>(pAcl->AclSize - used)};
            memcpy(pAclInformation, &info, sizeof info);
        }
    } else if (dwAclInformationClass == AclRevisionInformation) {
        if (nAclInformationLength < sizeof(DWORD)) {
            err = ERROR_INSUFFICIENT_BUFFER;
        } else {
            DWORD revision = pAcl->AclRevision;
            memcpy(pAclInformation, &revision, sizeof revision);
        }
    } else {
        err = ERROR_INVALID_PARAMETER;
    }
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

extern "C" BOOL GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
    DWORD err = ERROR_SUCCESS;
    size_t used = 0;
    if (!pAcl || !pAce) {
        err = ERROR_INVALID_PARAMETER;
    } else if (!ValidateAcl(pAcl, used)) {
        err = ERROR_INVALID_ACL;
    } else if (dwAceIndex >= pAcl->AceCount) {
        err = ERROR_INVALID_PARAMETER;
    } else {
        auto* p = reinterpret_cast<uint8_t*>(pAcl) + sizeof(ACL);
        for (DWORD i = 0; i < dwAceIndex; ++i) p += reinterpret_cast<ACE_HEADER*>(p)->AceSize;
        *pAce = p;
    }
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

/* The ACEs after the deleted one move up; AclSize stays, the space freed is
 * zeroed and counted as free. */
extern "C" BOOL DeleteAce(PACL pAcl, DWORD dwAceIndex) {
    DWORD err = ERROR_SUCCESS;
    size_t used = 0;
    if (!pAcl) {
        err = ERROR_INVALID_PARAMETER;
    } else if (!ValidateAcl(pAcl, used)) {
        err = ERROR_INVALID_ACL;
    } else if (dwAceIndex >= pAcl->AceCount) {
        err = ERROR_INVALID_PARAMETER;
    } else {
        auto* base = reinterpret_cast<uint8_t*>(pAcl);
        size_t off = sizeof(ACL);
        for (DWORD i = 0; i < dwAceIndex; ++i) off += reinterpret_cast<ACE_HEADER*>(base + off)->AceSize;
        size_t size = reinterpret_cast<ACE_HEADER*>(base + off)->AceSize;
        memmove(base + off, base + off + size, used - off - size);
        memset(base + used - size, 0, size);
        pAcl->AceCount--;
    }
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

/* Trustees must be given as SIDs. GRANT_ACCESS adds rights to the trustee's
 * allow entry (and lifts them from its deny entries), SET_ACCESS replaces all
 * of the trustee's entries, DENY_ACCESS adds a deny entry ahead of the allow
 * entries, REVOKE_ACCESS removes the trustee's allow entries. */
extern "C" DWORD SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries,
                                  PACL OldAcl, PACL* NewAcl) {
    try {
        return SetEntriesWorker(cCountOfExplicitEntries, pListOfExplicitEntries, OldAcl, NewAcl);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
