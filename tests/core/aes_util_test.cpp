/* CUtil's key derivation, HMAC and AES helpers: results against OpenSSL, statuses, buffers and log lines. */
#include <gtest/gtest.h>
#include "util/Util.h"
#include "platform/Kry10.h"
#include "diaglog_control.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>(i * 37 + seed * 11 + 5);
    return b;
}

struct Line {
    diaglog::Level level;
    std::string function, text;
};

class AesUtil : public ::testing::Test {
protected:
    void SetUp() override {
        diaglog::Configure("off");
        diaglog::SetCapture(true);
        diaglog::TakeCaptured();
    }
    void TearDown() override {
        diaglog::SetCapture(false);
        diaglog::TakeCaptured();
        /* Every helper matched its KRY_Initialize: nothing is left initialised. */
        EXPECT_EQ(KRY_Uninitialize(), KRY_E_NOT_INITIALIZED);
    }
    static std::vector<Line> Lines() {
        std::vector<Line> out;
        for (auto& c : diaglog::TakeCaptured()) out.push_back({c.level, c.function, c.text});
        return out;
    }
    static Bytes Encrypt(const Bytes& key, const Bytes& plain) {
        DWORD len = static_cast<DWORD>(plain.size());
        BYTE* out = nullptr;
        EXPECT_EQ(CUtil::EncryptWithAES(key.data(), 32, plain.data(), &len, &out), 0);
        EXPECT_NE(out, nullptr);
        Bytes result(out, out + (out ? len : 0));
        free(out);
        return result;
    }

    Bytes key = Pattern(32, 7);
};

TEST_F(AesUtil, GenAESKeyIsPbkdf2Sha256With1000Iterations) {
    const std::string passwords[] = {"", "application secret", std::string(200, 'p')};
    for (const auto& pw : passwords) {
        Bytes salt = Pattern(32, static_cast<unsigned>(pw.size()));
        Bytes expect(32), got(32, 0xEE);
        ASSERT_EQ(PKCS5_PBKDF2_HMAC(pw.data(), static_cast<int>(pw.size()), salt.data(), 32, 1000, EVP_sha256(), 32,
                                    expect.data()), 1);
        LONG keyLen = 32;
        EXPECT_EQ(CUtil::GenAESKey(reinterpret_cast<const BYTE*>(pw.data()), static_cast<LONG>(pw.size()), got.data(),
                                   &keyLen, salt.data()), 0);
        EXPECT_EQ(got, expect) << "password length " << pw.size();

        Bytes again(32), other(32);
        CUtil::GenAESKey(reinterpret_cast<const BYTE*>(pw.data()), static_cast<LONG>(pw.size()), again.data(), &keyLen,
                         salt.data());
        EXPECT_EQ(again, got);
        salt[17] ^= 0x01;
        CUtil::GenAESKey(reinterpret_cast<const BYTE*>(pw.data()), static_cast<LONG>(pw.size()), other.data(), &keyLen,
                         salt.data());
        EXPECT_NE(other, got) << "one salt byte changed";
    }
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u * 3u * 2u);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].function, "CUtil::GenAESKey");
        EXPECT_EQ(lines[i].level, i % 2 ? diaglog::Level::Exit : diaglog::Level::Enter);
        EXPECT_EQ(lines[i].text, i % 2 ? "return" : "start");
    }
}

TEST_F(AesUtil, GenAESKeyPassesTheLibraryStatusOn) {
    Bytes salt(32, 1), out(32, 0x3C);
    LONG keyLen = 0; /* a key length the library refuses */
    EXPECT_EQ(CUtil::GenAESKey(reinterpret_cast<const BYTE*>("pw"), 2, out.data(), &keyLen, salt.data()), KRY_E_PARAM);
    EXPECT_EQ(out, Bytes(32, 0x3C));
}

TEST_F(AesUtil, GenerateHMACIsHmacSha256) {
    for (size_t n : {0, 1, 64, 1000}) {
        Bytes data = Pattern(n, 3), expect(32), got(32, 0);
        unsigned int len = 0;
        ASSERT_NE(HMAC(EVP_sha256(), key.data(), 32, data.data(), data.size(), expect.data(), &len), nullptr);
        DWORD dataLen = static_cast<DWORD>(n);
        EXPECT_EQ(CUtil::GenerateHMAC(key.data(), 32, data.data(), &dataLen, got.data()), 0);
        EXPECT_EQ(got, expect) << n;
    }
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].function, "CUtil::GenerateHMAC");
    EXPECT_EQ(lines[0].text, "start");
    EXPECT_EQ(lines[1].text, "return");
}

TEST_F(AesUtil, EncryptThenDecryptRoundTripsEveryLength) {
    for (size_t n = 0; n <= 100; ++n) {
        Bytes plain = Pattern(n, static_cast<unsigned>(n));
        Bytes cipher = Encrypt(key, plain);
        ASSERT_EQ(cipher.size(), n + 16) << n;
        EXPECT_EQ(Encrypt(key, plain), cipher) << "deterministic at " << n;

        DWORD len = static_cast<DWORD>(cipher.size());
        BYTE* out = nullptr;
        ASSERT_EQ(CUtil::DecryptWithAES(key.data(), 32, cipher.data(), &len, &out), 0) << n;
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(Bytes(out, out + len), plain) << n;
        free(out);
    }
    EXPECT_TRUE(Lines().empty()) << "the AES helpers log errors only";
}

TEST_F(AesUtil, DecryptingBadInputFailsWithInternalErrorAndNoBuffer) {
    Bytes plain = Pattern(48, 2);
    Bytes cipher = Encrypt(key, plain);
    Bytes wrongKey = key;
    wrongKey[0] ^= 0x40;
    Bytes flipped = cipher;
    flipped[30] ^= 0x04;
    Bytes truncated(cipher.begin(), cipher.end() - 1);
    const struct { const char* what; const Bytes* k; const Bytes* c; } cases[] = {
        {"flipped bit", &key, &flipped},
        {"truncated", &key, &truncated},
        {"wrong key", &wrongKey, &cipher},
    };
    for (const auto& c : cases) {
        DWORD len = static_cast<DWORD>(c.c->size());
        BYTE sentinel = 0;
        BYTE* out = &sentinel;
        EXPECT_EQ(CUtil::DecryptWithAES(c.k->data(), 32, c.c->data(), &len, &out), -6) << c.what;
        EXPECT_EQ(out, nullptr) << c.what;
        auto captured = diaglog::TakeCaptured();
        ASSERT_EQ(captured.size(), 1u) << c.what;
        EXPECT_EQ(captured[0].level, diaglog::Level::Error);
        EXPECT_EQ(captured[0].function, "CUtil::DecryptWithAES");
        EXPECT_EQ(captured[0].text, "KRY_AesDecrypt failed");
        EXPECT_GT(captured[0].line, 0);
    }
}

TEST_F(AesUtil, EmptyPlaintextGivesTheLibrarysEmptyCiphertext) {
    Bytes cipher = Encrypt(key, Bytes());
    EXPECT_EQ(cipher.size(), 16u);
    DWORD len = 16;
    BYTE* out = nullptr;
    ASSERT_EQ(CUtil::DecryptWithAES(key.data(), 32, cipher.data(), &len, &out), 0);
    EXPECT_NE(out, nullptr) << "an empty result is still a buffer";
    EXPECT_EQ(len, 0u);
    free(out);
}

} // namespace
