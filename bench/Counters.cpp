#include "Counters.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "Kry10.h"

namespace bench {
namespace {

std::atomic<bool> g_on{false};
std::atomic<uint64_t> g_pbkdf2, g_hmac, g_hmacBytes, g_aes, g_kdf, g_keygen, g_enc, g_dec, g_fileFlush,
    g_folderFlush, g_rename, g_unlink;
std::atomic<uint64_t> g_flushNs{0}; /* always counted: two clock reads per flush */

uint64_t MonoNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

inline bool On() { return g_on.load(std::memory_order_relaxed); }
inline void Bump(std::atomic<uint64_t>& c, uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }

template <class F> F Next(const char* name) {
    static_assert(sizeof(F) == sizeof(void*), "function pointer");
    void* p = dlsym(RTLD_NEXT, name);
    F f;
    __builtin_memcpy(&f, &p, sizeof f);
    return f;
}

void CountFlush(int fd) {
    if (!On()) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) Bump(g_folderFlush);
    else Bump(g_fileFlush);
}

} // namespace

void CountWindowBegin() {
    for (auto* c : {&g_pbkdf2, &g_hmac, &g_hmacBytes, &g_aes, &g_kdf, &g_keygen, &g_enc, &g_dec, &g_fileFlush,
                    &g_folderFlush, &g_rename, &g_unlink})
        c->store(0, std::memory_order_relaxed);
    g_on.store(true);
}

double FlushSeconds() { return static_cast<double>(g_flushNs.load(std::memory_order_relaxed)) * 1e-9; }

Counts CountWindowEnd() {
    g_on.store(false);
    Counts c;
    c.pbkdf2 = g_pbkdf2;
    c.hmac = g_hmac;
    c.hmacBytes = g_hmacBytes;
    c.aes = g_aes;
    c.passwordKdf = g_kdf;
    c.rsaKeygen = g_keygen;
    c.rsaEncrypt = g_enc;
    c.rsaDecrypt = g_dec;
    c.fileFlushes = g_fileFlush;
    c.folderFlushes = g_folderFlush;
    c.renames = g_rename;
    c.unlinks = g_unlink;
    return c;
}

} // namespace bench

using namespace bench;

extern "C" {

LONG KRY_Pbkdf2Compute(const BYTE* pw, LONG cbPw, const BYTE* salt, LONG cbSalt, LONG iterations, BYTE* key,
                       LONG cbKey) {
    static auto next = Next<decltype(&KRY_Pbkdf2Compute)>("KRY_Pbkdf2Compute");
    if (On()) Bump(g_pbkdf2);
    return next(pw, cbPw, salt, cbSalt, iterations, key, cbKey);
}

LONG KRY_HmacSha256Compute(const BYTE* key, LONG cbKey, const BYTE* data, DWORD cbData, BYTE* mac) {
    static auto next = Next<decltype(&KRY_HmacSha256Compute)>("KRY_HmacSha256Compute");
    if (On()) {
        Bump(g_hmac);
        Bump(g_hmacBytes, cbData);
    }
    return next(key, cbKey, data, cbData, mac);
}

LONG KRY_AesEncrypt(KRY_CIPHER cipher, KRY_STREAM in, KRY_STREAM out) {
    static auto next = Next<decltype(&KRY_AesEncrypt)>("KRY_AesEncrypt");
    if (On()) Bump(g_aes);
    return next(cipher, in, out);
}

LONG KRY_AesDecrypt(KRY_CIPHER cipher, KRY_STREAM in, KRY_STREAM out) {
    static auto next = Next<decltype(&KRY_AesDecrypt)>("KRY_AesDecrypt");
    if (On()) Bump(g_aes);
    return next(cipher, in, out);
}

int EVP_KDF_derive(EVP_KDF_CTX* ctx, unsigned char* key, size_t keylen, const OSSL_PARAM params[]) {
    static auto next = Next<decltype(&EVP_KDF_derive)>("EVP_KDF_derive");
    if (On() && ctx) {
        const char* name = EVP_KDF_get0_name(EVP_KDF_CTX_kdf(ctx));
        if (name && (strcasecmp(name, "SCRYPT") == 0 || strcasecmp(name, "id-scrypt") == 0)) Bump(g_kdf);
    }
    return next(ctx, key, keylen, params);
}

int EVP_PKEY_generate(EVP_PKEY_CTX* ctx, EVP_PKEY** ppkey) {
    static auto next = Next<decltype(&EVP_PKEY_generate)>("EVP_PKEY_generate");
    if (On()) Bump(g_keygen);
    return next(ctx, ppkey);
}

int EVP_PKEY_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen) {
    static auto next = Next<decltype(&EVP_PKEY_encrypt)>("EVP_PKEY_encrypt");
    if (On() && out) Bump(g_enc);
    return next(ctx, out, outlen, in, inlen);
}

int EVP_PKEY_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen) {
    static auto next = Next<decltype(&EVP_PKEY_decrypt)>("EVP_PKEY_decrypt");
    if (On() && out) Bump(g_dec);
    return next(ctx, out, outlen, in, inlen);
}

int fsync(int fd) {
    CountFlush(fd);
    const uint64_t t0 = MonoNs();
    const int rc = static_cast<int>(syscall(SYS_fsync, fd));
    Bump(g_flushNs, MonoNs() - t0);
    return rc;
}

int fdatasync(int fd) {
    CountFlush(fd);
    const uint64_t t0 = MonoNs();
    const int rc = static_cast<int>(syscall(SYS_fdatasync, fd));
    Bump(g_flushNs, MonoNs() - t0);
    return rc;
}

int rename(const char* from, const char* to) noexcept {
    static auto next = Next<int (*)(const char*, const char*)>("rename");
    if (On()) Bump(g_rename);
    return next(from, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) noexcept {
    static auto next = Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    if (On()) Bump(g_rename);
    return next(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) noexcept {
    static auto next = Next<int (*)(const char*)>("unlink");
    if (On()) Bump(g_unlink);
    return next(path);
}

int rmdir(const char* path) noexcept {
    static auto next = Next<int (*)(const char*)>("rmdir");
    if (On()) Bump(g_unlink);
    return next(path);
}

} // extern "C"
