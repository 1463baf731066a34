/* What the provider's primitives share whatever library computes them:
 * wiped buffers, KDF bounds, byte layouts, container names, ANSI passwords. */
#include "ksp_crypto.h"

#include <climits>
#include <cstring>

namespace tpmksp {

namespace {
/* 16 MiB at the default; the upper bound keeps a hostile file's demand sane. */
constexpr uint64_t kMaxKdfMemory = 256ull << 20;
} // namespace

/* ---- SecureBytes --------------------------------------------------------- */

SecureBytes::SecureBytes(size_t size) : m_data(size ? new BYTE[size]() : nullptr), m_size(size) {}

SecureBytes::SecureBytes(const BYTE* data, size_t size) {
    assign(data, size);
}

SecureBytes::SecureBytes(SecureBytes&& other) noexcept
    : m_data(std::move(other.m_data)), m_size(other.m_size) {
    other.m_size = 0;
}

SecureBytes& SecureBytes::operator=(SecureBytes&& other) noexcept {
    if (this != &other) {
        clear();
        m_data = std::move(other.m_data);
        m_size = other.m_size;
        other.m_size = 0;
    }
    return *this;
}

void SecureBytes::assign(const BYTE* data, size_t size) {
    clear();
    if (size == 0) return;
    m_data.reset(new BYTE[size]);
    memcpy(m_data.get(), data, size);
    m_size = size;
}

void SecureBytes::truncate(size_t size) {
    if (size >= m_size) return;
    Cleanse(m_data.get() + size, m_size - size);
    m_size = size;
}

void SecureBytes::clear() {
    if (m_data) Cleanse(m_data.get(), m_size);
    m_data.reset();
    m_size = 0;
}

/* ---- KDF bounds ---------------------------------------------------------- */

DWORD GcmSeal(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
              const BYTE* plain, size_t plainSize, BYTE* out) {
    if (key.size() != kAesKeySize) return Nte(NTE_BAD_KEY);
    if (aadSize > INT_MAX || plainSize > INT_MAX - kGcmTagSize) return Nte(NTE_BAD_LEN);
    return GcmSealCipher(key, nonce, aad, aadSize, plain, plainSize, out);
}

DWORD GcmOpen(const SecureBytes& key, const BYTE nonce[kGcmNonceSize], const BYTE* aad, size_t aadSize,
              const BYTE* sealed, size_t sealedSize, SecureBytes& out) {
    if (key.size() != kAesKeySize) return Nte(NTE_BAD_KEY);
    if (sealedSize < kGcmTagSize) return Nte(NTE_BAD_DATA);
    if (aadSize > INT_MAX || sealedSize > INT_MAX) return Nte(NTE_BAD_LEN);
    const size_t cipherSize = sealedSize - kGcmTagSize;
    SecureBytes plain(cipherSize); // cleansed when the tag fails
    DWORD err = GcmOpenCipher(key, nonce, aad, aadSize, sealed, cipherSize, sealed + cipherSize, plain.data());
    if (err != ERROR_SUCCESS) return err;
    out = std::move(plain);
    return ERROR_SUCCESS;
}

bool KdfParamsAcceptable(const KdfParams& kdf) {
    if (kdf.log2N < 14 || kdf.log2N > 20) return false;
    if (kdf.r < 1 || kdf.r > 16 || kdf.p < 1 || kdf.p > 4) return false;
    const uint64_t n = 1ull << kdf.log2N;
    return 128ull * kdf.r * (n + kdf.p) <= kMaxKdfMemory;
}

/* ---- layouts -------------------------------------------------------------- */

void Writer::U32(uint32_t v) {
    BYTE b[4] = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                 static_cast<BYTE>(v >> 24)};
    Raw(b, 4);
}

void Writer::Raw(const BYTE* p, size_t n) {
    if (n) m_out.insert(m_out.end(), p, p + n);
}

bool Reader::U32(uint32_t& v) {
    const BYTE* p = nullptr;
    if (!Take(4, p)) return false;
    v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
        static_cast<uint32_t>(p[3]) << 24;
    return true;
}

bool Reader::Take(size_t n, const BYTE*& p) {
    if (n > m_n - m_off) return false;
    p = m_p + m_off;
    m_off += n;
    return true;
}

Bytes NameBytes(const WString& name) {
    Bytes out;
    out.reserve(name.size() * 2);
    for (WCHAR c : name) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

bool NameFromBytes(const BYTE* p, size_t n, WString& name) {
    if (n == 0 || n % 2 != 0 || n / 2 > kMaxContainerName) return false;
    WString out;
    for (size_t i = 0; i < n; i += 2)
        out.push_back(static_cast<WCHAR>(p[i] | (p[i + 1] << 8)));
    if (!IsValidContainerName(out.c_str())) return false;
    name = std::move(out);
    return true;
}

bool IsValidContainerName(LPCWSTR name) {
    if (!name) return false;
    size_t n = 0;
    for (; name[n]; ++n) {
        if (n >= kMaxContainerName) return false;
        const WCHAR c = name[n];
        if (c < 0x20 || c == 0x7F) return false;
        switch (c) {
        case u'\\':
        case u'/':
        case u':':
        case u'*':
        case u'?':
        case u'"':
        case u'<':
        case u'>':
        case u'|':
            return false;
        default:
            break;
        }
    }
    if (n == 0) return false;
    // No leading dot either: that also keeps "." and "..", hidden files and the PAL's own temporaries apart.
    if (name[0] == u' ' || name[0] == u'.' || name[n - 1] == u' ' || name[n - 1] == u'.') return false;
    return true;
}

DWORD WideToAnsi(LPCWSTR text, SecureBytes& out) {
    if (!text) return ERROR_INVALID_PARAMETER;
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return GetLastError() ? GetLastError() : ERROR_INVALID_PARAMETER;
    SecureBytes buf(static_cast<size_t>(n));
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, reinterpret_cast<LPSTR>(buf.data()), n, nullptr, nullptr) !=
        n)
        return GetLastError() ? GetLastError() : ERROR_INVALID_PARAMETER;
    buf.truncate(static_cast<size_t>(n - 1)); // drop the terminator
    out = std::move(buf);
    return ERROR_SUCCESS;
}

} // namespace tpmksp
