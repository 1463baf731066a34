/*
 * Waitable objects. One process-wide lock and condition variable guard the
 * state of every event and mutex: waits are rare and short, and a single lock
 * makes wait-any over mixed objects exact without lock ordering.
 */
#pragma once
#include "internal/handles.h"

#include <condition_variable>
#include <mutex>

namespace pal::sync {

std::mutex& StateLock();
std::condition_variable& StateChanged();

enum class TryResult {
    Acquired,
    Abandoned, // acquired, but the previous owner died holding it
    Busy,      // a state change in this process will wake the waiter
    BusyPoll,  // held by another process: only polling will notice its release
    Failed,
};

class Waitable : public HandleObject {
  public:
    using HandleObject::HandleObject;
    /* Called with StateLock() held. Acquires if available (consumes an
     * auto-reset event, takes or re-enters a mutex). */
    virtual TryResult TryAcquire(DWORD tid, DWORD& error) = 0;
};

} // namespace pal::sync
