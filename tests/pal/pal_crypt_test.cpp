// CryptoAPI: the default provider, provider lookup by name, table checks, and
// dispatch through typed handles to a provider module.
#include "fixtures/PalTest.h"

#include <wincrypt.h>

#include <cstring>
#include <functional>
#include <tuple>

namespace {

using namespace paltest;
using vktest::Bytes;
using vktest::U;

constexpr const char16_t* kFakeName = u"Vaultkeep Test Fake Provider";

/* Acquires a context and releases it again; returns the last error, ERROR_SUCCESS for a context. */
DWORD TryAcquire(LPCWSTR container, LPCWSTR provider, DWORD type, DWORD flags) {
    HCRYPTPROV h = 0x5a5a;
    SetLastError(kSentinel);
    BOOL ok = CryptAcquireContextW(&h, container, provider, type, flags);
    DWORD err = GetLastError();
    EXPECT_EQ(ok != FALSE, err == ERROR_SUCCESS);
    EXPECT_EQ(ok ? CryptReleaseContext(h, 0) : h == 0, TRUE) << "released, or cleared on failure";
    return err;
}

/* HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>; type 0 leaves "Type" unwritten. */
void RegisterProvider(const std::u16string& name, const std::u16string& imagePath, DWORD type) {
    HKEY h = RegCreate(u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + name);
    RegSetSz(h, u"Image Path", imagePath);
    if (type) RegSetDword(h, u"Type", type);
    RegCloseKey(h);
}

/* Every test with the fake provider starts from a good table. */
class FakeProviderTest : public vktest::RootTest {
  protected:
    void SetUp() override {
        fx = LoadFixture();
        ASSERT_NE(fx, nullptr);
        fx->tableMode = TableGood;
        contexts0 = fx->liveContexts;
        keys0 = fx->liveKeys;
        RegisterProvider(kFakeName, TestLib(FIXTURE_MODULE_FILE), PROV_RSA_FULL);
    }
    void TearDown() override {
        if (fx) fx->tableMode = TableGood;
    }
    HCRYPTPROV Acquire() {
        HCRYPTPROV h = 0;
        EXPECT_TRUE(CryptAcquireContextW(&h, u"box", kFakeName, PROV_RSA_FULL, 0))
            << std::hex << GetLastError();
        return h;
    }
    FixtureState* fx = nullptr;
    LONG contexts0 = 0; // the fixture's counts when the test began
    LONG keys0 = 0;
};

TEST(PalCrypt, DefaultProviderGivesVerifyContextsOnly) {
    for (const auto& r : Rows("crypt", "default")) {
        const std::u16string container = U(r[1]);
        const LPCWSTR c = r[1] == "null" ? nullptr : container.c_str();
        EXPECT_EQ(TryAcquire(c, nullptr, Num(r[2]), Num(r[3])), Num(r[4])) << r[0];
        EXPECT_EQ(TryAcquire(c, u"", Num(r[2]), Num(r[3])), Num(r[4])) << r[0];
    }
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER),
              ErrOf(CryptAcquireContextW(nullptr, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)));
}

