/* The crypto library's primitives over OpenSSL 3. */
#include "primitives.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>

namespace kry10 {

namespace {

/* RAII for the OpenSSL objects of one operation. */
struct CipherCtx {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-SIV", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherCtx() {
        EVP_CIPHER_CTX_free(ctx);
        EVP_CIPHER_free(cipher);
    }
    bool ok() const { return cipher && ctx; }
};

bool AddAd(EVP_CIPHER_CTX* ctx, const SivAd* ad, size_t adCount, bool encrypt) {
    for (size_t i = 0; i < adCount; ++i) {
        int outl = 0;
        if (ad[i].size > INT_MAX) return false;
        int rc = encrypt ? EVP_EncryptUpdate(ctx, nullptr, &outl, ad[i].data, static_cast<int>(ad[i].size))
                         : EVP_DecryptUpdate(ctx, nullptr, &outl, ad[i].data, static_cast<int>(ad[i].size));
        if (rc != 1) return false;
    }
    return true;
}

} // namespace

bool PrimInit() { return true; }

bool PrimRandom(unsigned char* out, size_t size) {
    while (size > 0) {
        int chunk = size > (1u << 20) ? (1 << 20) : static_cast<int>(size);
        if (RAND_bytes(out, chunk) != 1) return false;
        out += chunk;
        size -= static_cast<size_t>(chunk);
    }
    return true;
}

bool PrimPbkdf2Sha256(const unsigned char* password, size_t passwordSize, const unsigned char* salt, size_t saltSize,
                      unsigned long iterations, unsigned char* key, size_t keySize) {
    if (passwordSize > INT_MAX || saltSize > INT_MAX || iterations > INT_MAX || keySize > INT_MAX) return false;
    static const unsigned char empty[1] = {0};
    if (passwordSize == 0) password = empty;
    if (saltSize == 0) salt = empty;
    return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password), static_cast<int>(passwordSize), salt,
                             static_cast<int>(saltSize), static_cast<int>(iterations), EVP_sha256(),
                             static_cast<int>(keySize), key) == 1;
}

bool PrimHmacSha256(const unsigned char* key, size_t keySize, const unsigned char* data, size_t dataSize,
                    unsigned char mac[32]) {
    size_t macLen = 0;
    return EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key, keySize, data, dataSize, mac, 32, &macLen) &&
           macLen == 32;
}

bool PrimHkdfSha256(const unsigned char* key, size_t keySize, const unsigned char* info, size_t infoSize,
                    unsigned char* out, size_t outSize) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    if (!kdf) return false;
    EVP_KDF_CTX* kctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (!kctx) return false;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(key), keySize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<unsigned char*>(info), infoSize),
        OSSL_PARAM_construct_end(),
    };
    bool ok = EVP_KDF_derive(kctx, out, outSize, params) == 1;
    EVP_KDF_CTX_free(kctx);
    return ok;
}

bool PrimSivSeal(const unsigned char key[kSivKeySize], const SivAd* ad, size_t adCount, const unsigned char* in,
                 size_t inSize, unsigned char tag[kSivTagSize], unsigned char* out) {
    if (inSize == 0 || inSize > INT_MAX) return false;
    CipherCtx k;
    int outl = 0;
    if (!k.ok() || EVP_EncryptInit_ex2(k.ctx, k.cipher, key, nullptr, nullptr) != 1) return false;
    if (!AddAd(k.ctx, ad, adCount, true)) return false;
    if (EVP_EncryptUpdate(k.ctx, out, &outl, in, static_cast<int>(inSize)) != 1 || static_cast<size_t>(outl) != inSize)
        return false;
    int finl = 0;
    if (EVP_EncryptFinal_ex(k.ctx, out + outl, &finl) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(k.ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kSivTagSize), tag) == 1;
}

bool PrimSivOpen(const unsigned char key[kSivKeySize], const SivAd* ad, size_t adCount,
                 const unsigned char tag[kSivTagSize], const unsigned char* in, size_t inSize, unsigned char* out) {
    if (inSize == 0 || inSize > INT_MAX) return false;
    CipherCtx k;
    int outl = 0;
    if (!k.ok() || EVP_DecryptInit_ex2(k.ctx, k.cipher, key, nullptr, nullptr) != 1) return false;
    if (EVP_CIPHER_CTX_ctrl(k.ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kSivTagSize),
                            const_cast<unsigned char*>(tag)) != 1)
        return false;
    if (!AddAd(k.ctx, ad, adCount, false)) return false;
    if (EVP_DecryptUpdate(k.ctx, out, &outl, in, static_cast<int>(inSize)) != 1 || static_cast<size_t>(outl) != inSize)
        return false;
    int finl = 0;
    return EVP_DecryptFinal_ex(k.ctx, out + outl, &finl) == 1;
}

void PrimCleanse(void* p, size_t size) { OPENSSL_cleanse(p, size); }

bool PrimEqual(const void* a, const void* b, size_t size) { return CRYPTO_memcmp(a, b, size) == 0; }

} // namespace kry10
