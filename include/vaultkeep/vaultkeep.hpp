/*
 * Vaultkeep for C++ clients: owners for the arrays and strings the exports hand
 * out, byte-array builders, UTF-8 <-> UTF-16 conversion and the comma-joined
 * lists. Header-only; needs nothing beyond libVaultkeep.so (Vaultkeep.dll) and
 * the standard library. WCHAR is char16_t on POSIX and wchar_t on Windows; strings
 * built with ToUtf16 serve both.
 *
 *   vaultkeep::SafeArrayPtr secret = vaultkeep::MakeByteArray("my app secret");
 *   vaultkeep::Bstr users;
 *   LONG st = QueryListOfUsers(u"MyApp", secret.get(), users.out());
 *   for (const std::string& name : vaultkeep::SplitList(users.view())) ...
 *
 *   vaultkeep::SafeArrayPtr next = vaultkeep::MakeByteArray("my new app secret");
 *   st = ChangeAppSecret(u"MyApp", secret.get(), next.get()); // from now on only `next` opens MyApp
 */
#ifndef VAULTKEEP_VAULTKEEP_HPP
#define VAULTKEEP_VAULTKEEP_HPP

#include "vaultkeep.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vaultkeep {

/* Overwrites memory in a way the optimiser may not drop; for secrets and passwords. */
inline void SecureWipe(void* p, size_t n) noexcept {
    if (!p || n == 0) return;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25))
    explicit_bzero(p, n);
#else
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--)
        *v++ = 0;
#endif
}

/* The status name ("Error_No_User"); "unknown" for a value the library does not name. */
inline const char* StatusName(LONG status) noexcept {
    const char* name = VaultkeepStatusName(status);
    return name ? name : "unknown";
}

/* Owns one SAFEARRAY; destroys it with SafeArrayDestroy. Move-only. */
class SafeArrayPtr {
  public:
    SafeArrayPtr() noexcept = default;
    explicit SafeArrayPtr(SAFEARRAY* psa) noexcept : m_psa(psa) {}
    ~SafeArrayPtr() { reset(); }
    SafeArrayPtr(SafeArrayPtr&& other) noexcept : m_psa(other.release()) {}
    SafeArrayPtr& operator=(SafeArrayPtr&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    SafeArrayPtr(const SafeArrayPtr&) = delete;
    SafeArrayPtr& operator=(const SafeArrayPtr&) = delete;

    SAFEARRAY* get() const noexcept { return m_psa; }
    explicit operator bool() const noexcept { return m_psa != nullptr; }
    /* For an out-parameter: frees what is held and gives the slot to fill. */
    SAFEARRAY** out() noexcept {
        reset();
        return &m_psa;
    }
    SAFEARRAY* release() noexcept { return std::exchange(m_psa, nullptr); }
    void reset(SAFEARRAY* psa = nullptr) noexcept {
        if (m_psa && m_psa != psa) SafeArrayDestroy(m_psa);
        m_psa = psa;
    }

    /* Element count of a one-dimensional array; 0 for none. */
    size_t size() const noexcept {
        LONG lb = 0, ub = -1;
        if (!m_psa || SafeArrayGetDim(m_psa) != 1) return 0;
        if (SafeArrayGetLBound(m_psa, 1, &lb) < 0 || SafeArrayGetUBound(m_psa, 1, &ub) < 0) return 0;
        return ub < lb ? 0 : static_cast<size_t>(static_cast<int64_t>(ub) - lb + 1);
    }

    /* Copies the bytes out; throws std::runtime_error if the array is not a readable byte vector. */
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out;
        if (!m_psa) return out;
        if (SafeArrayGetDim(m_psa) != 1 || m_psa->cbElements != 1)
            throw std::runtime_error("vaultkeep: not a one-dimensional byte array");
        const size_t n = size();
        void* data = nullptr;
        if (SafeArrayAccessData(m_psa, &data) < 0)
            throw std::runtime_error("vaultkeep: SafeArrayAccessData failed");
        if (n) out.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
        SafeArrayUnaccessData(m_psa);
        return out;
    }

