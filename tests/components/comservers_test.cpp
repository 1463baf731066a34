// The COM servers module: registration, activation through the PAL, the three
// servers through the method-table positions the system calls, and key.backup.
#include "VkTest.h"
#include "../pal/fixtures/Fixture.h"

#include "platform/ComServers.h"
#include "platform/KeyProvider.h"

#include <objbase.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using vktest::Bytes;
using vktest::U;

constexpr const char* kServersFile = "libVaultkeepComServers.so";
constexpr const char* kKspFile = "libVaultkeepTpmKsp.so";
constexpr HRESULT kInvalidData = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

std::string LibDir() {
    const char* bin = getenv("VK_TEST_BIN_DIR");
    return std::string(bin ? bin : ".") + "/lib";
}

template <typename Fn>
Fn Export(const std::string& file, const char* name) {
    HMODULE h = LoadLibraryW(U(LibDir() + "/" + file).c_str());
    if (!h) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(GetProcAddress(h, name)));
}

typedef HRESULT (*PFN_Plain)(void);

/* Method-table slot n of a COM object, called with its arguments: the position
 * the system relies on, independent of the interface declaration. */
template <typename R, typename... Args>
R CallSlot(void* object, size_t n, Args... args) {
    auto vtable = *reinterpret_cast<void***>(object);
    return reinterpret_cast<R (*)(void*, Args...)>(vtable[n])(object, args...);
}

std::u16string QueryDefault(const std::u16string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return u"<no key>";
    WCHAR buf[1024] = {};
    DWORD type = 0, cb = sizeof(buf) - sizeof(WCHAR);
    LSTATUS rc = RegQueryValueExW(h, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return u"<no value>";
    return std::u16string(buf);
}

void RegisterProvider(const std::u16string& imagePath) {
    std::u16string key = std::u16string(u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + TPM_KSP_PROVIDER_NAME;
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    DWORD type = PROV_RSA_FULL;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(imagePath.c_str()),
                                            static_cast<DWORD>((imagePath.size() + 1) * 2)));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), 4));
    RegCloseKey(h);
}

/* Owns a BSTR made from UTF-16 text. */
class Bstr {
public:
    explicit Bstr(const std::u16string& s) : m_s(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    ~Bstr() { SysFreeString(m_s); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return m_s; }

private:
    BSTR m_s;
};

/* A fresh root with the servers registered the way the machine-root layout
 * registers them, and COM initialised on this thread. */
class ComServersTest : public vktest::RootTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        auto reg = Export<PFN_Plain>(kServersFile, "DllRegisterServer");
        ASSERT_NE(nullptr, reg) << "the module exports DllRegisterServer";
        ASSERT_EQ(S_OK, reg());
        fx = Export<PFN_FixtureState>(FIXTURE_MODULE_FILE, "FixtureGetState")();
        fx->tableMode = TableGood;
        fx->exportResult = 0;
    }
    void TearDown() override { CoUninitialize(); }

    template <typename I>
    I* Create(const CLSID& clsid, const IID& iid) {
        // As the system does: IUnknown, OleRun, then its interface.
        IUnknown* unk = nullptr;
        EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unk)));
        if (!unk) return nullptr;
        EXPECT_EQ(S_OK, OleRun(unk));
        I* itf = nullptr;
        EXPECT_EQ(S_OK, unk->QueryInterface(iid, reinterpret_cast<void**>(&itf)));
        unk->Release();
        return itf;
    }

    std::string KeyBackup(const std::string& folderRel) { return root.host(folderRel) + "/key.backup"; }

    FixtureState* fx = nullptr;
};

TEST_F(ComServersTest, RegistrationNamesThisModuleForEachClass) {
    const std::string module = std::filesystem::canonical(LibDir() + "/" + kServersFile).string();
    for (const char16_t* clsid : {u"{B4210AA5-5CB5-45A3-8627-B10D88C3A7F9}", u"{9ED7A942-19F2-4B4E-A591-5F76FE2DBCD4}",
                                  u"{C82996F9-297B-49C6-B9E5-594F3EAFCA66}"}) {
        std::u16string key = std::u16string(u"Software\\Classes\\CLSID\\") + clsid + u"\\InprocServer32";
        std::u16string path = QueryDefault(key);
        ASSERT_EQ(u'/', path[0]) << vktest::Narrow(path);
        EXPECT_EQ(module, std::filesystem::canonical(vktest::Narrow(path)).string());
    }
    // Unregistered again, the classes are unavailable as on a machine without them.
    ASSERT_EQ(S_OK, Export<PFN_Plain>(kServersFile, "DllUnregisterServer")());
    IUnknown* unk = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_RandomGenerator, nullptr, CLSCTX_ALL, IID_IUnknown,
                                                    reinterpret_cast<void**>(&unk)));
    EXPECT_EQ(nullptr, unk);
}

