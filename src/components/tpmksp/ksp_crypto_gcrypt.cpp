/*
 * The provider's primitives over libgcrypt (the Windows build). Keys travel as
 * libgcrypt's canonical S-expressions: "(public-key (rsa (n) (e)))" and
 * "(private-key (rsa (n) (e) (d) (p) (q) (u)))"; a decoded key must re-encode
 * to exactly the bytes it came from, so no trailing or alternative form passes.
 */
#include "ksp_crypto.h"

#include <climits>
#include <cstring>
#include <mutex>

#include "GcryptReady.h"

namespace tpmksp {

namespace {

constexpr unsigned long kPublicExponent = 65537;

bool Ready() {
    return GcryptReady();
}

struct SexpFree {
    void operator()(gcry_sexp_t p) const { gcry_sexp_release(p); }
};
using SexpPtr = std::unique_ptr<gcry_sexp, SexpFree>;
struct MpiFree {
    void operator()(gcry_mpi_t p) const { gcry_mpi_release(p); }
};
using MpiPtr = std::unique_ptr<gcry_mpi, MpiFree>;
struct CipherFree {
    void operator()(gcry_cipher_hd_t p) const { gcry_cipher_close(p); }
};
using CipherPtr = std::unique_ptr<gcry_cipher_handle, CipherFree>;

/* The named parameter of an "(rsa ...)" key as an unsigned MPI. */
MpiPtr Param(gcry_sexp_t key, const char* name) {
    SexpPtr token(gcry_sexp_find_token(key, name, 0));
    return MpiPtr(token ? gcry_sexp_nth_mpi(token.get(), 1, GCRYMPI_FMT_USG) : nullptr);
}

/* Checks an RSA-2048 key with e = 65537 of the given kind ("public-key" or "private-key"). */
bool IsOurRsaKey(gcry_sexp_t key, const char* kind) {
    SexpPtr head(gcry_sexp_nth(key, 0));
    size_t len = 0;
    const char* car = gcry_sexp_nth_data(key, 0, &len);
    (void)head;
    if (!car || len != strlen(kind) || memcmp(car, kind, len) != 0) return false;
    if (!gcry_sexp_find_token(key, "rsa", 0)) return false;
    if (gcry_pk_get_nbits(key) != kRsaBits) return false;
    MpiPtr e = Param(key, "e");
    MpiPtr expected(gcry_mpi_set_ui(nullptr, kPublicExponent));
    if (!e || !expected || gcry_mpi_cmp(e.get(), expected.get()) != 0) return false;
    bool isPrivate = strcmp(kind, "private-key") == 0;
    if (isPrivate) return gcry_pk_testkey(key) == 0;
    /* A product of two odd primes is odd; an even modulus decodes but cannot wrap anything. */
    MpiPtr n = Param(key, "n");
    return n && gcry_mpi_test_bit(n.get(), 0) && !gcry_sexp_find_token(key, "d", 0);
}

/* The canonical encoding of a key. libgcrypt counts a terminating NUL in the
 * size it asks for and writes one after the encoding. */
DWORD Canonical(gcry_sexp_t key, SecureBytes& out) {
    size_t need = gcry_sexp_sprint(key, GCRYSEXP_FMT_CANON, nullptr, 0);
    if (need < 2) return Nte(NTE_FAIL);
    SecureBytes buf(need);
    size_t len = gcry_sexp_sprint(key, GCRYSEXP_FMT_CANON, reinterpret_cast<char*>(buf.data()), need);
    if (len == 0 || len >= need) return Nte(NTE_FAIL);
    buf.truncate(len);
    out = std::move(buf);
    return ERROR_SUCCESS;
}

DWORD Canonical(gcry_sexp_t key, Bytes& out) {
    SecureBytes buf;
    DWORD err = Canonical(key, buf);
    if (err == ERROR_SUCCESS) out.assign(buf.data(), buf.data() + buf.size());
    return err;
}

DWORD Decode(const BYTE* data, size_t size, const char* kind, DWORD refusal, PkeyPtr& key) {
    if (!Ready()) return Nte(NTE_FAIL);
    if (size == 0 || size > 64 * 1024) return refusal;
    gcry_sexp_t raw = nullptr;
    if (gcry_sexp_new(&raw, data, size, 0) != 0 || !raw) return refusal;
    PkeyPtr k(raw);
    if (!IsOurRsaKey(k.get(), kind)) return refusal;
    SecureBytes again;
    if (Canonical(k.get(), again) != ERROR_SUCCESS || again.size() != size ||
        memcmp(again.data(), data, size) != 0)
        return refusal;
    key = std::move(k);
    return ERROR_SUCCESS;
}

} // namespace

/* ---- wiping and comparing ------------------------------------------------ */

void Cleanse(void* p, size_t size) {
    if (p && size) SecureZeroMemory(p, size);
}

bool ConstantTimeEqual(const void* a, const void* b, size_t size) {
    const BYTE* x = static_cast<const BYTE*>(a);
    const BYTE* y = static_cast<const BYTE*>(b);
    BYTE diff = 0;
    for (size_t i = 0; i < size; ++i) diff |= x[i] ^ y[i];
    return diff == 0;
}

void RsaKeyFree::operator()(RsaKeyRaw p) const {
    gcry_sexp_release(p);
}

/* ---- random, hash, KDF ---------------------------------------------------- */

DWORD RandomBytes(BYTE* out, size_t size) {
    if (size == 0) return ERROR_SUCCESS;
    if (!Ready()) return Nte(NTE_FAIL);
    gcry_randomize(out, size, GCRY_VERY_STRONG_RANDOM);
    return ERROR_SUCCESS;
}

void Sha256(const BYTE* data, size_t size, BYTE out[kSha256Size]) {
    if (!Ready()) {
        memset(out, 0, kSha256Size);
        return;
    }
    gcry_md_hash_buffer(GCRY_MD_SHA256, out, data, size);
}

DWORD DeriveKey(const SecureBytes& password, const BYTE* salt, size_t saltSize, const KdfParams& kdf,
                SecureBytes& key) {
    if (!KdfParamsAcceptable(kdf)) return Nte(NTE_BAD_DATA);
    /* libgcrypt's scrypt has r = 8, the only value this provider writes. */
    if (kdf.r != 8) return Nte(NTE_BAD_DATA);
    if (!Ready()) return Nte(NTE_FAIL);
    static const BYTE kEmpty = 0;
    SecureBytes out(kAesKeySize);
    if (gcry_kdf_derive(password.empty() ? &kEmpty : password.data(), password.size(), GCRY_KDF_SCRYPT,
                        1 << kdf.log2N, salt, saltSize, kdf.p, out.size(), out.data()) != 0)
        return Nte(NTE_FAIL);
    key = std::move(out);
    return ERROR_SUCCESS;
}

/* ---- AES-256-GCM ---------------------------------------------------------- */

namespace {
DWORD GcmHandle(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
                CipherPtr& out) {
    if (!Ready()) return Nte(NTE_FAIL);
    gcry_cipher_hd_t h = nullptr;
    if (gcry_cipher_open(&h, GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_GCM, GCRY_CIPHER_SECURE) != 0)
        return Nte(NTE_NO_MEMORY);
    CipherPtr c(h);
    if (gcry_cipher_setkey(h, key.data(), key.size()) != 0 || gcry_cipher_setiv(h, nonce, kGcmNonceSize) != 0 ||
        (aadSize && gcry_cipher_authenticate(h, aad, aadSize) != 0))
        return Nte(NTE_FAIL);
    out = std::move(c);
    return ERROR_SUCCESS;
}
} // namespace

DWORD GcmSealCipher(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
                    const BYTE* plain, size_t plainSize, BYTE* out) {
    CipherPtr c;
    DWORD err = GcmHandle(key, nonce, aad, aadSize, c);
    if (err != ERROR_SUCCESS) return err;
    if (gcry_cipher_final(c.get()) != 0 || gcry_cipher_encrypt(c.get(), out, plainSize, plain, plainSize) != 0 ||
        gcry_cipher_gettag(c.get(), out + plainSize, kGcmTagSize) != 0)
        return Nte(NTE_FAIL);
    return ERROR_SUCCESS;
}

DWORD GcmOpenCipher(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
                    const BYTE* cipher, size_t cipherSize, const BYTE tag[kGcmTagSize], BYTE* plain) {
    CipherPtr c;
    DWORD err = GcmHandle(key, nonce, aad, aadSize, c);
    if (err != ERROR_SUCCESS) return err;
    if (gcry_cipher_final(c.get()) != 0 || gcry_cipher_decrypt(c.get(), plain, cipherSize, cipher, cipherSize) != 0)
        return Nte(NTE_FAIL);
    if (gcry_cipher_checktag(c.get(), tag, kGcmTagSize) != 0) return Nte(NTE_BAD_DATA);
    return ERROR_SUCCESS;
}

/* ---- RSA ------------------------------------------------------------------ */

DWORD GenerateRsaKey(PkeyPtr& key) {
    if (!Ready()) return Nte(NTE_FAIL);
    gcry_sexp_t keyParams = nullptr, pair = nullptr;
    if (gcry_sexp_build(&keyParams, nullptr, "(genkey (rsa (nbits 4:2048) (rsa-use-e %u)))",
                        static_cast<unsigned>(kPublicExponent)) != 0)
        return Nte(NTE_NO_MEMORY);
    SexpPtr paramsHolder(keyParams);
    if (gcry_pk_genkey(&pair, keyParams) != 0) return Nte(NTE_FAIL);
    SexpPtr pairHolder(pair);
    gcry_sexp_t priv = gcry_sexp_find_token(pair, "private-key", 0);
    if (!priv) return Nte(NTE_FAIL);
    key.reset(priv);
    return ERROR_SUCCESS;
}

DWORD EncodePublicKey(RsaKeyRaw key, Bytes& der) {
    if (!Ready()) return Nte(NTE_FAIL);
    MpiPtr n = Param(key, "n"), e = Param(key, "e");
    if (!n || !e) return Nte(NTE_FAIL);
    gcry_sexp_t pub = nullptr;
    if (gcry_sexp_build(&pub, nullptr, "(public-key (rsa (n %m) (e %m)))", n.get(), e.get()) != 0)
        return Nte(NTE_NO_MEMORY);
    SexpPtr holder(pub);
    return Canonical(pub, der);
}

DWORD DecodePublicKey(const BYTE* der, size_t size, PkeyPtr& key) {
    return Decode(der, size, "public-key", Nte(NTE_BAD_PUBLIC_KEY), key);
}

DWORD EncodePrivateKey(RsaKeyRaw key, SecureBytes& der) {
    if (!Ready()) return Nte(NTE_FAIL);
    return Canonical(key, der);
}

DWORD DecodePrivateKey(const SecureBytes& der, PkeyPtr& key) {
    return Decode(der.data(), der.size(), "private-key", Nte(NTE_BAD_KEY), key);
}

bool SameKeyPair(RsaKeyRaw privateKey, RsaKeyRaw publicKey) {
    MpiPtr n1 = Param(privateKey, "n"), e1 = Param(privateKey, "e");
    MpiPtr n2 = Param(publicKey, "n"), e2 = Param(publicKey, "e");
    return n1 && e1 && n2 && e2 && gcry_mpi_cmp(n1.get(), n2.get()) == 0 && gcry_mpi_cmp(e1.get(), e2.get()) == 0;
}

DWORD OaepEncrypt(RsaKeyRaw publicKey, const BYTE* plain, size_t plainSize, Bytes& out) {
    if (!Ready()) return Nte(NTE_FAIL);
    /* OAEP with SHA-256 fits at most k - 2*32 - 2 bytes. */
    if (plainSize > kRsaBytes - 2 * kSha256Size - 2) return Nte(NTE_BAD_LEN);
    gcry_sexp_t data = nullptr, enc = nullptr;
    if (gcry_sexp_build(&data, nullptr, "(data (flags oaep) (hash-algo sha256) (value %b))",
                        static_cast<int>(plainSize), plainSize ? plain : reinterpret_cast<const BYTE*>("")) != 0)
        return Nte(NTE_NO_MEMORY);
    SexpPtr dataHolder(data);
    if (gcry_pk_encrypt(&enc, data, publicKey) != 0) return Nte(NTE_FAIL);
    SexpPtr encHolder(enc);
    MpiPtr a = Param(enc, "a");
    if (!a) return Nte(NTE_FAIL);
    size_t len = 0;
    Bytes buf(kRsaBytes);
    if (gcry_mpi_print(GCRYMPI_FMT_USG, buf.data(), buf.size(), &len, a.get()) != 0 || len > kRsaBytes)
        return Nte(NTE_FAIL);
    /* Big-endian, left-padded to the modulus size. */
    memmove(buf.data() + (kRsaBytes - len), buf.data(), len);
    memset(buf.data(), 0, kRsaBytes - len);
    out = std::move(buf);
    return ERROR_SUCCESS;
}

DWORD OaepDecrypt(RsaKeyRaw privateKey, const BYTE* in, size_t inSize, SecureBytes& out) {
    if (inSize != kRsaBytes) return Nte(NTE_BAD_DATA);
    if (!Ready()) return Nte(NTE_FAIL);
    gcry_sexp_t enc = nullptr, plain = nullptr;
    if (gcry_sexp_build(&enc, nullptr, "(enc-val (flags oaep) (hash-algo sha256) (rsa (a %b)))",
                        static_cast<int>(inSize), in) != 0)
        return Nte(NTE_NO_MEMORY);
    SexpPtr encHolder(enc);
    if (gcry_pk_decrypt(&plain, enc, privateKey) != 0) return Nte(NTE_BAD_DATA);
    SexpPtr plainHolder(plain);
    size_t len = 0;
    const char* value = gcry_sexp_nth_data(plain, 1, &len);
    if (!value) return Nte(NTE_BAD_DATA);
    SecureBytes buf(reinterpret_cast<const BYTE*>(value), len);
    out = std::move(buf);
    return ERROR_SUCCESS;
}

} // namespace tpmksp
