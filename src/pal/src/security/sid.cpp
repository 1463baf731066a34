/* SIDs: the binary layout, the string form, and their host principals. */
#include "internal/strings.h"
#include "security/secutil.h"
#include "internal/perms.h"


#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace pal::security {

namespace {

constexpr BYTE kSidRevision = 1;
constexpr uint64_t kMaxAuthority = 0xFFFFFFFFFFFFull;
constexpr uint64_t kWorldAuthority = 1, kNtAuthority = 5, kUnixAuthority = 22;

std::mutex g_usersNameLock;
std::string g_usersName; /* empty: the vault group */

uint64_t AuthorityOf(const uint8_t* sid) {
    uint64_t a = 0;
    for (int i = 0; i < 6; ++i) a = (a << 8) | sid[2 + i];
    return a;
}

uint32_t SubOf(const uint8_t* sid, size_t i) {
    uint32_t v;
    memcpy(&v, sid + 8 + 4 * i, 4);
    return v;
}

/* Parses a decimal or 0x-hex number up to max; advances p. */
bool ParseNumber(const WCHAR*& p, uint64_t max, uint64_t& value) {
    value = 0;
    bool hex = p[0] == u'0' && (p[1] == u'x' || p[1] == u'X');
    if (hex) p += 2;
    const WCHAR* start = p;
    for (;; ++p) {
        unsigned digit;
        if (*p >= u'0' && *p <= u'9')
            digit = *p - u'0';
        else if (hex && *p >= u'a' && *p <= u'f')
            digit = *p - u'a' + 10;
        else if (hex && *p >= u'A' && *p <= u'F')
            digit = *p - u'A' + 10;
        else
            break;
        unsigned base = hex ? 16 : 10;
        if (value > (max - digit) / base) return false;
        value = value * base + digit;
    }
    return p != start;
}

DWORD ParseStringSid(LPCWSTR s, std::vector<uint8_t>& sid) {
    struct Alias {
        const char16_t* name;
        uint64_t authority;
        std::vector<uint32_t> subs;
    };
    static const Alias kAliases[] = {
        {u"BU", kNtAuthority, {32, 545}}, {u"BA", kNtAuthority, {32, 544}},
        {u"WD", kWorldAuthority, {0}},    {u"SY", kNtAuthority, {18}},
    };
    for (const Alias& a : kAliases) {
        if (std::u16string_view(s) == a.name) {
            sid = MakeSid(a.authority, a.subs);
            return ERROR_SUCCESS;
        }
    }
    const WCHAR* p = s;
    if ((p[0] != u'S' && p[0] != u's') || p[1] != u'-' || p[2] != u'1' || p[3] != u'-') return ERROR_INVALID_SID;
    p += 4;
    uint64_t authority;
    if (!ParseNumber(p, kMaxAuthority, authority)) return ERROR_INVALID_SID;
    std::vector<uint32_t> subs;
    while (*p == u'-') {
        ++p;
        uint64_t v;
        if (subs.size() == kMaxSubAuthorities || !ParseNumber(p, UINT32_MAX, v)) return ERROR_INVALID_SID;
        subs.push_back(static_cast<uint32_t>(v));
    }
    if (*p) return ERROR_INVALID_SID;
    sid = MakeSid(authority, subs);
    return ERROR_SUCCESS;
}

} // namespace

size_t SidLength(const void* sid, size_t room) {
    if (!sid || room < 8) return 0;
    auto* b = static_cast<const uint8_t*>(sid);
    if (b[0] != kSidRevision || b[1] > kMaxSubAuthorities) return 0;
    size_t len = 8 + 4 * static_cast<size_t>(b[1]);
    return len <= room ? len : 0;
}

std::vector<uint8_t> MakeSid(uint64_t authority, const std::vector<uint32_t>& subs) {
    std::vector<uint8_t> sid(8 + 4 * subs.size());
    sid[0] = kSidRevision;
    sid[1] = static_cast<uint8_t>(subs.size());
    for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
    for (size_t i = 0; i < subs.size(); ++i) memcpy(&sid[8 + 4 * i], &subs[i], 4);
    return sid;
}

