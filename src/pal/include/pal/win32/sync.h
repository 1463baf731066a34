/* Events, mutexes and waits (sync/). */
#ifndef PAL_WIN32_SYNC_H
#define PAL_WIN32_SYNC_H

#include "pal/win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_ABANDONED WAIT_ABANDONED_0
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

PAL_EXPORT HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCWSTR lpName);
PAL_EXPORT BOOL SetEvent(HANDLE hEvent);
/* Named mutexes are machine-wide (shared by every process using the same
 * machine root); an owner that dies hands the next waiter WAIT_ABANDONED_0. */
PAL_EXPORT HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
PAL_EXPORT BOOL ReleaseMutex(HANDLE hMutex);
PAL_EXPORT DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
PAL_EXPORT DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                        DWORD dwMilliseconds);
PAL_EXPORT void Sleep(DWORD dwMilliseconds);
PAL_EXPORT DWORD GetCurrentThreadId(void);

static inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
static inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

#ifdef __cplusplus
}
#endif

#endif
