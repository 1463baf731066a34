/* What the tool needs from its host beyond standard C++: wiping and constant-time
 * comparison, and on Windows the few POSIX names mingw's C runtime lacks. */
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <sys/stat.h>
#define O_CLOEXEC _O_NOINHERIT
#define O_NOCTTY 0
/* Windows files have no mode bits: a new file takes its folder's ACL. */
inline int fchmod(int, int) {
    return 0;
}
#include <cerrno>
#include <string>
#include <vaultkeep/vaultkeep.hpp>
/* Arguments and paths are UTF-8 inside the tool; Windows takes file names in UTF-16,
 * and its narrow calls would read them in the ANSI code page. Empty when not UTF-8. */
inline std::wstring WidePath(const char* utf8) {
    std::wstring w;
    return vaultkeep::Utf8ToUtf16(utf8, w) ? w : std::wstring();
}
inline int OpenPath(const char* path, int flags, int mode = 0) {
    const std::wstring w = WidePath(path);
    if (w.empty()) return errno = ENOENT, -1;
    return _wopen(w.c_str(), flags, mode);
}
inline int AccessPath(const char* path, int mode) {
    const std::wstring w = WidePath(path);
    if (w.empty()) return errno = ENOENT, -1;
    return _waccess(w.c_str(), mode);
}
/* No symbolic links to tell apart from their targets here. */
inline int lstat(const char* path, struct stat* st) {
    const std::wstring w = WidePath(path);
    if (w.empty()) return errno = ENOENT, -1;
    static_assert(sizeof(struct stat) == sizeof(struct _stat64i32), "stat layouts");
    return _wstat64i32(w.c_str(), reinterpret_cast<struct _stat64i32*>(st));
}
inline bool CurrentFolder(std::string& out) {
    wchar_t buf[4096];
    if (!_wgetcwd(buf, 4096)) return false;
    out = vaultkeep::ToUtf8(buf);
    return true;
}
inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
#else
#include <openssl/crypto.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
inline int OpenPath(const char* path, int flags, int mode = 0) {
    return open(path, flags, mode);
}
inline int AccessPath(const char* path, int mode) {
    return access(path, mode);
}
inline bool CurrentFolder(std::string& out) {
    char buf[4096];
    if (!getcwd(buf, sizeof buf)) return false;
    out = buf;
    return true;
}
#endif

namespace vktool {

inline void WipeMemory(void* p, size_t n) {
#ifdef _WIN32
    if (p && n) SecureZeroMemory(p, n);
#else
    OPENSSL_cleanse(p, n);
#endif
}

inline bool SameBytes(const void* a, const void* b, size_t n) {
#ifdef _WIN32
    const volatile uint8_t* x = static_cast<const uint8_t*>(a);
    const volatile uint8_t* y = static_cast<const uint8_t*>(b);
    uint8_t diff = 0;
    for (size_t i = 0; i < n; ++i) diff |= x[i] ^ y[i];
    return diff == 0;
#else
    return CRYPTO_memcmp(a, b, n) == 0;
#endif
}

/* True for a path that names its place without the current folder. */
inline bool IsAbsolutePath(const char* p) {
#ifdef _WIN32
    return (p[0] && p[1] == ':' && (p[2] == '\\' || p[2] == '/')) || (p[0] == '\\' && p[1] == '\\');
#else
    return p[0] == '/';
#endif
}

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

} // namespace vktool
