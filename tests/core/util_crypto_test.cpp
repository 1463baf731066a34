/* The random source, the TPM status, the user's key pair and the blob encryption in its
 * TPM-bound (type 1) and software (type 0) forms. */
#include "TableFixture.h"

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
    /* EncryptBlob (or DecryptBlob, in place in `data`) and what it handed out. */
    Blob Run(bool encrypt, LONG type, Bytes& data, const WString& container,
             const WCHAR* password) {
        DWORD len = static_cast<DWORD>(data.size());
        BYTE* out = nullptr;
        LONG st =
            encrypt
                ? CUtil::EncryptBlob(type, data.data(), container.c_str(), password, salt.data(), &len, &out)
                : CUtil::DecryptBlob(type, data.data(), container.c_str(), password, salt.data(), &len, &out);
        Blob b{st, out ? Bytes(out, out + len) : Bytes{}};
        free(out);
        return b;
    }
    Blob Encrypt(LONG type, Bytes data, const WString& container, const WCHAR* password = nullptr) {
        return Run(true, type, data, container, password);
    }

    const Bytes salt = Pattern(32, 9);
};

} // namespace

class CryptRandom : public RootTest {};

TEST_F(CryptRandom, EachSourceWritesExactlyThirtyTwoBytesOrNothing) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    // No server is registered in a fresh root: source 2 leaves the buffer as it was.
    const std::pair<LONG, bool> cases[] = {{0, true}, {1, true}, {2, false}, {3, false}, {-1, false}};
    for (auto [source, writes] : cases) {
        SCOPED_TRACE(source);
        Bytes buf(64, 0xA5);
        CCryptRandom random(source);
        EXPECT_EQ(random.Provider != 0, source == 1) << "a verify-only context for source 1 only";
        random.GenerateRandom(buf.data());
        EXPECT_EQ(Slice(buf, 32, 32), Bytes(32, 0xA5)) << "beyond the 32 bytes";
        EXPECT_EQ(Slice(buf, 0, 32) != Bytes(32, 0xA5), writes);
    }
    CoUninitialize();
}

TEST_F(LaidOutRoot, RandomServerFillsThirtyTwoBytes) {
    Bytes buf(64, 0x5A);
    CCryptRandom(2).GenerateRandom(buf.data());
    EXPECT_NE(Slice(buf, 0, 32), Bytes(32, 0x5A));
    EXPECT_EQ(Slice(buf, 32, 32), Bytes(32, 0x5A));
}

TEST_F(LaidOutRoot, UnownedTpmGivesMinusNineWithoutTouchingTheProvider) {
    const WString container = W("6a1f3c9e-0000-4000-8000-000000000001"),
                         other = W("6a1f3c9e-0000-4000-8000-000000000002");
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), W("pw")), 0);
    Blob sealed = Encrypt(1, Pattern(10, 1), container);
    ASSERT_EQ(sealed.status, 0);
    SetTpmOwned(0);
    LogCapture log;
    EXPECT_EQ(CUtil::GenerateKey(other.c_str(), W("pw")), Error_TPM_Not_Owned);
    Blob enc = Encrypt(1, Pattern(10, 1), container, W("pw"));
    EXPECT_EQ(enc.status, Error_TPM_Not_Owned);
    EXPECT_TRUE(enc.bytes.empty());
    Bytes blob = sealed.bytes;
    EXPECT_EQ(Run(false, 1, blob, container, W("pw")).status, Error_TPM_Not_Owned);
    EXPECT_EQ(blob, sealed.bytes) << "the blob is not touched";
    auto lines = log.Take();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.text == "TPM not owned"; }),
              3);
    SetTpmOwned(1);
    EXPECT_FALSE(ContainerExists(other));
}

TEST_F(LaidOutRoot, TpmBlobLayoutAndRoundTrip) {
    const WString container = W("1c2d3e4f-2222-4222-8222-222222222222");
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), W("p\u00e4ss")), 0);
    for (size_t n : {0, 1, 100, 4000}) {
        SCOPED_TRACE(n);
        const Bytes secret = Pattern(n, 5);
        Blob a = Encrypt(1, secret, container), b = Encrypt(1, secret, container);
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
}

TEST_F(LaidOutRoot, TpmBlobRefusals) {
    const WString container = W("3d4e5f60-3333-4333-8333-333333333333");
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), W("right")), 0);
    const Blob good = Encrypt(1, Pattern(64, 3), container);
    ASSERT_EQ(good.status, 0);
    Bytes badW = good.bytes, flipped = good.bytes;
    PutLe32(badW, 0, static_cast<uint32_t>(badW.size() - 3));
    flipped[4 + Le32(good.bytes, 0) / 2] ^= 0x01;
    struct Case {
        const char* what;
        Bytes blob;
        WString container;
        const WCHAR* password;
        LONG status;
    } cases[] = {
        {"wrong password", good.bytes, container, W("wrong"), Error_Decrypt_Failed},
        {"wrapped key damaged", flipped, container, W("right"), Error_Decrypt_Failed},
        {"W beyond the blob", badW, container, W("right"), Error_Decrypt_Failed},
        {"shorter than 4 bytes", Bytes{1, 0, 0}, container, W("right"), Error_Decrypt_Failed},
        {"no such container", good.bytes, W("99999999-9999-4999-8999-999999999999"), W("right"), Error_Internal}};
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        Blob r = Run(false, 1, c.blob, c.container, c.password);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.bytes.empty());
    }
}

TEST_F(LaidOutRoot, SoftwareBlobIsTheAesOfTheDerivedKey) {
    const WCHAR* password = W("p\u00e4ssw\u00f6rd");
    const Bytes utf8 = {'p', 0xc3, 0xa4, 's', 's', 'w', 0xc3, 0xb6, 'r', 'd'};
    ASSERT_EQ(Narrow(password), std::string(utf8.begin(), utf8.end()));
    // The key comes from the password in the ANSI code page (UTF-8 under the PAL).
    const std::string ansi = Ansi(password);
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
        Blob blob = Encrypt(0, secret, W(""), password);
        EXPECT_EQ(blob.bytes, Bytes(expected, expected + len));
        free(expected);
        Blob plain = Run(false, 0, blob.bytes, W(""), password);
        ASSERT_EQ(plain.status, 0);
        EXPECT_EQ(plain.bytes, secret);
    }
    Blob blob = Encrypt(0, Pattern(48, 4), W(""), W("right"));
    LogCapture log;
    Blob wrong = Run(false, 0, blob.bytes, W(""), W("wrong"));
    EXPECT_EQ(wrong.status, Error_Internal);
    EXPECT_TRUE(wrong.bytes.empty());
    EXPECT_TRUE(
        LogCapture::Has(log.Take(), diaglog::Level::Error, "CUtil::DecryptBlob", "KRY_AesDecrypt failed"));
}

TEST_F(LaidOutRoot, OtherTypesEncryptToNothingAndDoNotDecrypt) {
    Bytes data = Pattern(20, 6);
    DWORD len = 20;
    BYTE* out = reinterpret_cast<BYTE*>(0x99);
    EXPECT_EQ(CUtil::EncryptBlob(2, data.data(), W("c"), W("pw"), salt.data(), &len, &out), 0);
    EXPECT_EQ(out, reinterpret_cast<BYTE*>(0x99));
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(CUtil::DecryptBlob(2, data.data(), W("c"), W("pw"), salt.data(), &len, &out), Error_Internal);
    EXPECT_EQ(out, reinterpret_cast<BYTE*>(0x99));
    EXPECT_EQ(data, Pattern(20, 6));
}
