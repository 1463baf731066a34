/* Shared by the core tests: independent PBKDF2/HMAC (OpenSSL), byte-layout readers, registry and
 * key-container probes, log capture, and a registered application in a fresh root. */
#pragma once
#include "VkTest.h"
#include "apptable/AppTable.h"
#include "usertable/UserTable.h"
#include "util/Util.h"
#include "platform/KeyProvider.h"
#include "diaglog_control.h"
#include <vaultkeep/vaultkeep.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tabletest {

using vktest::Bytes;

/* Offsets of the layouts, written out independently of the headers. */
constexpr size_t kAppHeader = 48, kUserRecord = 1182, kAppSaltOff = 8, kUserCountOff = 40,
                 kRecordSizeOff = 44;
constexpr size_t kRecUsername = 0, kRecGuid = 514, kRecPath = 662;
constexpr size_t kUserHeader = 636, kUtUsername = 8, kUtSalt = 522, kUtCredCount = 556, kUtUuid = 560;
constexpr size_t kCredFixed = 580, kCrId = 8, kCrBlobname = 48, kCrMdlen = 568, kCrEmdlen = 572,
                 kCrData = 576;
constexpr size_t kBlobSaltOff = 8, kMac = 32;
const std::u16string kAppKeyPrefix = u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\";
const std::u16string kDataView = u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\";
const std::string kDataHost = "ProgramData/Tarnwick Systems Corp/Vaultkeep/";

inline Bytes Pbkdf2(const Bytes& password, const uint8_t* salt) {
    Bytes key(32);
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()), static_cast<int>(password.size()), salt,
                      32, 1000, EVP_sha256(), 32, key.data());
    return key;
}

/* The trailer is HMAC-SHA256 of everything before it, keyed by PBKDF2(secret, the salt at saltOff). */
inline Bytes Trailer(const Bytes& file, const Bytes& secret, size_t saltOff) {
    Bytes key = Pbkdf2(secret, file.data() + saltOff), mac(32);
    unsigned len = 32;
    HMAC(EVP_sha256(), key.data(), 32, file.data(), file.size() - kMac, mac.data(), &len);
    return mac;
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
inline std::u16string Field(const Bytes& b, size_t off, size_t units) {
    std::u16string s;
    for (size_t i = 0; i < units && (b[off + 2 * i] | b[off + 2 * i + 1]); ++i)
        s.push_back(static_cast<char16_t>(b[off + 2 * i] | (b[off + 2 * i + 1] << 8)));
    return s;
}

/* The field holds a NUL and every code unit after it is zero. */
inline bool ZeroAfterNul(const Bytes& b, size_t off, size_t units) {
    size_t i = Field(b, off, units).size();
    return i < units &&
           std::all_of(b.begin() + off + 2 * i, b.begin() + off + 2 * units, [](uint8_t c) { return !c; });
}

inline void PutField(Bytes& b, size_t off, size_t units, const std::u16string& s) {
    for (size_t i = 0; i < units; ++i) {
        char16_t c = i < s.size() ? s[i] : 0;
        b[off + 2 * i] = static_cast<uint8_t>(c & 0xFF);
        b[off + 2 * i + 1] = static_cast<uint8_t>(c >> 8);
    }
}

/* UTF-16LE with its NUL. */
inline Bytes Utf16z(const std::u16string& s) {
    Bytes b(2 * s.size() + 2, 0);
    PutField(b, 0, s.size(), s);
    return b;
}

inline bool IsLowerGuid(const std::u16string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (s[i] == u'-') ||
            (!dash && !((s[i] >= u'0' && s[i] <= u'9') || (s[i] >= u'a' && s[i] <= u'f'))))
            return false;
    }
    return s.size() == 36;
}

inline Bytes Slice(const Bytes& b, size_t off, size_t n) {
    return Bytes(b.begin() + static_cast<ptrdiff_t>(off), b.begin() + static_cast<ptrdiff_t>(off + n));
}

