/* The provider's primitives over OpenSSL 3 EVP. */
#include "ksp_crypto.h"

#include <climits>
#include <cstring>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/encoder.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace tpmksp {

namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct KdfFree {
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
struct EncoderCtxFree {
    void operator()(OSSL_ENCODER_CTX* p) const { OSSL_ENCODER_CTX_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* p) const { BN_free(p); }
};

using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

constexpr uint64_t kMaxKdfMemory = 256ull << 20; /* as KdfParamsAcceptable's bound */

bool SetOaep(EVP_PKEY_CTX* ctx) {
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
           EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0;
}

} // namespace

/* ---- random, hash, KDF ---------------------------------------------------- */

DWORD RandomBytes(BYTE* out, size_t size) {
    if (size == 0) return ERROR_SUCCESS;
    if (size > INT_MAX) return ERROR_INVALID_PARAMETER;
    return RAND_priv_bytes(out, static_cast<int>(size)) == 1 ? ERROR_SUCCESS : Nte(NTE_FAIL);
}

void Sha256(const BYTE* data, size_t size, BYTE out[kSha256Size]) {
    unsigned int len = 0;
    if (EVP_Digest(data, size, out, &len, EVP_sha256(), nullptr) != 1) memset(out, 0, kSha256Size);
}

DWORD DeriveKey(const SecureBytes& password, const BYTE* salt, size_t saltSize, const KdfParams& kdf,
                SecureBytes& key) {
    if (!KdfParamsAcceptable(kdf)) return Nte(NTE_BAD_DATA);
    std::unique_ptr<EVP_KDF, KdfFree> alg(EVP_KDF_fetch(nullptr, "SCRYPT", nullptr));
    if (!alg) return Nte(NTE_FAIL);
    std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(alg.get()));
    if (!ctx) return Nte(NTE_NO_MEMORY);

    static const BYTE kEmpty = 0; // OpenSSL wants a pointer even for an empty password
    uint64_t n = 1ull << kdf.log2N;
    uint32_t r = kdf.r, p = kdf.p;
    uint64_t maxmem = kMaxKdfMemory * 2;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD,
                                          const_cast<BYTE*>(password.empty() ? &kEmpty : password.data()),
                                          password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<BYTE*>(salt), saltSize),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
        OSSL_PARAM_construct_end(),
    };
    SecureBytes out(kAesKeySize);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) return Nte(NTE_FAIL);
    key = std::move(out);
    return ERROR_SUCCESS;
}

/* ---- AES-256-GCM ---------------------------------------------------------- */

DWORD GcmSealCipher(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
                    const BYTE* plain, size_t plainSize, BYTE* out) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return Nte(NTE_NO_MEMORY);
    int len = 0;
    if (EVP_EncryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), key.data(), nonce, nullptr) != 1)
        return Nte(NTE_FAIL);
    if (aadSize && EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad, static_cast<int>(aadSize)) != 1)
        return Nte(NTE_FAIL);
    if (plainSize && EVP_EncryptUpdate(ctx.get(), out, &len, plain, static_cast<int>(plainSize)) != 1)
        return Nte(NTE_FAIL);
    if (EVP_EncryptFinal_ex(ctx.get(), out + plainSize, &len) != 1) return Nte(NTE_FAIL);
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kGcmTagSize, out + plainSize) != 1)
        return Nte(NTE_FAIL);
    return ERROR_SUCCESS;
}

DWORD GcmOpenCipher(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
                    const BYTE* cipher, size_t cipherSize, const BYTE tag[kGcmTagSize], BYTE* plain) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return Nte(NTE_NO_MEMORY);
    int len = 0;
    BYTE tagCopy[kGcmTagSize];
    memcpy(tagCopy, tag, kGcmTagSize);
    if (EVP_DecryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), key.data(), nonce, nullptr) != 1)
        return Nte(NTE_FAIL);
    if (aadSize && EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad, static_cast<int>(aadSize)) != 1)
        return Nte(NTE_FAIL);
    if (cipherSize && EVP_DecryptUpdate(ctx.get(), plain, &len, cipher, static_cast<int>(cipherSize)) != 1)
        return Nte(NTE_FAIL);
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kGcmTagSize, tagCopy) != 1) return Nte(NTE_FAIL);
    BYTE finalBlock[16];
    if (EVP_DecryptFinal_ex(ctx.get(), finalBlock, &len) != 1) return Nte(NTE_BAD_DATA);
    return ERROR_SUCCESS;
}

/* ---- RSA ------------------------------------------------------------------ */

DWORD GenerateRsaKey(PkeyPtr& key) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx) return Nte(NTE_NO_MEMORY);
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kRsaBits) != 1)
        return Nte(NTE_FAIL);
    std::unique_ptr<BIGNUM, BnFree> e(BN_new());
    if (!e || BN_set_word(e.get(), RSA_F4) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1)
        return Nte(NTE_FAIL);
    RsaKeyRaw raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) != 1) return Nte(NTE_FAIL);
    key.reset(raw);
    return ERROR_SUCCESS;
}

DWORD EncodePublicKey(RsaKeyRaw key, Bytes& der) {
    int len = i2d_PUBKEY(key, nullptr);
    if (len <= 0) return Nte(NTE_FAIL);
    Bytes out(static_cast<size_t>(len));
    BYTE* p = out.data();
    if (i2d_PUBKEY(key, &p) != len) return Nte(NTE_FAIL);
    der = std::move(out);
    return ERROR_SUCCESS;
}

