/* strsafe printf and code-page conversion (strings/). */
#ifndef PAL_WIN32_STRINGS_H
#define PAL_WIN32_STRINGS_H

#include "pal/win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* strsafe: %s and %ls take a wide string, %S and %hs a narrow one, as in the
 * wide printf family of the Windows C runtime; also %d %i %u %x %X %c %% with
 * flags, width and precision, and the l/ll/z/I64 size prefixes. */
PAL_EXPORT HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);

/* The ANSI code page (CP_ACP) is UTF-8: no character is lost in conversion. */
#define CP_ACP 0
#define CP_UTF8 65001
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080
PAL_EXPORT int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                   LPBOOL lpUsedDefaultChar);
PAL_EXPORT int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar);

#ifdef __cplusplus
}
#endif

#endif
