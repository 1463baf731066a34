/*
 * Debug output. With no debugger to receive it, text goes where
 * VAULTKEEP_DEBUG_OUTPUT says: unset or empty, nowhere (as with no debugger
 * attached); "stderr"; or a file path, appended to. Tests can also capture it.
 */
#include "internal/strings.h"
#include "internal/syscalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct Capture {
    std::mutex lock;
    bool on = false;
    std::string text;
};

Capture& C() {
    static auto* c = new Capture;
    return *c;
}

void WriteFully(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

/* Not through the system-call table: debug text is no file data, and a test
 * counting writes must not see it. */
void Emit(const std::string& text) {
    if (text.empty()) return;
    {
        Capture& c = C();
        std::lock_guard<std::mutex> g(c.lock);
        if (c.on) c.text += text;
    }
    const char* dest = secure_getenv("VAULTKEEP_DEBUG_OUTPUT");
    if (!dest || !dest[0]) return;
    if (strcmp(dest, "stderr") == 0) {
        WriteFully(STDERR_FILENO, text.data(), text.size());
        return;
    }
    int fd = open(dest, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    WriteFully(fd, text.data(), text.size());
    close(fd);
}

} // namespace

extern "C" void OutputDebugStringW(LPCWSTR lpOutputString) {
    DWORD saved = GetLastError(); // debug output must not disturb the caller's error
    try {
        if (lpOutputString) Emit(pal::Utf16ToUtf8(lpOutputString));
    } catch (...) {
    }
    SetLastError(saved);
}

extern "C" void OutputDebugStringA(LPCSTR lpOutputString) {
    DWORD saved = GetLastError();
    try {
        if (lpOutputString) Emit(lpOutputString); // the ANSI code page is UTF-8
    } catch (...) {
    }
    SetLastError(saved);
}

extern "C" void PalTestCaptureDebugOutput(BOOL on) {
    Capture& c = C();
    std::lock_guard<std::mutex> g(c.lock);
    c.on = on != FALSE;
    c.text.clear();
}

std::string PalTestTakeDebugOutput() {
    Capture& c = C();
    std::lock_guard<std::mutex> g(c.lock);
    std::string out;
    out.swap(c.text);
    return out;
}
