/* libgcrypt's one-time set-up, shared by the components built on it (Windows).
 * Each module links its own copy of the library, so each runs this once. */
#pragma once
#include <gcrypt.h>

#include <cstdarg>
#include <mutex>

inline bool GcryptReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        // A library prints nothing into its host's streams (the entropy gatherer has notes to tell).
        gcry_set_log_handler([](void*, int, const char*, va_list) {}, nullptr);
        if (!gcry_check_version(GCRYPT_VERSION)) return;
        gcry_control(GCRYCTL_DISABLE_SECMEM_WARN, 0);
        gcry_control(GCRYCTL_INIT_SECMEM, 1 << 16, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        ready = true;
    });
    return ready;
}
