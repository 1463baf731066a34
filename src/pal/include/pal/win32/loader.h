/* Library entry and modules (loader/). */
#ifndef PAL_WIN32_LOADER_H
#define PAL_WIN32_LOADER_H

#include "pal/win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

PAL_EXPORT HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
PAL_EXPORT FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
PAL_EXPORT BOOL FreeLibrary(HMODULE hLibModule);
/* NULL module: the main program. Gives the Windows view of the path. */
PAL_EXPORT DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
PAL_EXPORT BOOL DisableThreadLibraryCalls(HMODULE hLibModule);

#ifdef __cplusplus
}
#endif

#endif
