/*
 * The logging library. One call makes one line:
 *   2024-05-01T12:34:56.789Z <pid> <tid> <LEVEL> <function> <text>[ (line N)]
 * written with a single write() so concurrent lines never interleave.
 *
 * Off and not capturing, a call costs one atomic load and returns before any
 * formatting. Everything is formatted into fixed stack buffers: a long message
 * is cut at kMaxMessage bytes (on a UTF-8 boundary, marked "..."), never grown.
 * Control characters are escaped so a message cannot forge or split lines.
 * Nothing throws out of this file.
 */
#ifdef _WIN32
#define _POSIX_THREAD_SAFE_FUNCTIONS 1 /* mingw's gmtime_r */
#endif
#include "DiagLog.h"
#include "diaglog_control.h"
#include "../SecureEnv.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#include <io.h>
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY) /* lines end in LF, as on every host */
#else
#include <sys/syscall.h>
#include <syslog.h>
#endif

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kMaxMessage = 4096;
constexpr size_t kMaxFunction = 256;
constexpr size_t kMaxLine = kMaxMessage + kMaxFunction + 128;
constexpr size_t kMaxCaptured = 100000;
constexpr int kMaxWidth = 4096; /* width/precision beyond a line's length are pointless */

enum : unsigned { kConfigured = 1u, kSink = 2u, kCapture = 4u };

std::atomic<unsigned> g_flags{0};
std::mutex g_lock; /* guards g_fd, g_captured and configuration changes */
int g_fd = -1;
bool g_ownFd = false;
bool g_syslog = false; /* lines go to syslog(3), under the host program's own openlog, if any */

std::vector<diaglog::CapturedLine>& Captured() {
    static auto* lines = new std::vector<diaglog::CapturedLine>(); // never destroyed: usable during exit
    return *lines;
}

/* ---- bounded text buffer ------------------------------------------------ */

struct Buf {
    char* data;
    size_t cap; /* usable bytes, excluding the NUL */
    size_t len = 0;
    bool truncated = false;

    Buf(char* d, size_t c) : data(d), cap(c) { data[0] = 0; }
    size_t room() const { return cap - len; }
    void put(char c) {
        if (len < cap) data[len++] = c;
        else truncated = true;
        data[len] = 0;
    }
    void put(const char* s, size_t n) {
        if (n > room()) {
            n = room();
            truncated = true;
        }
        memcpy(data + len, s, n);
        len += n;
        data[len] = 0;
    }
    void put(const char* s) { put(s, strlen(s)); }
};

