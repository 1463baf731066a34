/* The library entry: attach and detach handling. */
#include "DllMain.h"
#include "ProcessLock.h"

HMODULE g_hModule = NULL;

extern "C" PAL_EXPORT BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
    switch (fdwReason) {
    case DLL_PROCESS_ATTACH:
        g_hModule = hinstDLL;
        AttachFunc();
        break;
    case DLL_PROCESS_DETACH:
        DetachFunc();
        break;
    default:
        break;
    }
    return TRUE;
}
