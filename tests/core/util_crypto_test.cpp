/* The random source, the TPM status, the user's key pair and the blob
 * encryption in its TPM-bound (type 1) and software (type 0) forms. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include "diaglog_control.h"
#include "platform/KeyProvider.h"
#include "util/Util.h"
#include <vaultkeep/vaultkeep.h>

#include <comdef.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace vktest;

namespace {

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + seed * 7 + 3);
    return b;
}

/* A machine root laid out as an installer would, with COM on this thread. */
class LaidOutRoot : public RootTest {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_EQ(VaultkeepInitRoot(), 0);
    }
    void TearDown() override { CoUninitialize(); }

    static void SetTpmOwned(DWORD owned) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider", 0,
                                  nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, u"SoftwareTpmOwned", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&owned), 4),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static bool ContainerExists(const std::u16string& name) {
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextW(&prov, name.c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET))
            return false;
        CryptReleaseContext(prov, 0);
        return true;
    }

    struct Blob {
        LONG status = 12345;
        Bytes bytes;
    };
    static Blob Encrypt(LONG type, const Bytes& secret, const std::u16string& container, const char16_t* password,
                        const Bytes& salt) {
        Bytes data = secret;
        DWORD len = static_cast<DWORD>(data.size());
        BYTE* out = nullptr;
        Blob b;
        b.status = CUtil::EncryptBlob(type, data.data(), container.c_str(), password, salt.data(), &len, &out);
        if (out) {
            b.bytes.assign(out, out + (b.status == 0 ? len : 0));
            free(out);
        }
        return b;
    }
    static Blob Decrypt(LONG type, Bytes& blob, const std::u16string& container, const char16_t* password,
                        const Bytes& salt) {
        DWORD len = static_cast<DWORD>(blob.size());
        BYTE* out = nullptr;
        Blob b;
        b.status = CUtil::DecryptBlob(type, blob.data(), container.c_str(), password, salt.data(), &len, &out);
        if (out) {
            b.bytes.assign(out, out + len);
            free(out);
        }
        return b;
    }

    const Bytes salt = Pattern(32, 9);
};

} // namespace

/* ---- CCryptRandom ------------------------------------------------------------ */

class CryptRandom : public RootTest {};

TEST_F(CryptRandom, EachSourceWritesExactlyThirtyTwoBytesOrNothing) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    struct Case {
        LONG source;
        bool writes;
    };
    /* No server is registered in a fresh root: source 2 leaves the buffer as it was. */
    for (const Case& c : {Case{0, true}, Case{1, true}, Case{2, false}, Case{3, false}, Case{-1, false}}) {
        SCOPED_TRACE(c.source);
        Bytes buf(64, 0xA5);
        {
            CCryptRandom random(c.source);
            EXPECT_EQ(random.Source, c.source);
            EXPECT_EQ(random.Provider != 0, c.source == 1);
            random.GenerateRandom(buf.data());
        }
        EXPECT_EQ(Bytes(buf.begin() + 32, buf.end()), Bytes(32, 0xA5)) << "beyond the 32 bytes";
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 32) != Bytes(32, 0xA5), c.writes);
    }
    CoUninitialize();
}

TEST_F(LaidOutRoot, RandomServerFillsThirtyTwoBytes) {
    Bytes buf(64, 0x5A);
    CCryptRandom(2).GenerateRandom(buf.data());
    EXPECT_NE(Bytes(buf.begin(), buf.begin() + 32), Bytes(32, 0x5A));
    EXPECT_EQ(Bytes(buf.begin() + 32, buf.end()), Bytes(32, 0x5A));
}

/* ---- TPM status and key generation -------------------------------------------- */

TEST_F(CryptRandom, TpmStatusWithoutServerRaisesPointerError) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    HRESULT hr = S_OK;
    try {
        CUtil::IsTPMOwned();
    } catch (const _com_error& e) {
        hr = e.Error();
    }
    EXPECT_EQ(hr, E_POINTER);
    CoUninitialize();
}

TEST_F(LaidOutRoot, TpmStatusFollowsTheProviderSetting) {
    EXPECT_EQ(CUtil::IsTPMOwned(), TRUE);
    SetTpmOwned(0);
    EXPECT_EQ(CUtil::IsTPMOwned(), FALSE);
    SetTpmOwned(1);
    EXPECT_EQ(CUtil::IsTPMOwned(), TRUE);
}

