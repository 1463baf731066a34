/* The per-thread last error. */
#include <windows.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" DWORD GetLastError(void) {
    return t_lastError;
}

extern "C" void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}