TEST_F(ComServersTest, ObjectsOfferTheirOwnInterfaceOnlyAndCountReferences) {
    auto canUnload = Export<PFN_Plain>(kServersFile, "DllCanUnloadNow");
    ASSERT_NE(nullptr, canUnload);
    EXPECT_EQ(S_OK, canUnload());
    struct Case {
        const CLSID* clsid;
        const IID* own;
    } cases[] = {
        {&CLSID_RandomGenerator, &IID_IRandomGenerator},
        {&CLSID_TpmStatus, &IID_ITpmStatus},
        {&CLSID_KeyArchive, &IID_IKeyArchive},
    };
    const IID* all[] = {&IID_IRandomGenerator, &IID_ITpmStatus, &IID_IKeyArchive, &IID_IClassFactory,
                        &IID_IRunnableObject};
    for (const Case& c : cases) {
        IUnknown* unk = nullptr;
        ASSERT_EQ(S_OK, CoCreateInstance(*c.clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unk)));
        EXPECT_EQ(S_FALSE, canUnload()) << "a live object keeps the module";
        for (const IID* iid : all) {
            void* p = reinterpret_cast<void*>(0x1);
            HRESULT hr = unk->QueryInterface(*iid, &p);
            if (iid == c.own) {
                EXPECT_EQ(S_OK, hr);
                ASSERT_NE(nullptr, p);
                EXPECT_EQ(3u, static_cast<IUnknown*>(p)->AddRef());
                EXPECT_EQ(2u, static_cast<IUnknown*>(p)->Release());
                EXPECT_EQ(1u, static_cast<IUnknown*>(p)->Release());
            } else {
                EXPECT_EQ(E_NOINTERFACE, hr);
                EXPECT_EQ(nullptr, p);
            }
        }
        // Unused positions answer, and say they do nothing.
        EXPECT_EQ(E_NOTIMPL, CallSlot<HRESULT>(unk, 3));
        EXPECT_EQ(E_POINTER, unk->QueryInterface(IID_IUnknown, nullptr));
        EXPECT_EQ(0u, unk->Release());
        // No aggregation.
        IUnknown* outer = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0x10));
        EXPECT_EQ(CLASS_E_NOAGGREGATION,
                  CoCreateInstance(*c.clsid, outer, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unk)));
    }
    EXPECT_EQ(S_OK, canUnload());
}

