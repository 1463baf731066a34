/*
 * What a call actually performs, counted by interposing the functions that do
 * the mandated work: the crypto library's PBKDF2, HMAC and AES, OpenSSL's
 * password KDF, RSA key generation and RSA encryption/decryption as the key
 * provider calls them, the flushes (fsync of a file or of a folder), renames
 * and unlinks. The
 * bench exports these definitions, so the dynamic linker binds the vault and
 * its components to them; each counts inside a window and forwards.
 */
#pragma once
#include <cstdint>

namespace bench {

struct Counts {
    uint64_t pbkdf2 = 0, hmac = 0, hmacBytes = 0, aes = 0, passwordKdf = 0, rsaKeygen = 0, rsaEncrypt = 0,
             rsaDecrypt = 0, fileFlushes = 0, folderFlushes = 0,
             renames = 0, /* rename and renameat2 */
             unlinks = 0; /* unlink and rmdir */
};

void CountWindowBegin();
Counts CountWindowEnd();
/* Seconds spent in flushes since the process started (always counted). */
double FlushSeconds();

} // namespace bench
