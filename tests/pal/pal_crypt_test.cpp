// CryptoAPI: the default provider, provider lookup by name, table checks, and
// dispatch through typed handles to a provider module.
#include "VkTest.h"
#include "fixtures/Fixture.h"

#include <wincrypt.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vktest::U;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr const char16_t* kFakeName = u"Vaultkeep Test Fake Provider";

std::string LibDir() {
    const char* bin = getenv("VK_TEST_BIN_DIR");
    return std::string(bin ? bin : ".") + "/lib";
}

DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

/* HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>; a negative
 * type leaves "Type" unwritten. */
void RegisterProvider(const std::u16string& name, const std::u16string& imagePath, long long type) {
    std::u16string key = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + name;
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(imagePath.c_str()),
                                            static_cast<DWORD>((imagePath.size() + 1) * 2)));
    if (type >= 0) {
        DWORD t = static_cast<DWORD>(type);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&t), 4));
    }
    RegCloseKey(h);
}

std::u16string FixturePath() { return U(LibDir() + "/" FIXTURE_MODULE_FILE); }

FixtureState* Fixture() {
    HMODULE h = LoadLibraryW(FixturePath().c_str());
    if (!h) return nullptr;
    auto fn = reinterpret_cast<PFN_FixtureState>(reinterpret_cast<void (*)(void)>(GetProcAddress(h, "FixtureGetState")));
    return fn ? fn() : nullptr;
}

/* Every test with the fake provider starts from a good table. */
class FakeProviderTest : public vktest::RootTest {
protected:
    void SetUp() override {
        fx = Fixture();
        ASSERT_NE(nullptr, fx);
        fx->tableMode = TableGood;
        contexts0 = fx->liveContexts;
        keys0 = fx->liveKeys;
        RegisterProvider(kFakeName, FixturePath(), PROV_RSA_FULL);
    }
    void TearDown() override {
        if (fx) fx->tableMode = TableGood;
    }
    HCRYPTPROV Acquire(LPCWSTR container = u"box", DWORD flags = 0) {
        HCRYPTPROV h = 0;
        EXPECT_TRUE(CryptAcquireContextW(&h, container, kFakeName, PROV_RSA_FULL, flags)) << std::hex << GetLastError();
        return h;
    }
    FixtureState* fx = nullptr;
    LONG contexts0 = 0; // the fixture's counts when the test began
    LONG keys0 = 0;
};

