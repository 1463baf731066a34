/* The library entry: attach and detach handling. */
#pragma once
#include <windows.h>

/* This library's own module, as the loader handed it to DllMain (may be NULL). */
extern HMODULE g_hModule;

#ifndef PAL_EXPORT
#define PAL_EXPORT /* Windows finds DllMain as the entry point, not as an export */
#endif
extern "C" PAL_EXPORT BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);
