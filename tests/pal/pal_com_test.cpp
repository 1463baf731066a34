// COM: per-thread initialisation, activation through InprocServer32, OleRun.
#include "fixtures/PalTest.h"
#include "platform/ComServers.h"

#include <objbase.h>

#include <thread>

namespace {

using paltest::TestLib;

const std::u16string kServers = TestLib("libVaultkeepComServers.so");

/* The default value of HKLM\Software\Classes\CLSID\<clsidText>\InprocServer32. */
void RegisterServer(const std::u16string& clsidText, const std::u16string& modulePath) {
    ASSERT_EQ(paltest::RegPutSz(u"Software\\Classes\\CLSID\\" + clsidText + u"\\InprocServer32", nullptr,
                                modulePath),
              ERROR_SUCCESS);
}

HRESULT Create(const CLSID& clsid, const IID& iid = IID_IUnknown) {
    void* obj = reinterpret_cast<void*>(0x1);
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, iid, &obj);
    EXPECT_EQ(FAILED(hr), obj == nullptr) << "a pointer only beside success";
    if (obj) static_cast<IUnknown*>(obj)->Release();
    return hr;
}

// Initialisation counts per thread; activation needs this thread's, and an unbalanced CoUninitialize is
// ignored.
TEST(PalCom, InitialisationCountsPerThread) {
    std::thread([] {
        EXPECT_EQ(S_OK, CoInitialize(nullptr));
        EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
        CoUninitialize();
        EXPECT_EQ(REGDB_E_CLASSNOTREG, Create(CLSID_RandomGenerator)) << "still initialised after one of two";
        CoUninitialize();
        EXPECT_EQ(CO_E_NOTINITIALIZED, Create(CLSID_RandomGenerator));
        CoUninitialize();
        EXPECT_EQ(E_INVALIDARG, CoInitialize(reinterpret_cast<void*>(0x1)));
    }).join();
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    std::thread([] { EXPECT_EQ(CO_E_NOTINITIALIZED, Create(CLSID_RandomGenerator)); }).join();
    CoUninitialize();
}

TEST(PalCom, ActivationResultsAreWindowsOwn) {
    vktest::FreshRoot root;
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    // A class of the product's servers, one they refuse, a missing module, a module without DllGetClassObject.
    RegisterServer(u"{B4210AA5-5CB5-45A3-8627-B10D88C3A7F9}", kServers);
    RegisterServer(u"{11111111-2222-3333-4444-555555555555}", kServers);
    RegisterServer(u"{22222222-2222-3333-4444-555555555555}", TestLib("libNoSuchModule.so"));
    RegisterServer(u"{33333333-2222-3333-4444-555555555555}", TestLib("libVaultkeepKry10.so"));
    const auto clsid = [](uint32_t first) {
        return CLSID{first, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    };
    const struct {
        const char* what;
        CLSID clsid;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {"made", CLSID_RandomGenerator, &IID_IRandomGenerator, S_OK},
        {"module refuses the class", clsid(0x11111111), &IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
        {"module missing", clsid(0x22222222), &IID_IUnknown, CO_E_DLLNOTFOUND},
        {"module without entry", clsid(0x33333333), &IID_IUnknown, CO_E_ERRORINDLL},
        {"interface not offered", CLSID_RandomGenerator, &IID_IRunnableObject, E_NOINTERFACE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, Create(c.clsid, *c.iid)) << c.what;
    EXPECT_EQ(E_POINTER, CoCreateInstance(CLSID_RandomGenerator, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr));
    auto canUnload = reinterpret_cast<HRESULT (*)()>(reinterpret_cast<void (*)()>(
        GetProcAddress(LoadLibraryW(kServers.c_str()), "DllCanUnloadNow")));
    EXPECT_EQ(S_OK, canUnload()) << "every object made was released";
    CoUninitialize();
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
    STDMETHOD(Run)(void* pbc) override { return ++runs, bindContext = pbc, result; }
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
        bool runnable;
        HRESULT runResult, expected;
        int runs;
    } cases[] = {{false, E_FAIL, S_OK, 0}, {true, S_OK, S_OK, 1}, {true, E_ACCESSDENIED, E_ACCESSDENIED, 1}};
    for (const auto& c : cases) {
        Runnable obj(c.runnable, c.runResult);
        EXPECT_EQ(c.expected, OleRun(static_cast<IRunnableObject*>(&obj))) << c.runnable;
        EXPECT_EQ(c.runs, obj.runs);
        EXPECT_EQ(c.runs ? nullptr : reinterpret_cast<void*>(0x1), obj.bindContext);
        EXPECT_EQ(1u, obj.refs) << "references balanced";
    }
    EXPECT_EQ(E_INVALIDARG, OleRun(nullptr));
}

} // namespace
