#include "Units.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>

#include "HeapTrack.h"
#include "Kry10.h"

namespace bench {

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double CpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

LinearCost LeastSquares(const std::vector<double>& x, const std::vector<double>& y) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const double k = static_cast<double>(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    LinearCost c;
    c.perByte = (k * sxy - sx * sy) / (k * sxx - sx * sx);
    c.fixed = (sy - c.perByte * sx) / k;
    if (c.fixed < 0) c.fixed = 0;
    return c;
}

const char* OpName(OpKind kind) {
    switch (kind) {
    case OpKind::Pbkdf2: return "PBKDF2";
    case OpKind::Hmac: return "HMAC";
    case OpKind::AesEncrypt: return "AES-enc";
    case OpKind::AesDecrypt: return "AES-dec";
    case OpKind::GcmSeal: return "GCM-seal";
    case OpKind::GcmOpen: return "GCM-open";
    case OpKind::RsaKeygen: return "RSA-keygen";
    case OpKind::OaepWrap: return "OAEP-wrap";
    case OpKind::OaepUnwrap: return "OAEP-unwrap";
    case OpKind::PasswordKdf: return "password-KDF";
    }
    return "?";
}

namespace {

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("unit operation failed: ") + what);
}

/* The operations, each as the component that owns it performs it. */
class Executor {
  public:
    explicit Executor(const KdfParams& kdf) : m_kdf(kdf) {
        RAND_bytes(m_secret, sizeof m_secret);
        RAND_bytes(m_salt, sizeof m_salt);
        RAND_bytes(m_key, sizeof m_key);
    }
    ~Executor() { EVP_PKEY_free(m_rsa); }

    void Pbkdf2() {
        BYTE key[32];
        Check(KRY_Initialize() >= 0, "KRY_Initialize");
        LONG rc = KRY_Pbkdf2Compute(m_secret, sizeof m_secret, m_salt, sizeof m_salt, 1000, key, sizeof key);
        KRY_Uninitialize();
        Check(rc >= 0, "KRY_Pbkdf2Compute");
    }

    void Hmac(uint64_t n) {
        BYTE mac[32];
        const BYTE* data = Data(n);
        Check(KRY_Initialize() >= 0, "KRY_Initialize");
        LONG rc = KRY_HmacSha256Compute(m_key, sizeof m_key, data, static_cast<DWORD>(n), mac);
        KRY_Uninitialize();
        Check(rc >= 0, "KRY_HmacSha256Compute");
    }

    /* The whole stream sequence of EncryptWithAES / DecryptWithAES. */
    std::vector<BYTE> Aes(bool encrypt, const BYTE* input, uint64_t n) {
        Check(KRY_Initialize() >= 0, "KRY_Initialize");
        KRY_STREAM in = nullptr, out = nullptr;
        KRY_CIPHER cipher = nullptr;
        BYTE iv[32] = {0};
        std::vector<BYTE> result;
        bool ok = KRY_StreamCreateOnBuffer(const_cast<BYTE*>(input), static_cast<DWORD>(n), KRY_STREAM_READ, &in) >= 0 &&
                  KRY_StreamCreateOnBuffer(nullptr, 0, KRY_STREAM_WRITE, &out) >= 0 &&
                  KRY_AesCreate(0, 1, m_key, 32, iv, 32, &cipher) >= 0 &&
                  (encrypt ? KRY_AesEncrypt(cipher, in, out) : KRY_AesDecrypt(cipher, in, out)) >= 0;
        if (ok) {
            ULONGLONG len = 0;
            KRY_StreamLength(out, &len);
            result.resize(static_cast<size_t>(len));
            KRY_StreamSeek(out, 0, 0);
            if (len) KRY_StreamRead(out, result.data(), static_cast<DWORD>(len), 0, static_cast<DWORD>(len));
        }
        if (cipher) KRY_AesDestroy(cipher);
        if (out) KRY_StreamDestroy(out);
        if (in) KRY_StreamDestroy(in);
        KRY_Uninitialize();
        Check(ok, "KRY_Aes*");
        return result;
    }
    void AesEncrypt(uint64_t n) { Aes(true, Data(n), n); }
    void AesDecrypt(uint64_t plainBytes) {
        auto it = m_sealedSiv.find(plainBytes);
        if (it == m_sealedSiv.end())
            it = m_sealedSiv.emplace(plainBytes, Aes(true, Data(plainBytes), plainBytes)).first;
        Aes(false, it->second.data(), it->second.size());
    }

