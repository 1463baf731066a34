/* The random source, the TPM status, the user's key pair, the AES helpers and the blob encryption in
 * its TPM-bound (type 1) and software (type 0) forms (an unowned TPM: exports_app_test). */
#include "TableFixture.h"
#include "platform/Kry10.h"

using namespace vktest;
using namespace tabletest;

namespace {

/* A machine root laid out as an installer would, with COM on this thread. */
class LaidOutRoot : public RootTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_EQ(VaultkeepInitRoot(), 0);
    }
    void TearDown() override { CoUninitialize(); }

    struct Blob {
        LONG status;
        Bytes bytes;
    };
    /* EncryptBlob or DecryptBlob and what it handed out. */
    Blob Run(bool encrypt, LONG type, Bytes data, const WString& container, const WCHAR* password = nullptr) {
        DWORD len = static_cast<DWORD>(data.size());
        BYTE* out = nullptr;
        auto fn = encrypt ? CUtil::EncryptBlob : CUtil::DecryptBlob;
        LONG st = fn(type, data.data(), container.c_str(), password, salt.data(), &len, &out);
        Blob b{st, out ? Bytes(out, out + len) : Bytes{}};
        free(out);
        return b;
    }

    const Bytes salt = Pattern(32, 9);
};

} // namespace

TEST(CryptRandom, EachSourceWritesExactlyThirtyTwoBytesOrNothing) {
    FreshRoot fresh;
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    // No server is registered in a fresh root: source 2 leaves the buffer as it was; once laid out it fills.
    const std::tuple<LONG, bool, bool> cases[] = {{0, true, false}, {1, true, false}, {2, false, false},
                                                  {3, false, false}, {-1, false, false}, {2, true, true}};
    for (auto [source, writes, laidOut] : cases) {
        SCOPED_TRACE(source);
        if (laidOut) {
            ASSERT_EQ(VaultkeepInitRoot(), 0);
        }
        Bytes buf(64, 0xA5);
        CCryptRandom random(source);
        EXPECT_EQ(random.Provider != 0, source == 1) << "a verify-only context for source 1 only";
        random.GenerateRandom(buf.data());
        EXPECT_EQ(Slice(buf, 32, 32), Bytes(32, 0xA5)) << "beyond the 32 bytes";
        EXPECT_EQ(Slice(buf, 0, 32) != Bytes(32, 0xA5), writes);
    }
    CoUninitialize();
}

TEST_F(LaidOutRoot, TpmBlobLayoutRoundTripAndRefusals) {
    const WString container = W("1c2d3e4f-2222-4222-8222-222222222222");
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), W("p\u00e4ss")), 0);
    for (size_t n : {0, 1, 4000}) {
        SCOPED_TRACE(n);
        const Bytes secret = Pattern(n, 5);
        Blob a = Run(true, 1, secret, container, W("p\u00e4ss")), b = Run(true, 1, secret, container, W("p\u00e4ss"));
        ASSERT_EQ(a.status, 0);
        uint32_t w = Le32(a.bytes, 0);
        EXPECT_EQ(w, 268u) << "12-byte SIMPLEBLOB header and 256 bytes of RSA-OAEP";
        ASSERT_GT(a.bytes.size(), 4u + w);
        EXPECT_GE(a.bytes.size() - 4 - w, n) << "ciphertext at least as long as the secret";
        EXPECT_NE(a.bytes, b.bytes) << "a fresh blob key each time";
        Blob plain = Run(false, 1, a.bytes, container, W("p\u00e4ss"));
        ASSERT_EQ(plain.status, 0);
        EXPECT_EQ(plain.bytes, secret);
    }
    const Blob good = Run(true, 1, Pattern(64, 3), container, W("p\u00e4ss"));
    Bytes badW = good.bytes, flipped = good.bytes;
    PutLe32(badW, 0, static_cast<uint32_t>(badW.size() - 3));
    flipped[4 + Le32(good.bytes, 0) / 2] ^= 0x01;
    const std::tuple<const char*, Bytes, WString, const WCHAR*, LONG> cases[] = {
        {"wrong password", good.bytes, container, W("wrong"), Error_Decrypt_Failed},
        {"wrapped key damaged", flipped, container, W("p\u00e4ss"), Error_Decrypt_Failed},
        {"W beyond the blob", badW, container, W("p\u00e4ss"), Error_Decrypt_Failed},
        {"shorter than 4 bytes", Bytes{1, 0, 0}, container, W("p\u00e4ss"), Error_Decrypt_Failed},
        {"no such container", good.bytes, W("99999999-9999-4999-8999-999999999999"), W("p\u00e4ss"),
         Error_Internal}};
    for (const auto& [what, blob, name, password, status] : cases) {
        SCOPED_TRACE(what);
        Blob r = Run(false, 1, blob, name, password);
        EXPECT_EQ(r.status, status);
        EXPECT_TRUE(r.bytes.empty());
    }
    // Nothing is wrapped to a key the password does not open: not with a wrong password, nor
    // to a container someone made afresh under the same name with a password of their own.
    EXPECT_EQ(Run(true, 1, Pattern(64, 3), container, W("wrong")).status, Error_Decrypt_Failed);
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, container.c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL,
                                     CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET));
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), W("mallory")), 0);
    const Blob planted = Run(true, 1, Pattern(64, 3), container, W("p\u00e4ss"));
    EXPECT_EQ(planted.status, Error_Decrypt_Failed);
    EXPECT_TRUE(planted.bytes.empty());
}

