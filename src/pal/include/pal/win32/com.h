/* COM: interfaces, initialisation and activation (com/). */
#ifndef PAL_WIN32_COM_H
#define PAL_WIN32_COM_H

#include "pal/win32/base.h"
#include "pal/win32/rpc.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#ifdef __cplusplus
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define PURE = 0
#define interface struct

/* COM interfaces are plain structs of pure virtuals: no data, no virtual
 * destructor, so method-table positions match the Win64 layout. */
struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
    STDMETHOD_(ULONG, AddRef)(void) PURE;
    STDMETHOD_(ULONG, Release)(void) PURE;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
    STDMETHOD(LockServer)(BOOL fLock) PURE;
};

struct IRunnableObject : public IUnknown {
    STDMETHOD(GetRunningClass)(LPCLSID lpClsid) PURE;
    STDMETHOD(Run)(void* pbc) PURE;
    STDMETHOD_(BOOL, IsRunning)(void) PURE;
    STDMETHOD(LockRunning)(BOOL fLock, BOOL fLastUnlockCloses) PURE;
    STDMETHOD(SetContainedObject)(BOOL fContained) PURE;
};
#else
typedef struct IUnknown IUnknown;
typedef IUnknown* LPUNKNOWN;
#endif

PAL_EXPORT extern const IID IID_IUnknown;
PAL_EXPORT extern const IID IID_IClassFactory;
PAL_EXPORT extern const IID IID_IRunnableObject;

PAL_EXPORT HRESULT CoInitialize(LPVOID pvReserved);
PAL_EXPORT void CoUninitialize(void);
/* In-process servers only: the module named by the default value of
 * HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{clsid}\InprocServer32, entered
 * through its exported DllGetClassObject. */
PAL_EXPORT HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                    LPVOID* ppv);
PAL_EXPORT HRESULT OleRun(LPUNKNOWN pUnknown);

#ifdef __cplusplus
}
#endif

#endif
