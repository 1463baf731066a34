/* The malloc family over glibc's allocator, counting live bytes (see HeapTrack.h). */
#include "HeapTrack.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* p);
void* __libc_calloc(size_t n, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
}

namespace {

std::atomic<long long> g_live{0};
std::atomic<long long> g_base{0};
std::atomic<long long> g_peak{0};
std::atomic<bool> g_window{false};
std::atomic<bool> g_seen{false};

/* Only while a window is open: outside one the allocator is a plain forward, so
 * timed calls pay nothing for the bookkeeping. */
inline void Added(void* p) {
    if (!p || !g_window.load(std::memory_order_relaxed)) return;
    const long long n = static_cast<long long>(malloc_usable_size(p));
    const long long now = g_live.fetch_add(n, std::memory_order_relaxed) + n;
    long long peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

inline bool Tracking() { return g_window.load(std::memory_order_relaxed); }
inline void Removed(size_t n) { g_live.fetch_sub(static_cast<long long>(n), std::memory_order_relaxed); }

} // namespace

extern "C" {

void* malloc(size_t size) {
    g_seen.store(true, std::memory_order_relaxed);
    void* p = __libc_malloc(size);
    Added(p);
    return p;
}

void free(void* p) {
    if (!p) return;
    if (Tracking()) Removed(malloc_usable_size(p));
    __libc_free(p);
}

void* calloc(size_t n, size_t size) {
    void* p = __libc_calloc(n, size);
    Added(p);
    return p;
}

void* realloc(void* p, size_t size) {
    const size_t old = p && Tracking() ? malloc_usable_size(p) : 0;
    void* q = __libc_realloc(p, size);
    if (q) {
        Removed(old);
        Added(q);
    } else if (p && size == 0) {
        Removed(old); /* glibc frees the block */
    }
    return q;
}

void* memalign(size_t alignment, size_t size) {
    void* p = __libc_memalign(alignment, size);
    Added(p);
    return p;
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) return EINVAL;
    void* p = memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

void* valloc(size_t size) {
    void* p = __libc_valloc(size);
    Added(p);
    return p;
}

void* pvalloc(size_t size) {
    void* p = __libc_pvalloc(size);
    Added(p);
    return p;
}

} // extern "C"

namespace bench {

void HeapWindowBegin() {
    g_live.store(0, std::memory_order_relaxed);
    g_base.store(0, std::memory_order_relaxed);
    g_peak.store(0, std::memory_order_relaxed);
    g_window.store(true, std::memory_order_relaxed);
}

size_t HeapWindowPeak() {
    g_window.store(false, std::memory_order_relaxed);
    const long long d = g_peak.load(std::memory_order_relaxed) - g_base.load(std::memory_order_relaxed);
    return d > 0 ? static_cast<size_t>(d) : 0;
}

bool HeapTrackingActive() { return g_seen.load(std::memory_order_relaxed); }

} // namespace bench
