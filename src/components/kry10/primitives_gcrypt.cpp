/* The crypto library's primitives over libgcrypt (the Windows build). HKDF is
 * the RFC 5869 extract-and-expand over libgcrypt's HMAC-SHA256. */
#include "primitives.h"

#include "GcryptReady.h"

#include <cstring>

namespace kry10 {

namespace {

bool Mac(const unsigned char* key, size_t keySize, const SivAd* parts, size_t count, unsigned char mac[32]) {
    gcry_mac_hd_t h;
    if (gcry_mac_open(&h, GCRY_MAC_HMAC_SHA256, 0, nullptr) != 0) return false;
    static const unsigned char empty[1] = {0};
    bool ok = gcry_mac_setkey(h, keySize ? key : empty, keySize) == 0;
    for (size_t i = 0; ok && i < count; ++i)
        if (parts[i].size) ok = gcry_mac_write(h, parts[i].data, parts[i].size) == 0;
    size_t len = 32;
    ok = ok && gcry_mac_read(h, mac, &len) == 0 && len == 32;
    gcry_mac_close(h);
    return ok;
}

/* An SIV handle keyed and fed the associated data. */
bool SivOpenHandle(gcry_cipher_hd_t* h, const unsigned char* key, const SivAd* ad, size_t adCount) {
    if (gcry_cipher_open(h, GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_SIV, GCRY_CIPHER_SECURE) != 0) return false;
    bool ok = gcry_cipher_setkey(*h, key, kSivKeySize) == 0;
    for (size_t i = 0; ok && i < adCount; ++i) ok = gcry_cipher_authenticate(*h, ad[i].data, ad[i].size) == 0;
    if (!ok) gcry_cipher_close(*h);
    return ok;
}

} // namespace

bool PrimInit() {
    return GcryptReady();
}

bool PrimRandom(unsigned char* out, size_t size) {
    if (!PrimInit()) return false;
    gcry_randomize(out, size, GCRY_STRONG_RANDOM);
    return true;
}

bool PrimPbkdf2Sha256(const unsigned char* password, size_t passwordSize, const unsigned char* salt, size_t saltSize,
                      unsigned long iterations, unsigned char* key, size_t keySize) {
    if (!PrimInit()) return false;
    static const unsigned char empty[1] = {0};
    return gcry_kdf_derive(passwordSize ? password : empty, passwordSize, GCRY_KDF_PBKDF2, GCRY_MD_SHA256,
                           saltSize ? salt : empty, saltSize, iterations, keySize, key) == 0;
}

bool PrimHmacSha256(const unsigned char* key, size_t keySize, const unsigned char* data, size_t dataSize,
                    unsigned char mac[32]) {
    if (!PrimInit()) return false;
    SivAd part = {data, dataSize};
    return Mac(key, keySize, &part, 1, mac);
}

bool PrimHkdfSha256(const unsigned char* key, size_t keySize, const unsigned char* info, size_t infoSize,
                    unsigned char* out, size_t outSize) {
    if (!PrimInit() || outSize > 255 * 32) return false;
    unsigned char zeros[32] = {0}, prk[32], t[32];
    SivAd ikm = {key, keySize};
    if (!Mac(zeros, sizeof zeros, &ikm, 1, prk)) return false;
    bool ok = true;
    size_t done = 0;
    for (unsigned char i = 1; ok && done < outSize; ++i) {
        SivAd parts[3] = {{t, i == 1 ? 0u : sizeof t}, {info, infoSize}, {&i, 1}};
        ok = Mac(prk, sizeof prk, parts, 3, t);
        size_t n = outSize - done < sizeof t ? outSize - done : sizeof t;
        if (ok) memcpy(out + done, t, n);
        done += n;
    }
    PrimCleanse(prk, sizeof prk);
    PrimCleanse(t, sizeof t);
    return ok;
}

bool PrimSivSeal(const unsigned char key[kSivKeySize], const SivAd* ad, size_t adCount, const unsigned char* in,
                 size_t inSize, unsigned char tag[kSivTagSize], unsigned char* out) {
    if (!PrimInit() || inSize == 0) return false;
    gcry_cipher_hd_t h;
    if (!SivOpenHandle(&h, key, ad, adCount)) return false;
    bool ok = gcry_cipher_encrypt(h, out, inSize, in, inSize) == 0 && gcry_cipher_gettag(h, tag, kSivTagSize) == 0;
    gcry_cipher_close(h);
    return ok;
}

bool PrimSivOpen(const unsigned char key[kSivKeySize], const SivAd* ad, size_t adCount,
                 const unsigned char tag[kSivTagSize], const unsigned char* in, size_t inSize, unsigned char* out) {
    if (!PrimInit() || inSize == 0) return false;
    gcry_cipher_hd_t h;
    if (!SivOpenHandle(&h, key, ad, adCount)) return false;
    bool ok = gcry_cipher_set_decryption_tag(h, tag, kSivTagSize) == 0 &&
              gcry_cipher_decrypt(h, out, inSize, in, inSize) == 0;
    gcry_cipher_close(h);
    if (!ok) PrimCleanse(out, inSize);
    return ok;
}

void PrimCleanse(void* p, size_t size) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (size--) *v++ = 0;
}

bool PrimEqual(const void* a, const void* b, size_t size) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    unsigned char diff = 0;
    for (size_t i = 0; i < size; ++i) diff |= x[i] ^ y[i];
    return diff == 0;
}

} // namespace kry10