TEST(PalCrypt, DefaultProviderRandomFillsExactlyTheAskedBytes) {
    HCRYPTPROV h = 0;
    ASSERT_TRUE(CryptAcquireContextW(&h, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Bytes a(40, 0xCC), b(40, 0xCC);
    ASSERT_TRUE(CryptGenRandom(h, 32, a.data()));
    ASSERT_TRUE(CryptGenRandom(h, 32, b.data()));
    EXPECT_EQ(Bytes(a.begin() + 32, a.end()), Bytes(8, 0xCC)) << "written past the end";
    EXPECT_NE(a, b);
    EXPECT_TRUE(CryptGenRandom(h, 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ErrOf(CryptGenRandom(h, 4, nullptr)));
    HCRYPTKEY k = 0x77; // the default provider keeps no keys
    EXPECT_EQ(std::make_pair(ErrOf(CryptGenKey(h, CALG_AES_256, 0, &k)), k),
              std::make_pair(DWORD(NTE_BAD_ALGID), HCRYPTKEY(0)));
    // A release with flags is refused and leaves the context usable; after a release the handle is dead.
    EXPECT_EQ(DWORD(NTE_BAD_FLAGS), ErrOf(CryptReleaseContext(h, 1)));
    EXPECT_TRUE(CryptGenRandom(h, 4, a.data()));
    EXPECT_TRUE(CryptReleaseContext(h, 0));
    EXPECT_EQ(DWORD(NTE_BAD_UID), ErrOf(CryptGenRandom(h, 4, a.data())));
}

// A provider is found through its registration, and only a whole table of the right type is used; a failure
// without a last error, or an exception, comes back as NTE_FAIL. (How containers, flags and the provider's
// own errors pass through is the TPM provider's contract tests', through these calls.)
TEST_F(FakeProviderTest, ProvidersAreFoundByRegistrationAndTheirTablesChecked) {
    RegisterProvider(u"Wrong Type", TestLib(FIXTURE_MODULE_FILE), PROV_RSA_AES);
    RegisterProvider(u"No Type", TestLib(FIXTURE_MODULE_FILE), 0);
    RegisterProvider(u"No Module", TestLib("libNoSuchProvider.so"), PROV_RSA_FULL);
    RegisterProvider(u"Not A Provider", TestLib("libVaultkeepKry10.so"), PROV_RSA_FULL);
    struct Case {
        std::u16string name;
        DWORD type, mode, slot, error;
        std::u16string container = u"box";
    };
    std::vector<Case> cases;
    for (const auto& r : Rows("crypt", "provider"))
        cases.push_back({r[0] == "fake" ? kFakeName : U(r[0]), Num(r[1]), Num(r[2]), 0, Num(r[3])});
    for (DWORD slot = 0; slot < FIXTURE_SLOT_COUNT; ++slot)
        cases.push_back({kFakeName, PROV_RSA_FULL, TableNullSlot, slot, DWORD(NTE_PROV_DLL_NOT_FOUND)});
    for (const auto& r : Rows("crypt", "failure"))
        cases.push_back({kFakeName, PROV_RSA_FULL, TableGood, 0, Num(r[1]), U(r[0])});
    cases.push_back(cases.front()); // the same module serves again once its table is good
    for (const Case& c : cases) {
        fx->tableMode = c.mode;
        fx->nullSlot = c.slot;
        EXPECT_EQ(TryAcquire(c.container.c_str(), c.name.c_str(), c.type, 0), c.error)
            << vktest::Narrow(c.name) << " " << c.mode << "/" << c.slot << " " << vktest::Narrow(c.container);
    }
    EXPECT_EQ(contexts0, fx->liveContexts) << "a refused table is never called";
}

// How flags, keys and blobs reach a provider is the TPM provider's contract tests' (through these calls);
// here the provider's own results and what a release takes with it.
TEST_F(FakeProviderTest, CallsReachTheProviderAndKeysDieWithTheirContext) {
    HCRYPTPROV hProv = Acquire();
    BYTE data[4] = {1, 2, 3, 4};
    DWORD len = 4;
    EXPECT_TRUE(CryptGenRandom(hProv, 4, data));
    EXPECT_EQ(0xA5, data[0]) << "random bytes came from the provider";
    EXPECT_NE(static_cast<ULONG_PTR>(fx->lastProv), hProv) << "the provider sees its own context";
    HCRYPTKEY exchange = 0, blob = 0;
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &exchange));
    ASSERT_TRUE(CryptGenKey(hProv, CALG_AES_256, CRYPT_EXPORTABLE, &blob));
    const LONG keysBefore = fx->liveKeys;
    EXPECT_TRUE(CryptReleaseContext(hProv, 0));
    EXPECT_EQ(keysBefore - 2, fx->liveKeys);
    data[0] = 1;
    EXPECT_EQ(DWORD(NTE_BAD_KEY), ErrOf(CryptEncrypt(blob, 0, TRUE, 0, data, &len, sizeof(data))));
    EXPECT_EQ(1, data[0]) << "a refused call leaves the data alone";
}

TEST_F(FakeProviderTest, WrongKindsAndStaleHandlesAreRefused) {
    HCRYPTPROV hProv = Acquire();
    HCRYPTKEY hKey = 0, hDead = 0, hOtherKey = 0;
    ASSERT_TRUE(CryptGenKey(hProv, CALG_AES_256, 0, &hKey));
    ASSERT_TRUE(CryptGenKey(hProv, CALG_AES_256, 0, &hDead));
    ASSERT_TRUE(CryptDestroyKey(hDead));
    HCRYPTPROV hGone = Acquire();
    ASSERT_TRUE(CryptReleaseContext(hGone, 0));
    // A key of another provider (another table) cannot serve as export key.
    fx->tableMode = TableAlternate;
    HCRYPTPROV hOther = Acquire();
    fx->tableMode = TableGood;
    ASSERT_TRUE(CryptGenKey(hOther, CALG_AES_256, 0, &hOtherKey));

    BYTE buf[16] = {};
    DWORD len = 8;
    HCRYPTKEY out = 0;
    const std::tuple<const char*, std::function<BOOL()>, DWORD> cases[] = {
        {"key as context", [&] { return CryptGenRandom(hKey, 4, buf); }, ERROR_INVALID_HANDLE},
        {"context as key", [&] { return CryptDestroyKey(hProv); }, ERROR_INVALID_HANDLE},
        {"released context", [&] { return CryptGenKey(hGone, CALG_AES_256, 0, &out); }, DWORD(NTE_BAD_UID)},
        {"destroyed key", [&] { return CryptEncrypt(hDead, 0, TRUE, 0, buf, &len, 16); }, DWORD(NTE_BAD_KEY)},
        {"other provider's key", [&] { return CryptExportKey(hKey, hOtherKey, SIMPLEBLOB, 0, buf, &len); },
         DWORD(NTE_BAD_KEY)},
        {"no output", [&] { return CryptGenKey(hProv, CALG_AES_256, 0, nullptr); }, ERROR_INVALID_PARAMETER},
    };
    for (const auto& [what, call, error] : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(ErrOf(call()), error) << what;
    }
    EXPECT_EQ(0u, out);
    EXPECT_TRUE(CryptReleaseContext(hOther, 0));
    EXPECT_TRUE(CryptReleaseContext(hProv, 0));
    EXPECT_EQ(keys0, fx->liveKeys);
    EXPECT_EQ(contexts0, fx->liveContexts);
}

} // namespace