    std::vector<BYTE> Gcm(bool seal, const BYTE* input, uint64_t n) {
        static const BYTE nonce[12] = {0};
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        std::vector<BYTE> out(n + 16);
        int len = 0, fin = 0;
        bool ok = ctx != nullptr;
        if (seal) {
            ok = ok && EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, m_key, nonce) == 1 &&
                 EVP_EncryptUpdate(ctx, out.data(), &len, input, static_cast<int>(n)) == 1 &&
                 EVP_EncryptFinal_ex(ctx, out.data() + len, &fin) == 1 &&
                 EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + n) == 1;
        } else {
            const uint64_t m = n - 16;
            ok = ok && EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, m_key, nonce) == 1 &&
                 EVP_DecryptUpdate(ctx, out.data(), &len, input, static_cast<int>(m)) == 1 &&
                 EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<BYTE*>(input + m)) == 1 &&
                 EVP_DecryptFinal_ex(ctx, out.data() + len, &fin) == 1;
            out.resize(m);
        }
        EVP_CIPHER_CTX_free(ctx);
        Check(ok, "AES-256-GCM");
        return out;
    }
    void GcmSeal(uint64_t n) { Gcm(true, Data(n), n); }
    void GcmOpen(uint64_t plainBytes) {
        auto it = m_sealedGcm.find(plainBytes);
        if (it == m_sealedGcm.end())
            it = m_sealedGcm.emplace(plainBytes, Gcm(true, Data(plainBytes), plainBytes)).first;
        Gcm(false, it->second.data(), it->second.size());
    }

    EVP_PKEY* RsaKeygen() {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        BIGNUM* e = BN_new();
        EVP_PKEY* key = nullptr;
        bool ok = ctx && e && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048) == 1 &&
                  BN_set_word(e, RSA_F4) == 1 && EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1 &&
                  EVP_PKEY_generate(ctx, &key) == 1;
        BN_free(e);
        EVP_PKEY_CTX_free(ctx);
        Check(ok, "RSA key generation");
        return key;
    }
    void KeygenOnce() { EVP_PKEY_free(RsaKeygen()); }

    EVP_PKEY* Rsa() {
        if (!m_rsa) m_rsa = RsaKeygen();
        return m_rsa;
    }
    static bool SetOaep(EVP_PKEY_CTX* ctx) {
        return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
               EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0 &&
               EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0;
    }
    std::vector<BYTE> OaepWrap() {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, Rsa(), nullptr);
        std::vector<BYTE> out(256);
        size_t len = out.size();
        bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 && SetOaep(ctx) &&
                  EVP_PKEY_encrypt(ctx, out.data(), &len, m_key, 32) == 1;
        EVP_PKEY_CTX_free(ctx);
        Check(ok, "RSA-OAEP encryption");
        return out;
    }
    void OaepUnwrap() {
        if (m_wrapped.empty()) m_wrapped = OaepWrap();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, Rsa(), nullptr);
        BYTE out[256];
        size_t len = sizeof out;
        bool ok = ctx && EVP_PKEY_decrypt_init(ctx) == 1 && SetOaep(ctx) &&
                  EVP_PKEY_decrypt(ctx, out, &len, m_wrapped.data(), m_wrapped.size()) == 1 && len == 32;
        EVP_PKEY_CTX_free(ctx);
        Check(ok, "RSA-OAEP decryption");
    }

    void PasswordKdf() {
        EVP_KDF* alg = EVP_KDF_fetch(nullptr, "SCRYPT", nullptr);
        EVP_KDF_CTX* ctx = alg ? EVP_KDF_CTX_new(alg) : nullptr;
        static const BYTE pw[] = "correct horse battery staple";
        uint64_t n = 1ull << m_kdf.log2N;
        uint32_t r = m_kdf.r, p = m_kdf.p;
        uint64_t maxmem = 512ull << 20;
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<BYTE*>(pw), sizeof pw - 1),
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, m_salt, sizeof m_salt),
            OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
            OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
            OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
            OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
            OSSL_PARAM_construct_end(),
        };
        BYTE out[32];
        bool ok = ctx && EVP_KDF_derive(ctx, out, sizeof out, params) == 1;
        EVP_KDF_CTX_free(ctx);
        EVP_KDF_free(alg);
        Check(ok, "password KDF");
    }

    void Run(const Op& op) {
        switch (op.kind) {
        case OpKind::Pbkdf2: Pbkdf2(); break;
        case OpKind::Hmac: Hmac(op.bytes); break;
        case OpKind::AesEncrypt: AesEncrypt(op.bytes); break;
        case OpKind::AesDecrypt: AesDecrypt(op.bytes); break;
        case OpKind::GcmSeal: GcmSeal(op.bytes); break;
        case OpKind::GcmOpen: GcmOpen(op.bytes); break;
        case OpKind::RsaKeygen: KeygenOnce(); break;
        case OpKind::OaepWrap: OaepWrap(); break;
        case OpKind::OaepUnwrap: OaepUnwrap(); break;
        case OpKind::PasswordKdf: PasswordKdf(); break;
        }
    }

  private:
    const BYTE* Data(uint64_t n) {
        if (m_data.size() < n) {
            m_data.resize(n);
            RAND_bytes(m_data.data(), static_cast<int>(n));
        }
        return m_data.data();
    }

    KdfParams m_kdf;
    BYTE m_secret[32], m_salt[32], m_key[32];
    std::vector<BYTE> m_data;
    std::map<uint64_t, std::vector<BYTE>> m_sealedSiv, m_sealedGcm;
    EVP_PKEY* m_rsa = nullptr;
    std::vector<BYTE> m_wrapped;
};

