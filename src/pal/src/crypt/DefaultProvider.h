/* The built-in provider behind a NULL provider name. */
#pragma once
#include "pal/csp.h"

namespace pal::crypt {

/* Verify-only contexts (CRYPT_VERIFYCONTEXT, no container) whose one service
 * is CryptGenRandom from OpenSSL's generator. Serves PROV_RSA_FULL and
 * PROV_RSA_AES. Every other slot fails as a provider without keys would. */
const PAL_CSP_TABLE* DefaultProviderTable();

} // namespace pal::crypt