TEST_F(ComServersTest, RandomGeneratorFillsExactlyTheAskedBytesAtPosition57) {
    IRandomGenerator* rng = Create<IRandomGenerator>(CLSID_RandomGenerator, IID_IRandomGenerator);
    ASSERT_NE(nullptr, rng);
    for (LONG cb : {1, 32, 100}) {
        std::vector<BYTE> a(cb + 8, 0xCC), b(cb + 8, 0xCC);
        VARIANT_BOOL ok = 0x1234;
        ASSERT_EQ(S_OK, CallSlot<HRESULT>(rng, 57, a.data(), cb, &ok));
        EXPECT_EQ(VARIANT_TRUE, ok);
        ASSERT_EQ(S_OK, CallSlot<HRESULT>(rng, 57, b.data(), cb, &ok));
        for (size_t i = cb; i < a.size(); ++i) {
            EXPECT_EQ(0xCC, a[i]) << "written past " << cb;
            EXPECT_EQ(0xCC, b[i]);
        }
        if (cb >= 32) {
            EXPECT_NE(0, memcmp(a.data(), b.data(), cb)) << "two calls gave the same bytes";
            EXPECT_NE(Bytes(cb, 0xCC), Bytes(a.begin(), a.begin() + cb)) << "nothing written";
        }
    }
    BYTE buf[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    VARIANT_BOOL ok = 0x1234;
    struct Case {
        const char* what;
        BYTE* buffer;
        LONG cb;
        VARIANT_BOOL* result;
        HRESULT hr;
        VARIANT_BOOL ok;
    } cases[] = {
        {"negative count", buf, -1, &ok, E_INVALIDARG, VARIANT_FALSE},
        {"no buffer", nullptr, 4, &ok, E_POINTER, VARIANT_FALSE},
        {"no result", buf, 4, nullptr, E_POINTER, 0x1234},
        {"nothing asked", nullptr, 0, &ok, S_OK, VARIANT_TRUE},
    };
    for (const Case& c : cases) {
        ok = 0x1234;
        EXPECT_EQ(c.hr, CallSlot<HRESULT>(rng, 57, c.buffer, c.cb, c.result)) << c.what;
        EXPECT_EQ(c.ok, ok) << c.what;
        EXPECT_EQ(Bytes(4, 0xCC), Bytes(buf, buf + 4)) << c.what;
    }
    EXPECT_EQ(0u, rng->Release());
}

TEST_F(ComServersTest, TpmStatusAsksTheRegisteredProviderAtPosition15) {
    ITpmStatus* status = Create<ITpmStatus>(CLSID_TpmStatus, IID_ITpmStatus);
    ASSERT_NE(nullptr, status);
    auto isOwned = [&] {
        VARIANT_BOOL owned = 0x1234;
        EXPECT_EQ(S_OK, CallSlot<HRESULT>(status, 15, &owned));
        return owned;
    };
    // No provider on this machine: nothing is owned.
    EXPECT_EQ(VARIANT_FALSE, isOwned());
    // The fake provider answers from its own setting.
    RegisterProvider(U(LibDir() + "/" FIXTURE_MODULE_FILE));
    fx->dwordParam = 1;
    EXPECT_EQ(VARIANT_TRUE, isOwned());
    fx->dwordParam = 0;
    EXPECT_EQ(VARIANT_FALSE, isOwned());
    // A provider whose module cannot serve counts as none.
    fx->dwordParam = 1;
    fx->tableMode = TableBadMagic;
    EXPECT_EQ(VARIANT_FALSE, isOwned());
    fx->tableMode = TableGood;
    EXPECT_EQ(E_POINTER, CallSlot<HRESULT>(status, 15, static_cast<VARIANT_BOOL*>(nullptr)));
    EXPECT_EQ(0u, status->Release());
}

TEST_F(ComServersTest, TpmStatusFollowsTheKeyProvidersSetting) {
    auto reg = Export<PFN_Plain>(kKspFile, "DllRegisterServer");
    if (!reg) GTEST_SKIP() << "the key storage provider module is not built";
    ASSERT_EQ(S_OK, reg());
    ITpmStatus* status = Create<ITpmStatus>(CLSID_TpmStatus, IID_ITpmStatus);
    ASSERT_NE(nullptr, status);
    VARIANT_BOOL owned = 0x1234;
    EXPECT_EQ(S_OK, CallSlot<HRESULT>(status, 15, &owned));
    EXPECT_EQ(VARIANT_TRUE, owned) << "no setting: owned";
    // The provider's admin setting "SoftwareTpmOwned" = 0 says not owned.
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider",
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    DWORD zero = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"SoftwareTpmOwned", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4));
    RegCloseKey(h);
    owned = 0x1234;
    EXPECT_EQ(S_OK, CallSlot<HRESULT>(status, 15, &owned));
    EXPECT_EQ(VARIANT_FALSE, owned);
    status->Release();
}

/* key.backup's layout, written out independently of the server's own code. */
Bytes ExpectedBackup(const std::u16string& label, const Bytes& sealed) {
    Bytes b = {'V', 'K', 'K', 'B', 1, 0, 0, 0};
    for (uint32_t v : {static_cast<uint32_t>(label.size()), static_cast<uint32_t>(sealed.size())})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    for (char16_t c : label) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.insert(b.end(), sealed.begin(), sealed.end());
    return b;
}

