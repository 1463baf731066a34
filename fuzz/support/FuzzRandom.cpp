/*
 * Random bytes in a harness process are a fixed sequence that restarts with
 * every input (ResetRandom), so that an input replays exactly: the salts,
 * GUIDs and temporary names the code under test draws are the same each time
 * it runs. It also lets the derivation memo (KdfMemo.h) answer for the salts
 * the system draws itself, such as a re-keyed blob's. The harness executable
 * defines RAND_bytes, which the platform layer's and the COM servers' calls
 * bind to ahead of OpenSSL's; OpenSSL's own internal draws are not affected.
 */
#include "FuzzSupport.h"

#include <cstdint>

namespace {

uint64_t g_state = 0;

uint64_t Next() {
    uint64_t z = (g_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

namespace vkfuzz {
void ResetRandom() { g_state = 0; }
} // namespace vkfuzz

extern "C" __attribute__((visibility("default"))) int RAND_bytes(unsigned char* buf, int num) {
    for (int i = 0; i < num; i += 8) {
        uint64_t v = Next();
        for (int j = 0; j < 8 && i + j < num; ++j) buf[i + j] = static_cast<unsigned char>(v >> (8 * j));
    }
    return 1;
}