std::string SidToString(const void* sid) {
    size_t len = SidLength(sid);
    if (!len) return "(invalid SID)";
    auto* b = static_cast<const uint8_t*>(sid);
    std::string s = "S-1-" + std::to_string(AuthorityOf(b));
    for (size_t i = 0; i < b[1]; ++i) s += "-" + std::to_string(SubOf(b, i));
    return s;
}

void SetUsersGroupNameForTest(const char* name) {
    std::lock_guard<std::mutex> guard(g_usersNameLock);
    g_usersName = name ? name : "";
}

bool UsersGroupId(uint32_t& gid) {
    std::string name;
    {
        std::lock_guard<std::mutex> guard(g_usersNameLock);
        name = g_usersName;
    }
    gid_t found;
    if (!(name.empty() ? pal::perms::GroupId(found) : pal::perms::LookUpGroup(name, found))) return false;
    gid = found;
    return true;
}

std::vector<uint8_t> SidForUser(uint32_t uid) { return MakeSid(kUnixAuthority, {1, uid}); }

std::vector<uint8_t> SidForGroup(uint32_t gid) {
    uint32_t users;
    if (UsersGroupId(users) && users == gid) return MakeSid(kNtAuthority, {32, 545});
    return MakeSid(kUnixAuthority, {2, gid});
}

std::vector<uint8_t> SidForEveryone() { return MakeSid(kWorldAuthority, {0}); }

DWORD PrincipalOf(const void* sid, size_t room, Principal& out) {
    size_t len = SidLength(sid, room);
    if (!len) return ERROR_INVALID_SID;
    auto* b = static_cast<const uint8_t*>(sid);
    uint64_t authority = AuthorityOf(b);
    size_t n = b[1];
    out = Principal{};
    if (authority == kUnixAuthority && n == 2 && (SubOf(b, 0) == 1 || SubOf(b, 0) == 2)) {
        out.kind = SubOf(b, 0) == 1 ? Principal::kUser : Principal::kGroup;
        out.id = SubOf(b, 1);
        return ERROR_SUCCESS;
    }
    if (authority == kNtAuthority && n == 2 && SubOf(b, 0) == 32 && SubOf(b, 1) == 545) {
        if (!UsersGroupId(out.id)) return ERROR_NONE_MAPPED;
        out.kind = Principal::kGroup;
        return ERROR_SUCCESS;
    }
    if (authority == kWorldAuthority && n == 1 && SubOf(b, 0) == 0) {
        out.kind = Principal::kEveryone;
        return ERROR_SUCCESS;
    }
    return ERROR_NONE_MAPPED;
}

} // namespace pal::security

using namespace pal::security;

/* The SID is one malloc block, released by LocalFree. Besides "S-1-..." the
 * aliases BU, BA, WD and SY are understood. */
extern "C" BOOL ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid) {
    DWORD err = ERROR_SUCCESS;
    if (!StringSid || !Sid) {
        err = ERROR_INVALID_PARAMETER;
    } else {
        *Sid = nullptr;
        try {
            std::vector<uint8_t> sid;
            err = ParseStringSid(StringSid, sid);
            if (err == ERROR_SUCCESS) {
                void* block = malloc(sid.size());
                if (!block) {
                    err = ERROR_NOT_ENOUGH_MEMORY;
                } else {
                    memcpy(block, sid.data(), sid.size());
                    *Sid = block;
                }
            }
        } catch (...) {
            err = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

/* Sets ERROR_SUCCESS when both SIDs are valid, whether or not they are equal. */
extern "C" BOOL EqualSid(PSID pSid1, PSID pSid2) {
    size_t a = SidLength(pSid1), b = SidLength(pSid2);
    if (!a || !b) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return a == b && memcmp(pSid1, pSid2, a) == 0;
}
