/* GUIDs and their text forms (rpc/). */
#ifndef PAL_WIN32_RPC_H
#define PAL_WIN32_RPC_H

#include "pal/win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID UUID;
typedef GUID IID;
typedef GUID CLSID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
#ifdef __cplusplus
#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const CLSID&
#else
#define REFGUID const GUID*
#define REFIID const IID*
#define REFCLSID const CLSID*
#endif
typedef LONG RPC_STATUS;
typedef WCHAR* RPC_WSTR;
#define RPC_S_OK 0

PAL_EXPORT HRESULT CoCreateGuid(GUID* pguid);
/* Lower-case 8-4-4-4-12 form without braces; free with RpcStringFreeW. */
PAL_EXPORT RPC_STATUS UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid);
PAL_EXPORT RPC_STATUS RpcStringFreeW(RPC_WSTR* String);
/* "{XXXXXXXX-...}" upper case, as the registry's CLSID keys are named. */
PAL_EXPORT int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

#ifdef __cplusplus
static inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
static inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
static inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#endif

#ifdef __cplusplus
}
#endif

#endif