TEST_F(ComServersTest, KeyArchiveRoundTripThroughTheProvidersEscrow) {
    RegisterProvider(U(LibDir() + "/" FIXTURE_MODULE_FILE));
    IKeyArchive* archive = Create<IKeyArchive>(CLSID_KeyArchive, IID_IKeyArchive);
    ASSERT_NE(nullptr, archive);
    ASSERT_TRUE(CreateDirectoryW(u"C:\\ProgramData", nullptr));
    ASSERT_TRUE(CreateDirectoryW(u"C:\\ProgramData\\user", nullptr));
    const std::u16string label = u"weekly \u00e9t\u00e9";
    Bstr container(u"0f8fad5b-d9cb-469f-a165-70867728950e"), folder(u"C:\\ProgramData\\user"), note(label),
        password(u"backup pw"), empty(u"");

    LONG result = 77;
    ASSERT_EQ(S_OK, CallSlot<HRESULT>(archive, 13, static_cast<BSTR>(container), LONG(1), static_cast<BSTR>(folder),
                                      static_cast<BSTR>(note), static_cast<BSTR>(password), &result));
    EXPECT_EQ(1, result);

    // The file holds the provider's sealed block unchanged behind the header.
    auto exportFn = Export<PFN_TpmKspExportContainer>(FIXTURE_MODULE_FILE, "TpmKspExportContainer");
    BYTE* sealed = nullptr;
    DWORD cbSealed = 0;
    ASSERT_EQ(0, exportFn(container, password, &sealed, &cbSealed));
    const Bytes expected = ExpectedBackup(label, Bytes(sealed, sealed + cbSealed));
    free(sealed);
    EXPECT_EQ(expected, vktest::ReadFileBytes(KeyBackup("ProgramData/user")));

    // Restore hands the label back and the container to the provider.
    const LONG imports = fx->imports;
    BSTR out = reinterpret_cast<BSTR>(0x1);
    ASSERT_EQ(S_OK, CallSlot<HRESULT>(archive, 8, static_cast<BSTR>(folder), static_cast<BSTR>(empty),
                                      static_cast<BSTR>(empty), static_cast<BSTR>(password), VARIANT_BOOL(0), &out));
    EXPECT_EQ(label, std::u16string(out, SysStringLen(out)));
    SysFreeString(out);
    EXPECT_EQ(imports + 1, fx->imports);
    EXPECT_EQ(std::u16string(u"0f8fad5b-d9cb-469f-a165-70867728950e"), std::u16string(fx->lastImported));

    // A wrong password: the provider's refusal, nothing handed out.
    Bstr wrong(u"not it");
    out = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(NTE_BAD_DATA, CallSlot<HRESULT>(archive, 8, static_cast<BSTR>(folder), static_cast<BSTR>(empty),
                                              static_cast<BSTR>(empty), static_cast<BSTR>(wrong), VARIANT_BOOL(0), &out));
    EXPECT_EQ(nullptr, out);

    // A host folder works the same; a NULL label is an empty one.
    std::filesystem::create_directories(root.host("host-folder"));
    Bstr hostFolder(U(root.host("host-folder")));
    result = 77;
    ASSERT_EQ(S_OK, CallSlot<HRESULT>(archive, 13, static_cast<BSTR>(container), LONG(1), static_cast<BSTR>(hostFolder),
                                      static_cast<BSTR>(nullptr), static_cast<BSTR>(password), &result));
    Bytes hostFile = vktest::ReadFileBytes(root.host("host-folder") + "/key.backup");
    ASSERT_GE(hostFile.size(), 16u);
    EXPECT_EQ(0u, vktest::Le32(hostFile, 8));
    EXPECT_EQ(0u, archive->Release());
}

/* The system's own use: a user's container with its key pair archived, deleted,
 * restored, and a blob key wrapped before the archive unwrapped after it. */
