/*
 * A file's DACL is its POSIX access ACL. Reading presents each entry as an
 * allow ACE with the entry's effective rights (r, w, x as GENERIC_READ,
 * GENERIC_WRITE, GENERIC_EXECUTE); the mask entry is folded in, not shown.
 * Writing turns allow ACEs back into entries (rights of one principal are
 * united), takes a deny ACE's rights away from its principal's entry (from
 * every entry for Everyone), and recomputes the mask. POSIX has no deny
 * entries, so a deny for a principal without an allow entry changes nothing.
 */
#include "internal/errors.h"
#include "internal/paths.h"
#include "internal/syscalls.h"
#include "security/secutil.h"

#include <acl/libacl.h>
#include <sys/acl.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace pal::security {
namespace {

constexpr WORD kSeDaclPresent = 0x0004;
constexpr WORD kSeSelfRelative = 0x8000;
constexpr SECURITY_INFORMATION kInfoFlags = 0xF0000000; /* (UN)PROTECTED_*_ACL */
constexpr SECURITY_INFORMATION kSaclInfo = 0x00000008;
constexpr BYTE kInheritOnly = 0x08;
constexpr ACCESS_MASK kReadRights = GENERIC_READ | GENERIC_ALL | 0x0001;              /* FILE_READ_DATA */
constexpr ACCESS_MASK kWriteRights = GENERIC_WRITE | GENERIC_ALL | 0x0002 | 0x0004;   /* WRITE/APPEND_DATA */
constexpr ACCESS_MASK kExecuteRights = GENERIC_EXECUTE | GENERIC_ALL | 0x0020;        /* FILE_EXECUTE */

/* Self-relative security descriptor header. */
struct DescriptorHeader {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    DWORD Owner;
    DWORD Group;
    DWORD Sacl;
    DWORD Dacl;
};
static_assert(sizeof(DescriptorHeader) == 20, "self-relative descriptor header");

class AclHolder {
public:
    explicit AclHolder(acl_t a = nullptr) : m_acl(a) {}
    ~AclHolder() {
        if (m_acl) acl_free(m_acl);
    }
    AclHolder(const AclHolder&) = delete;
    AclHolder& operator=(const AclHolder&) = delete;
    acl_t& get() { return m_acl; }

private:
    acl_t m_acl;
};

constexpr unsigned kR = 4, kW = 2, kX = 1;

ACCESS_MASK MaskFromBits(unsigned bits) {
    return (bits & kR ? GENERIC_READ : 0) | (bits & kW ? GENERIC_WRITE : 0) | (bits & kX ? GENERIC_EXECUTE : 0);
}

unsigned BitsFromMask(ACCESS_MASK m) {
    return (m & kReadRights ? kR : 0) | (m & kWriteRights ? kW : 0) | (m & kExecuteRights ? kX : 0);
}

unsigned EntryBits(acl_entry_t e) {
    acl_permset_t ps;
    if (acl_get_permset(e, &ps) != 0) return 0;
    return (acl_get_perm(ps, ACL_READ) == 1 ? kR : 0) | (acl_get_perm(ps, ACL_WRITE) == 1 ? kW : 0) |
           (acl_get_perm(ps, ACL_EXECUTE) == 1 ? kX : 0);
}

DWORD AclErrno(int err, const std::string& host) {
    if (err == ENOTSUP || err == EOPNOTSUPP) return ERROR_NOT_SUPPORTED;
    if (err == EPERM) return ERROR_ACCESS_DENIED;
    return pal::Win32FromPathErrno(err, host);
}

/* The file's access ACL as allow ACEs: owner, named users, owning group,
 * named groups, other. */
DWORD ReadAces(const std::string& host, const struct stat& st, std::vector<AceRecord>& aces) {
    AclHolder acl(acl_get_file(host.c_str(), ACL_TYPE_ACCESS));
    if (!acl.get()) {
        if (errno != ENOTSUP && errno != EOPNOTSUPP) return AclErrno(errno, host);
        acl.get() = acl_from_mode(st.st_mode); /* no ACL support: the mode is the whole ACL */
        if (!acl.get()) return ERROR_NOT_ENOUGH_MEMORY;
    }
    struct Item {
        acl_tag_t tag;
        uint32_t id;
        unsigned bits;
    };
    std::vector<Item> items;
    unsigned mask = kR | kW | kX;
    acl_entry_t e;
    for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl.get(), which, &e) == 1; which = ACL_NEXT_ENTRY) {
        acl_tag_t tag;
        if (acl_get_tag_type(e, &tag) != 0) return ERROR_INVALID_ACL;
        unsigned bits = EntryBits(e);
        if (tag == ACL_MASK) {
            mask = bits;
            continue;
        }
        uint32_t id = tag == ACL_USER_OBJ ? st.st_uid : (tag == ACL_GROUP_OBJ ? st.st_gid : 0);
        if (tag == ACL_USER || tag == ACL_GROUP) {
            void* q = acl_get_qualifier(e);
            if (!q) return ERROR_INVALID_ACL;
            id = tag == ACL_USER ? *static_cast<uid_t*>(q) : *static_cast<gid_t*>(q);
            acl_free(q);
        }
        items.push_back({tag, id, bits});
    }
    static const acl_tag_t kOrder[] = {ACL_USER_OBJ, ACL_USER, ACL_GROUP_OBJ, ACL_GROUP, ACL_OTHER};
    for (acl_tag_t tag : kOrder) {
        for (const Item& it : items) {
            if (it.tag != tag) continue;
            AceRecord r;
            r.type = ACCESS_ALLOWED_ACE_TYPE;
            bool groupClass = tag == ACL_USER || tag == ACL_GROUP_OBJ || tag == ACL_GROUP;
            r.mask = MaskFromBits(groupClass ? it.bits & mask : it.bits);
            if (tag == ACL_USER_OBJ || tag == ACL_USER)
                r.sid = SidForUser(it.id);
            else if (tag == ACL_OTHER)
                r.sid = SidForEveryone();
            else
                r.sid = SidForGroup(it.id);
            aces.push_back(std::move(r));
        }
    }
    return ERROR_SUCCESS;
}