/* Medians of wall-clock and of thread CPU time. */
struct Both {
    double wall = 0, cpu = 0;
};

template <class F> Both Sample(unsigned n, F&& f) {
    f(); /* warm: first-use costs (provider fetches, page faults) are not the operation's */
    std::vector<double> w, c;
    w.reserve(n);
    c.reserve(n);
    for (unsigned i = 0; i < n; ++i) {
        const double c0 = CpuNow(), t0 = Now();
        f();
        w.push_back(Now() - t0);
        c.push_back(CpuNow() - c0);
    }
    return Both{Median(std::move(w)), Median(std::move(c))};
}

struct BothLinear {
    LinearCost wall, cpu;
};


template <class F> BothLinear Fit(unsigned n, F&& f) {
    static const uint64_t sizes[] = {16, 1024, 16384, 65536, 262144};
    std::vector<double> x, yw, yc;
    for (uint64_t s : sizes) {
        const Both b = Sample(s > 16384 ? (n + 3) / 4 : n, [&] { f(s); });
        x.push_back(static_cast<double>(s));
        yw.push_back(b.wall);
        yc.push_back(b.cpu);
    }
    return BothLinear{LeastSquares(x, yw), LeastSquares(x, yc)};
}

Executor* g_replay = nullptr;

} // namespace