TEST(PalCrypt, DefaultProviderGivesVerifyContextsOnly) {
    struct Case {
        const char* what;
        LPCWSTR container;
        DWORD type;
        DWORD flags;
        DWORD error; // ERROR_SUCCESS: a context
    } cases[] = {
        {"verify, RSA full", nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, ERROR_SUCCESS},
        {"verify, RSA AES", nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT, ERROR_SUCCESS},
        {"verify, empty container", u"", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, ERROR_SUCCESS},
        {"verify, silent machine", nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT | CRYPT_MACHINE_KEYSET,
         ERROR_SUCCESS},
        {"a key set", nullptr, PROV_RSA_FULL, 0, Code(NTE_BAD_KEYSET)},
        {"a named key set", u"c", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, Code(NTE_BAD_KEYSET)},
        {"a new key set", u"c", PROV_RSA_FULL, CRYPT_NEWKEYSET, Code(NTE_BAD_KEYSET)},
        {"verify with a container", u"c", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, Code(NTE_BAD_FLAGS)},
        {"verify and new", nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET, Code(NTE_BAD_FLAGS)},
        {"new and delete", u"c", PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, Code(NTE_BAD_FLAGS)},
        {"unknown flag", nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | 0x1000, Code(NTE_BAD_FLAGS)},
        {"type not served", nullptr, 13, CRYPT_VERIFYCONTEXT, Code(NTE_PROV_TYPE_NOT_DEF)},
        {"type zero", nullptr, 0, CRYPT_VERIFYCONTEXT, Code(NTE_BAD_PROV_TYPE)},
    };
    for (const Case& c : cases) {
        for (LPCWSTR provider : {static_cast<LPCWSTR>(nullptr), static_cast<LPCWSTR>(u"")}) {
            HCRYPTPROV h = 0x5a5a;
            SetLastError(kSentinel);
            BOOL ok = CryptAcquireContextW(&h, c.container, provider, c.type, c.flags);
            EXPECT_EQ(c.error, GetLastError()) << c.what;
            EXPECT_EQ(c.error == ERROR_SUCCESS, ok != FALSE) << c.what;
            if (ok) {
                EXPECT_NE(0u, h) << c.what;
                EXPECT_TRUE(CryptReleaseContext(h, 0)) << c.what;
            } else {
                EXPECT_EQ(0u, h) << c.what << ": cleared on failure";
            }
        }
    }
    SetLastError(kSentinel);
    EXPECT_FALSE(CryptAcquireContextW(nullptr, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(PalCrypt, DefaultProviderRandomFillsExactlyTheAskedBytes) {
    HCRYPTPROV h = 0;
    ASSERT_TRUE(CryptAcquireContextW(&h, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    for (DWORD len : {1u, 16u, 32u, 1000u}) {
        std::vector<BYTE> a(len + 8, 0xCC), b(len + 8, 0xCC);
        SetLastError(kSentinel);
        ASSERT_TRUE(CryptGenRandom(h, len, a.data()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
        ASSERT_TRUE(CryptGenRandom(h, len, b.data()));
        for (size_t i = len; i < len + 8; ++i) {
            EXPECT_EQ(0xCC, a[i]) << "byte past the end written, len " << len;
            EXPECT_EQ(0xCC, b[i]);
        }
        if (len >= 16) {
            EXPECT_NE(0, memcmp(a.data(), b.data(), len)) << "two draws of " << len << " bytes equal";
        }
    }
    // One large draw is not constant.
    std::vector<BYTE> big(1 << 20, 0);
    ASSERT_TRUE(CryptGenRandom(h, static_cast<DWORD>(big.size()), big.data()));
    size_t zeros = 0;
    for (BYTE x : big) zeros += x == 0;
    EXPECT_LT(zeros, big.size() / 128);

    EXPECT_TRUE(CryptGenRandom(h, 0, nullptr));
    SetLastError(kSentinel);
    EXPECT_FALSE(CryptGenRandom(h, 4, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    // The default provider keeps no keys and knows no parameters.
    HCRYPTKEY k = 0x77;
    DWORD v = 0, cb = sizeof(v);
    SetLastError(kSentinel);
    EXPECT_FALSE(CryptGenKey(h, CALG_AES_256, 0, &k));
    EXPECT_EQ(Code(NTE_BAD_ALGID), GetLastError());
    EXPECT_EQ(0u, k);
    EXPECT_FALSE(CryptGetUserKey(h, AT_KEYEXCHANGE, &k));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
    EXPECT_FALSE(CryptGetProvParam(h, 0x1001, reinterpret_cast<BYTE*>(&v), &cb, 0));
    EXPECT_EQ(Code(NTE_BAD_TYPE), GetLastError());

    // Release: flags refused, then the handle is gone for good.
    SetLastError(kSentinel);
    EXPECT_FALSE(CryptReleaseContext(h, 1));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    EXPECT_TRUE(CryptGenRandom(h, 4, big.data())) << "a refused release leaves the context usable";
    EXPECT_TRUE(CryptReleaseContext(h, 0));
    SetLastError(kSentinel);
    EXPECT_FALSE(CryptGenRandom(h, 4, big.data()));
    EXPECT_EQ(Code(NTE_BAD_UID), GetLastError());
    EXPECT_FALSE(CryptReleaseContext(h, 0));
    EXPECT_EQ(Code(NTE_BAD_UID), GetLastError());
    EXPECT_FALSE(CryptReleaseContext(0, 0));
    EXPECT_EQ(Code(NTE_BAD_UID), GetLastError());
}

TEST_F(FakeProviderTest, NamedProviderIsFoundThroughItsRegistration) {
    RegisterProvider(u"Wrong Type", FixturePath(), PROV_RSA_AES);
    RegisterProvider(u"No Type", FixturePath(), -1);
    RegisterProvider(u"No Module", U(LibDir() + "/libNoSuchProvider.so"), PROV_RSA_FULL);
    RegisterProvider(u"Not A Provider", U(LibDir() + "/libVaultkeepKry10.so"), PROV_RSA_FULL);
    struct Case {
        const char16_t* name;
        DWORD type;
        DWORD error;
    } cases[] = {
        {kFakeName, PROV_RSA_FULL, ERROR_SUCCESS},
        {u"Unregistered Provider", PROV_RSA_FULL, Code(NTE_PROV_DLL_NOT_FOUND)},
        {u"Provider\\Sub", PROV_RSA_FULL, Code(NTE_PROV_DLL_NOT_FOUND)},
        {kFakeName, PROV_RSA_AES, Code(NTE_PROV_TYPE_NOT_DEF)},
        {u"Wrong Type", PROV_RSA_FULL, Code(NTE_PROV_TYPE_NOT_DEF)},
        {u"No Type", PROV_RSA_FULL, Code(NTE_PROV_TYPE_NOT_DEF)},
        {u"No Module", PROV_RSA_FULL, Code(NTE_PROV_DLL_NOT_FOUND)},
        {u"Not A Provider", PROV_RSA_FULL, Code(NTE_PROV_DLL_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        HCRYPTPROV h = 0x5a5a;
        SetLastError(kSentinel);
        BOOL ok = CryptAcquireContextW(&h, u"box", c.name, c.type, 0);
        EXPECT_EQ(c.error, GetLastError()) << vktest::Narrow(c.name);
        EXPECT_EQ(c.error == ERROR_SUCCESS, ok != FALSE) << vktest::Narrow(c.name);
        if (ok) {
            EXPECT_TRUE(CryptReleaseContext(h, 0));
        } else {
            EXPECT_EQ(0u, h) << vktest::Narrow(c.name);
        }
    }
    EXPECT_EQ(contexts0, fx->liveContexts);
}

TEST_F(FakeProviderTest, UnusableProviderTablesAreRefused) {
    struct Case {
        DWORD mode;
        DWORD slot;
        DWORD error;
    };
    std::vector<Case> cases = {
        {TableNull, 0, Code(NTE_PROV_DLL_NOT_FOUND)},      {TableBadMagic, 0, Code(NTE_PROV_DLL_NOT_FOUND)},
        {TableBadVersion, 0, Code(NTE_PROV_DLL_NOT_FOUND)}, {TableShortSize, 0, Code(NTE_PROV_DLL_NOT_FOUND)},
        {TableWrongType, 0, Code(NTE_PROV_TYPE_NOT_DEF)},
    };
    for (DWORD slot = 0; slot < FIXTURE_SLOT_COUNT; ++slot)
        cases.push_back({TableNullSlot, slot, Code(NTE_PROV_DLL_NOT_FOUND)});
    const LONG contextsBefore = fx->liveContexts;
    for (const Case& c : cases) {
        fx->tableMode = c.mode;
        fx->nullSlot = c.slot;
        HCRYPTPROV h = 0x5a5a;
        SetLastError(kSentinel);
        EXPECT_FALSE(CryptAcquireContextW(&h, u"box", kFakeName, PROV_RSA_FULL, 0)) << c.mode << "/" << c.slot;
        EXPECT_EQ(c.error, GetLastError()) << c.mode << "/" << c.slot;
        EXPECT_EQ(0u, h);
    }
    EXPECT_EQ(contextsBefore, fx->liveContexts) << "a refused table is never called";
    fx->tableMode = TableGood;
    HCRYPTPROV h = Acquire();
    EXPECT_TRUE(CryptReleaseContext(h, 0)) << "the same module serves again once its table is good";
}

TEST_F(FakeProviderTest, AcquireHandsArgumentsOnAndPassesProviderErrors) {
    struct Case {
        const char16_t* container;
        DWORD flags;
        DWORD error;
    } cases[] = {
        {u"box", CRYPT_MACHINE_KEYSET, ERROR_SUCCESS},
        {u"box", CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET, ERROR_SUCCESS},
        {FIXTURE_CONTAINER_MISSING, CRYPT_MACHINE_KEYSET, Code(NTE_BAD_KEYSET)},
        {FIXTURE_CONTAINER_SILENT, 0, Code(NTE_FAIL)},
        {FIXTURE_CONTAINER_THROWS, 0, Code(NTE_FAIL)},
    };
    for (const Case& c : cases) {
        HCRYPTPROV h = 0x5a5a;
        SetLastError(kSentinel);
        BOOL ok = CryptAcquireContextW(&h, c.container, kFakeName, PROV_RSA_FULL, c.flags);
        EXPECT_EQ(c.error, GetLastError()) << vktest::Narrow(c.container);
        EXPECT_EQ(std::u16string(c.container), std::u16string(fx->lastContainer));
        EXPECT_EQ(c.flags, fx->lastAcquireFlags);
        if (ok) {
            // Our handle, not the provider's: the provider numbers contexts 1, 2, ...
            EXPECT_GT(h, 0xFFFFu);
            EXPECT_TRUE(CryptReleaseContext(h, 0));
        } else {
            EXPECT_EQ(0u, h);
        }
    }
    // Deleting a key set opens nothing.
    const LONG deletes = fx->deletes;
    HCRYPTPROV h = 0x5a5a;
    SetLastError(kSentinel);
    EXPECT_TRUE(CryptAcquireContextW(&h, u"box", kFakeName, PROV_RSA_FULL, CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(0u, h);
    EXPECT_EQ(deletes + 1, fx->deletes);
    EXPECT_EQ(contexts0, fx->liveContexts);
}

TEST_F(FakeProviderTest, CallsReachTheProviderWithItsOwnHandles) {
    HCRYPTPROV hProv = Acquire();
    const PAL_CSP_PROV providerCtx = [&] {
        BYTE b[4];
        EXPECT_TRUE(CryptGenRandom(hProv, 4, b));
        EXPECT_EQ(0xA5, b[0]) << "random bytes came from the provider";
        return fx->lastProv;
    }();
    EXPECT_NE(static_cast<ULONG_PTR>(providerCtx), hProv);

    // Parameters, with the provider's ERROR_MORE_DATA passed on.
    DWORD v = 0x1234;
    EXPECT_TRUE(CryptSetProvParam(hProv, FIXTURE_DWORD_PARAM, reinterpret_cast<BYTE*>(&v), 1));
    EXPECT_EQ(1u, fx->lastFlags);
    BYTE small[2];
    DWORD cb = sizeof(small);
    SetLastError(kSentinel);
    EXPECT_FALSE(CryptGetProvParam(hProv, FIXTURE_DWORD_PARAM, small, &cb, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(4u, cb);
    DWORD got = 0;
    cb = sizeof(got);
    EXPECT_TRUE(CryptGetProvParam(hProv, FIXTURE_DWORD_PARAM, reinterpret_cast<BYTE*>(&got), &cb, 0));
    EXPECT_EQ(0x1234u, got);
    EXPECT_FALSE(CryptGetProvParam(hProv, FIXTURE_DWORD_PARAM, reinterpret_cast<BYTE*>(&got), nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    // Keys: the provider sees its own key numbers, we hold ours.
    HCRYPTKEY exchange = 0, blob = 0;
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &exchange));
    ASSERT_TRUE(CryptGenKey(hProv, CALG_AES_256, CRYPT_EXPORTABLE, &blob));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_EXPORTABLE), fx->lastFlags);
    EXPECT_EQ(providerCtx, fx->lastProv);
    EXPECT_NE(exchange, blob);

    BYTE exported[16] = {};
    DWORD cbExported = 0;
    ASSERT_TRUE(CryptExportKey(blob, 0, SIMPLEBLOB, 0, nullptr, &cbExported)); // size query
    EXPECT_EQ(8u, cbExported);
    EXPECT_EQ(0u, fx->lastAuxKey) << "no export key is 0 to the provider";
    cbExported = sizeof(exported);
    ASSERT_TRUE(CryptExportKey(blob, exchange, SIMPLEBLOB, CRYPT_OAEP, exported, &cbExported));
    uint32_t ids[2];
    memcpy(ids, exported, 8);
    const PAL_CSP_KEY providerBlob = ids[0], providerExchangeKey = ids[1];
    EXPECT_NE(providerBlob, providerExchangeKey);
    EXPECT_NE(static_cast<ULONG_PTR>(providerBlob), blob);
    EXPECT_EQ(static_cast<DWORD>(CRYPT_OAEP), fx->lastFlags);

    HCRYPTKEY imported = 0;
    ASSERT_TRUE(CryptImportKey(hProv, exported, cbExported, exchange, CRYPT_OAEP, &imported));
    EXPECT_EQ(providerExchangeKey, fx->lastAuxKey);

    // Encrypt and decrypt reach the key they name, with every argument.
    BYTE data[4] = {1, 2, 3, 4};
    DWORD len = 4;
    ASSERT_TRUE(CryptEncrypt(blob, 0, TRUE, 0, data, &len, sizeof(data)));
    EXPECT_EQ(providerBlob, fx->lastKey);
    EXPECT_EQ(TRUE, fx->lastFinal);
    EXPECT_EQ(4u, fx->lastBufLen);
    EXPECT_EQ(static_cast<BYTE>(1 ^ providerBlob), data[0]);
    ASSERT_TRUE(CryptDecrypt(blob, 0, FALSE, 0, data, &len));
    EXPECT_EQ(FALSE, fx->lastFinal);
    EXPECT_EQ(1, data[0]);

    // Destroy: the provider's key goes, and our handle is dead afterwards.
    SetLastError(kSentinel);
    ASSERT_TRUE(CryptDestroyKey(imported));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_FALSE(CryptDestroyKey(imported));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());

    // Keys left behind die with their context.
    const LONG keysBefore = fx->liveKeys;
    EXPECT_TRUE(CryptReleaseContext(hProv, 0));
    EXPECT_EQ(keysBefore - 2, fx->liveKeys);
    SetLastError(kSentinel);
    EXPECT_FALSE(CryptEncrypt(blob, 0, TRUE, 0, data, &len, sizeof(data)));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
    EXPECT_EQ(1, data[0]) << "a refused call leaves the data alone";
}

TEST_F(FakeProviderTest, WrongKindsAndStaleHandlesAreRefused) {
    HCRYPTPROV hProv = Acquire();
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(CryptGenKey(hProv, CALG_AES_256, 0, &hKey));
    HCRYPTKEY hDead = 0;
    ASSERT_TRUE(CryptGenKey(hProv, CALG_AES_256, 0, &hDead));
    ASSERT_TRUE(CryptDestroyKey(hDead));
    HCRYPTPROV hGone = Acquire();
    ASSERT_TRUE(CryptReleaseContext(hGone, 0));
    // A key of another provider (another table) cannot serve as export key.
    fx->tableMode = TableAlternate;
    HCRYPTPROV hOther = Acquire();
    fx->tableMode = TableGood;
    HCRYPTKEY hOtherKey = 0;
    ASSERT_TRUE(CryptGenKey(hOther, CALG_AES_256, 0, &hOtherKey));

    BYTE buf[16] = {};
    DWORD len = 8;
    HCRYPTKEY out = 0;
    auto run = [&](const char* what, auto call, DWORD error) {
        SetLastError(kSentinel);
        BOOL ok = call();
        EXPECT_FALSE(ok) << what;
        EXPECT_EQ(error, GetLastError()) << what;
    };
    run("key as context", [&] { return CryptGenRandom(hKey, 4, buf); }, ERROR_INVALID_HANDLE);
    run("key released as context", [&] { return CryptReleaseContext(hKey, 0); }, ERROR_INVALID_HANDLE);
    run("context as key", [&] { return CryptDestroyKey(hProv); }, ERROR_INVALID_HANDLE);
    run("context as export key", [&] { return CryptExportKey(hKey, hProv, SIMPLEBLOB, 0, buf, &len); },
        ERROR_INVALID_HANDLE);
    run("released context", [&] { return CryptGenKey(hGone, CALG_AES_256, 0, &out); }, Code(NTE_BAD_UID));
    run("null context", [&] { return CryptGetUserKey(0, AT_KEYEXCHANGE, &out); }, Code(NTE_BAD_UID));
    run("destroyed key", [&] { return CryptEncrypt(hDead, 0, TRUE, 0, buf, &len, 16); }, Code(NTE_BAD_KEY));
    run("null key", [&] { return CryptDecrypt(0, 0, TRUE, 0, buf, &len); }, Code(NTE_BAD_KEY));
    run("destroyed export key", [&] { return CryptExportKey(hKey, hDead, SIMPLEBLOB, 0, buf, &len); },
        Code(NTE_BAD_KEY));
    run("other provider's key", [&] { return CryptExportKey(hKey, hOtherKey, SIMPLEBLOB, 0, buf, &len); },
        Code(NTE_BAD_KEY));
    run("other provider's public key", [&] { return CryptImportKey(hProv, buf, 8, hOtherKey, 0, &out); },
        Code(NTE_BAD_KEY));
    run("a hash handle", [&] { return CryptEncrypt(hKey, 0x99, TRUE, 0, buf, &len, 16); }, ERROR_INVALID_HANDLE);
    run("no output", [&] { return CryptGenKey(hProv, CALG_AES_256, 0, nullptr); }, ERROR_INVALID_PARAMETER);
    run("no import data", [&] { return CryptImportKey(hProv, nullptr, 8, 0, 0, &out); }, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(0u, out);

    EXPECT_TRUE(CryptReleaseContext(hOther, 0));
    EXPECT_TRUE(CryptReleaseContext(hProv, 0));
    EXPECT_EQ(keys0, fx->liveKeys);
    EXPECT_EQ(contexts0, fx->liveContexts);
}

} // namespace
