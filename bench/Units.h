/*
 * The mandated cryptographic operations, their unit costs as this machine runs
 * them, and the floor of an export: the sum over its operations of count x unit
 * cost. Symmetric operations run through the crypto library (KRY_*) exactly as
 * the core brackets them; the key provider's primitives (RSA key generation,
 * RSA-OAEP with SHA-256, AES-256-GCM, and its password-hardening KDF with the
 * parameters read from a container it wrote) run through OpenSSL, which is what
 * the provider calls.
 */
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

enum class OpKind {
    Pbkdf2,     /* GenAESKey: PBKDF2-HMAC-SHA256, 1000 iterations, 32-byte salt and key */
    Hmac,       /* GenerateHMAC over `bytes` */
    AesEncrypt, /* EncryptWithAES of `bytes` of plaintext */
    AesDecrypt, /* DecryptWithAES of `bytes` of ciphertext */
    GcmSeal,    /* the provider's AES-256-GCM over `bytes` (CryptEncrypt, sealing a key) */
    GcmOpen,    /* its inverse over `bytes` of plaintext */
    RsaKeygen,  /* RSA-2048, e = 65537 */
    OaepWrap,   /* RSA-OAEP encryption of a 32-byte AES key with the public key */
    OaepUnwrap, /* RSA-OAEP decryption with the private key */
    PasswordKdf /* the provider's password hardening: one derivation */
};

struct Op {
    OpKind kind;
    uint64_t bytes; /* for the size-dependent kinds */
    unsigned count;
};
using OpList = std::vector<Op>;

const char* OpName(OpKind kind);

/* cost(n) = fixed + perByte * n, fitted over several sizes. */
struct LinearCost {
    double fixed = 0;
    double perByte = 0;
    double At(uint64_t n) const { return fixed + perByte * static_cast<double>(n); }
};

struct KdfParams {
    unsigned log2N = 14, r = 8, p = 1;
};

/* Unit costs in seconds (medians). */
struct UnitCosts {
    double pbkdf2 = 0;
    LinearCost hmac, aesEncrypt, aesDecrypt, gcmSeal, gcmOpen;
    double rsaKeygen = 0, oaepWrap = 0, oaepUnwrap = 0;
    double passwordKdf = 0;
    KdfParams kdf;
    size_t passwordKdfHeap = 0; /* peak heap of one derivation */
    unsigned aesOverhead = 0;   /* ciphertext bytes beyond the plaintext */
};

/* Measures every unit, as wall-clock and as CPU time of the thread; samples
 * scales the number of repetitions. */
void MeasureUnits(const KdfParams& kdf, unsigned samples, UnitCosts& wall, UnitCosts& cpu);

/* Floor of an operation list, in seconds; kdfPart receives the password-hardening term. */
double FloorOf(const UnitCosts& u, const OpList& ops, double* kdfPart);
/* Runs the operations for real, as a check of the model. Returns seconds. */
double ReplayOps(const UnitCosts& u, const OpList& ops);
/* "7 PBKDF2, 2 HMAC(1.3 KB) ..." */
std::string DescribeOps(const OpList& ops);

/* The durability units, on the file system of the store (wall-clock seconds):
 * a new file of n bytes written and flushed (open, write, fsync, close), its
 * rename over a file of n bytes, the flush of a folder after such a rename, and
 * an unlink of a flushed file of a blob's size. */
struct DurableUnits {
    LinearCost writeNew, rename;
    double folderFlush = 0, unlink = 0;
};
/* Measures them in a scratch folder made (and removed) below dir. */
DurableUnits MeasureDurableUnits(const std::string& dir, unsigned samples);
DurableUnits Lower(const DurableUnits& a, const DurableUnits& b);

/* Seconds on a monotonic clock, and of this thread's CPU time. */
double Now();
double CpuNow();
double Median(std::vector<double> v);
/* Least-squares line through (x, y); the fixed part kept non-negative. */
LinearCost LeastSquares(const std::vector<double>& x, const std::vector<double>& y);

} // namespace bench