void PutUtf8(Buf& b, uint32_t cp) {
    char t[4];
    size_t n;
    if (cp < 0x80) { t[0] = static_cast<char>(cp); n = 1; }
    else if (cp < 0x800) { t[0] = static_cast<char>(0xC0 | (cp >> 6)); t[1] = static_cast<char>(0x80 | (cp & 0x3F)); n = 2; }
    else if (cp < 0x10000) {
        t[0] = static_cast<char>(0xE0 | (cp >> 12));
        t[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        t[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        t[0] = static_cast<char>(0xF0 | (cp >> 18));
        t[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        t[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        t[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    if (n > b.room()) { b.truncated = true; return; } // never half a character
    b.put(t, n);
}

/* UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. maxUnits < 0: up to the NUL. */
void PutUtf16(Buf& b, const char16_t* s, long maxUnits) {
    for (long i = 0; (maxUnits < 0 || i < maxUnits) && s[i] != 0 && !b.truncated; ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            bool more = (maxUnits < 0 || i + 1 < maxUnits) && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
            if (more) cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
            else cp = 0xFFFD;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        PutUtf8(b, cp);
    }
}

/* ---- printf ------------------------------------------------------------- */

struct Conv {
    char flags[8] = {};
    int nflags = 0;
    int width = -1;
    int precision = -1;
    enum Len { None, HH, H, L, LL, Z, J, T, BigL, I64 } len = None;
    char conv = 0;
};

/* Formats one conversion through snprintf with the argument read as its true type. */
template <typename T>
void Emit(Buf& b, const Conv& cv, const char* lenText, T value) {
    char fmt[40];
    int n = snprintf(fmt, sizeof fmt, "%%%s", cv.flags);
    if (cv.width >= 0) n += snprintf(fmt + n, sizeof fmt - n, "%d", cv.width);
    if (cv.precision >= 0) n += snprintf(fmt + n, sizeof fmt - n, ".%d", cv.precision);
    snprintf(fmt + n, sizeof fmt - n, "%s%c", lenText, cv.conv);
    char tmp[kMaxWidth + 64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int w = snprintf(tmp, sizeof tmp, fmt, value);
#pragma GCC diagnostic pop
    if (w < 0) return;
    b.put(tmp, static_cast<size_t>(w) < sizeof tmp ? static_cast<size_t>(w) : sizeof tmp - 1);
}

/* A string, padded to the width as printf would. */
void EmitText(Buf& b, const Conv& cv, const char* s, size_t n) {
    bool left = strchr(cv.flags, '-') != nullptr;
    size_t pad = (cv.width > 0 && static_cast<size_t>(cv.width) > n) ? cv.width - n : 0;
    if (!left) for (size_t i = 0; i < pad; ++i) b.put(' ');
    b.put(s, n);
    if (left) for (size_t i = 0; i < pad; ++i) b.put(' ');
}

void EmitWide(Buf& b, const Conv& cv, const char16_t* s) {
    if (!s) {
        EmitText(b, cv, "(null)", 6);
        return;
    }
    char tmp[kMaxMessage + 1];
    Buf t(tmp, kMaxMessage);
    PutUtf16(t, s, cv.precision);
    EmitText(b, cv, t.data, t.len);
    if (t.truncated) b.truncated = true;
}

void EmitNarrow(Buf& b, const Conv& cv, const char* s) {
    if (!s) s = "(null)";
    size_t n = cv.precision >= 0 ? strnlen(s, static_cast<size_t>(cv.precision)) : strnlen(s, kMaxMessage + 1);
    EmitText(b, cv, s, n);
}

void EmitSigned(Buf& b, const Conv& cv, va_list& ap) {
    switch (cv.len) {
    case Conv::HH: Emit(b, cv, "hh", static_cast<signed char>(va_arg(ap, int))); break;
    case Conv::H: Emit(b, cv, "h", static_cast<short>(va_arg(ap, int))); break;
    case Conv::L: Emit(b, cv, "l", va_arg(ap, long)); break;
    case Conv::LL: case Conv::I64: Emit(b, cv, "ll", va_arg(ap, long long)); break;
    case Conv::Z: case Conv::T: Emit(b, cv, "t", va_arg(ap, ptrdiff_t)); break;
    case Conv::J: Emit(b, cv, "j", va_arg(ap, intmax_t)); break;
    default: Emit(b, cv, "", va_arg(ap, int)); break;
    }
}

void EmitUnsigned(Buf& b, const Conv& cv, va_list& ap) {
    switch (cv.len) {
    case Conv::HH: Emit(b, cv, "hh", static_cast<unsigned char>(va_arg(ap, unsigned))); break;
    case Conv::H: Emit(b, cv, "h", static_cast<unsigned short>(va_arg(ap, unsigned))); break;
    case Conv::L: Emit(b, cv, "l", va_arg(ap, unsigned long)); break;
    case Conv::LL: case Conv::I64: Emit(b, cv, "ll", va_arg(ap, unsigned long long)); break;
    case Conv::Z: case Conv::T: Emit(b, cv, "z", va_arg(ap, size_t)); break;
    case Conv::J: Emit(b, cv, "j", va_arg(ap, uintmax_t)); break;
    default: Emit(b, cv, "", va_arg(ap, unsigned)); break;
    }
}

int ReadNumber(const char*& p) {
    long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 1000000) v = v * 10 + (*p - '0');
        ++p;
    }
    return static_cast<int>(v);
}

int Clamp(int v) { return v > kMaxWidth ? kMaxWidth : v; }

/*
 * printf with %S (and %ls, %lS) taking a UTF-16 string. An unknown conversion
 * stops argument use: the rest of the format is copied as it stands, since
 * reading an argument of a guessed type could crash.
 */
void Format(Buf& b, const char* fmt, va_list& ap) {
    if (!fmt) {
        b.put("(null)");
        return;
    }
    const char* p = fmt;
    while (*p && !b.truncated) {
        if (*p != '%') {
            const char* q = strchr(p, '%');
            size_t n = q ? static_cast<size_t>(q - p) : strlen(p);
            b.put(p, n);
            p += n;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            b.put('%');
            ++p;
            continue;
        }
        Conv cv;
        while (*p && strchr("-+ #0", *p) && cv.nflags < 6) cv.flags[cv.nflags++] = *p++;
        while (*p && strchr("-+ #0", *p)) ++p;
        if (*p == '*') {
            int w = va_arg(ap, int);
            ++p;
            if (w < 0) {
                if (!strchr(cv.flags, '-') && cv.nflags < 6) cv.flags[cv.nflags++] = '-';
                w = w == INT32_MIN ? kMaxWidth : -w;
            }
            cv.width = Clamp(w);
        } else if (*p >= '0' && *p <= '9') {
            cv.width = Clamp(ReadNumber(p));
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                int pr = va_arg(ap, int);
                ++p;
                cv.precision = pr < 0 ? -1 : Clamp(pr);
            } else {
                cv.precision = Clamp(ReadNumber(p));
            }
        }
        switch (*p) {
        case 'h': ++p; if (*p == 'h') { ++p; cv.len = Conv::HH; } else cv.len = Conv::H; break;
        case 'l': ++p; if (*p == 'l') { ++p; cv.len = Conv::LL; } else cv.len = Conv::L; break;
        case 'z': ++p; cv.len = Conv::Z; break;
        case 'j': ++p; cv.len = Conv::J; break;
        case 't': ++p; cv.len = Conv::T; break;
        case 'L': ++p; cv.len = Conv::BigL; break;
        case 'I': /* Win32 sizes: I64, I32, I (pointer-sized) */
            if (p[1] == '6' && p[2] == '4') { p += 3; cv.len = Conv::I64; }
            else if (p[1] == '3' && p[2] == '2') { p += 3; cv.len = Conv::None; }
            else { p += 1; cv.len = Conv::Z; }
            break;
        default: break;
        }
        cv.conv = *p ? *p++ : 0;
        switch (cv.conv) {
        case 'd': case 'i':
            EmitSigned(b, cv, ap);
            break;
        case 'u': case 'x': case 'X': case 'o':
            EmitUnsigned(b, cv, ap);
            break;
        case 'c':
            if (cv.len == Conv::L) { // a UTF-16 unit, promoted to int
                char16_t w[2] = {static_cast<char16_t>(va_arg(ap, int)), 0};
                Conv s2 = cv;
                s2.precision = -1;
                EmitWide(b, s2, w);
            } else {
                char ch = static_cast<char>(va_arg(ap, int));
                EmitText(b, cv, &ch, 1);
            }
            break;
        case 'C': {
            char16_t w[2] = {static_cast<char16_t>(va_arg(ap, int)), 0};
            Conv s2 = cv;
            s2.precision = -1;
            EmitWide(b, s2, w);
            break;
        }
        case 's':
            if (cv.len == Conv::L) EmitWide(b, cv, va_arg(ap, const char16_t*));
            else EmitNarrow(b, cv, va_arg(ap, const char*));
            break;
        case 'S':
            if (cv.len == Conv::H) EmitNarrow(b, cv, va_arg(ap, const char*));
            else EmitWide(b, cv, va_arg(ap, const char16_t*));
            break;
        case 'p': {
            void* v = va_arg(ap, void*);
            Conv s2 = cv;
            s2.len = Conv::None;
            Emit(b, s2, "", v);
            break;
        }
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
            if (cv.len == Conv::BigL) Emit(b, cv, "L", va_arg(ap, long double));
            else Emit(b, cv, "", va_arg(ap, double));
            break;
        default:
            b.put(start);
            return;
        }
    }
}

/* ---- sinks -------------------------------------------------------------- */

void Note(const char* what, const char* detail) {
    char msg[512];
    int n = snprintf(msg, sizeof msg, "diaglog: %s%s\n", what, detail ? detail : "");
    if (n > 0) {
        ssize_t ignored = write(2, msg, static_cast<size_t>(n) < sizeof msg ? n : sizeof msg - 1);
        (void)ignored;
    }
}

/* Applies a destination; called with g_lock held. */
void ApplyLocked(const char* dest) {
    if (g_ownFd && g_fd >= 0) close(g_fd);
    g_fd = -1;
    g_ownFd = false;
    g_syslog = false;
    if (!dest || !*dest || strcmp(dest, "off") == 0) {
#ifndef _WIN32
    } else if (strcmp(dest, "syslog") == 0) {
        g_syslog = true;
#endif
    } else if (strcmp(dest, "stderr") == 0) {
        g_fd = 2;
    } else if (strncmp(dest, "file:", 5) == 0 && dest[5]) {
        int fd;
        do {
            fd = open(dest + 5, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            Note("cannot open the log file, logging is off: ", strerror(errno));
        } else {
            g_fd = fd;
            g_ownFd = true;
        }
    } else {
        Note("unknown VAULTKEEP_LOG value, logging is off: ", dest);
    }
    unsigned f = g_flags.load(std::memory_order_relaxed) & kCapture;
    f |= kConfigured | (g_fd >= 0 || g_syslog ? kSink : 0u);
    g_flags.store(f, std::memory_order_release);
}

unsigned EnsureConfigured() {
    std::lock_guard<std::mutex> lock(g_lock);
    unsigned f = g_flags.load(std::memory_order_acquire);
    if (f & kConfigured) return f;
    ApplyLocked(SecureEnv("VAULTKEEP_LOG"));
    return g_flags.load(std::memory_order_acquire);
}

bool Active() {
    unsigned f = g_flags.load(std::memory_order_acquire);
    if (!(f & kConfigured)) f = EnsureConfigured();
    return (f & (kSink | kCapture)) != 0;
}

const char* LevelName(diaglog::Level level) {
    switch (level) {
    case diaglog::Level::Enter: return "ENTER";
    case diaglog::Level::Exit: return "EXIT";
    case diaglog::Level::Info: return "INFO";
    case diaglog::Level::Error: return "ERROR";
    }
    return "?";
}

/* Copies text, escaping what would break the one-line form. */
void PutEscaped(Buf& b, const char* s, size_t n) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < n && !b.truncated; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\n') b.put("\\n", 2);
        else if (c == '\r') b.put("\\r", 2);
        else if (c == '\t') b.put("\\t", 2);
        else if (c < 0x20 || c == 0x7F) {
            char e[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
            b.put(e, 4);
        } else b.put(static_cast<char>(c));
    }
}

/* Cuts a truncated message back to a whole UTF-8 character and marks it. */
void MarkTruncated(Buf& b) {
    size_t keep = b.cap > 3 ? b.cap - 3 : 0;
    if (b.len > keep) b.len = keep;
    while (b.len > 0 && (static_cast<unsigned char>(b.data[b.len]) & 0xC0) == 0x80) --b.len;
    b.data[b.len] = 0;
    b.truncated = false;
    b.put("...", 3);
}

long ThreadId() {
#ifdef _WIN32
    return static_cast<long>(GetCurrentThreadId());
#else
    return static_cast<long>(syscall(SYS_gettid));
#endif
}

void WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void WriteLine(diaglog::Level level, const char* function, int line, const char* message) {
    char lineBuf[kMaxLine + 1];
    Buf out(lineBuf, kMaxLine);

    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char head[128];
    int hn = snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %ld ", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000L,
                      static_cast<long>(getpid()));
    if (hn > 0) out.put(head, static_cast<size_t>(hn) < sizeof head ? hn : sizeof head - 1);
    [[maybe_unused]] const size_t fromThread = out.len; /* syslog stamps time and process itself */
    hn = snprintf(head, sizeof head, "%ld %-5s ", ThreadId(), LevelName(level));
    if (hn > 0) out.put(head, static_cast<size_t>(hn) < sizeof head ? hn : sizeof head - 1);
    const char* fn = function ? function : "(null)";
    PutEscaped(out, fn, strnlen(fn, kMaxFunction));
    out.put(' ');
    PutEscaped(out, message, strlen(message));
    if (level == diaglog::Level::Error) {
        char tail[32];
        int tn = snprintf(tail, sizeof tail, " (line %d)", line);
        if (out.room() < static_cast<size_t>(tn) + 1) out.len = out.cap - tn - 1; // the line number always shows
        out.truncated = false;
        out.put(tail, static_cast<size_t>(tn));
    }
    if (out.len >= out.cap) out.len = out.cap - 1;
    out.data[out.len++] = '\n';

    std::lock_guard<std::mutex> lock(g_lock);
    unsigned f = g_flags.load(std::memory_order_relaxed);
    if ((f & kSink) && g_fd >= 0) WriteAll(g_fd, out.data, out.len);
#ifndef _WIN32
    if ((f & kSink) && g_syslog) {
        const int priority = level == diaglog::Level::Error  ? LOG_ERR
                             : level == diaglog::Level::Info ? LOG_INFO
                                                             : LOG_DEBUG;
        syslog(priority, "vaultkeep %.*s", static_cast<int>(out.len - fromThread - 1), out.data + fromThread);
    }
#endif
    if (f & kCapture) {
        auto& lines = Captured();
        if (lines.size() < kMaxCaptured)
            lines.push_back(diaglog::CapturedLine{level, std::string(fn, strnlen(fn, kMaxFunction)), message,
                                                  level == diaglog::Level::Error ? line : 0});
    }
}

void Log(diaglog::Level level, const char* function, int line, const char* format, va_list& ap) {
    char msgBuf[kMaxMessage + 1];
    Buf msg(msgBuf, kMaxMessage);
    Format(msg, format, ap);
    if (msg.truncated) MarkTruncated(msg);
    WriteLine(level, function, line, msg.data);
}

void LogText(diaglog::Level level, const char* function, const char* text) {
    char msgBuf[kMaxMessage + 1];
    Buf msg(msgBuf, kMaxMessage);
    msg.put(text ? text : "(null)");
    if (msg.truncated) MarkTruncated(msg);
    WriteLine(level, function, 0, msg.data);
}

} // namespace

DIAG_API void _PrintEnter(const char* function, const char* text) {
    try {
        if (Active()) LogText(diaglog::Level::Enter, function, text);
    } catch (...) {
    }
}

DIAG_API void _PrintExit(const char* function, const char* text) {
    try {
        if (Active()) LogText(diaglog::Level::Exit, function, text);
    } catch (...) {
    }
}

DIAG_API void _Print(const char* function, const char* format, ...) {
    if (!Active()) return;
    va_list ap;
    va_start(ap, format);
    try {
        Log(diaglog::Level::Info, function, 0, format, ap);
    } catch (...) {
    }
    va_end(ap);
}

DIAG_API void _PrintError(const char* function, int line, const char* format, ...) {
    if (!Active()) return;
    va_list ap;
    va_start(ap, format);
    try {
        Log(diaglog::Level::Error, function, line, format, ap);
    } catch (...) {
    }
    va_end(ap);
}

namespace diaglog {

DIAG_CONTROL_API void Configure(const char* dest) {
    try {
        std::lock_guard<std::mutex> lock(g_lock);
        ApplyLocked(dest ? dest : SecureEnv("VAULTKEEP_LOG"));
    } catch (...) {
    }
}

DIAG_CONTROL_API void SetCapture(bool on) {
    try {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!(g_flags.load(std::memory_order_relaxed) & kConfigured)) ApplyLocked(SecureEnv("VAULTKEEP_LOG"));
        if (on) g_flags.fetch_or(kCapture, std::memory_order_acq_rel);
        else g_flags.fetch_and(~kCapture, std::memory_order_acq_rel);
    } catch (...) {
    }
}

DIAG_CONTROL_API std::vector<CapturedLine> TakeCaptured() {
    std::vector<CapturedLine> out;
    try {
        std::lock_guard<std::mutex> lock(g_lock);
        out.swap(Captured());
    } catch (...) {
    }
    return out;
}

} // namespace diaglog