TEST_F(LaidOutRoot, UnownedTpmGivesMinusNineWithoutTouchingTheProvider) {
    const std::u16string container = u"6a1f3c9e-0000-4000-8000-000000000001";
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), u"pw"), 0);
    Blob sealed = Encrypt(1, Pattern(10, 1), container, nullptr, salt);
    ASSERT_EQ(sealed.status, 0);
    SetTpmOwned(0);

    diaglog::Configure("off");
    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    const std::u16string other = u"6a1f3c9e-0000-4000-8000-000000000002";
    EXPECT_EQ(CUtil::GenerateKey(other.c_str(), u"pw"), Error_TPM_Not_Owned);
    BYTE* out = reinterpret_cast<BYTE*>(0x77);
    Bytes secret = Pattern(10, 1);
    DWORD len = 10;
    EXPECT_EQ(CUtil::EncryptBlob(1, secret.data(), container.c_str(), u"pw", salt.data(), &len, &out),
              Error_TPM_Not_Owned);
    EXPECT_EQ(out, reinterpret_cast<BYTE*>(0x77));
    EXPECT_EQ(len, 10u);
    Bytes blob = sealed.bytes;
    EXPECT_EQ(Decrypt(1, blob, container, u"pw", salt).status, Error_TPM_Not_Owned);
    EXPECT_EQ(blob, sealed.bytes) << "the blob is not touched";
    auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);
    int notOwned = 0;
    for (auto& l : lines)
        if (l.level == diaglog::Level::Error && l.text == "TPM not owned") ++notOwned;
    EXPECT_EQ(notOwned, 3);
    SetTpmOwned(1);
    EXPECT_FALSE(ContainerExists(other));
}

TEST_F(LaidOutRoot, GenerateKeyOnAnExistingContainerKeepsItsKeyAndPassword) {
    const std::u16string container = u"0b6c1e42-1111-4111-8111-111111111111";
    EXPECT_FALSE(ContainerExists(container));
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), u"first"), 0);
    EXPECT_TRUE(ContainerExists(container));
    Blob sealed = Encrypt(1, Pattern(40, 2), container, nullptr, salt);
    ASSERT_EQ(sealed.status, 0);
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), u"second"), 0);
    Bytes blob = sealed.bytes;
    Blob opened = Decrypt(1, blob, container, u"first", salt);
    EXPECT_EQ(opened.status, 0);
    EXPECT_EQ(opened.bytes, Pattern(40, 2));
}

/* ---- type-1 blobs --------------------------------------------------------------- */

TEST_F(LaidOutRoot, TpmBlobLayoutAndRoundTrip) {
    const std::u16string container = u"1c2d3e4f-2222-4222-8222-222222222222";
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), u"p\u00e4ss"), 0);
    for (size_t n : {size_t(0), size_t(1), size_t(100), size_t(4000)}) {
        SCOPED_TRACE(n);
        const Bytes secret = Pattern(n, 5);
        Blob a = Encrypt(1, secret, container, nullptr, salt);
        Blob b = Encrypt(1, secret, container, nullptr, salt);
        ASSERT_EQ(a.status, 0);
        ASSERT_EQ(b.status, 0);
        uint32_t w = Le32(a.bytes, 0);
        EXPECT_EQ(w, 268u) << "12-byte SIMPLEBLOB header and 256 bytes of RSA-OAEP";
        ASSERT_GT(a.bytes.size(), 4u + w);
        EXPECT_GE(a.bytes.size() - 4 - w, n) << "ciphertext at least as long as the secret";
        EXPECT_NE(a.bytes, b.bytes) << "a fresh blob key each time";

        for (Blob* blob : {&a, &b}) {
            Bytes copy = blob->bytes;
            Blob plain = Decrypt(1, copy, container, u"p\u00e4ss", salt);
            ASSERT_EQ(plain.status, 0);
            EXPECT_EQ(plain.bytes, secret);
            /* Decrypted in place: the caller's copy of the blob now holds the secret after the wrapped key. */
            EXPECT_TRUE(std::equal(secret.begin(), secret.end(), copy.begin() + 4 + w));
        }
    }
}

