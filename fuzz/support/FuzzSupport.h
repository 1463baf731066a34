/*
 * What every harness shares: a private machine root laid out once per process
 * (on a memory file system when there is one, so the durable writes of the
 * platform layer cost little), the fixed secrets the harnesses sign and seal
 * with, and plain host file helpers.
 *
 * Harness code is not the system: it uses POSIX freely.
 */
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vkfuzz {

using Bytes = std::vector<uint8_t>;

/* The application the harnesses and the seed program register, and its secret. */
inline constexpr const WCHAR* kAppName = u"FuzzApp";
inline constexpr const char kAppSecret[] = "fuzz-app-secret-0123456789";
inline constexpr const WCHAR* kUserName = u"fuzzuser";
inline constexpr const WCHAR* kPassword = u"fuzz-password";
inline constexpr const WCHAR* kBackupPassword = u"fuzz-backup-password";
inline constexpr const WCHAR* kCredId = u"cred-1";

/* Creates the root (VAULTKEEP_ROOT), lays it out, and removes it at exit. Idempotent. */
const std::string& Root();
/* Host path of a Windows path below the root ("C:\ProgramData\x" -> "<root>/ProgramData/x"). */
std::string HostPath(const std::u16string& windowsPath);

/* Restarts the harness process's random sequence (FuzzRandom.cpp); each harness calls it per input. */
void ResetRandom();

/* A broken expectation: the message on stderr, then abort, which libFuzzer reports as a crash. */
void Check(bool ok, const char* what);

/* Fills the HMAC slot (the last 32 bytes) of a table or blob file whose salt is at saltOffset, under the
 * fixed application secret, with the library's tables::TableHmac. Files shorter than minSize + 32 are left. */
void FillHmac(Bytes& file, size_t saltOffset, size_t minSize);

/* The fixed application secret as a VT_UI1 vector; the caller destroys it. */
SAFEARRAY* AppSecretArray();
const BYTE* AppSecretBytes();
DWORD AppSecretLen();

bool WriteFile(const std::string& path, const void* data, size_t size);
bool ReadFile(const std::string& path, Bytes& out);
bool MakeFolder(const std::string& path);
void RemoveTree(const std::string& path);

/* Little-endian reads and writes at an offset, bounds checked by the caller. */
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

/*
 * A fuzz input that carries several files: repeated
 *   u8 name length, name (ASCII), u32 data length (little-endian), data.
 * Parsing stops at the first member that does not fit; what came before counts.
 */
struct Member {
    std::string name;
    Bytes data;
};
std::vector<Member> SplitMembers(const uint8_t* data, size_t size);
Bytes JoinMembers(const std::vector<Member>& members);

} // namespace vkfuzz