    /* Zeroes the array's bytes in place (before destroying an array that held a secret). */
    void wipe() noexcept {
        void* data = nullptr;
        const size_t n = size();
        if (n && SafeArrayAccessData(m_psa, &data) >= 0) {
            SecureWipe(data, n);
            SafeArrayUnaccessData(m_psa);
        }
    }

  private:
    SAFEARRAY* m_psa = nullptr;
};

/* Owns one BSTR; frees it with SysFreeString. Move-only. */
class Bstr {
  public:
    Bstr() noexcept = default;
    explicit Bstr(BSTR s) noexcept : m_s(s) {}
    ~Bstr() { reset(); }
    Bstr(Bstr&& other) noexcept : m_s(std::exchange(other.m_s, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.m_s, nullptr));
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR get() const noexcept { return m_s; }
    BSTR* out() noexcept {
        reset();
        return &m_s;
    }
    void reset(BSTR s = nullptr) noexcept {
        if (m_s && m_s != s) SysFreeString(m_s);
        m_s = s;
    }
    /* The characters (a null BSTR reads as empty). */
    std::basic_string_view<WCHAR> view() const noexcept {
        return m_s ? std::basic_string_view<WCHAR>(m_s, SysStringLen(m_s)) : std::basic_string_view<WCHAR>();
    }

  private:
    BSTR m_s = nullptr;
};

/* A new one-dimensional VT_UI1 array, lower bound 0, holding a copy of the bytes. */
inline SafeArrayPtr MakeByteArray(const void* data, size_t n) {
    if (n > std::numeric_limits<ULONG>::max()) throw std::length_error("vaultkeep: byte array too large");
    SafeArrayPtr psa(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n)));
    if (!psa) throw std::bad_alloc();
    if (n) {
        void* dst = nullptr;
        if (SafeArrayAccessData(psa.get(), &dst) < 0)
            throw std::runtime_error("vaultkeep: SafeArrayAccessData failed");
        std::memcpy(dst, data, n);
        SafeArrayUnaccessData(psa.get());
    }
    return psa;
}
inline SafeArrayPtr MakeByteArray(std::string_view bytes) {
    return MakeByteArray(bytes.data(), bytes.size());
}
inline SafeArrayPtr MakeByteArray(const std::vector<uint8_t>& bytes) {
    return MakeByteArray(bytes.data(), bytes.size());
}

/* UTF-8 to UTF-16. False for malformed input (bad sequences, overlong forms,
 * surrogate code points, values beyond U+10FFFF); `out` is then unspecified. */
inline bool Utf8ToUtf16(std::string_view in, std::basic_string<WCHAR>& out) {
    out.clear();
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            extra = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (in.size() - i - 1 < extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(in[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(cp));
        }
        i += extra + 1;
    }
    return true;
}

/* UTF-8 to UTF-16; throws std::invalid_argument for malformed input. */
inline std::basic_string<WCHAR> ToUtf16(std::string_view utf8) {
    std::basic_string<WCHAR> out;
    if (!Utf8ToUtf16(utf8, out)) throw std::invalid_argument("vaultkeep: malformed UTF-8");
    return out;
}

/* UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. */
inline std::string ToUtf8(std::basic_string_view<WCHAR> in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

/* The names in a list from QueryListOfUsers or QueryUserCreds ("a,b,c"), in
 * order, as UTF-8. The empty list gives no names. */
inline std::vector<std::string> SplitList(std::basic_string_view<WCHAR> list) {
    std::vector<std::string> names;
    if (list.empty()) return names;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(u',', start);
        names.push_back(
            ToUtf8(list.substr(start, comma == std::basic_string_view<WCHAR>::npos ? list.npos : comma - start)));
        if (comma == std::basic_string_view<WCHAR>::npos) break;
        start = comma + 1;
    }
    return names;
}

} // namespace vaultkeep

#endif
