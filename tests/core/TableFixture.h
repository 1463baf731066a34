/* Shared by the core tests: PBKDF2/HMAC straight from the crypto library (its known-answer vectors:
 * kry10_test), byte-layout readers, registry and key-container probes, log capture. */
#pragma once
#include "VkTest.h"
#include "platform/Wide.h"
#include "apptable/AppTable.h"
#include "usertable/UserTable.h"
#include "util/Util.h"
#include "platform/KeyProvider.h"
#include "platform/Kry10.h"
#include "diaglog_control.h"
#include <vaultkeep/vaultkeep.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace tabletest {

using vktest::Bytes;
using vktest::FileExists;
using vktest::Le32;
using vktest::ListDir;
using vktest::Pattern;
using vktest::PutLe32;
using vktest::ReadFileBytes;
using vktest::WriteFileBytes;

/* Offsets of the layouts, written out independently of the headers. */
constexpr size_t kAppHeader = 48, kUserRecord = 1182, kAppSaltOff = 8, kUserCountOff = 40,
                 kRecordSizeOff = 44;
constexpr size_t kRecUsername = 0, kRecGuid = 514, kRecPath = 662;
constexpr size_t kUserHeader = 636, kUtUsername = 8, kUtSalt = 522, kUtCredCount = 556, kUtUuid = 560;
constexpr size_t kCredFixed = 580, kCrId = 8, kCrBlobname = 48, kCrMdlen = 568, kCrEmdlen = 572,
                 kCrData = 576;
constexpr size_t kBlobSaltOff = 8, kMac = 32;
const WString kAppKeyPrefix = W("Software\\Tarnwick Systems Corp.\\Vaultkeep\\");
const WString kDataView = W("C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\");
const std::string kDataHost = "ProgramData/Tarnwick Systems Corp/Vaultkeep/";

/* The table key: PBKDF2-SHA256 of the secret and a 32-byte salt, 1000 rounds. */
inline Bytes Pbkdf2(const Bytes& password, const uint8_t* salt) {
    Bytes key(32);
    EXPECT_EQ(KRY_Initialize(), KRY_OK);
    EXPECT_EQ(KRY_Pbkdf2Compute(password.data(), static_cast<LONG>(password.size()), salt, 32, 1000, key.data(), 32),
              KRY_OK);
    KRY_Uninitialize();
    return key;
}

inline Bytes HmacSha256(const Bytes& key, const uint8_t* data, size_t n) {
    Bytes mac(32);
    EXPECT_EQ(KRY_Initialize(), KRY_OK);
    EXPECT_EQ(KRY_HmacSha256Compute(key.data(), static_cast<LONG>(key.size()), data, static_cast<DWORD>(n), mac.data()),
              KRY_OK);
    KRY_Uninitialize();
    return mac;
}

/* The trailer is HMAC-SHA256 of everything before it, keyed by PBKDF2(secret, the salt at saltOff). */
inline Bytes Trailer(const Bytes& file, const Bytes& secret, size_t saltOff) {
    return HmacSha256(Pbkdf2(secret, file.data() + saltOff), file.data(), file.size() - kMac);
}
inline bool TrailerVerifies(const Bytes& file, const Bytes& secret, size_t saltOff) {
    if (file.size() < kMac || file.size() < saltOff + 32) return false;
    Bytes mac = Trailer(file, secret, saltOff);
    return std::equal(mac.begin(), mac.end(), file.end() - kMac);
}
inline void Reseal(Bytes& file, const Bytes& secret, size_t saltOff) {
    Bytes mac = Trailer(file, secret, saltOff);
    std::copy(mac.begin(), mac.end(), file.end() - kMac);
}

/* A UTF-16LE field: the text up to its NUL (or the whole field). */
inline WString Field(const Bytes& b, size_t off, size_t units) {
    WString s;
    for (size_t i = 0; i < units && (b[off + 2 * i] | b[off + 2 * i + 1]); ++i)
        s.push_back(static_cast<WCHAR>(b[off + 2 * i] | (b[off + 2 * i + 1] << 8)));
    return s;
}

/* The field holds a NUL and every code unit after it is zero. */
inline bool ZeroAfterNul(const Bytes& b, size_t off, size_t units) {
    size_t i = Field(b, off, units).size();
    return i < units &&
           std::all_of(b.begin() + off + 2 * i, b.begin() + off + 2 * units, [](uint8_t c) { return !c; });
}

inline void PutField(Bytes& b, size_t off, size_t units, const WString& s) {
    for (size_t i = 0; i < units; ++i) {
        WCHAR c = i < s.size() ? s[i] : 0;
        b[off + 2 * i] = static_cast<uint8_t>(c & 0xFF);
        b[off + 2 * i + 1] = static_cast<uint8_t>(c >> 8);
    }
}

/* UTF-16LE with its NUL. */
inline Bytes Utf16z(const WString& s) {
    Bytes b(2 * s.size() + 2, 0);
    PutField(b, 0, s.size(), s);
    return b;
}

/* A GUID as the system names folders and blobs: 8-4-4-4-12 lower-case hex digits. */
inline bool IsLowerGuid(const WString& s) {
    return std::regex_match(vktest::Narrow(s), std::regex("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}"));
}

inline Bytes Slice(const Bytes& b, size_t off, size_t n) {
    return Bytes(b.begin() + static_cast<ptrdiff_t>(off), b.begin() + static_cast<ptrdiff_t>(off + n));
}

/* A registry value of HKEY_LOCAL_MACHINE; false when the key or the value is missing. */
inline bool ReadValue(const WString& key, const WCHAR* name, DWORD& type, Bytes& data) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    DWORD cb = 0;
    LSTATUS rc = RegQueryValueExW(h, name, nullptr, &type, nullptr, &cb);
    data.assign(cb, 0);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(h, name, nullptr, &type, data.data(), &cb);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

inline void SetValue(const WString& key, const WCHAR* name, DWORD type, const void* data,
                     DWORD cb) {
    HKEY h = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
    RegCloseKey(h);
}

inline bool AppKeyExists(const WString& app) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kAppKeyPrefix + app).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

/* The software key provider's admin setting for the TPM status. */
inline void SetTpmOwned(DWORD owned) {
    SetValue(W("SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider"), W("SoftwareTpmOwned"), REG_DWORD,
             &owned, 4);
}

inline bool ContainerExists(const WString& name) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, name.c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL,
                              CRYPT_MACHINE_KEYSET))
        return false;
    CryptReleaseContext(prov, 0);
    return true;
}

/* Captured log lines of the code under test. */
using Lines = std::vector<diaglog::CapturedLine>;
class LogCapture {
  public:
    LogCapture() {
        diaglog::Configure("off");
        diaglog::SetCapture(true);
        diaglog::TakeCaptured();
    }
    ~LogCapture() {
        diaglog::SetCapture(false);
        diaglog::TakeCaptured();
    }
    Lines Take() { return diaglog::TakeCaptured(); }
    static bool Has(const Lines& lines, diaglog::Level level, const std::string& fn,
                    const std::string& text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](auto& l) { return l.level == level && l.function == fn && l.text == text; });
    }
    static Lines Of(const Lines& lines, const std::string& fn) {
        Lines out;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                     [&](auto& l) { return l.function == fn; });
        return out;
    }
};

} // namespace tabletest
