/* A setting from the caller's environment. A set-id process gets none: its
 * caller must not steer where it logs or which key store it uses. */
#pragma once
#include <cstdlib>

inline const char* SecureEnv(const char* name) {
#ifdef _WIN32
    return std::getenv(name);
#else
    return secure_getenv(name);
#endif
}