TEST_F(LaidOutRoot, SoftwareBlobIsTheAesOfTheDerivedKey) {
    const WCHAR* password = W("p\u00e4ssw\u00f6rd");
    // The key comes from the password as UTF-8, on every platform.
    const std::string ansi = Narrow(password);
    BYTE key[32];
    LONG keyLen = 32;
    ASSERT_EQ(CUtil::GenAESKey(reinterpret_cast<const BYTE*>(ansi.data()), static_cast<LONG>(ansi.size()), key,
                               &keyLen, salt.data()),
              0);
    for (size_t n : {0, 5, 500, 4096}) { // well past the 500 bytes of a fixed work area
        SCOPED_TRACE(n);
        const Bytes secret = Pattern(n, 11);
        DWORD len = static_cast<DWORD>(n);
        BYTE* expected = nullptr;
        ASSERT_EQ(CUtil::EncryptWithAES(key, 32, secret.data(), &len, &expected), 0);
        EXPECT_EQ(len, n + 16);
        Blob blob = Run(true, 0, secret, W(""), password);
        EXPECT_EQ(blob.bytes, Bytes(expected, expected + len));
        free(expected);
        Blob plain = Run(false, 0, blob.bytes, W(""), password);
        ASSERT_EQ(plain.status, 0);
        EXPECT_EQ(plain.bytes, secret);
    }
    Blob blob = Run(true, 0, Pattern(48, 4), W(""), W("right"));
    LogCapture log;
    Blob wrong = Run(false, 0, blob.bytes, W(""), W("wrong"));
    EXPECT_EQ(wrong.status, Error_Internal);
    EXPECT_TRUE(wrong.bytes.empty());
    EXPECT_TRUE(LogCapture::Has(log.Take(), diaglog::Level::Error, "CUtil::DecryptBlob", "KRY_AesDecrypt failed"));

    // Other types encrypt to nothing and do not decrypt.
    Bytes data = Pattern(20, 6);
    DWORD len = 20;
    BYTE* out = reinterpret_cast<BYTE*>(0x99);
    EXPECT_EQ(CUtil::EncryptBlob(2, data.data(), W("c"), W("pw"), salt.data(), &len, &out), 0);
    EXPECT_EQ(out, reinterpret_cast<BYTE*>(0x99));
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(CUtil::DecryptBlob(2, data.data(), W("c"), W("pw"), salt.data(), &len, &out), Error_Internal);
    EXPECT_EQ(out, reinterpret_cast<BYTE*>(0x99));
    // Every helper, failing ones included, matched its KRY_Initialize: nothing is left initialised.
    EXPECT_EQ(KRY_Uninitialize(), KRY_E_NOT_INITIALIZED);
}
