/*
 * The Win32 and OLE Automation types of Vaultkeep's C interface on Linux, in the
 * Win64 layout (16-bit WCHAR, 32-bit LONG), for <vaultkeep/vaultkeep.h>. The
 * library's platform layer builds its own <windows.h> on the same definitions.
 */
#ifndef VAULTKEEP_OLETYPES_H
#define VAULTKEEP_OLETYPES_H

#include <stddef.h>
#include <stdint.h>
#if !defined(__cplusplus)
#include <uchar.h>
#endif

typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef unsigned short USHORT;
typedef unsigned short VARTYPE;
typedef LONG HRESULT;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;

enum { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8, VT_BOOL = 11, VT_VARIANT = 12, VT_UNKNOWN = 13, VT_UI1 = 17 };

typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

#endif
