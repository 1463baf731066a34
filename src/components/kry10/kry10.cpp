/*
 * The crypto library: PBKDF2-HMAC-SHA256, HMAC-SHA256, random bytes, memory
 * streams and a deterministic authenticated AES-256 cipher, over the primitives
 * of primitives.h (OpenSSL 3, or libgcrypt on Windows).
 *
 * Cipher: AES-256-SIV (RFC 5297). The caller's 32-byte key is expanded with
 * HKDF-SHA256 into the 64-byte SIV key; the 32-byte IV buffer is the one
 * associated-data component. Output = 16-byte synthetic IV || ciphertext, so
 * equal key and plaintext give equal output and any change to the output
 * fails authentication. OpenSSL's SIV refuses an empty plaintext, so an empty
 * message is sealed as the tag of a one-byte marker message under a second
 * associated-data component; its 16-byte output is checked by recomputing it.
 *
 * Handles live in a registry: a stale, foreign or wrong-kind handle gets
 * KRY_E_PARAM instead of a dereference.
 */
#include "Kry10.h"

#include "primitives.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kIvSize = 32;
constexpr size_t kSivKeySize = kry10::kSivKeySize;
constexpr size_t kTagSize = kry10::kSivTagSize;
/* SIV takes the whole message in one int-sized update; streams stay below that. */
constexpr size_t kMaxStream = INT_MAX - kTagSize;

const char kHkdfInfo[] = "kry10 aes-256-siv key v1";
const unsigned char kEmptyMarkerAd[] = "kry10 empty message v1";

std::atomic<long> g_initCount{0};

bool Initialized() { return g_initCount.load(std::memory_order_acquire) > 0; }

enum class Kind { Stream, Cipher };

std::mutex g_handleLock;
std::unordered_map<const void*, Kind>& Handles() {
    static auto* handles = new std::unordered_map<const void*, Kind>(); // never destroyed: safe at exit
    return *handles;
}

bool Register(const void* h, Kind kind) {
    try {
        std::lock_guard<std::mutex> lock(g_handleLock);
        Handles().emplace(h, kind);
        return true;
    } catch (...) {
        return false;
    }
}

bool IsLive(const void* h, Kind kind) {
    if (!h) return false;
    std::lock_guard<std::mutex> lock(g_handleLock);
    auto it = Handles().find(h);
    return it != Handles().end() && it->second == kind;
}

bool Unregister(const void* h, Kind kind) {
    if (!h) return false;
    std::lock_guard<std::mutex> lock(g_handleLock);
    auto it = Handles().find(h);
    if (it == Handles().end() || it->second != kind) return false;
    Handles().erase(it);
    return true;
}

struct Stream {
    LONG mode;
    bool owned;      /* growing storage owned by the stream */
    BYTE* data;
    size_t capacity; /* writable bytes (fixed buffer size, or allocated size) */
    size_t length;   /* bytes held */
    size_t pos;
};

struct Cipher {
    unsigned char sivKey[kSivKeySize];
    unsigned char iv[kIvSize];
};

void FreeStream(Stream* s) {
    if (s->owned && s->data) {
        kry10::PrimCleanse(s->data, s->capacity);
        free(s->data);
    }
    delete s;
}

void FreeCipher(Cipher* c) {
    kry10::PrimCleanse(c, sizeof(*c));
    delete c;
}

/* Makes room for `need` bytes from position 0; only growing storage may grow. */
LONG Reserve(Stream* s, size_t need) {
    if (need <= s->capacity) return KRY_OK;
    if (!s->owned) return KRY_E_OVERFLOW;
    if (need > kMaxStream) return KRY_E_OVERFLOW;
    size_t cap = s->capacity ? s->capacity : 64;
    while (cap < need) cap = (cap > kMaxStream / 2) ? kMaxStream : cap * 2;
    BYTE* grown = static_cast<BYTE*>(malloc(cap));
    if (!grown) return KRY_E_MEMORY;
    if (s->data) {
        memcpy(grown, s->data, s->length);
        kry10::PrimCleanse(s->data, s->capacity); // no stray copies of plaintext
        free(s->data);
    }
    s->data = grown;
    s->capacity = cap;
    return KRY_OK;
}

