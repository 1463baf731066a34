/*
 * Peak heap of one call. The bench executable defines malloc and its family
 * over glibc's own allocator; the dynamic linker binds every library of the
 * process (the vault, its components, OpenSSL) to these, so the live byte count
 * covers everything a call allocates. Bytes are counted only inside a window;
 * a block allocated before the window and freed inside it lowers the count, so
 * a call that frees old blocks and then allocates is measured low by at most
 * what it freed (the calls measured here free nothing of their caller's).
 */
#pragma once
#include <cstddef>

namespace bench {

/* Starts a window: the peak is measured from the live bytes at this moment. */
void HeapWindowBegin();
/* Peak live heap bytes above the start of the window, since HeapWindowBegin. */
size_t HeapWindowPeak();
/* Whether the interposed allocator is the one in use (false under a tool that replaces malloc). */
bool HeapTrackingActive();

} // namespace bench