DWORD GetWorker(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner, PSID* group, PACL* dacl,
                PACL* sacl, PSECURITY_DESCRIPTOR* sd) {
    if (owner) *owner = nullptr;
    if (group) *group = nullptr;
    if (dacl) *dacl = nullptr;
    if (sacl) *sacl = nullptr;
    if (sd) *sd = nullptr;
    if (!name || type != SE_FILE_OBJECT || !sd) return ERROR_INVALID_PARAMETER;
    if (info & kSaclInfo) return ERROR_NOT_SUPPORTED;
    std::string host;
    DWORD err;
    if (!pal::ToHostPath(name, host, err)) return err;
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return pal::Win32FromPathErrno(errno, host);

    std::vector<uint8_t> ownerSid, groupSid;
    std::vector<AceRecord> aces;
    bool wantDacl = info & DACL_SECURITY_INFORMATION;
    if (info & OWNER_SECURITY_INFORMATION) ownerSid = SidForUser(st.st_uid);
    if (info & GROUP_SECURITY_INFORMATION) groupSid = SidForGroup(st.st_gid);
    if (wantDacl && (err = ReadAces(host, st, aces)) != ERROR_SUCCESS) return err;

    size_t aclBytes = wantDacl ? EncodedSize(aces) : 0;
    if (aclBytes > 0xFFF0) return ERROR_INVALID_ACL;
    size_t total = sizeof(DescriptorHeader) + ownerSid.size() + groupSid.size() + aclBytes;
    auto* block = static_cast<uint8_t*>(calloc(1, total));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    DescriptorHeader h = {1, 0, static_cast<WORD>(kSeSelfRelative | (wantDacl ? kSeDaclPresent : 0)), 0, 0, 0, 0};
    size_t off = sizeof h;
    if (!ownerSid.empty()) {
        h.Owner = static_cast<DWORD>(off);
        memcpy(block + off, ownerSid.data(), ownerSid.size());
        off += ownerSid.size();
    }
    if (!groupSid.empty()) {
        h.Group = static_cast<DWORD>(off);
        memcpy(block + off, groupSid.data(), groupSid.size());
        off += groupSid.size();
    }
    if (wantDacl) {
        h.Dacl = static_cast<DWORD>(off);
        EncodeInto(aces, block + off);
    }
    memcpy(block, &h, sizeof h);
    if (owner && h.Owner) *owner = block + h.Owner;
    if (group && h.Group) *group = block + h.Group;
    if (dacl && h.Dacl) *dacl = reinterpret_cast<PACL>(block + h.Dacl);
    *sd = block;
    return ERROR_SUCCESS;
}

struct Rights {
    unsigned allow = 0, deny = 0;
    bool listed = false;
};

