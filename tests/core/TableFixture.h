/* Shared by the table tests: a registered application in a fresh root, independent
 * PBKDF2/HMAC (OpenSSL) to verify and re-seal files, byte-layout readers, log capture. */
#pragma once
#include "VkTest.h"
#include "apptable/AppTable.h"
#include "usertable/UserTable.h"
#include "util/Util.h"
#include "diaglog_control.h"
#include <vaultkeep/vaultkeep.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tabletest {

using vktest::Bytes;

/* Offsets of the layouts, written out independently of the headers. */
constexpr size_t kAppHeader = 48, kUserRecord = 1182, kAppSaltOff = 8, kUserCountOff = 40, kRecordSizeOff = 44;
constexpr size_t kRecUsername = 0, kRecGuid = 514, kRecPath = 662;
constexpr size_t kUserHeader = 636, kUtUsername = 8, kUtSalt = 522, kUtPadding = 554, kUtCredCount = 556,
                 kUtUuid = 560;
constexpr size_t kCredFixed = 580, kCrId = 8, kCrBlobname = 48, kCrMdlen = 568, kCrEmdlen = 572, kCrData = 576;
constexpr size_t kBlobHeader = 40, kBlobSaltOff = 8, kMac = 32;

inline Bytes Pbkdf2(const Bytes& password, const uint8_t* salt) {
    Bytes key(32);
    PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()), static_cast<int>(password.size()), salt, 32,
                      1000, EVP_sha256(), 32, key.data());
    return key;
}

inline Bytes HmacSha256(const Bytes& key, const uint8_t* data, size_t n) {
    Bytes mac(32);
    unsigned len = 32;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data, n, mac.data(), &len);
    return mac;
}

/* The trailer is HMAC-SHA256 of everything before it, keyed by PBKDF2(secret, the salt at saltOff). */
inline bool TrailerVerifies(const Bytes& file, const Bytes& secret, size_t saltOff) {
    if (file.size() < kMac || file.size() < saltOff + 32) return false;
    Bytes mac = HmacSha256(Pbkdf2(secret, file.data() + saltOff), file.data(), file.size() - kMac);
    return std::equal(mac.begin(), mac.end(), file.end() - kMac);
}

inline void Reseal(Bytes& file, const Bytes& secret, size_t saltOff) {
    Bytes mac = HmacSha256(Pbkdf2(secret, file.data() + saltOff), file.data(), file.size() - kMac);
    std::copy(mac.begin(), mac.end(), file.end() - kMac);
}

/* A UTF-16LE field: the text up to its NUL (or the whole field). */
inline std::u16string Field(const Bytes& b, size_t off, size_t units) {
    std::u16string s;
    for (size_t i = 0; i < units; ++i) {
        char16_t c = static_cast<char16_t>(b[off + 2 * i] | (b[off + 2 * i + 1] << 8));
        if (c == 0) break;
        s.push_back(c);
    }
    return s;
}

/* The field holds a NUL and every code unit after it is zero. */
inline bool ZeroAfterNul(const Bytes& b, size_t off, size_t units) {
    size_t i = 0;
    while (i < units && (b[off + 2 * i] | b[off + 2 * i + 1]) != 0) ++i;
    if (i == units) return false;
    for (; i < units; ++i)
        if (b[off + 2 * i] | b[off + 2 * i + 1]) return false;
    return true;
}

inline void PutField(Bytes& b, size_t off, size_t units, const std::u16string& s) {
    for (size_t i = 0; i < units; ++i) {
        char16_t c = i < s.size() ? s[i] : 0;
        b[off + 2 * i] = static_cast<uint8_t>(c & 0xFF);
        b[off + 2 * i + 1] = static_cast<uint8_t>(c >> 8);
    }
}

inline bool IsLowerGuid(const std::u16string& s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < 36; ++i) {
        char16_t c = s[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != u'-') return false;
        } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) {
            return false;
        }
    }
    return true;
}

inline Bytes Slice(const Bytes& b, size_t off, size_t n) {
    return Bytes(b.begin() + static_cast<ptrdiff_t>(off), b.begin() + static_cast<ptrdiff_t>(off + n));
}

inline Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + seed * 7 + 3);
    return b;
}

/* Captured log lines of the code under test. */
class LogCapture {
public:
    LogCapture() {
        diaglog::SetCapture(true);
        diaglog::TakeCaptured();
    }
    ~LogCapture() {
        diaglog::SetCapture(false);
        diaglog::TakeCaptured();
    }
    /* Lines since the last call. */
    std::vector<diaglog::CapturedLine> Take() { return diaglog::TakeCaptured(); }
    static bool Has(const std::vector<diaglog::CapturedLine>& lines, diaglog::Level level, const std::string& fn,
                    const std::string& text) {
        for (auto& l : lines)
            if (l.level == level && l.function == fn && l.text == text) return true;
        return false;
    }
    static bool HasText(const std::vector<diaglog::CapturedLine>& lines, const std::string& text) {
        for (auto& l : lines)
            if (l.text == text) return true;
        return false;
    }
};

inline std::u16string DataFolderView() { return u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\"; }

/* A fresh root with the application "App" registered under `secret`; its users are made
 * with protection type 0 (no key provider) unless a test says otherwise. */
class TablesTest : public vktest::RootTest {
protected:
    void SetUp() override {
        // A laid-out root: components registered (the key provider for type 1) and the data folder made.
        rootLaidOut = VaultkeepInitRoot() == 0;
        std::filesystem::create_directories(root.host("ProgramData"));
        secretArray = std::make_unique<vktest::ByteArray>(secret);
        otherArray = std::make_unique<vktest::ByteArray>(Bytes{'o', 't', 'h', 'e', 'r'});
        ASSERT_EQ(Register(u"App"), 0);
        SetType(u"App", 0);
    }

    LONG Register(const char16_t* name) {
        CAppTable t(name, *secretArray);
        if (t.loaded) return -2;
        return t.AddApp();
    }

    static void SetType(const char16_t* app, DWORD type) {
        std::u16string key = std::u16string(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\") + app;
        HKEY h = NULL;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(h, u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), 4), ERROR_SUCCESS);
        RegCloseKey(h);
    }

    static bool AppKeyExists(const char16_t* app) {
        std::u16string key = std::u16string(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\") + app;
        HKEY h = NULL;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
        RegCloseKey(h);
        return true;
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

    std::unique_ptr<CUserTable> OpenUser(const std::u16string& name, const std::u16string& guid, DWORD type = 0,
                                         SAFEARRAY* secretOverride = nullptr) {
        std::u16string folder = DataFolderView() + u"App\\" + guid;
        return std::make_unique<CUserTable>(type, u"App", secretOverride ? secretOverride : secretArray->get(),
                                            name.c_str(), guid.c_str(), folder.c_str());
    }

    bool rootLaidOut = false;
    Bytes secret{'a', 'p', 'p', '-', 's', 'e', 'c', 'r', 'e', 't', 0, 7, 0xff};
    std::unique_ptr<vktest::ByteArray> secretArray;
    std::unique_ptr<vktest::ByteArray> otherArray;
};

} // namespace tabletest
