/*
 * Primitives shared by the provider and its backends, over OpenSSL 3 EVP
 * (ksp_crypto_openssl.cpp) or libgcrypt on Windows (ksp_crypto_gcrypt.cpp).
 * Every function returns ERROR_SUCCESS or an NTE_* / Win32 code as a DWORD and
 * fills its outputs only on success. Secrets travel in SecureBytes.
 */
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#ifdef _WIN32
struct gcry_sexp; /* an RSA key as libgcrypt's S-expression */
typedef struct gcry_sexp* RsaKeyRaw;
#else
#include <openssl/evp.h>
typedef EVP_PKEY* RsaKeyRaw;
#endif

#include "Wide.h"

namespace tpmksp {

/* NTE_* values are HRESULTs; the provider reports them through SetLastError. */
constexpr DWORD Nte(HRESULT hr) {
    return static_cast<DWORD>(hr);
}

using Bytes = std::vector<BYTE>;

/* Owns a fixed-size byte buffer that is cleansed when freed or replaced. */
class SecureBytes {
  public:
    SecureBytes() = default;
    explicit SecureBytes(size_t size);
    SecureBytes(const BYTE* data, size_t size);
    ~SecureBytes() { clear(); }
    SecureBytes(SecureBytes&& other) noexcept;
    SecureBytes& operator=(SecureBytes&& other) noexcept;
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;

    BYTE* data() { return m_data.get(); }
    const BYTE* data() const { return m_data.get(); }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    void assign(const BYTE* data, size_t size);
    /* Keeps the first size bytes (size <= this->size()); the rest is cleansed. */
    void truncate(size_t size);
    void clear();

  private:
    std::unique_ptr<BYTE[]> m_data;
    size_t m_size = 0;
};

struct RsaKeyFree {
    void operator()(RsaKeyRaw p) const;
};
using PkeyPtr = std::unique_ptr<std::remove_pointer_t<RsaKeyRaw>, RsaKeyFree>;

void Cleanse(void* p, size_t size);
bool ConstantTimeEqual(const void* a, const void* b, size_t size);

constexpr size_t kSha256Size = 32;
constexpr size_t kAesKeySize = 32;
constexpr size_t kGcmNonceSize = 12;
constexpr size_t kGcmTagSize = 16;
constexpr size_t kSaltSize = 32;
constexpr DWORD kRsaBits = 2048;
constexpr size_t kRsaBytes = kRsaBits / 8;

/* Memory-hard password KDF. Stored with every sealed item so that a later
 * release can raise the cost without breaking old files. */
struct KdfParams {
    uint32_t log2N;
    uint32_t r;
    uint32_t p;
};
/* N = 2^14, r = 8, p = 1: 16 MiB and roughly 40-50 ms per derivation here. */
constexpr KdfParams kDefaultKdf = {14, 8, 1};
/* Bounds for parameters read from a file: a hostile file must not make us
 * allocate gigabytes or spin for minutes, nor accept a trivially cheap KDF. */
bool KdfParamsAcceptable(const KdfParams& kdf);

DWORD RandomBytes(BYTE* out, size_t size);
void Sha256(const BYTE* data, size_t size, BYTE out[kSha256Size]);

DWORD DeriveKey(const SecureBytes& password, const BYTE* salt, size_t saltSize, const KdfParams& kdf,
                SecureBytes& key);

/* AES-256-GCM. Seal gives ciphertext || tag; Open fails with NTE_BAD_DATA when
 * the tag does not verify (wrong key or changed bytes) and leaves out empty. */
DWORD GcmSeal(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
              const BYTE* plain, size_t plainSize, BYTE* out /* plainSize + kGcmTagSize */);
DWORD GcmOpen(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
              const BYTE* sealed, size_t sealedSize, SecureBytes& out);
/* The library's half of the two, called with sizes already checked (key of
 * kAesKeySize, every length within INT_MAX); OpenCipher writes cipherSize bytes
 * to plain and fails with NTE_BAD_DATA on a tag that does not verify. */
DWORD GcmSealCipher(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
                    const BYTE* plain, size_t plainSize, BYTE* out);
DWORD GcmOpenCipher(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
                    const BYTE* cipher, size_t cipherSize, const BYTE tag[kGcmTagSize], BYTE* plain);

/* RSA-2048 with e = 65537. */
DWORD GenerateRsaKey(PkeyPtr& key);
/* DER SubjectPublicKeyInfo (libgcrypt: its canonical S-expression); Decode
 * accepts only an RSA-2048 key with e = 65537. */
DWORD EncodePublicKey(RsaKeyRaw key, Bytes& der);
DWORD DecodePublicKey(const BYTE* der, size_t size, PkeyPtr& key);
/* DER PKCS#8 PrivateKeyInfo (libgcrypt: its canonical S-expression). */
DWORD EncodePrivateKey(RsaKeyRaw key, SecureBytes& der);
DWORD DecodePrivateKey(const SecureBytes& der, PkeyPtr& key);
/* true when the private key belongs to the public key. */
bool SameKeyPair(RsaKeyRaw privateKey, RsaKeyRaw publicKey);

/* RSA-OAEP with SHA-256 and MGF1-SHA-256, empty label. Output is kRsaBytes. */
DWORD OaepEncrypt(RsaKeyRaw publicKey, const BYTE* plain, size_t plainSize, Bytes& out);
DWORD OaepDecrypt(RsaKeyRaw privateKey, const BYTE* in, size_t inSize, SecureBytes& out);

/* Little-endian layout helpers with bounds checks. */
class Writer {
  public:
    void U32(uint32_t v);
    void Raw(const BYTE* p, size_t n);
    void Raw(const Bytes& b) { Raw(b.data(), b.size()); }
    Bytes& bytes() { return m_out; }

  private:
    Bytes m_out;
};

class Reader {
  public:
    Reader(const BYTE* p, size_t n) : m_p(p), m_n(n) {}
    bool U32(uint32_t& v);
    /* Points into the input; false when fewer than n bytes remain. */
    bool Take(size_t n, const BYTE*& p);
    size_t offset() const { return m_off; }
    size_t remaining() const { return m_n - m_off; }

  private:
    const BYTE* m_p;
    size_t m_n;
    size_t m_off = 0;
};

/* UTF-16LE bytes of a name, independent of host byte order. */
Bytes NameBytes(const WString& name);
bool NameFromBytes(const BYTE* p, size_t n, WString& name);

/* A container name must be usable as a plain file name on every host: 1 to
 * kMaxContainerName characters, none of \ / : * ? " < > | or controls, no
 * leading or trailing space or dot (so never "." or ".."). */
constexpr size_t kMaxContainerName = 160; /* leaves the store path below MAX_PATH */
bool IsValidContainerName(LPCWSTR name);

/* UTF-16 to the ANSI code page, as the system converts passwords. */
DWORD WideToAnsi(LPCWSTR text, SecureBytes& out);

} // namespace tpmksp
