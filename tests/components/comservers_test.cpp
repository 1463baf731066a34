// The COM servers module: registration, activation through the PAL, the three servers through the
// method-table positions the system calls, and key.backup.
#include "VkSwtpm.h"
#include "VkTest.h"
#include "platform/Wide.h"
#ifndef _WIN32
#include "internal/syscalls.h"
#endif

#include "platform/ComServers.h"
#include "platform/KeyProvider.h"

#include <objbase.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

namespace {

using vktest::Bytes;
using vktest::U;
using namespace vktest::ksp;

constexpr const char* kServers = "VaultkeepComServers";
typedef HRESULT (*PFN_Plain)(void);

template <typename Fn> Fn Export(const std::string& stem, const char* name) {
    HMODULE h = LoadLibraryW(U(vktest::BuiltModule(stem)).c_str());
    return h ? reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(GetProcAddress(h, name))) : nullptr;
}

/* Method-table slot n of a COM object: the position the system relies on, whatever the declaration. */
template <typename R, typename... Args> R CallSlot(void* object, size_t n, Args... args) {
    auto vtable = *reinterpret_cast<void***>(object);
    return reinterpret_cast<R (*)(void*, Args...)>(vtable[n])(object, args...);
}

/* Owns a BSTR made from UTF-16 text. */
struct Bstr {
    explicit Bstr(const WString& s) : b(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    ~Bstr() { SysFreeString(b); }
    Bstr(const Bstr&) = delete;
    operator BSTR() const { return b; }
    BSTR b;
};

/* A fresh root with the servers registered the way the machine-root layout registers them, and COM
 * initialised on this thread; the key provider (software backend) is registered by the cases that want it. */
class ComServersTest : public vktest::RootTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        auto reg = Export<PFN_Plain>(kServers, "DllRegisterServer");
        ASSERT_NE(nullptr, reg);
        ASSERT_EQ(S_OK, reg());
        // On Windows ProgramData is the machine's, outside what a fresh root resets.
        std::filesystem::remove_all(root.host("ProgramData/user"));
        std::filesystem::create_directories(root.host("ProgramData/user"));
    }
    void TearDown() override {
        CoUninitialize();
        std::filesystem::remove_all(root.host("ProgramData/user"));
    }

    /* As the system does: IUnknown, OleRun, then its interface. */
    template <typename I> I* Create(const CLSID& clsid, const IID& iid) {
        IUnknown* unk = nullptr;
        EXPECT_EQ(S_OK,
                  CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unk)));
        if (!unk) return nullptr;
        EXPECT_EQ(S_OK, OleRun(unk));
        I* itf = nullptr;
        EXPECT_EQ(S_OK, unk->QueryInterface(iid, reinterpret_cast<void**>(&itf)));
        unk->Release();
        return itf;
    }

    vktest::swtpm::ScopedEnv backend{"VAULTKEEP_KSP_BACKEND", "software"};
    Module provider;
    const std::string keyBackup = root.host("ProgramData/user/key.backup");
};

TEST_F(ComServersTest, RegisteredObjectsOfferTheirOwnInterfaceOnlyAndUnregisteredNone) {
    const std::pair<const CLSID*, const IID*> classes[] = {{&CLSID_RandomGenerator, &IID_IRandomGenerator},
                                                           {&CLSID_TpmStatus, &IID_ITpmStatus},
                                                           {&CLSID_KeyArchive, &IID_IKeyArchive}};
    auto canUnload = Export<PFN_Plain>(kServers, "DllCanUnloadNow");
    EXPECT_EQ(S_OK, canUnload());
    for (auto [clsid, own] : classes) {
        IUnknown* unk = nullptr;
        ASSERT_EQ(S_OK, CoCreateInstance(*clsid, nullptr, CLSCTX_ALL, IID_IUnknown,
                                         reinterpret_cast<void**>(&unk)));
        EXPECT_EQ(S_FALSE, canUnload()) << "a live object keeps the module";
        for (auto [other, iid] : classes) {
            void* p = reinterpret_cast<void*>(0x1);
            EXPECT_EQ(iid == own ? S_OK : E_NOINTERFACE, unk->QueryInterface(*iid, &p));
            EXPECT_EQ(iid == own, p != nullptr);
            if (p && iid == own) static_cast<IUnknown*>(p)->Release();
        }
        EXPECT_EQ(E_NOTIMPL, CallSlot<HRESULT>(unk, 3)) << "unused positions answer and do nothing";
        EXPECT_EQ(0u, unk->Release());
        IUnknown* outer = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0x10));
        EXPECT_EQ(CLASS_E_NOAGGREGATION,
                  CoCreateInstance(*clsid, outer, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unk)));
    }
    EXPECT_EQ(S_OK, canUnload());
    // Unregistered again, the classes are unavailable as on a machine without them.
    ASSERT_EQ(S_OK, Export<PFN_Plain>(kServers, "DllUnregisterServer")());
    IUnknown* unk = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_RandomGenerator, nullptr, CLSCTX_ALL, IID_IUnknown,
                                                    reinterpret_cast<void**>(&unk)));
    EXPECT_EQ(nullptr, unk);
}