/* Writes all of src at the position, or nothing. */
LONG WriteAll(Stream* s, const unsigned char* src, size_t n) {
    if (s->mode != KRY_STREAM_WRITE) return KRY_E_PARAM;
    if (n > kMaxStream || s->pos > kMaxStream - n) return KRY_E_OVERFLOW;
    size_t end = s->pos + n;
    LONG r = Reserve(s, end);
    if (r != KRY_OK) return r;
    if (n) memcpy(s->data + s->pos, src, n);
    s->pos = end;
    if (end > s->length) s->length = end;
    return KRY_OK;
}

/* SIV encryption of a non-empty message under the associated-data vector (iv[, extra]). */
bool SivSeal(const Cipher* c, const unsigned char* extraAd, size_t extraLen, const unsigned char* in, size_t inLen,
             unsigned char* tag, unsigned char* out) {
    if (inLen == 0 || inLen > kMaxStream) return false;
    kry10::SivAd ad[2] = {{c->iv, kIvSize}, {extraAd, extraLen}};
    return kry10::PrimSivSeal(c->sivKey, ad, extraAd ? 2 : 1, in, inLen, tag, out);
}

/* SIV decryption; false when the input does not authenticate. */
bool SivOpen(const Cipher* c, const unsigned char* tag, const unsigned char* in, size_t inLen, unsigned char* out) {
    if (inLen == 0 || inLen > kMaxStream) return false;
    kry10::SivAd ad = {c->iv, kIvSize};
    return kry10::PrimSivOpen(c->sivKey, &ad, 1, tag, in, inLen, out);
}

/* The 16-byte seal of the empty message. */
bool EmptySeal(const Cipher* c, unsigned char* tag) {
    const unsigned char marker = 0;
    unsigned char scratch = 0;
    return SivSeal(c, kEmptyMarkerAd, sizeof(kEmptyMarkerAd) - 1, &marker, 1, tag, &scratch);
}

bool ExpandKey(const BYTE* key, unsigned char* out) {
    return kry10::PrimHkdfSha256(key, kKeySize, reinterpret_cast<const unsigned char*>(kHkdfInfo),
                                 sizeof(kHkdfInfo) - 1, out, kSivKeySize);
}

/* The unread rest of an input stream. */
void Remaining(const Stream* s, const unsigned char** p, size_t* n) {
    *n = s->length - s->pos;
    *p = s->data ? s->data + s->pos : nullptr;
}

LONG Encrypt(Cipher* c, Stream* in, Stream* out) {
    if (out->mode != KRY_STREAM_WRITE || in == out) return KRY_E_PARAM;
    const unsigned char* src;
    size_t n;
    Remaining(in, &src, &n);
    if (n > kMaxStream - kTagSize) return KRY_E_OVERFLOW;
    size_t total = n + kTagSize;
    if (!out->owned && out->pos + total > out->capacity) return KRY_E_OVERFLOW;

    unsigned char* buf = static_cast<unsigned char*>(malloc(total));
    if (!buf) return KRY_E_MEMORY;
    bool sealed = n == 0 ? EmptySeal(c, buf) : SivSeal(c, nullptr, 0, src, n, buf, buf + kTagSize);
    LONG r = sealed ? WriteAll(out, buf, total) : KRY_E_FAIL;
    if (r == KRY_OK) in->pos = in->length;
    free(buf); // ciphertext only, nothing to wipe
    return r;
}

LONG Decrypt(Cipher* c, Stream* in, Stream* out) {
    if (out->mode != KRY_STREAM_WRITE || in == out) return KRY_E_PARAM;
    const unsigned char* src;
    size_t n;
    Remaining(in, &src, &n);
    if (n < kTagSize) return KRY_E_AUTH;
    size_t plainLen = n - kTagSize;
    if (!out->owned && out->pos + plainLen > out->capacity) return KRY_E_OVERFLOW;

    if (plainLen == 0) {
        unsigned char expect[kTagSize];
        if (!EmptySeal(c, expect)) return KRY_E_FAIL;
        if (!kry10::PrimEqual(expect, src, kTagSize)) return KRY_E_AUTH;
        in->pos = in->length;
        return KRY_OK;
    }
    /* Decrypt aside so a forged input leaves the output untouched. */
    unsigned char* plain = static_cast<unsigned char*>(malloc(plainLen));
    if (!plain) return KRY_E_MEMORY;
    LONG r = SivOpen(c, src, src + kTagSize, plainLen, plain) ? WriteAll(out, plain, plainLen) : KRY_E_AUTH;
    if (r == KRY_OK) in->pos = in->length;
    kry10::PrimCleanse(plain, plainLen);
    free(plain);
    return r;
}

} // namespace

