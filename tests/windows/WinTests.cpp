/*
 * What the core suite (tests/core, built for Windows too) does not
 * reach there: the provider as advapi32 loads it by its registered name, the COM
 * servers as ole32 activates them, and the crypto library over libgcrypt.
 */
#include <windows.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <vaultkeep/vaultkeep.hpp>

#include "ComServers.h"
#include "KeyProvider.h"
#include "Kry10.h"

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const BYTE* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

/* The provider as advapi32 loads it from its registration. */
TEST(Provider, CryptoApiReachesTheRegisteredProviderDll) {
    ASSERT_EQ(VaultkeepInitRoot(), Error_Success);
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        << std::hex << GetLastError();
    BYTE random[32] = {0};
    EXPECT_TRUE(CryptGenRandom(prov, sizeof random, random));
    EXPECT_NE(Hex(random, sizeof random), std::string(64, '0'));
    EXPECT_FALSE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, nullptr));
    CryptReleaseContext(prov, 0);
    /* A name it would refuse as a file name never reaches the store. */
    EXPECT_FALSE(CryptAcquireContextW(&prov, L"..\\escape", TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL,
                                      CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET_PARAM));
}

/* The servers as ole32 activates them from HKLM\Software\Classes\CLSID. */
TEST(ComServers, ActivatedFromTheRegistry) {
    ASSERT_EQ(VaultkeepInitRoot(), Error_Success);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    IRandomGenerator* gen = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_RandomGenerator, nullptr, CLSCTX_INPROC_SERVER, IID_IRandomGenerator,
                               reinterpret_cast<void**>(&gen)),
              S_OK);
    BYTE a[16] = {0}, b[16] = {0};
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(gen->GetRandomBytes(a, sizeof a, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    EXPECT_EQ(gen->GetRandomBytes(b, sizeof b, &ok), S_OK);
    EXPECT_NE(Hex(a, 16), Hex(b, 16));
    EXPECT_EQ(gen->GetRandomBytes(a, -1, &ok), E_INVALIDARG);
    gen->Release();
    IUnknown* none = nullptr;
    static const CLSID kUnregistered = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&none)),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
}

/* libgcrypt under the crypto library: the RFC vectors, and the cipher's contract. */
TEST(Kry10, RfcVectorsAndAuthenticatedCipher) {
    ASSERT_EQ(KRY_Initialize(), KRY_OK);
    BYTE mac[32];
    const char data[] = "what do ya want for nothing?";
    ASSERT_EQ(KRY_HmacSha256Compute(reinterpret_cast<const BYTE*>("Jefe"), 4, reinterpret_cast<const BYTE*>(data),
                                    sizeof data - 1, mac),
              KRY_OK);
    EXPECT_EQ(Hex(mac, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"); // RFC 4231 case 2
    BYTE key[32];
    ASSERT_EQ(KRY_Pbkdf2Compute(reinterpret_cast<const BYTE*>("passwd"), 6, reinterpret_cast<const BYTE*>("salt"), 4,
                                1, key, 32),
              KRY_OK);
    EXPECT_EQ(Hex(key, 32), "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"); // RFC 7914 s.11

    BYTE iv[32] = {7};
    KRY_CIPHER c = nullptr;
    ASSERT_EQ(KRY_AesCreate(0, 1, key, 32, iv, 32, &c), KRY_OK);
    auto seal = [&](std::string_view plain) {
        KRY_STREAM in = nullptr, out = nullptr;
        std::string copy(plain);
        EXPECT_EQ(KRY_StreamCreateOnBuffer(reinterpret_cast<BYTE*>(copy.data()), static_cast<DWORD>(copy.size()),
                                           KRY_STREAM_READ, &in),
                  KRY_OK);
        EXPECT_EQ(KRY_StreamCreateOnBuffer(nullptr, 0, KRY_STREAM_WRITE, &out), KRY_OK);
        EXPECT_EQ(KRY_AesEncrypt(c, in, out), KRY_OK);
        ULONGLONG n = 0;
        KRY_StreamLength(out, &n);
        Bytes b(static_cast<size_t>(n));
        KRY_StreamSeek(out, 0, 0);
        KRY_StreamRead(out, b.data(), static_cast<DWORD>(b.size()), 0, static_cast<DWORD>(b.size()));
        KRY_StreamDestroy(in);
        KRY_StreamDestroy(out);
        return b;
    };
    auto open = [&](Bytes sealed, Bytes& plain) {
        KRY_STREAM in = nullptr, out = nullptr;
        KRY_StreamCreateOnBuffer(sealed.data(), static_cast<DWORD>(sealed.size()), KRY_STREAM_READ, &in);
        KRY_StreamCreateOnBuffer(nullptr, 0, KRY_STREAM_WRITE, &out);
        LONG r = KRY_AesDecrypt(c, in, out);
        ULONGLONG n = 0;
        KRY_StreamLength(out, &n);
        plain.assign(static_cast<size_t>(n), 0);
        KRY_StreamSeek(out, 0, 0);
        KRY_StreamRead(out, plain.data(), static_cast<DWORD>(plain.size()), 0, static_cast<DWORD>(plain.size()));
        KRY_StreamDestroy(in);
        KRY_StreamDestroy(out);
        return r;
    };
    for (std::string_view msg : {std::string_view(""), std::string_view("x"), std::string_view("a longer message")}) {
        Bytes sealed = seal(msg), plain;
        ASSERT_EQ(sealed.size(), msg.size() + 16);
        EXPECT_EQ(sealed, seal(msg)); // deterministic: the tables rely on it
        ASSERT_EQ(open(sealed, plain), KRY_OK);
        EXPECT_EQ(std::string(plain.begin(), plain.end()), msg);
        for (size_t i = 0; i < sealed.size(); ++i) {
            Bytes bad = sealed;
            bad[i] ^= 0x80;
            EXPECT_EQ(open(bad, plain), KRY_E_AUTH) << "byte " << i;
        }
    }
    KRY_AesDestroy(c);

    /* The same sealed bytes as the OpenSSL build writes (recorded from it), so vault files move
     * between hosts: key 00..1f, IV a0..bf. */
    BYTE key2[32], iv2[32];
    for (int i = 0; i < 32; ++i) {
        key2[i] = static_cast<BYTE>(i);
        iv2[i] = static_cast<BYTE>(0xA0 + i);
    }
    ASSERT_EQ(KRY_AesCreate(0, 1, key2, 32, iv2, 32, &c), KRY_OK);
    Bytes empty = seal(""), vault = seal("vault");
    EXPECT_EQ(Hex(empty.data(), empty.size()), "9157a5f89baffbd17face00a4b44c49b");
    EXPECT_EQ(Hex(vault.data(), vault.size()), "3cd72976c69b11a8a43bd0e25160120516e4392836");
    KRY_AesDestroy(c);
    KRY_Uninitialize();
}

} // namespace