DWORD AddEntry(acl_t& acl, acl_tag_t tag, const uint32_t* id, unsigned bits) {
    acl_entry_t e;
    acl_permset_t ps;
    if (acl_create_entry(&acl, &e) != 0 || acl_set_tag_type(e, tag) != 0 || acl_get_permset(e, &ps) != 0 ||
        acl_clear_perms(ps) != 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (id) {
        uid_t uid = *id;
        gid_t gid = *id;
        if (acl_set_qualifier(e, tag == ACL_USER ? static_cast<void*>(&uid) : static_cast<void*>(&gid)) != 0)
            return ERROR_INVALID_PARAMETER;
    }
    if (((bits & kR) && acl_add_perm(ps, ACL_READ) != 0) || ((bits & kW) && acl_add_perm(ps, ACL_WRITE) != 0) ||
        ((bits & kX) && acl_add_perm(ps, ACL_EXECUTE) != 0) || acl_set_permset(e, ps) != 0)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

DWORD SetWorker(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PACL dacl) {
    if (!name || type != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
    info &= ~kInfoFlags;
    if (info & ~static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION)) return ERROR_NOT_SUPPORTED;
    if (!(info & DACL_SECURITY_INFORMATION)) return ERROR_SUCCESS;
    if (!dacl) return ERROR_INVALID_PARAMETER; /* a null DACL (everyone, everything) is not offered */
    std::vector<AceRecord> aces;
    if (!DecodeAcl(dacl, aces)) return ERROR_INVALID_ACL;
    std::string host;
    DWORD err;
    if (!pal::ToHostPath(name, host, err)) return err;
    /* Granted through a descriptor of the object itself, reached without links:
     * a name swapped for a link after it was checked must not pass the grant on. */
    const int fd = pal::sys::Open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP ? ERROR_ACCESS_DENIED : pal::Win32FromPathErrno(errno, host);
    struct FdCloser {
        int fd;
        ~FdCloser() { pal::sys::Close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0) return pal::Win32FromPathErrno(errno, host);

    Rights owner, owningGroup, other;
    std::map<uint32_t, Rights> users, groups;
    unsigned everyoneDeny = 0;
    for (const AceRecord& r : aces) {
        if (!r.raw.empty()) return ERROR_NOT_SUPPORTED;
        if (r.flags & kInheritOnly) continue; /* applies to children only */
        Principal p;
        if ((err = PrincipalOf(r.sid.data(), r.sid.size(), p)) != ERROR_SUCCESS) return err;
        Rights* target = &other;
        if (p.kind == Principal::kUser)
            target = p.id == st.st_uid ? &owner : &users[p.id];
        else if (p.kind == Principal::kGroup)
            target = p.id == st.st_gid ? &owningGroup : &groups[p.id];
        unsigned bits = BitsFromMask(r.mask);
        if (r.type == ACCESS_ALLOWED_ACE_TYPE) {
            target->allow |= bits;
            target->listed = true;
        } else {
            target->deny |= bits;
            if (p.kind == Principal::kEveryone) everyoneDeny |= bits;
        }
    }
    auto effective = [&](const Rights& r) { return r.allow & ~r.deny & ~everyoneDeny; };

    AclHolder acl(acl_init(static_cast<int>(4 + users.size() + groups.size())));
    if (!acl.get()) return ERROR_NOT_ENOUGH_MEMORY;
    bool named = false;
    if ((err = AddEntry(acl.get(), ACL_USER_OBJ, nullptr, effective(owner))) != ERROR_SUCCESS) return err;
    for (const auto& [uid, r] : users) {
        if (!r.listed) continue;
        named = true;
        if ((err = AddEntry(acl.get(), ACL_USER, &uid, effective(r))) != ERROR_SUCCESS) return err;
    }
    if ((err = AddEntry(acl.get(), ACL_GROUP_OBJ, nullptr, effective(owningGroup))) != ERROR_SUCCESS) return err;
    for (const auto& [gid, r] : groups) {
        if (!r.listed) continue;
        named = true;
        if ((err = AddEntry(acl.get(), ACL_GROUP, &gid, effective(r))) != ERROR_SUCCESS) return err;
    }
    if ((err = AddEntry(acl.get(), ACL_OTHER, nullptr, effective(other))) != ERROR_SUCCESS) return err;
    if (named && acl_calc_mask(&acl.get()) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    if (acl_valid(acl.get()) != 0) return ERROR_INVALID_ACL;
    if (acl_set_fd(fd, acl.get()) != 0) return AclErrno(errno, host);
    return ERROR_SUCCESS;
}

} // namespace
} // namespace pal::security

/* Owner, group and DACL can be asked for; the descriptor is one malloc block
 * (LocalFree) and the returned pointers point into it, so
 * ppSecurityDescriptor is required. */
extern "C" DWORD GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                       SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                                       PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    try {
        return pal::security::GetWorker(pObjectName, ObjectType, SecurityInfo, ppsidOwner, ppsidGroup, ppDacl,
                                        ppSacl, ppSecurityDescriptor);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

/* Only the DACL can be set. ERROR_NOT_SUPPORTED when the file system keeps no
 * ACLs, ERROR_NONE_MAPPED for a SID with no host principal (the Users SID on a
 * host without a "users" group). */
extern "C" DWORD SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                       SECURITY_INFORMATION SecurityInfo, PSID psidOwner, PSID psidGroup,
                                       PACL pDacl, PACL pSacl) {
    try {
        return pal::security::SetWorker(pObjectName, ObjectType, SecurityInfo, pDacl);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
