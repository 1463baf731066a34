/* Handles, debug output and memory (misc/). */
#ifndef PAL_WIN32_MISC_H
#define PAL_WIN32_MISC_H

#include "pal/win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Closes files, events and mutexes; the other kinds have their own closers. */
PAL_EXPORT BOOL CloseHandle(HANDLE hObject);

PAL_EXPORT void OutputDebugStringW(LPCWSTR lpOutputString);
PAL_EXPORT void OutputDebugStringA(LPCSTR lpOutputString);

PAL_EXPORT HLOCAL LocalFree(HLOCAL hMem);
/* Not optimised away: for keys and passwords. */
PAL_EXPORT PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt);

#ifdef __cplusplus
}
#endif

#endif
