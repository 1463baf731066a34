/* The machine-wide process lock that serialises every export of every process. */
#pragma once
#include <windows.h>
#include "../platform/Wide.h"

#define VAULTKEEP_MUTEX_NAME W("Global\\Mutex{9FC4C01C-6B9E-4507-B265-5BB4416D5BC9}")
#define KS_LOCK_TIMEOUT_MS 10000
#define KS_DETACH_TIMEOUT_MS 2000

/* Process globals: made by the attach, closed (and set to NULL) by the detach. */
extern HANDLE g_hMutex;
extern HANDLE g_hUnloadEvent;
extern LONG volatile g_lMutexHeld;

/* The attach: makes the unload event and makes or opens the mutex (error lines when not). */
void AttachFunc();
/* The detach: wakes one thread of this process waiting for the lock, gives a call
 * holding it time to finish, then closes both handles. A second one does nothing. */
void DetachFunc();

/* 1 when the calling thread now holds the machine-wide mutex, else 0 (error line logged). */
BOOL KsAcquireMutex();
/* 1 when nothing was held, the release's non-zero result when released, 0 when the release failed. */
BOOL KsReleaseMutex();
