/*
 * The Win32 base and OLE Automation types in the Win64 layout: those of the
 * public interface (BSTR, SAFEARRAY, ...) as clients see them, and the rest.
 */
#ifndef PAL_OLE_TYPES_H
#define PAL_OLE_TYPES_H

#include "pal/names.h"

#include <vaultkeep/oletypes.h>

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
typedef uint16_t WORD;
typedef uint32_t DWORD; /* 32-bit as on Windows, unlike Linux's long */
typedef int32_t INT;
typedef int16_t SHORT;
typedef char CHAR;
typedef short VARIANT_BOOL;
typedef void* PVOID;
typedef void* LPVOID;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_FIXEDSIZE 0x0010
#define FADF_HAVEVARTYPE 0x0080

typedef SAFEARRAYBOUND* LPSAFEARRAYBOUND;
typedef SAFEARRAY* LPSAFEARRAY;

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