inline Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 31 + seed * 7 + 3);
    return b;
}

/* A registry value of HKEY_LOCAL_MACHINE; false when the key or the value is missing. */
inline bool ReadValue(const std::u16string& key, const char16_t* name, DWORD& type, Bytes& data) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    DWORD cb = 0;
    LSTATUS rc = RegQueryValueExW(h, name, nullptr, &type, nullptr, &cb);
    data.assign(cb, 0);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(h, name, nullptr, &type, data.data(), &cb);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

inline void SetValue(const std::u16string& key, const char16_t* name, DWORD type, const void* data,
                     DWORD cb) {
    HKEY h = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
    RegCloseKey(h);
}

inline bool KeyExists(const std::u16string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}
inline bool AppKeyExists(const std::u16string& app) {
    return KeyExists(kAppKeyPrefix + app);
}

/* The software key provider's admin setting for the TPM status. */
inline void SetTpmOwned(DWORD owned) {
    SetValue(u"SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider", u"SoftwareTpmOwned", REG_DWORD,
             &owned, 4);
}

inline bool ContainerExists(const std::u16string& name) {
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
    static bool HasText(const Lines& lines, const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.text == text; });
    }
    static Lines Of(const Lines& lines, const std::string& fn) {
        Lines out;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                     [&](auto& l) { return l.function == fn; });
        return out;
    }
};

/* A fresh root with the application "App" registered under `secret`; its users are made
 * with protection type 0 (no key provider) unless a test says otherwise. */
class TablesTest : public vktest::RootTest {
  protected:
    void SetUp() override {
        rootLaidOut = VaultkeepInitRoot() == 0;
        std::filesystem::create_directories(root.host("ProgramData"));
        secretArray = std::make_unique<vktest::ByteArray>(secret);
        otherArray = std::make_unique<vktest::ByteArray>(Bytes{'o', 't', 'h', 'e', 'r'});
        ASSERT_EQ(Register(u"App"), 0);
        SetType(u"App", 0);
    }

    LONG Register(const char16_t* name) {
        CAppTable t(name, *secretArray);
        return t.loaded ? -2 : t.AddApp();
    }

    static void SetType(const char16_t* app, DWORD type) {
        SetValue(kAppKeyPrefix + app, u"Type", REG_DWORD, &type, 4);
    }

    std::string DataDir() const { return root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep"); }
    std::string AppDir(const std::string& app = "App") const { return DataDir() + "/" + app; }
    std::string AppBin() const { return AppDir() + "/app.bin"; }
    std::string UserDir(const std::u16string& guid) const { return AppDir() + "/" + vktest::Narrow(guid); }

    /* Adds a user through the application table; returns its GUID. */
    std::u16string AddUser(const std::u16string& name, const char16_t* password = u"pw") {
        CAppTable t(u"App", *secretArray);
        EXPECT_EQ(t.loaded, 1);
        UserRecord* rec = nullptr;
        EXPECT_EQ(t.AddUser(name.c_str(), password, &rec), 0);
        return rec ? std::u16string(rec->guid) : std::u16string();
    }

    std::unique_ptr<CUserTable> OpenUser(const std::u16string& name, const std::u16string& guid,
                                         DWORD type = 0, SAFEARRAY* secretOverride = nullptr) {
        std::u16string folder = kDataView + u"App\\" + guid;
        return std::make_unique<CUserTable>(type, u"App",
                                            secretOverride ? secretOverride : secretArray->get(),
                                            name.c_str(), guid.c_str(), folder.c_str());
    }

    bool rootLaidOut = false;
    Bytes secret{'a', 'p', 'p', '-', 's', 'e', 'c', 'r', 'e', 't', 0, 7, 0xff};
    std::unique_ptr<vktest::ByteArray> secretArray;
    std::unique_ptr<vktest::ByteArray> otherArray;
};

} // namespace tabletest
