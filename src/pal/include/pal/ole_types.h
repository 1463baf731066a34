/*
 * The Win32 base and OLE Automation types a client needs to call a Win32-style
 * library: 16-bit WCHAR, BSTR, VARIANT_BOOL and SAFEARRAY in the Win64 layout.
 * Shared by the PAL's <windows.h> and by public headers that must stand alone.
 */
#ifndef PAL_OLE_TYPES_H
#define PAL_OLE_TYPES_H

#include <stddef.h>
#include <stdint.h>

#if !defined(__cplusplus)
#include <uchar.h>
#endif

#if defined(__GNUC__)
#define PAL_EXPORT __attribute__((visibility("default")))
#else
#define PAL_EXPORT
#endif

#ifndef WINAPI
#define WINAPI
#define STDAPICALLTYPE
#define STDMETHODCALLTYPE
#endif

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short USHORT;
typedef uint16_t WORD;
typedef uint32_t DWORD; /* 32-bit as on Windows, unlike Linux's long */
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int16_t SHORT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;
typedef LONG HRESULT;
typedef short VARIANT_BOOL;
typedef unsigned short VARTYPE;
typedef void* PVOID;
typedef void* LPVOID;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8, VT_BOOL = 11, VT_VARIANT = 12, VT_UNKNOWN = 13, VT_UI1 = 17 };

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_FIXEDSIZE 0x0010
#define FADF_HAVEVARTYPE 0x0080

typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

#ifdef __cplusplus
extern "C" {
#endif

PAL_EXPORT BSTR SysAllocString(const OLECHAR* psz);
PAL_EXPORT BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
PAL_EXPORT BSTR SysAllocStringByteLen(const char* psz, UINT len);
PAL_EXPORT void SysFreeString(BSTR bstrString);
PAL_EXPORT UINT SysStringLen(BSTR pbstr);
PAL_EXPORT UINT SysStringByteLen(BSTR bstr);

PAL_EXPORT SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
PAL_EXPORT SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
PAL_EXPORT HRESULT SafeArrayDestroy(SAFEARRAY* psa);
PAL_EXPORT HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
PAL_EXPORT HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
PAL_EXPORT UINT SafeArrayGetDim(SAFEARRAY* psa);
PAL_EXPORT UINT SafeArrayGetElemsize(SAFEARRAY* psa);
PAL_EXPORT HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
PAL_EXPORT HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
PAL_EXPORT HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);

#ifdef __cplusplus
}
#endif

#endif
