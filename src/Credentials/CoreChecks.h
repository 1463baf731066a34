/* The Win32 type sizes and layouts the file formats and the client ABI depend on. */
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstddef>

static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
static_assert(sizeof(BYTE) == 1 && sizeof(WORD) == 2, "BYTE and WORD");
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(ULONG) == 4, "32-bit integers as on Win64");
static_assert(sizeof(BOOL) == 4 && sizeof(HRESULT) == 4, "BOOL and HRESULT are 32-bit");
static_assert(sizeof(VARIANT_BOOL) == 2 && sizeof(VARTYPE) == 2, "VARIANT_BOOL and VARTYPE are 16-bit");
static_assert(sizeof(HANDLE) == sizeof(void*) && sizeof(ULONG_PTR) == sizeof(void*), "pointer-sized handles");
static_assert(sizeof(GUID) == 16, "GUID");
static_assert(sizeof(SAFEARRAYBOUND) == 8, "SAFEARRAYBOUND");
static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, cbElements) == 4 && offsetof(SAFEARRAY, cLocks) == 8 &&
                  offsetof(SAFEARRAY, pvData) == 16 && offsetof(SAFEARRAY, rgsabound) == 24,
              "SAFEARRAY in the Win64 layout");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "file layouts are read in place: little-endian host");
