/* The registry (registry/). */
#ifndef PAL_WIN32_REGISTRY_H
#define PAL_WIN32_REGISTRY_H

#include "pal/win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

/* The store is a persistent tree below the machine root. Key names compare
 * exactly (case-sensitive), like the host file system. Every write is atomic
 * and the store is safe for concurrent processes. */
PAL_EXPORT LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
PAL_EXPORT LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                   REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                   PHKEY phkResult, LPDWORD lpdwDisposition);
PAL_EXPORT LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData);
PAL_EXPORT LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                  DWORD cbData);
/* Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some). */
PAL_EXPORT LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
PAL_EXPORT LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
PAL_EXPORT LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                 LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
PAL_EXPORT LSTATUS RegCloseKey(HKEY hKey);
/* Writes the store's pending changes (see the registry's batching) and reports
 * a deferred write that failed since the last flush. */
PAL_EXPORT LSTATUS RegFlushKey(HKEY hKey);

#ifdef __cplusplus
}
#endif

#endif
