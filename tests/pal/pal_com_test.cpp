// COM: per-thread initialisation, activation through InprocServer32, OleRun.
#include "VkTest.h"
#include "fixtures/Fixture.h"

#include <objbase.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace {

using vktest::U;

std::string LibDir() {
    const char* bin = getenv("VK_TEST_BIN_DIR");
    return std::string(bin ? bin : ".") + "/lib";
}

/* Writes the default value of HKLM\Software\Classes\CLSID\<clsidText>\InprocServer32. */
void RegisterServer(const std::u16string& clsidText, const std::u16string& modulePath) {
    std::u16string key = u"Software\\Classes\\CLSID\\" + clsidText + u"\\InprocServer32";
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(modulePath.c_str()),
                                            static_cast<DWORD>((modulePath.size() + 1) * 2)));
    RegCloseKey(h);
}

FixtureState* Fixture() {
    HMODULE h = LoadLibraryW(U(LibDir() + "/" FIXTURE_MODULE_FILE).c_str());
    if (!h) return nullptr;
    auto fn = reinterpret_cast<PFN_FixtureState>(reinterpret_cast<void (*)(void)>(GetProcAddress(h, "FixtureGetState")));
    return fn ? fn() : nullptr;
}

/* Runs body on a thread of its own, so COM state starts clean. */
template <typename F>
void OnNewThread(F body) {
    std::thread t(body);
    t.join();
}

class ComTest : public vktest::RootTest {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

TEST(PalCom, StandardInterfaceIdsHaveTheirPublishedValues) {
    struct Case {
        const IID* iid;
        const char16_t* text;
    } cases[] = {
        {&IID_IUnknown, u"{00000000-0000-0000-C000-000000000046}"},
        {&IID_IClassFactory, u"{00000001-0000-0000-C000-000000000046}"},
        {&IID_IRunnableObject, u"{00000126-0000-0000-C000-000000000046}"},
    };
    for (const Case& c : cases) {
        WCHAR text[40] = {};
        ASSERT_EQ(39, StringFromGUID2(*c.iid, text, 40));
        EXPECT_EQ(std::u16string(c.text), std::u16string(text));
    }
}

TEST(PalCom, InitialisationCountsPerThreadAndKeepsItsModel) {
    OnNewThread([] {
        struct Step {
            const char* what;
            HRESULT (*call)();
            HRESULT expected;
        } steps[] = {
            {"first, apartment", [] { return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }, S_OK},
            {"again, same model", [] { return CoInitialize(nullptr); }, S_FALSE},
            {"other model", [] { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); }, RPC_E_CHANGED_MODE},
            {"reserved pointer", [] { return CoInitializeEx(reinterpret_cast<LPVOID>(1), COINIT_APARTMENTTHREADED); },
             E_INVALIDARG},
            {"unknown flag", [] { return CoInitializeEx(nullptr, 0x100); }, E_INVALIDARG},
            {"with a known option", [] { return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | 0x4); }, S_FALSE},
        };
        for (const Step& s : steps) EXPECT_EQ(s.expected, s.call()) << s.what;

        // Three successful calls (S_OK, S_FALSE, S_FALSE): three uninitialisations end it.
        void* obj = reinterpret_cast<void*>(0x1);
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_FixtureObject, nullptr, 0, IID_IUnknown, &obj))
            << "still initialised after two of three";
        CoUninitialize();
        obj = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(CO_E_NOTINITIALIZED, CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_ALL, IID_IUnknown, &obj));
        EXPECT_EQ(nullptr, obj);
        CoUninitialize(); // unbalanced: ignored
        // A thread that left COM may come back in the other model.
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitialize(nullptr));
        CoUninitialize();
        CoUninitialize();
    });

    // Another thread's initialisation does not count for this one.
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    OnNewThread([] {
        void* obj = nullptr;
        EXPECT_EQ(CO_E_NOTINITIALIZED, CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_ALL, IID_IUnknown, &obj));
    });
    CoUninitialize();
}