KRY_API LONG KRY_Initialize(void) {
    if (!kry10::PrimInit()) return KRY_E_FAIL;
    g_initCount.fetch_add(1, std::memory_order_acq_rel);
    return KRY_OK;
}

KRY_API LONG KRY_Uninitialize(void) {
    long n = g_initCount.load(std::memory_order_acquire);
    while (n > 0) {
        if (g_initCount.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) return KRY_OK;
    }
    return KRY_E_NOT_INITIALIZED;
}

KRY_API LONG KRY_RandomBytes(BYTE* pbDest, DWORD cb) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (cb == 0) return KRY_OK;
    if (!pbDest) return KRY_E_PARAM;
    return kry10::PrimRandom(pbDest, cb) ? KRY_OK : KRY_E_FAIL;
}

KRY_API LONG KRY_Pbkdf2Compute(const BYTE* pbPassword, LONG cbPassword, const BYTE* pbSalt, LONG cbSalt,
                               LONG iterations, BYTE* pbKey, LONG cbKey) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (cbPassword < 0 || cbSalt < 0 || iterations < 1 || cbKey < 1 || !pbKey) return KRY_E_PARAM;
    if ((cbPassword > 0 && !pbPassword) || (cbSalt > 0 && !pbSalt)) return KRY_E_PARAM;
    if (!kry10::PrimPbkdf2Sha256(pbPassword, static_cast<size_t>(cbPassword), pbSalt, static_cast<size_t>(cbSalt),
                                 static_cast<unsigned long>(iterations), pbKey, static_cast<size_t>(cbKey)))
        return KRY_E_FAIL;
    return KRY_OK;
}

KRY_API LONG KRY_HmacSha256Compute(const BYTE* pbKey, LONG cbKey, const BYTE* pbData, DWORD cbData, BYTE* pbMac) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (cbKey < 0 || !pbMac || (cbKey > 0 && !pbKey) || (cbData > 0 && !pbData)) return KRY_E_PARAM;
    static const unsigned char empty[1] = {0};
    if (!kry10::PrimHmacSha256(cbKey ? pbKey : empty, static_cast<size_t>(cbKey), cbData ? pbData : empty, cbData,
                               pbMac))
        return KRY_E_FAIL;
    return KRY_OK;
}

KRY_API LONG KRY_StreamCreateOnBuffer(BYTE* pbBuffer, DWORD cbBuffer, LONG mode, KRY_STREAM* pStream) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (!pStream) return KRY_E_PARAM;
    *pStream = nullptr;
    if (mode != KRY_STREAM_READ && mode != KRY_STREAM_WRITE) return KRY_E_PARAM;
    if ((!pbBuffer && cbBuffer != 0) || cbBuffer > kMaxStream) return KRY_E_PARAM;
    Stream* s = new (std::nothrow) Stream{mode, false, pbBuffer, 0, 0, 0};
    if (!s) return KRY_E_MEMORY;
    if (mode == KRY_STREAM_READ) {
        s->length = cbBuffer;
    } else {
        s->owned = pbBuffer == nullptr;
        s->capacity = cbBuffer;
    }
    if (!Register(s, Kind::Stream)) {
        delete s;
        return KRY_E_MEMORY;
    }
    *pStream = reinterpret_cast<KRY_STREAM>(s);
    return KRY_OK;
}

KRY_API LONG KRY_StreamLength(KRY_STREAM stream, ULONGLONG* pcbLength) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (!pcbLength || !IsLive(stream, Kind::Stream)) return KRY_E_PARAM;
    *pcbLength = reinterpret_cast<Stream*>(stream)->length;
    return KRY_OK;
}

