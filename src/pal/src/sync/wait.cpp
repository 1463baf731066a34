/* Waits, and the small process and time services. */
#include "sync/sync.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace pal::sync {

std::mutex& StateLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::condition_variable& StateChanged() {
    static auto* cv = new std::condition_variable;
    return *cv;
}

namespace {

using Clock = std::chrono::steady_clock;

/* How often a waiter looks again at a lock held by another process; it grows
 * to the cap so a long wait costs little, and a dead owner is noticed fast. */
constexpr auto kFirstPoll = std::chrono::milliseconds(1);
constexpr auto kMaxPoll = std::chrono::milliseconds(8);

DWORD WaitWorker(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds, DWORD& error) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        error = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    // Wait-all over several objects is not needed by anything here; one object
    // is the same either way.
    if (bWaitAll && nCount > 1) {
        error = ERROR_NOT_SUPPORTED;
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> objects;
    objects.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<HandleObject> obj = LookupHandle(lpHandles[i], HandleKind::Mutex);
        if (!obj) obj = LookupHandle(lpHandles[i], HandleKind::Event);
        if (!obj) {
            error = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        objects.push_back(std::static_pointer_cast<Waitable>(obj));
    }

    const DWORD tid = GetCurrentThreadId();
    const bool infinite = dwMilliseconds == INFINITE;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(infinite ? 0 : dwMilliseconds);
    auto poll = kFirstPoll;
    std::unique_lock<std::mutex> lk(StateLock());
    for (;;) {
        bool needPoll = false;
        // Array order decides: the first available object wins.
        for (DWORD i = 0; i < nCount; ++i) {
            switch (objects[i]->TryAcquire(tid, error)) {
            case TryResult::Acquired:
                return WAIT_OBJECT_0 + i;
            case TryResult::Abandoned:
                return WAIT_ABANDONED_0 + i;
            case TryResult::Failed:
                return WAIT_FAILED;
            case TryResult::BusyPoll:
                needPoll = true;
                break;
            case TryResult::Busy:
                break;
            }
        }
        Clock::time_point now = Clock::now();
        if (!infinite && now >= deadline) return WAIT_TIMEOUT;
        if (needPoll) {
            Clock::time_point wake = now + poll;
            if (!infinite) wake = std::min(wake, deadline);
            StateChanged().wait_until(lk, wake);
            poll = std::min(poll * 2, kMaxPoll);
        } else if (infinite) {
            StateChanged().wait(lk);
        } else {
            StateChanged().wait_until(lk, deadline);
        }
    }
}

} // namespace

} // namespace pal::sync

using namespace pal::sync;

/* The last error is set only when the wait fails: a time-out or an acquired
 * object leaves it as it was, as on Windows. */
extern "C" DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                        DWORD dwMilliseconds) {
    DWORD error = ERROR_SUCCESS;
    DWORD r;
    try {
        r = WaitWorker(nCount, lpHandles, bWaitAll, dwMilliseconds, error);
    } catch (...) {
        r = WAIT_FAILED;
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (r == WAIT_FAILED) SetLastError(error);
    return r;
}

extern "C" DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

extern "C" void Sleep(DWORD dwMilliseconds) {
    struct timespec ts = {static_cast<time_t>(dwMilliseconds / 1000),
                          static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

extern "C" DWORD GetCurrentThreadId(void) {
    static thread_local DWORD tid = static_cast<DWORD>(syscall(SYS_gettid));
    return tid;
}