TEST_F(ComServersTest, KeyArchiveRoundTripWithTheKeyProvider) {
    auto reg = Export<PFN_Plain>(kKspFile, "DllRegisterServer");
    if (!reg || !Export<PFN_TpmKspExportContainer>(kKspFile, "TpmKspExportContainer"))
        GTEST_SKIP() << "the key storage provider module is not built";
    ASSERT_EQ(S_OK, reg());
    const std::u16string name = u"6f9619ff-8b86-d011-b42d-00c04fc964ff";
    const char userPassword[] = "user password";
    auto open = [&](DWORD flags, HCRYPTPROV& h) {
        h = 0;
        return CryptAcquireContextW(&h, name.c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, flags);
    };
    HCRYPTPROV h = 0;
    ASSERT_TRUE(open(CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET, h)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptSetProvParam(h, PP_KEYEXCHANGE_PSWD, reinterpret_cast<const BYTE*>(userPassword), 0));
    HCRYPTKEY exchange = 0, blobKey = 0;
    ASSERT_TRUE(CryptGenKey(h, AT_KEYEXCHANGE, TPM_KSP_EXCHANGE_KEY_FLAGS, &exchange)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptGenKey(h, CALG_AES_256, CRYPT_EXPORTABLE, &blobKey));
    BYTE wrapped[TPM_KSP_WRAPPED_KEY_MAX];
    DWORD cbWrapped = sizeof(wrapped);
    ASSERT_TRUE(CryptExportKey(blobKey, exchange, SIMPLEBLOB, CRYPT_OAEP, wrapped, &cbWrapped));
    const std::string secret = "the credential";
    std::vector<BYTE> data(secret.begin(), secret.end());
    data.resize(secret.size() + 256);
    DWORD len = static_cast<DWORD>(secret.size());
    ASSERT_TRUE(CryptEncrypt(blobKey, 0, TRUE, 0, data.data(), &len, static_cast<DWORD>(data.size())));
    data.resize(len);
    CryptDestroyKey(blobKey);
    CryptDestroyKey(exchange);
    CryptReleaseContext(h, 0);

    IKeyArchive* archive = Create<IKeyArchive>(CLSID_KeyArchive, IID_IKeyArchive);
    ASSERT_NE(nullptr, archive);
    std::filesystem::create_directories(root.host("ProgramData/user"));
    Bstr container(name), folder(u"C:\\ProgramData\\user"), note(u"label"), backup(u"backup pw"), wrong(u"wrong"),
        empty(u"");
    LONG result = 0;
    ASSERT_EQ(S_OK, CallSlot<HRESULT>(archive, 13, static_cast<BSTR>(container), LONG(1), static_cast<BSTR>(folder),
                                      static_cast<BSTR>(note), static_cast<BSTR>(backup), &result));
    EXPECT_EQ(1, result);

    CryptAcquireContextW(&h, name.c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL,
                         CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET);
    SetLastError(0xdeadbeef);
    ASSERT_FALSE(open(CRYPT_MACHINE_KEYSET, h));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());

    BSTR out = nullptr;
    EXPECT_TRUE(FAILED(CallSlot<HRESULT>(archive, 8, static_cast<BSTR>(folder), static_cast<BSTR>(empty),
                                         static_cast<BSTR>(empty), static_cast<BSTR>(wrong), VARIANT_BOOL(0), &out)));
    EXPECT_EQ(nullptr, out);
    EXPECT_FALSE(open(CRYPT_MACHINE_KEYSET, h)) << "a refused restore writes no container";
    ASSERT_EQ(S_OK, CallSlot<HRESULT>(archive, 8, static_cast<BSTR>(folder), static_cast<BSTR>(empty),
                                      static_cast<BSTR>(empty), static_cast<BSTR>(backup), VARIANT_BOOL(0), &out));
    EXPECT_EQ(u"label", std::u16string(out, SysStringLen(out)));
    SysFreeString(out);
    archive->Release();

    // The restored key pair, under the user's own password, unwraps the old blob key.
    ASSERT_TRUE(open(CRYPT_MACHINE_KEYSET, h)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptSetProvParam(h, PP_KEYEXCHANGE_PSWD, reinterpret_cast<const BYTE*>(userPassword), 0));
    ASSERT_TRUE(CryptGetUserKey(h, AT_KEYEXCHANGE, &exchange));
    ASSERT_TRUE(CryptImportKey(h, wrapped, cbWrapped, exchange, CRYPT_OAEP, &blobKey)) << std::hex << GetLastError();
    len = static_cast<DWORD>(data.size());
    ASSERT_TRUE(CryptDecrypt(blobKey, 0, TRUE, 0, data.data(), &len));
    EXPECT_EQ(secret, std::string(data.begin(), data.begin() + len));
    CryptDestroyKey(blobKey);
    CryptDestroyKey(exchange);
    CryptReleaseContext(h, 0);
}

