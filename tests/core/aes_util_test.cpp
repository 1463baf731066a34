/* CUtil's AES helpers: lengths, statuses, buffers and log lines. GenAESKey and GenerateHMAC are
 * checked wherever a table's trailer is verified against OpenSSL (TableFixture.h). */
#include "TableFixture.h"
#include "platform/Kry10.h"

using tabletest::LogCapture;
using tabletest::Pattern;
using vktest::Bytes;

namespace {

class AesUtil : public ::testing::Test {
  protected:
    /* Every helper matched its KRY_Initialize: nothing is left initialised. */
    void TearDown() override { EXPECT_EQ(KRY_Uninitialize(), KRY_E_NOT_INITIALIZED); }
    Bytes Encrypt(const Bytes& plain) {
        DWORD len = static_cast<DWORD>(plain.size());
        BYTE* out = nullptr;
        EXPECT_EQ(CUtil::EncryptWithAES(key.data(), 32, plain.data(), &len, &out), 0);
        Bytes result(out, out + (out ? len : 0));
        free(out);
        return result;
    }
    LogCapture log;
    Bytes key = Pattern(32, 7);
};

TEST_F(AesUtil, EncryptThenDecryptRoundTripsEveryLength) {
    std::vector<size_t> lengths = {4096, 100000};
    for (size_t n = 0; n <= 100; ++n)
        lengths.push_back(n);
    for (size_t n : lengths) {
        Bytes plain = Pattern(n, static_cast<unsigned>(n)), cipher = Encrypt(plain);
        ASSERT_EQ(cipher.size(), n + 16) << n;
        EXPECT_EQ(Encrypt(plain), cipher) << "deterministic at " << n;
        DWORD len = static_cast<DWORD>(cipher.size());
        BYTE* out = nullptr;
        ASSERT_EQ(CUtil::DecryptWithAES(key.data(), 32, cipher.data(), &len, &out), 0) << n;
        ASSERT_NE(out, nullptr) << "an empty result is still a buffer";
        EXPECT_EQ(Bytes(out, out + len), plain) << n;
        free(out);
    }
    EXPECT_TRUE(log.Take().empty()) << "the AES helpers log errors only";
}

TEST_F(AesUtil, DecryptingBadInputFailsWithInternalErrorAndNoBuffer) {
    Bytes cipher = Encrypt(Pattern(48, 2)), wrongKey = key, flipped = cipher,
          truncated(cipher.begin(), cipher.end() - 1);
    wrongKey[0] ^= 0x40;
    flipped[30] ^= 0x04;
    const std::pair<Bytes*, Bytes*> cases[] = {{&key, &flipped}, {&key, &truncated}, {&wrongKey, &cipher}};
    for (auto [k, c] : cases) {
        DWORD len = static_cast<DWORD>(c->size());
        BYTE sentinel = 0;
        BYTE* out = &sentinel;
        EXPECT_EQ(CUtil::DecryptWithAES(k->data(), 32, c->data(), &len, &out), -6);
        EXPECT_EQ(out, nullptr);
        auto lines = log.Take();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(
            LogCapture::Has(lines, diaglog::Level::Error, "CUtil::DecryptWithAES", "KRY_AesDecrypt failed"));
        EXPECT_GT(lines[0].line, 0);
    }
}

} // namespace
