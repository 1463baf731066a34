/*
 * Reference counting, QueryInterface and the module's object count for the
 * in-process servers. Objects expose IUnknown and their one interface only.
 */
#pragma once
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <new>

namespace comservers {

/* Live objects and LockServer(TRUE) counts: DllCanUnloadNow answers from them. */
extern std::atomic<LONG> g_liveObjects;
extern std::atomic<LONG> g_serverLocks;

/* The interfaces are plain structs of pure virtuals, so no virtual destructor
 * here either: Derived is deleted through its own type. */
template <typename Derived, typename Interface, const IID* Iid>
class ComObject : public Interface {
public:
    ComObject() noexcept { g_liveObjects.fetch_add(1); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == *Iid) {
            *ppvObject = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)(void) override { return static_cast<ULONG>(m_refs.fetch_add(1) + 1); }
    STDMETHOD_(ULONG, Release)(void) override {
        LONG left = m_refs.fetch_sub(1) - 1;
        if (left == 0) delete static_cast<Derived*>(this);
        return static_cast<ULONG>(left);
    }

protected:
    ~ComObject() { g_liveObjects.fetch_sub(1); }

private:
    std::atomic<LONG> m_refs{1};
};

/* Creates a Derived and hands out the asked-for interface (the reference the
 * constructor holds is dropped again, so a failed QueryInterface frees it). */
template <typename Derived>
HRESULT CreateObject(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    Derived* obj = new (std::nothrow) Derived();
    if (obj == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = obj->QueryInterface(riid, ppv);
    obj->Release();
    return hr;
}

} // namespace comservers

/* The unused method-table positions of an interface. */
#define VK_NOT_IMPLEMENTED(n)                                                                                     \
    STDMETHOD(Reserved##n)(void) override { return E_NOTIMPL; }
