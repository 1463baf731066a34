/* The two host services the servers need: a strong generator and wiping. */
#pragma once
#include <windows.h>

#include <cstddef>

#ifdef _WIN32
#include <bcrypt.h>
#else
#include <openssl/crypto.h>
#include <openssl/rand.h>
#endif

namespace comservers {

inline bool StrongRandom(BYTE* p, LONG cb) {
#ifdef _WIN32
    return BCryptGenRandom(nullptr, p, static_cast<ULONG>(cb), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
#else
    return RAND_bytes(p, cb) == 1;
#endif
}

inline void Wipe(void* p, size_t n) {
#ifdef _WIN32
    SecureZeroMemory(p, n);
#else
    OPENSSL_cleanse(p, n);
#endif
}

} // namespace comservers