TEST_F(ComServersTest, RandomGeneratorFillsExactlyTheAskedBytesAtPosition57) {
    IRandomGenerator* rng = Create<IRandomGenerator>(CLSID_RandomGenerator, IID_IRandomGenerator);
    ASSERT_NE(nullptr, rng);
    Bytes a(40, 0xCC), b(40, 0xCC);
    VARIANT_BOOL ok = 0x1234;
    ASSERT_EQ(S_OK, CallSlot<HRESULT>(rng, 57, a.data(), LONG(32), &ok));
    EXPECT_EQ(VARIANT_TRUE, ok);
    ASSERT_EQ(S_OK, CallSlot<HRESULT>(rng, 57, b.data(), LONG(32), &ok));
    EXPECT_NE(a, b) << "two calls gave the same bytes";
    EXPECT_NE(Bytes(a.begin(), a.begin() + 32), Bytes(32, 0xCC)) << "nothing written";
    EXPECT_EQ(Bytes(a.begin() + 32, a.end()), Bytes(8, 0xCC)) << "written past the count";
    BYTE buf[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    struct Case {
        BYTE* buffer;
        LONG cb;
        VARIANT_BOOL* result;
        HRESULT hr;
        VARIANT_BOOL ok;
    } cases[] = {{buf, -1, &ok, E_INVALIDARG, VARIANT_FALSE},
                 {nullptr, 4, &ok, E_POINTER, VARIANT_FALSE},
                 {buf, 4, nullptr, E_POINTER, 0x1234},
                 {nullptr, 0, &ok, S_OK, VARIANT_TRUE}};
    for (const Case& c : cases) {
        ok = 0x1234;
        EXPECT_EQ(c.hr, CallSlot<HRESULT>(rng, 57, c.buffer, c.cb, c.result)) << c.cb;
        EXPECT_EQ(c.ok, ok) << c.cb;
        EXPECT_EQ(Bytes(4, 0xCC), Bytes(buf, buf + 4)) << c.cb;
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
    EXPECT_EQ(VARIANT_FALSE, isOwned()) << "no provider on this machine: nothing is owned";
    ASSERT_NO_FATAL_FAILURE(provider.Load());
    EXPECT_EQ(VARIANT_TRUE, isOwned());
    // The software provider's administrator setting for the TPM status.
    HKEY h = nullptr;
    ASSERT_EQ(0, RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                 W("SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider"), 0, nullptr,
                                 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    const DWORD unowned = 0;
    RegSetValueExW(h, W("SoftwareTpmOwned"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&unowned), 4);
    RegCloseKey(h);
    EXPECT_EQ(VARIANT_FALSE, isOwned());
    EXPECT_EQ(E_POINTER, CallSlot<HRESULT>(status, 15, static_cast<VARIANT_BOOL*>(nullptr)));
    EXPECT_EQ(0u, status->Release());
}

/* ArchiveTPMKeys (position 13) writes key.backup; RestoreTPMKeys (position 8) hands it back. */
class KeyArchiveTest : public ComServersTest {
  protected:
    void SetUp() override {
        ComServersTest::SetUp();
        archive = Create<IKeyArchive>(CLSID_KeyArchive, IID_IKeyArchive);
        ASSERT_NE(nullptr, archive);
    }
    void TearDown() override {
        EXPECT_TRUE(!archive || archive->Release() == 0);
        ComServersTest::TearDown();
    }
    HRESULT Archive(BSTR container, LONG one, BSTR folder, BSTR label, LONG* result,
                    const WCHAR* pw = W("backup pw")) {
        return CallSlot<HRESULT>(archive, 13, container, one, folder, label, static_cast<BSTR>(Bstr(pw)),
                                 result);
    }
    HRESULT Restore(BSTR* out, const WCHAR* pw = W("backup pw")) {
        *out = reinterpret_cast<BSTR>(0x1);
        return CallSlot<HRESULT>(archive, 8, static_cast<BSTR>(folder), static_cast<BSTR>(empty),
                                 static_cast<BSTR>(empty), static_cast<BSTR>(Bstr(pw)), VARIANT_BOOL(0), out);
    }

    IKeyArchive* archive = nullptr;
    const WString name = W("0f8fad5b-d9cb-469f-a165-70867728950e");
    Bstr container{name}, folder{W("C:\\ProgramData\\user")}, empty{W("")};
};

TEST_F(KeyArchiveTest, FailuresAreHresultsAndLeaveNoFile) {
    LONG result = 77;
    Bstr note(W("n")), missing(W("C:\\ProgramData\\absent"));
    EXPECT_EQ(NTE_PROV_DLL_NOT_FOUND, Archive(container, 1, folder, note, &result))
        << "no provider registered";
    EXPECT_EQ(0, result);
    ASSERT_NO_FATAL_FAILURE(provider.Load());
    ASSERT_EQ(MakeKey(name, "key pw"), 0u);
    Bstr absent(W("0a1b2c3d-0000-4000-8000-0000000000e0"));
    struct Case {
        BSTR container;
        LONG one;
        BSTR folder;
        LONG* result;
        HRESULT hr;
    } cases[] = {{container, 1, folder, nullptr, E_POINTER},
                 {container, 2, folder, &result, E_INVALIDARG},
                 {empty, 1, folder, &result, E_INVALIDARG},
                 {container, 1, nullptr, &result, E_INVALIDARG},
                 {absent, 1, folder, &result, NTE_BAD_KEYSET},
                 {container, 1, missing, &result, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        result = 77;
        EXPECT_EQ(c.hr, Archive(c.container, c.one, c.folder, note, c.result)) << i;
        EXPECT_EQ(c.result ? 0 : 77, result) << i;
        EXPECT_FALSE(vktest::FileExists(keyBackup)) << i;
    }
#ifndef _WIN32 // a provider's Win32 code comes back as its HRESULT: the container file cannot be opened
    static const auto realOpen = PalTestSyscallTable()->open;
    PalTestSyscallTable()->open = [](const char* path, int flags, mode_t mode) {
        if (strstr(path, "0f8fad5b") == nullptr) return realOpen(path, flags, mode);
        errno = EACCES;
        return -1;
    };
    EXPECT_EQ(E_ACCESSDENIED, Archive(container, 1, folder, note, &result));
    PalTestResetSyscalls();
    EXPECT_FALSE(vktest::FileExists(keyBackup));
#endif

    // Restore without a file, and with files that are not key backups: none reaches the provider.
    BSTR out = nullptr;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Restore(&out));
    EXPECT_EQ(nullptr, out);
    const WString label = W("weekly \u00e9t\u00e9");
    ASSERT_EQ(S_OK, Archive(container, 1, folder, Bstr(label), &result));
    EXPECT_EQ(1, result);
    const Bytes good = vktest::ReadFileBytes(keyBackup);
    ASSERT_GT(good.size(), 18u);
    Prov p;
    ASSERT_EQ(Acquire(p, name, kDelete), 0u);
    const std::function<void(Bytes&)> spoils[] = {
        [](Bytes& b) { b.clear(); },
        [](Bytes& b) { b.resize(15); },                         // header cut short
        [](Bytes& b) { b.pop_back(); },                         // one byte short
        [](Bytes& b) { b.push_back(0); },                       // one byte extra
        [](Bytes& b) { b[0] ^= 1; },                            // magic
        [](Bytes& b) { b[4] = 2; },                             // version
        [](Bytes& b) { vktest::PutLe32(b, 8, 0xFFFFFFFFu); },   // label length
        [](Bytes& b) { vktest::PutLe32(b, 12, 0); },            // sealed length 0
        [](Bytes& b) { vktest::PutLe32(b, 12, 0x7FFFFFFFu); }}; // sealed length past the file
    for (size_t i = 0; i < std::size(spoils); ++i) {
        Bytes bad = good;
        spoils[i](bad);
        vktest::WriteFileBytes(keyBackup, bad);
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), Restore(&out)) << i;
        EXPECT_EQ(nullptr, out) << i;
    }
    // A wrong password is the provider's to catch, and its status comes back as it is.
    vktest::WriteFileBytes(keyBackup, good);
    EXPECT_EQ(HRESULT(TPM_E_AUTHFAIL), Restore(&out, W("not it")));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(Acquire(p, name, kOpen), Code(NTE_BAD_KEYSET)) << "no refused file made the container";
    // Restore hands the label back and the container to the provider.
    ASSERT_EQ(S_OK, Restore(&out));
    EXPECT_EQ(label, WString(out, SysStringLen(out)));
    SysFreeString(out);
    EXPECT_EQ(Acquire(p, name, kOpen), 0u);
    EXPECT_EQ(E_POINTER, CallSlot<HRESULT>(archive, 8, static_cast<BSTR>(folder), static_cast<BSTR>(empty),
                                           static_cast<BSTR>(empty), static_cast<BSTR>(empty),
                                           VARIANT_BOOL(0), static_cast<BSTR*>(nullptr)));
}

} // namespace
