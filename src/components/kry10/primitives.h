/*
 * The primitives the crypto library is built on, one implementation per host
 * library: OpenSSL 3 (primitives_openssl.cpp) or libgcrypt (primitives_gcrypt.cpp,
 * the Windows build). Both give byte-identical results; every call returns false
 * on any failure and then leaves its outputs unspecified.
 */
#pragma once
#include <cstddef>

namespace kry10 {

constexpr size_t kSivKeySize = 64; /* AES-256-SIV: two 256-bit halves */
constexpr size_t kSivTagSize = 16;

/* One associated-data component of an SIV call. */
struct SivAd {
    const unsigned char* data;
    size_t size;
};

bool PrimInit();
bool PrimRandom(unsigned char* out, size_t size);
bool PrimPbkdf2Sha256(const unsigned char* password, size_t passwordSize, const unsigned char* salt, size_t saltSize,
                      unsigned long iterations, unsigned char* key, size_t keySize);
bool PrimHmacSha256(const unsigned char* key, size_t keySize, const unsigned char* data, size_t dataSize,
                    unsigned char mac[32]);
/* HKDF-SHA256 (RFC 5869) with an empty salt. */
bool PrimHkdfSha256(const unsigned char* key, size_t keySize, const unsigned char* info, size_t infoSize,
                    unsigned char* out, size_t outSize);
/* AES-256-SIV (RFC 5297) of a non-empty message; out has inSize bytes. */
bool PrimSivSeal(const unsigned char key[kSivKeySize], const SivAd* ad, size_t adCount, const unsigned char* in,
                 size_t inSize, unsigned char tag[kSivTagSize], unsigned char* out);
/* false when the input does not authenticate. */
bool PrimSivOpen(const unsigned char key[kSivKeySize], const SivAd* ad, size_t adCount,
                 const unsigned char tag[kSivTagSize], const unsigned char* in, size_t inSize, unsigned char* out);
void PrimCleanse(void* p, size_t size);
/* Constant-time comparison. */
bool PrimEqual(const void* a, const void* b, size_t size);

} // namespace kry10