/* origin 0: from the start, 1: from the position, 2: from the end. */
KRY_API LONG KRY_StreamSeek(KRY_STREAM stream, LONGLONG offset, LONG origin) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (!IsLive(stream, Kind::Stream)) return KRY_E_PARAM;
    Stream* s = reinterpret_cast<Stream*>(stream);
    LONGLONG base;
    switch (origin) {
    case 0: base = 0; break;
    case 1: base = static_cast<LONGLONG>(s->pos); break;
    case 2: base = static_cast<LONGLONG>(s->length); break;
    default: return KRY_E_PARAM;
    }
    if (offset < -base || offset > static_cast<LONGLONG>(s->length) - base) return KRY_E_PARAM;
    s->pos = static_cast<size_t>(base + offset);
    return KRY_OK;
}

/* Copies min(cbCount, cbDest, bytes left) bytes and returns that count. */
KRY_API LONG KRY_StreamRead(KRY_STREAM stream, BYTE* pbDest, DWORD cbDest, DWORD reserved, DWORD cbCount) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (!IsLive(stream, Kind::Stream) || reserved != 0) return KRY_E_PARAM;
    Stream* s = reinterpret_cast<Stream*>(stream);
    size_t n = cbCount;
    if (n > cbDest) n = cbDest;
    if (n > s->length - s->pos) n = s->length - s->pos;
    if (n == 0) return 0;
    if (!pbDest) return KRY_E_PARAM;
    memcpy(pbDest, s->data + s->pos, n);
    s->pos += n;
    return static_cast<LONG>(n); /* streams stay below INT_MAX */
}

KRY_API LONG KRY_StreamDestroy(KRY_STREAM stream) {
    if (!Unregister(stream, Kind::Stream)) return KRY_E_PARAM;
    FreeStream(reinterpret_cast<Stream*>(stream));
    return Initialized() ? KRY_OK : KRY_E_NOT_INITIALIZED;
}

KRY_API LONG KRY_AesCreate(LONG selector0, LONG selector1, const BYTE* pbKey, LONG cbKey, const BYTE* pbIv,
                           LONG cbIv, KRY_CIPHER* pCipher) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (!pCipher) return KRY_E_PARAM;
    *pCipher = nullptr;
    if (selector0 != 0 || selector1 != 1 || !pbKey || cbKey != static_cast<LONG>(kKeySize) || !pbIv ||
        cbIv != static_cast<LONG>(kIvSize))
        return KRY_E_PARAM;
    Cipher* c = new (std::nothrow) Cipher;
    if (!c) return KRY_E_MEMORY;
    memcpy(c->iv, pbIv, kIvSize);
    if (!ExpandKey(pbKey, c->sivKey)) {
        FreeCipher(c);
        return KRY_E_FAIL;
    }
    if (!Register(c, Kind::Cipher)) {
        FreeCipher(c);
        return KRY_E_MEMORY;
    }
    *pCipher = reinterpret_cast<KRY_CIPHER>(c);
    return KRY_OK;
}

KRY_API LONG KRY_AesEncrypt(KRY_CIPHER cipher, KRY_STREAM input, KRY_STREAM output) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (!IsLive(cipher, Kind::Cipher) || !IsLive(input, Kind::Stream) || !IsLive(output, Kind::Stream))
        return KRY_E_PARAM;
    return Encrypt(reinterpret_cast<Cipher*>(cipher), reinterpret_cast<Stream*>(input),
                   reinterpret_cast<Stream*>(output));
}

KRY_API LONG KRY_AesDecrypt(KRY_CIPHER cipher, KRY_STREAM input, KRY_STREAM output) {
    if (!Initialized()) return KRY_E_NOT_INITIALIZED;
    if (!IsLive(cipher, Kind::Cipher) || !IsLive(input, Kind::Stream) || !IsLive(output, Kind::Stream))
        return KRY_E_PARAM;
    return Decrypt(reinterpret_cast<Cipher*>(cipher), reinterpret_cast<Stream*>(input),
                   reinterpret_cast<Stream*>(output));
}

KRY_API LONG KRY_AesDestroy(KRY_CIPHER cipher) {
    if (!Unregister(cipher, Kind::Cipher)) return KRY_E_PARAM;
    FreeCipher(reinterpret_cast<Cipher*>(cipher));
    return Initialized() ? KRY_OK : KRY_E_NOT_INITIALIZED;
}