DWORD DecodePublicKey(const BYTE* der, size_t size, PkeyPtr& key) {
    if (size == 0 || size > LONG_MAX) return Nte(NTE_BAD_PUBLIC_KEY);
    const BYTE* p = der;
    PkeyPtr k(d2i_PUBKEY(nullptr, &p, static_cast<long>(size)));
    if (!k || p != der + size) return Nte(NTE_BAD_PUBLIC_KEY);
    if (!EVP_PKEY_is_a(k.get(), "RSA") || EVP_PKEY_get_bits(k.get()) != static_cast<int>(kRsaBits))
        return Nte(NTE_BAD_PUBLIC_KEY);
    BIGNUM* e = nullptr;
    if (EVP_PKEY_get_bn_param(k.get(), OSSL_PKEY_PARAM_RSA_E, &e) != 1) return Nte(NTE_BAD_PUBLIC_KEY);
    std::unique_ptr<BIGNUM, BnFree> eHolder(e);
    if (!BN_is_word(e, RSA_F4)) return Nte(NTE_BAD_PUBLIC_KEY);
    /* A product of two odd primes is odd; an even modulus decodes but cannot wrap anything, so it
     * is refused here, where the container is read. (Not EVP_PKEY_public_check: its primality
     * test takes random bases, and a crafted modulus could pass one read and fail the next.) */
    BIGNUM* n = nullptr;
    if (EVP_PKEY_get_bn_param(k.get(), OSSL_PKEY_PARAM_RSA_N, &n) != 1) return Nte(NTE_BAD_PUBLIC_KEY);
    std::unique_ptr<BIGNUM, BnFree> nHolder(n);
    if (!BN_is_odd(n)) return Nte(NTE_BAD_PUBLIC_KEY);
    key = std::move(k);
    return ERROR_SUCCESS;
}

DWORD EncodePrivateKey(RsaKeyRaw key, SecureBytes& der) {
    std::unique_ptr<OSSL_ENCODER_CTX, EncoderCtxFree> ctx(
        OSSL_ENCODER_CTX_new_for_pkey(key, OSSL_KEYMGMT_SELECT_KEYPAIR, "DER", "PrivateKeyInfo", nullptr));
    if (!ctx) return Nte(NTE_FAIL);
    unsigned char* buf = nullptr;
    size_t len = 0;
    if (OSSL_ENCODER_to_data(ctx.get(), &buf, &len) != 1 || !buf) return Nte(NTE_FAIL);
    der.assign(buf, len);
    OPENSSL_clear_free(buf, len);
    return ERROR_SUCCESS;
}

DWORD DecodePrivateKey(const SecureBytes& der, PkeyPtr& key) {
    if (der.empty() || der.size() > LONG_MAX) return Nte(NTE_BAD_KEY);
    const BYTE* p = der.data();
    PkeyPtr k(d2i_AutoPrivateKey_ex(nullptr, &p, static_cast<long>(der.size()), nullptr, nullptr));
    if (!k || p != der.data() + der.size()) return Nte(NTE_BAD_KEY);
    if (!EVP_PKEY_is_a(k.get(), "RSA") || EVP_PKEY_get_bits(k.get()) != static_cast<int>(kRsaBits))
        return Nte(NTE_BAD_KEY);
    key = std::move(k);
    return ERROR_SUCCESS;
}

DWORD OaepEncrypt(RsaKeyRaw publicKey, const BYTE* plain, size_t plainSize, Bytes& out) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, publicKey, nullptr));
    if (!ctx) return Nte(NTE_NO_MEMORY);
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 || !SetOaep(ctx.get())) return Nte(NTE_FAIL);
    size_t len = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain, plainSize) != 1) return Nte(NTE_BAD_LEN);
    Bytes buf(len);
    if (EVP_PKEY_encrypt(ctx.get(), buf.data(), &len, plain, plainSize) != 1) return Nte(NTE_FAIL);
    if (len != kRsaBytes) return Nte(NTE_FAIL);
    buf.resize(len);
    out = std::move(buf);
    return ERROR_SUCCESS;
}

DWORD OaepDecrypt(RsaKeyRaw privateKey, const BYTE* in, size_t inSize, SecureBytes& out) {
    if (inSize != kRsaBytes) return Nte(NTE_BAD_DATA);
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, privateKey, nullptr));
    if (!ctx) return Nte(NTE_NO_MEMORY);
    if (EVP_PKEY_decrypt_init(ctx.get()) != 1 || !SetOaep(ctx.get())) return Nte(NTE_FAIL);
    SecureBytes buf(kRsaBytes);
    size_t len = buf.size();
    if (EVP_PKEY_decrypt(ctx.get(), buf.data(), &len, in, inSize) != 1) return Nte(NTE_BAD_DATA);
    buf.truncate(len);
    out = std::move(buf);
    return ERROR_SUCCESS;
}

/* ---- wiping and comparing ------------------------------------------------ */

void Cleanse(void* p, size_t size) {
    OPENSSL_cleanse(p, size);
}

bool ConstantTimeEqual(const void* a, const void* b, size_t size) {
    return CRYPTO_memcmp(a, b, size) == 0;
}

void RsaKeyFree::operator()(RsaKeyRaw p) const {
    EVP_PKEY_free(p);
}

bool SameKeyPair(RsaKeyRaw privateKey, RsaKeyRaw publicKey) {
    return EVP_PKEY_eq(privateKey, publicKey) == 1;
}

} // namespace tpmksp
