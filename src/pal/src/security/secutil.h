/*
 * SIDs and ACLs in their binary Win32 layouts, and the mapping between
 * Windows principals and POSIX ones:
 *   S-1-22-1-<uid>   a host user        S-1-22-2-<gid>   a host group
 *   S-1-5-32-545     the vault group (see internal/perms.h), which plays
 *                    the built-in Users group
 *   S-1-1-0          Everyone: the POSIX "other" entry
 */
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pal::security {

constexpr size_t kMaxSubAuthorities = 15;

/* Length of a well-formed SID, 0 for a malformed one. Reads at most 'room'
 * bytes (8 + 4 x 15 when the caller knows no bound). */
size_t SidLength(const void* sid, size_t room = 8 + 4 * kMaxSubAuthorities);
std::vector<uint8_t> MakeSid(uint64_t authority, const std::vector<uint32_t>& subs);
std::string SidToString(const void* sid);

struct Principal {
    enum Kind { kNone, kUser, kGroup, kEveryone } kind = kNone;
    uint32_t id = 0; /* uid or gid */
};

/* The host group that stands for the built-in Users group; false when the
 * host has none. */
bool UsersGroupId(uint32_t& gid);
/* Test hook: which host group plays Users (nullptr restores the vault group). */
void SetUsersGroupNameForTest(const char* name);

std::vector<uint8_t> SidForUser(uint32_t uid);
/* The Users SID for the vault group, else S-1-22-2-<gid>. */
std::vector<uint8_t> SidForGroup(uint32_t gid);
std::vector<uint8_t> SidForEveryone();
/* ERROR_SUCCESS, ERROR_INVALID_SID or ERROR_NONE_MAPPED (no host principal). */
DWORD PrincipalOf(const void* sid, size_t room, Principal& out);

/* One ACE of the types this PAL understands, decoded. Other types are kept
 * byte for byte. */
struct AceRecord {
    BYTE type = 0;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    std::vector<uint8_t> sid;
    std::vector<uint8_t> raw; /* whole ACE when the type is not allowed/denied */
};

/* Checks the header and every ACE against AclSize; fills the bytes in use. */
bool ValidateAcl(const ACL* acl, size_t& bytesInUse);
bool DecodeAcl(const ACL* acl, std::vector<AceRecord>& aces);
/* A new ACL (malloc, so LocalFree releases it) or nullptr when it would
 * exceed 64 KiB or memory is short; error tells which. */
ACL* EncodeAcl(const std::vector<AceRecord>& aces, DWORD& error);
/* Bytes an encoded ACL takes. */
size_t EncodedSize(const std::vector<AceRecord>& aces);
/* Writes an ACL into buf (EncodedSize bytes). */
void EncodeInto(const std::vector<AceRecord>& aces, uint8_t* buf);

} // namespace pal::security