TEST_F(ComTest, ActivationFailuresGiveTheirWindowsResults) {
    FixtureState* fx = Fixture();
    ASSERT_NE(nullptr, fx);
    const std::u16string fixturePath = U(LibDir() + "/" FIXTURE_MODULE_FILE);
    // {11111111-2222-3333-4444-555555555555}: known to the registry only.
    const CLSID other = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    const CLSID missing = {0x22222222, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    const CLSID noEntry = {0x33333333, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    const CLSID lowerCase = {0x44444444, 0xABCD, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    RegisterServer(u"{11111111-2222-3333-4444-555555555555}", fixturePath);
    RegisterServer(u"{22222222-2222-3333-4444-555555555555}", U(LibDir() + "/libNoSuchModule.so"));
    // A module that loads but has no DllGetClassObject.
    RegisterServer(u"{33333333-2222-3333-4444-555555555555}", U(LibDir() + "/libVaultkeepKry10.so"));
    // Keys are named in upper case; a lower-case name is another key.
    RegisterServer(u"{44444444-abcd-3333-4444-555555555555}", fixturePath);
    // The fixture's class, registered as the machine would.
    RegisterServer(FIXTURE_CLSID_TEXT, fixturePath);

    // Never called: the server refuses aggregation before touching it.
    IUnknown* outer = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0x10));
    struct Case {
        const char* what;
        const CLSID* clsid;
        DWORD ctx;
        const IID* iid;
        IUnknown* outer;
        HRESULT expected;
    } cases[] = {
        {"unregistered", &IID_IClassFactory, CLSCTX_ALL, &IID_IUnknown, nullptr, REGDB_E_CLASSNOTREG},
        {"module refuses the class", &other, CLSCTX_ALL, &IID_IUnknown, nullptr, CLASS_E_CLASSNOTAVAILABLE},
        {"module missing", &missing, CLSCTX_ALL, &IID_IUnknown, nullptr, CO_E_DLLNOTFOUND},
        {"module without entry", &noEntry, CLSCTX_ALL, &IID_IUnknown, nullptr, CO_E_ERRORINDLL},
        {"lower-case key", &lowerCase, CLSCTX_ALL, &IID_IUnknown, nullptr, REGDB_E_CLASSNOTREG},
        {"local server only", &CLSID_FixtureObject, CLSCTX_LOCAL_SERVER, &IID_IUnknown, nullptr, REGDB_E_CLASSNOTREG},
        {"interface not offered", &CLSID_FixtureObject, CLSCTX_ALL, &IID_IRunnableObject, nullptr, E_NOINTERFACE},
        {"aggregation", &CLSID_FixtureObject, CLSCTX_ALL, &IID_IUnknown, outer, CLASS_E_NOAGGREGATION},
    };
    for (const Case& c : cases) {
        void* obj = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(c.expected, CoCreateInstance(*c.clsid, c.outer, c.ctx, *c.iid, &obj)) << c.what;
        EXPECT_EQ(nullptr, obj) << c.what;
    }
    EXPECT_EQ(E_POINTER, CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr));
    EXPECT_EQ(0, fx->liveObjects);
}

TEST_F(ComTest, RegisteredServerIsLoadedOnceAndMakesObjects) {
    FixtureState* fx = Fixture();
    ASSERT_NE(nullptr, fx);
    RegisterServer(FIXTURE_CLSID_TEXT, U(LibDir() + "/" FIXTURE_MODULE_FILE));
    const LONG callsBefore = fx->classObjectCalls;

    IFixtureObject* a = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_ALL, IID_IFixtureObject,
                                     reinterpret_cast<void**>(&a)));
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(42, a->Answer()); // a real object of the module, through its own method table
    IUnknown* b = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&b)));
    EXPECT_NE(static_cast<IUnknown*>(a), b);
    EXPECT_EQ(2, fx->liveObjects);
    EXPECT_EQ(callsBefore + 2, fx->classObjectCalls); // one class object per activation
    EXPECT_EQ(0u, a->Release());
    EXPECT_EQ(0u, b->Release());
    EXPECT_EQ(0, fx->liveObjects);
}

/* An object whose IRunnableObject records how it was run. */
class Runnable : public IRunnableObject {
public:
    explicit Runnable(bool runnable, HRESULT runResult) : m_runnable(runnable), m_runResult(runResult) {}
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || (m_runnable && riid == IID_IRunnableObject)) {
            *ppv = static_cast<IRunnableObject*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)(void) override { return ++refs; }
    STDMETHOD_(ULONG, Release)(void) override { return --refs; }
    STDMETHOD(GetRunningClass)(LPCLSID) override { return E_NOTIMPL; }
    STDMETHOD(Run)(void* pbc) override {
        ++runs;
        lastBindContext = pbc;
        return m_runResult;
    }
    STDMETHOD_(BOOL, IsRunning)(void) override { return FALSE; }
    STDMETHOD(LockRunning)(BOOL, BOOL) override { return E_NOTIMPL; }
    STDMETHOD(SetContainedObject)(BOOL) override { return E_NOTIMPL; }

    ULONG refs = 1;
    int runs = 0;
    void* lastBindContext = reinterpret_cast<void*>(0x1);

private:
    bool m_runnable;
    HRESULT m_runResult;
};

TEST(PalCom, OleRunRunsRunnableObjectsAndPassesTheirResult) {
    struct Case {
        const char* what;
        bool runnable;
        HRESULT runResult;
        HRESULT expected;
        int runs;
    } cases[] = {
        {"not runnable: running already", false, E_FAIL, S_OK, 0},
        {"runnable, runs", true, S_OK, S_OK, 1},
        {"runnable, refuses", true, E_ACCESSDENIED, E_ACCESSDENIED, 1},
    };
    for (const Case& c : cases) {
        Runnable obj(c.runnable, c.runResult);
        EXPECT_EQ(c.expected, OleRun(static_cast<IRunnableObject*>(&obj))) << c.what;
        EXPECT_EQ(c.runs, obj.runs) << c.what;
        if (c.runs) {
            EXPECT_EQ(nullptr, obj.lastBindContext) << c.what;
        }
        EXPECT_EQ(1u, obj.refs) << c.what << ": references balanced";
    }
    EXPECT_EQ(E_INVALIDARG, OleRun(nullptr));
}

} // namespace
