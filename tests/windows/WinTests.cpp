/*
 * What the core suite (tests/core, built for Windows too) does not
 * reach there: the provider as advapi32 loads it by its registered name, the COM
 * servers as ole32 activates them.
 */
#include <windows.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <vaultkeep/vaultkeep.hpp>

#include "ComServers.h"
#include "KeyProvider.h"

#include <string>
#include <vector>

namespace {


std::string Raw(const BYTE* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

/* The provider as advapi32 loads it from its registration. */
TEST(Provider, CryptoApiReachesTheRegisteredProviderDll) {
    ASSERT_EQ(VaultkeepInitRoot(), Error_Success);
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        << std::hex << GetLastError();
    BYTE random[32] = {0};
    EXPECT_TRUE(CryptGenRandom(prov, sizeof random, random));
    EXPECT_NE(Raw(random, sizeof random), std::string(32, '\0'));
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
    EXPECT_NE(Raw(a, 16), Raw(b, 16));
    EXPECT_EQ(gen->GetRandomBytes(a, -1, &ok), E_INVALIDARG);
    gen->Release();
    IUnknown* none = nullptr;
    static const CLSID kUnregistered = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(CoCreateInstance(kUnregistered, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&none)),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
}

} // namespace