TEST_F(LaidOutRoot, TpmBlobRefusals) {
    const std::u16string container = u"3d4e5f60-3333-4333-8333-333333333333";
    ASSERT_EQ(CUtil::GenerateKey(container.c_str(), u"right"), 0);
    const Blob good = Encrypt(1, Pattern(64, 3), container, nullptr, salt);
    ASSERT_EQ(good.status, 0);
    const uint32_t w = Le32(good.bytes, 0);

    struct Case {
        const char* what;
        Bytes blob;
        std::u16string container;
        const char16_t* password;
        LONG status;
    };
    Bytes badW = good.bytes;
    PutLe32(badW, 0, static_cast<uint32_t>(badW.size() - 3));
    Bytes flipped = good.bytes;
    flipped[4 + w / 2] ^= 0x01;
    const std::vector<Case> cases = {
        {"wrong password", good.bytes, container, u"wrong", Error_Decrypt_Failed},
        {"wrapped key damaged", flipped, container, u"right", Error_Decrypt_Failed},
        {"W beyond the blob", badW, container, u"right", Error_Decrypt_Failed},
        {"shorter than 4 bytes", Bytes{1, 0, 0}, container, u"right", Error_Decrypt_Failed},
        {"empty", Bytes{}, container, u"right", Error_Decrypt_Failed},
        {"no such container", good.bytes, u"99999999-9999-4999-8999-999999999999", u"right", Error_Internal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes blob = c.blob;
        blob.reserve(blob.size() + 1);
        Blob r = Decrypt(1, blob, c.container, c.password, salt);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.bytes.empty());
    }
}

/* ---- type-0 and other types ------------------------------------------------------ */

TEST_F(LaidOutRoot, SoftwareBlobIsTheAesOfTheDerivedKey) {
    const char16_t* password = u"p\u00e4ssw\u00f6rd";
    CAnsiString ansi(password);
    ASSERT_EQ(std::string(ansi.c_str()), "p\xc3\xa4ssw\xc3\xb6rd");
    ASSERT_EQ(ansi.length(), 10);
    BYTE key[32];
    LONG keyLen = 32;
    ASSERT_EQ(CUtil::GenAESKey(ansi.bytes(), ansi.length(), key, &keyLen, salt.data()), 0);

    /* Well past the 500 bytes of a fixed work area. */
    for (size_t n : {size_t(0), size_t(5), size_t(499), size_t(500), size_t(4096)}) {
        SCOPED_TRACE(n);
        const Bytes secret = Pattern(n, 11);
        DWORD len = static_cast<DWORD>(n);
        BYTE* expected = nullptr;
        ASSERT_EQ(CUtil::EncryptWithAES(key, 32, secret.data(), &len, &expected), 0);
        Bytes reference(expected, expected + len);
        free(expected);

        Blob blob = Encrypt(0, secret, u"", password, salt);
        ASSERT_EQ(blob.status, 0);
        EXPECT_EQ(blob.bytes, reference);
        Blob plain = Decrypt(0, blob.bytes, u"", password, salt);
        ASSERT_EQ(plain.status, 0);
        EXPECT_EQ(plain.bytes, secret);
    }
}

TEST_F(LaidOutRoot, SoftwareBlobWithAWrongPasswordFails) {
    Blob blob = Encrypt(0, Pattern(48, 4), u"", u"right", salt);
    ASSERT_EQ(blob.status, 0);
    diaglog::Configure("off");
    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    Blob plain = Decrypt(0, blob.bytes, u"", u"wrong", salt);
    auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);
    EXPECT_EQ(plain.status, Error_Internal);
    EXPECT_TRUE(plain.bytes.empty());
    bool logged = false;
    for (auto& l : lines)
        logged |= l.function == "CUtil::DecryptBlob" && l.level == diaglog::Level::Error && l.text == "KRY_AesDecrypt failed";
    EXPECT_TRUE(logged);
}

TEST_F(LaidOutRoot, OtherTypesEncryptToNothingAndDoNotDecrypt) {
    Bytes data = Pattern(20, 6);
    DWORD len = 20;
    BYTE* out = reinterpret_cast<BYTE*>(0x99);
    EXPECT_EQ(CUtil::EncryptBlob(2, data.data(), u"c", u"pw", salt.data(), &len, &out), 0);
    EXPECT_EQ(out, reinterpret_cast<BYTE*>(0x99));
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(CUtil::DecryptBlob(2, data.data(), u"c", u"pw", salt.data(), &len, &out), Error_Internal);
    EXPECT_EQ(out, reinterpret_cast<BYTE*>(0x99));
    EXPECT_EQ(data, Pattern(20, 6));
}