TEST_F(ComServersTest, KeyArchiveFailuresAreHresultsAndLeaveNoFile) {
    IKeyArchive* archive = Create<IKeyArchive>(CLSID_KeyArchive, IID_IKeyArchive);
    ASSERT_NE(nullptr, archive);
    std::filesystem::create_directories(root.host("ProgramData/user"));
    Bstr container(u"c1"), folder(u"C:\\ProgramData\\user"), note(u"n"), password(u"pw"), empty(u""),
        missingFolder(u"C:\\ProgramData\\absent");
    auto archiveCall = [&](BSTR c, LONG one, BSTR f, LONG* r) {
        return CallSlot<HRESULT>(archive, 13, c, one, f, static_cast<BSTR>(note), static_cast<BSTR>(password), r);
    };
    LONG result = 77;
    // No provider registered at all.
    EXPECT_EQ(NTE_PROV_DLL_NOT_FOUND, archiveCall(container, 1, folder, &result));
    EXPECT_EQ(0, result);
    RegisterProvider(U(LibDir() + "/" FIXTURE_MODULE_FILE));
    struct Case {
        const char* what;
        BSTR container;
        LONG one;
        BSTR folder;
        LONG* result;
        LONG providerResult;
        HRESULT hr;
    } cases[] = {
        {"no result pointer", container, 1, folder, nullptr, 0, E_POINTER},
        {"count other than 1", container, 2, folder, &result, 0, E_INVALIDARG},
        {"empty container", empty, 1, folder, &result, 0, E_INVALIDARG},
        {"no folder", container, 1, nullptr, &result, 0, E_INVALIDARG},
        {"provider refuses (NTE)", container, 1, folder, &result, NTE_BAD_KEYSET, NTE_BAD_KEYSET},
        {"provider refuses (Win32)", container, 1, folder, &result, ERROR_ACCESS_DENIED, E_ACCESSDENIED},
        {"folder missing", container, 1, missingFolder, &result, 0, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        fx->exportResult = c.providerResult;
        result = 77;
        EXPECT_EQ(c.hr, archiveCall(c.container, c.one, c.folder, c.result)) << c.what;
        if (c.result) {
            EXPECT_EQ(0, result) << c.what;
        }
        EXPECT_FALSE(vktest::FileExists(KeyBackup("ProgramData/user"))) << c.what;
    }
    fx->exportResult = 0;

    // Restore without a file, and with files that are not key backups.
    BSTR out = reinterpret_cast<BSTR>(0x1);
    auto restore = [&] {
        out = reinterpret_cast<BSTR>(0x1);
        return CallSlot<HRESULT>(archive, 8, static_cast<BSTR>(folder), static_cast<BSTR>(empty),
                                 static_cast<BSTR>(empty), static_cast<BSTR>(password), VARIANT_BOOL(0), &out);
    };
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), restore());
    EXPECT_EQ(nullptr, out);

    ASSERT_EQ(S_OK, archiveCall(container, 1, folder, &result));
    const std::string file = KeyBackup("ProgramData/user");
    const Bytes good = vktest::ReadFileBytes(file);
    ASSERT_GT(good.size(), 18u);
    struct Tamper {
        const char* what;
        void (*spoil)(Bytes&);
    } tampers[] = {
        {"empty", [](Bytes& b) { b.clear(); }},
        {"header cut short", [](Bytes& b) { b.resize(15); }},
        {"one byte short", [](Bytes& b) { b.pop_back(); }},
        {"one byte extra", [](Bytes& b) { b.push_back(0); }},
        {"magic", [](Bytes& b) { b[0] ^= 1; }},
        {"version", [](Bytes& b) { b[4] = 2; }},
        {"label length +1", [](Bytes& b) { vktest::PutLe32(b, 8, vktest::Le32(b, 8) + 1); }},
        {"label length huge", [](Bytes& b) { vktest::PutLe32(b, 8, 0xFFFFFFFFu); }},
        {"sealed length 0", [](Bytes& b) { vktest::PutLe32(b, 12, 0); }},
        {"sealed length huge", [](Bytes& b) { vktest::PutLe32(b, 12, 0x7FFFFFFFu); }},
    };
    const LONG imports = fx->imports;
    for (const Tamper& t : tampers) {
        Bytes bad = good;
        t.spoil(bad);
        vktest::WriteFileBytes(file, bad);
        EXPECT_EQ(kInvalidData, restore()) << t.what;
        EXPECT_EQ(nullptr, out) << t.what;
    }
    EXPECT_EQ(imports, fx->imports) << "a malformed file never reaches the provider";
    // A flipped byte inside the sealed block is the provider's to catch.
    Bytes bad = good;
    bad.back() ^= 0x40;
    vktest::WriteFileBytes(file, bad);
    EXPECT_EQ(NTE_BAD_DATA, restore());
    EXPECT_EQ(imports + 1, fx->imports);
    EXPECT_EQ(nullptr, out);

    EXPECT_EQ(E_POINTER, CallSlot<HRESULT>(archive, 8, static_cast<BSTR>(folder), static_cast<BSTR>(empty),
                                           static_cast<BSTR>(empty), static_cast<BSTR>(password), VARIANT_BOOL(0),
                                           static_cast<BSTR*>(nullptr)));
    EXPECT_EQ(0u, archive->Release());
}

} // namespace