void MeasureUnits(const KdfParams& kdf, unsigned samples, UnitCosts& wall, UnitCosts& cpu) {
    if (!g_replay) g_replay = new Executor(kdf);
    Executor& x = *g_replay;
    wall = UnitCosts();
    cpu = UnitCosts();
    wall.kdf = cpu.kdf = kdf;
    const unsigned s = samples ? samples : 1;
    auto put = [&](double UnitCosts::*field, const Both& b) {
        wall.*field = b.wall;
        cpu.*field = b.cpu;
    };
    auto putLinear = [&](LinearCost UnitCosts::*field, const BothLinear& b) {
        wall.*field = b.wall;
        cpu.*field = b.cpu;
    };
    put(&UnitCosts::pbkdf2, Sample(4 * s, [&] { x.Pbkdf2(); }));
    putLinear(&UnitCosts::hmac, Fit(4 * s, [&](uint64_t n) { x.Hmac(n); }));
    putLinear(&UnitCosts::aesEncrypt, Fit(2 * s, [&](uint64_t n) { x.AesEncrypt(n); }));
    putLinear(&UnitCosts::aesDecrypt, Fit(2 * s, [&](uint64_t n) { x.AesDecrypt(n); }));
    putLinear(&UnitCosts::gcmSeal, Fit(2 * s, [&](uint64_t n) { x.GcmSeal(n); }));
    putLinear(&UnitCosts::gcmOpen, Fit(2 * s, [&](uint64_t n) { x.GcmOpen(n); }));
    put(&UnitCosts::oaepWrap, Sample(4 * s, [&] { x.OaepWrap(); }));
    put(&UnitCosts::oaepUnwrap, Sample(4 * s, [&] { x.OaepUnwrap(); }));
    put(&UnitCosts::rsaKeygen, Sample(s + 10, [&] { x.KeygenOnce(); }));
    put(&UnitCosts::passwordKdf, Sample(s, [&] { x.PasswordKdf(); }));
    HeapWindowBegin();
    x.PasswordKdf();
    wall.passwordKdfHeap = cpu.passwordKdfHeap = HeapWindowPeak();
    BYTE probe[32] = {0};
    wall.aesOverhead = cpu.aesOverhead = static_cast<unsigned>(x.Aes(true, probe, sizeof probe).size() - sizeof probe);
}

static double UnitOf(const UnitCosts& u, const Op& op) {
    switch (op.kind) {
    case OpKind::Pbkdf2: return u.pbkdf2;
    case OpKind::Hmac: return u.hmac.At(op.bytes);
    case OpKind::AesEncrypt: return u.aesEncrypt.At(op.bytes);
    case OpKind::AesDecrypt: return u.aesDecrypt.At(op.bytes);
    case OpKind::GcmSeal: return u.gcmSeal.At(op.bytes);
    case OpKind::GcmOpen: return u.gcmOpen.At(op.bytes);
    case OpKind::RsaKeygen: return u.rsaKeygen;
    case OpKind::OaepWrap: return u.oaepWrap;
    case OpKind::OaepUnwrap: return u.oaepUnwrap;
    case OpKind::PasswordKdf: return u.passwordKdf;
    }
    return 0;
}

double FloorOf(const UnitCosts& u, const OpList& ops, double* kdfPart) {
    double total = 0, kdf = 0;
    for (const Op& op : ops) {
        const double c = UnitOf(u, op) * op.count;
        total += c;
        if (op.kind == OpKind::PasswordKdf) kdf += c;
    }
    if (kdfPart) *kdfPart = kdf;
    return total;
}

double ReplayOps(const UnitCosts& u, const OpList& ops) {
    if (!g_replay) g_replay = new Executor(u.kdf);
    double t0 = Now();
    for (const Op& op : ops)
        for (unsigned i = 0; i < op.count; ++i) g_replay->Run(op);
    return Now() - t0;
}

std::string DescribeOps(const OpList& ops) {
    std::map<std::string, unsigned> byKind;
    std::vector<std::string> order;
    for (const Op& op : ops) {
        std::string key = OpName(op.kind);
        if (op.kind == OpKind::Hmac || op.kind == OpKind::AesEncrypt || op.kind == OpKind::AesDecrypt ||
            op.kind == OpKind::GcmSeal || op.kind == OpKind::GcmOpen) {
            char b[48];
            snprintf(b, sizeof b, "(%llu B)", static_cast<unsigned long long>(op.bytes));
            key += b;
        }
        if (!byKind.count(key)) order.push_back(key);
        byKind[key] += op.count;
    }
    std::string s;
    for (const std::string& k : order) {
        if (!s.empty()) s += ", ";
        s += std::to_string(byKind[k]) + "x " + k;
    }
    return s;
}

} // namespace bench
