/* Unnamed events, auto- and manual-reset. */
#include "sync/sync.h"

namespace pal::sync {

namespace {

class Event final : public Waitable {
  public:
    Event(bool manualReset, bool signalled)
        : Waitable(HandleKind::Event), m_manualReset(manualReset), m_signalled(signalled) {}

    TryResult TryAcquire(DWORD, DWORD&) override {
        if (!m_signalled) return TryResult::Busy;
        if (!m_manualReset) m_signalled = false;
        return TryResult::Acquired;
    }

    void Set() {
        std::lock_guard<std::mutex> g(StateLock());
        m_signalled = true;
        StateChanged().notify_all();
    }

  private:
    const bool m_manualReset;
    bool m_signalled; // guarded by StateLock()
};

DWORD Signal(HANDLE hEvent) {
    auto event = Lookup<Event>(hEvent, HandleKind::Event);
    if (!event) return ERROR_INVALID_HANDLE;
    event->Set();
    return ERROR_SUCCESS;
}

} // namespace

} // namespace pal::sync

using namespace pal;
using namespace pal::sync;

/* Only unnamed events: a named one would promise sharing across processes
 * that nothing here provides, so it is refused rather than faked. */
extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    HANDLE h = NULL;
    DWORD err = ERROR_SUCCESS;
    if (lpName && lpName[0]) {
        err = ERROR_NOT_SUPPORTED;
    } else {
        try {
            h = InsertHandle(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
        } catch (...) {
        }
        if (!h) err = ERROR_NOT_ENOUGH_MEMORY;
    }
    SetLastError(err);
    return h;
}

extern "C" BOOL SetEvent(HANDLE hEvent) {
    DWORD err = Signal(hEvent);
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

