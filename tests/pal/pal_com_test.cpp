// COM: per-thread initialisation, activation through InprocServer32, OleRun.
#include "fixtures/PalTest.h"

#include <objbase.h>

#include <thread>

namespace {

using paltest::TestLib;

/* The default value of HKLM\Software\Classes\CLSID\<clsidText>\InprocServer32. */
void RegisterServer(const std::u16string& clsidText, const std::u16string& modulePath) {
    ASSERT_EQ(paltest::RegPutSz(u"Software\\Classes\\CLSID\\" + clsidText + u"\\InprocServer32", nullptr,
                                modulePath),
              ERROR_SUCCESS);
}

class ComTest : public vktest::RootTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ASSERT_NE(fx = paltest::LoadFixture(), nullptr);
        RegisterServer(FIXTURE_CLSID_TEXT, TestLib(FIXTURE_MODULE_FILE));
    }
    void TearDown() override { CoUninitialize(); }
    FixtureState* fx = nullptr;
};

TEST(PalCom, InitialisationCountsPerThreadAndKeepsItsModel) {
    std::thread([] {
        EXPECT_EQ(S_OK, CoInitialize(nullptr));
        EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
        void* obj = reinterpret_cast<void*>(0x1);
        CoUninitialize();
        EXPECT_EQ(REGDB_E_CLASSNOTREG,
                  CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_ALL, IID_IUnknown, &obj))
            << "still initialised after one of two";
        CoUninitialize();
        EXPECT_EQ(CO_E_NOTINITIALIZED,
                  CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_ALL, IID_IUnknown, &obj));
        EXPECT_EQ(nullptr, obj);
        CoUninitialize(); // unbalanced: ignored
        // A thread its owner made multithreaded keeps its model.
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitialize(nullptr));
        EXPECT_EQ(E_INVALIDARG, CoInitializeEx(nullptr, 0x100));
        CoUninitialize();
    }).join();

    // Another thread's initialisation does not count for this one.
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    std::thread([] {
        void* obj = nullptr;
        EXPECT_EQ(CO_E_NOTINITIALIZED,
                  CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_ALL, IID_IUnknown, &obj));
    }).join();
    CoUninitialize();
}

TEST_F(ComTest, ActivationFailuresGiveTheirWindowsResults) {
    const std::u16string fixturePath = TestLib(FIXTURE_MODULE_FILE);
    // Classes known to the registry only: the fixture refuses one, a missing module, a module without
    // DllGetClassObject.
    const CLSID other = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    const CLSID missing = {0x22222222, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    const CLSID noEntry = {0x33333333, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    RegisterServer(u"{11111111-2222-3333-4444-555555555555}", fixturePath);
    RegisterServer(u"{22222222-2222-3333-4444-555555555555}", TestLib("libNoSuchModule.so"));
    RegisterServer(u"{33333333-2222-3333-4444-555555555555}", TestLib("libVaultkeepKry10.so"));

    // Never called: the server refuses aggregation before touching it.
    IUnknown* outer = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0x10));
    const struct {
        const char* what;
        const CLSID* clsid;
        const IID* iid;
        IUnknown* outer;
        HRESULT expected;
    } cases[] = {
        {"unregistered", &IID_IClassFactory, &IID_IUnknown, nullptr, REGDB_E_CLASSNOTREG},
        {"module refuses the class", &other, &IID_IUnknown, nullptr, CLASS_E_CLASSNOTAVAILABLE},
        {"module missing", &missing, &IID_IUnknown, nullptr, CO_E_DLLNOTFOUND},
        {"module without entry", &noEntry, &IID_IUnknown, nullptr, CO_E_ERRORINDLL},
        {"interface not offered", &CLSID_FixtureObject, &IID_IRunnableObject, nullptr, E_NOINTERFACE},
        {"aggregation", &CLSID_FixtureObject, &IID_IUnknown, outer, CLASS_E_NOAGGREGATION},
    };
    for (const auto& c : cases) {
        void* obj = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(c.expected, CoCreateInstance(*c.clsid, c.outer, CLSCTX_ALL, *c.iid, &obj)) << c.what;
        EXPECT_EQ(nullptr, obj) << c.what;
    }
    EXPECT_EQ(E_POINTER, CoCreateInstance(CLSID_FixtureObject, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr));
    EXPECT_EQ(0, fx->liveObjects);
}

/* Offers IRunnableObject when runnable; records its runs and references. */
struct Runnable : IRunnableObject {
    Runnable(bool runnable, HRESULT result) : runnable(runnable), result(result) {}
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || (runnable && riid == IID_IRunnableObject) ? this : nullptr;
        if (*ppv) AddRef();
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)(void) override { return ++refs; }
    STDMETHOD_(ULONG, Release)(void) override { return --refs; }
    STDMETHOD(GetRunningClass)(LPCLSID) override { return E_NOTIMPL; }
    STDMETHOD(Run)(void* pbc) override {
        ++runs;
        bindContext = pbc;
        return result;
    }
    STDMETHOD_(BOOL, IsRunning)(void) override { return FALSE; }
    STDMETHOD(LockRunning)(BOOL, BOOL) override { return E_NOTIMPL; }
    STDMETHOD(SetContainedObject)(BOOL) override { return E_NOTIMPL; }
    bool runnable;
    HRESULT result;
    ULONG refs = 1;
    int runs = 0;
    void* bindContext = reinterpret_cast<void*>(0x1);
};

TEST(PalCom, OleRunRunsRunnableObjectsAndPassesTheirResult) {
    const struct {
        const char* what;
        bool runnable;
        HRESULT runResult, expected;
        int runs;
    } cases[] = {
        {"not runnable: running already", false, E_FAIL, S_OK, 0},
        {"runnable, runs", true, S_OK, S_OK, 1},
        {"runnable, refuses", true, E_ACCESSDENIED, E_ACCESSDENIED, 1},
    };
    for (const auto& c : cases) {
        Runnable obj(c.runnable, c.runResult);
        EXPECT_EQ(c.expected, OleRun(static_cast<IRunnableObject*>(&obj))) << c.what;
        EXPECT_EQ(c.runs, obj.runs) << c.what;
        EXPECT_EQ(c.runs ? nullptr : reinterpret_cast<void*>(0x1), obj.bindContext) << c.what;
        EXPECT_EQ(1u, obj.refs) << c.what << ": references balanced";
    }
    EXPECT_EQ(E_INVALIDARG, OleRun(nullptr));
}

} // namespace
