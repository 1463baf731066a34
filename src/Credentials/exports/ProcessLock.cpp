/* The machine-wide process lock: made at attach, closed at detach, taken by every export. */
#include "ProcessLock.h"
#include "../platform/DiagLog.h"
#include "../util/AccessRules.h"

HANDLE g_hMutex = NULL;
HANDLE g_hUnloadEvent = NULL;
LONG volatile g_lMutexHeld = 0;

void AttachFunc() {
    g_hUnloadEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (g_hUnloadEvent == NULL) {
        _PrintError("AttachFunc", __LINE__, "CreateEvent() failed. ErrorCode = %d", (int)GetLastError());
    }

#ifdef _WIN32
    g_hMutex = CreateVaultMutex(VAULTKEEP_MUTEX_NAME);
#else
    /* The platform layer's lock lives below the root, with the vault's modes. */
    g_hMutex = CreateMutexW(NULL, FALSE, VAULTKEEP_MUTEX_NAME);
#endif
    DWORD error = GetLastError();
    if (g_hMutex == NULL) {
        _PrintError("AttachFunc", __LINE__, "Failed to created the mutex. ErrorCode = %d", (int)error);
        return;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        _Print("AttachFunc", "Opened an existing mutex -- %S", VAULTKEEP_MUTEX_NAME);
    } else {
        _Print("AttachFunc", "Created a new mutex -- %S", VAULTKEEP_MUTEX_NAME);
    }
}

/* Wakes one thread of this process waiting for the lock, gives a call holding it
 * time to finish, then closes both handles. A second detach finds nothing to do. */
void DetachFunc() {
    HANDLE hMutex = g_hMutex;
    if (hMutex == NULL) return;

    HANDLE hEvent = g_hUnloadEvent;
    if (hEvent != NULL) {
        SetEvent(hEvent);
        /* The wait gives a call of this process the time to finish; with none
         * holding the lock there is nothing to wait for, and a process that never
         * called an export leaves no trace below the machine root. */
        if (InterlockedCompareExchange(&g_lMutexHeld, 0, 0) != 0) {
            DWORD wait = WaitForSingleObject(hMutex, KS_DETACH_TIMEOUT_MS);
            /* Ownership taken here must not outlive the handle: a closed handle
             * would otherwise leave the machine-wide lock to abandonment. */
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) ReleaseMutex(hMutex);
        }
        g_hUnloadEvent = NULL;
        CloseHandle(hEvent);
    }
    g_hMutex = NULL;
    CloseHandle(hMutex);
}

BOOL KsAcquireMutex() {
    HANDLE handles[2] = {g_hMutex, g_hUnloadEvent};
    DWORD wait = WaitForMultipleObjects(2, handles, FALSE, KS_LOCK_TIMEOUT_MS);
    if (wait == WAIT_OBJECT_0) {
        InterlockedExchange(&g_lMutexHeld, 1);
        return TRUE;
    }
    if (wait == WAIT_ABANDONED_0) {
        /* The last owner ended without releasing: its call is over, and the
         * ownership is ours now. A dead process must never wedge the machine,
         * so this counts as acquired; the frame releases it like any other. */
        _PrintError("KsAcquireMutex", __LINE__, "WaitForMultipleObjects() found the mutex abandoned; lock recovered");
        InterlockedExchange(&g_lMutexHeld, 1);
        return TRUE;
    }
    _PrintError("KsAcquireMutex", __LINE__, "WaitForMultipleObjects() failed. ErrorCode = %d", (int)GetLastError());
    return FALSE;
}

BOOL KsReleaseMutex() {
    if (InterlockedCompareExchange(&g_lMutexHeld, 0, 0) == 0) return TRUE;

    /* The mark is process-wide while ownership is per thread. Clearing it before
     * the release keeps it right when another thread of this process acquires
     * the moment the release lets go: that thread's mark is then not overwritten. */
    InterlockedExchange(&g_lMutexHeld, 0);
    BOOL released = ReleaseMutex(g_hMutex);
    if (!released) {
        DWORD error = GetLastError();
        /* Still ours: nobody else could take it, so the mark goes back. */
        InterlockedExchange(&g_lMutexHeld, 1);
        _PrintError("KsReleaseMutex", __LINE__, "ReleaseMutex() failed. ErrorCode = %d", (int)error);
        return FALSE;
    }
    return released;
}
