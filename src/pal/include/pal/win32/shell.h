/* Shell folders and path helpers (shell/). */
#ifndef PAL_WIN32_SHELL_H
#define PAL_WIN32_SHELL_H

#include "pal/win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_PROGRAM_FILES 0x0026
#define SHGFP_TYPE_CURRENT 0
#define SHGFP_TYPE_DEFAULT 1

PAL_EXPORT HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath);
PAL_EXPORT BOOL PathAppendW(LPWSTR pszPath, LPCWSTR pszMore);
PAL_EXPORT BOOL PathFileExistsW(LPCWSTR pszPath);

#ifdef __cplusplus
}
#endif

#endif
