/*
 * The password derivations of the system are slow on purpose (PBKDF2 with 1000
 * rounds in the core, scrypt with 16 MiB in the key provider): once per exec
 * they would cap every harness at a few hundred execs per second and most of
 * the time would go to hashing, not parsing. The harnesses remember each
 * derivation by its inputs and ask the real function only for inputs not seen
 * before; results are the real ones, so every MAC and seal the code under test
 * checks is the same as without the memo.
 *
 * PBKDF2: the harness executable defines KRY_Pbkdf2Compute, which the core's
 * call binds to ahead of the crypto library's, and forwards misses to it.
 * scrypt: the key provider's sources are linked into the harness with
 * --wrap of tpmksp::DeriveKey (see fuzz/CMakeLists.txt).
 */
#pragma once
#include <cstddef>

namespace vkfuzz {

/* Derivations the memo answered and the ones it passed on, for the run summary. */
struct KdfCounts {
    size_t hits;
    size_t misses;
};
KdfCounts Pbkdf2Counts();

} // namespace vkfuzz
