/*
 * strsafe and lstr helpers. The printf family follows the wide printf of the
 * Windows C runtime: %s and %c take wide arguments, %S and %C narrow ones, and
 * 'l' is 32 bits (LONG), not the host's 64-bit long.
 */
#include "internal/strings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace pal {
namespace {

constexpr size_t kStrsafeMaxCch = 2147483647;
/* Widths and precisions of floating conversions go through snprintf; bound
 * them so a hostile format cannot ask for gigabytes. */
constexpr int kMaxFloatField = 4096;

/* Writes into the caller's buffer, keeping room for the NUL; whatever does not
 * fit is dropped and remembered. */
class Sink {
public:
    Sink(LPWSTR dest, size_t cch) : m_dest(dest), m_cap(cch - 1) {}
    void Put(WCHAR c) {
        if (m_len < m_cap)
            m_dest[m_len++] = c;
        else
            m_truncated = true;
    }
    void Put(const WCHAR* s, size_t n) {
        for (size_t i = 0; i < n && !m_truncated; ++i) Put(s[i]);
    }
    void Pad(WCHAR c, size_t n) {
        for (size_t i = 0; i < n && !m_truncated; ++i) Put(c);
    }
    void Terminate() { m_dest[m_len] = 0; }
    bool Truncated() const { return m_truncated; }

private:
    LPWSTR m_dest;
    size_t m_cap;
    size_t m_len = 0;
    bool m_truncated = false;
};

struct Field {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
    enum Size { kDefault, kChar, kShort, kLong32, kLong64, kWide, kNarrow, kLongDouble } size = kDefault;
};

void EmitPadded(Sink& out, const Field& field, const WCHAR* body, size_t n) {
    size_t width = field.width > 0 ? static_cast<size_t>(field.width) : 0;
    size_t pad = width > n ? width - n : 0;
    if (!field.left) out.Pad(u' ', pad);
    out.Put(body, n);
    if (field.left) out.Pad(u' ', pad);
}

/* Reads at most 'limit' units of a wide string that need not be terminated
 * beyond that limit. */
void EmitWideString(Sink& out, const Field& field, LPCWSTR s) {
    static const WCHAR kNull[] = u"(null)";
    if (!s) s = kNull;
    size_t limit = field.precision >= 0 ? static_cast<size_t>(field.precision) : SIZE_MAX;
    size_t n = 0;
    while (n < limit && s[n]) ++n;
    EmitPadded(out, field, s, n);
}

/* Narrow strings are in the ANSI code page, UTF-8. A precision counts output
 * units; bytes past the last character taken are never read. */
void EmitNarrowString(Sink& out, const Field& field, const char* s) {
    if (!s) s = "(null)";
    size_t limit = field.precision >= 0 ? static_cast<size_t>(field.precision) : SIZE_MAX;
    std::u16string text;
    size_t pos = 0;
    while (text.size() < limit && s[pos]) {
        unsigned char lead = static_cast<unsigned char>(s[pos]);
        size_t len = lead < 0x80 ? 1 : (lead >= 0xF0 ? 4 : (lead >= 0xE0 ? 3 : (lead >= 0xC0 ? 2 : 1)));
        size_t got = 1;
        while (got < len && s[pos + got]) ++got;
        std::u16string piece = Utf8ToUtf16(s + pos, got);
        if (text.size() + piece.size() > limit) break;
        text += piece;
        pos += got;
    }
    EmitPadded(out, field, text.data(), text.size());
}

void EmitInteger(Sink& out, const Field& field, uint64_t magnitude, bool negative, unsigned base, bool upper) {
    WCHAR digits[64];
    size_t nd = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (uint64_t v = magnitude; v; v /= base) digits[nd++] = static_cast<WCHAR>(set[v % base]);
    size_t minDigits = field.precision >= 0 ? static_cast<size_t>(field.precision) : 1;

    WCHAR prefix[2];
    size_t np = 0;
    if (base == 10) {
        if (negative)
            prefix[np++] = u'-';
        else if (field.plus)
            prefix[np++] = u'+';
        else if (field.space)
            prefix[np++] = u' ';
    } else if (field.alt && magnitude != 0) {
        if (base == 16) {
            prefix[np++] = u'0';
            prefix[np++] = upper ? u'X' : u'x';
        } else if (base == 8 && minDigits <= nd) {
            minDigits = nd + 1; /* the octal '0' prefix is a leading digit */
        }
    }
    size_t zeros = minDigits > nd ? minDigits - nd : 0;
    size_t body = np + zeros + nd;
    size_t width = field.width > 0 ? static_cast<size_t>(field.width) : 0;
    size_t pad = width > body ? width - body : 0;
    bool zeroPad = field.zero && !field.left && field.precision < 0;
    if (!field.left && !zeroPad) out.Pad(u' ', pad);
    out.Put(prefix, np);
    if (zeroPad) out.Pad(u'0', pad);
    out.Pad(u'0', zeros);
    for (size_t i = nd; i > 0; --i) out.Put(digits[i - 1]);
    if (field.left) out.Pad(u' ', pad);
}

/* Floating conversions are delegated to the C library through a narrow format. */
bool EmitFloat(Sink& out, const Field& field, WCHAR conv, double value) {
    if (field.width > kMaxFloatField || field.precision > kMaxFloatField) return false;
    std::string fmt = "%";
    if (field.left) fmt += '-';
    if (field.plus) fmt += '+';
    if (field.space) fmt += ' ';
    if (field.alt) fmt += '#';
    if (field.zero) fmt += '0';
    fmt += "*.*";
    fmt += static_cast<char>(conv);
    int precision = field.precision >= 0 ? field.precision : (conv == u'a' || conv == u'A' ? -1 : 6);
    char buf[2 * kMaxFloatField + 400];
    int n = snprintf(buf, sizeof buf, fmt.c_str(), field.width, precision, value);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return false;
    for (int i = 0; i < n; ++i) out.Put(static_cast<WCHAR>(static_cast<unsigned char>(buf[i])));
    return true;
}

int ParseNumber(LPCWSTR& p) {
    long long v = 0;
    while (*p >= u'0' && *p <= u'9') {
        v = v * 10 + (*p - u'0');
        if (v > INT32_MAX) v = INT32_MAX;
        ++p;
    }
    return static_cast<int>(v);
}

/* Returns S_OK, STRSAFE_E_INSUFFICIENT_BUFFER (output truncated) or
 * STRSAFE_E_INVALID_PARAMETER (a conversion we do not know). */
HRESULT Format(Sink& out, LPCWSTR f, va_list ap) {
    while (*f) {
        if (*f != u'%') {
            out.Put(*f++);
            continue;
        }
        ++f;
        if (*f == u'%') {
            out.Put(u'%');
            ++f;
            continue;
        }
        Field field;
        for (;; ++f) {
            if (*f == u'-')
                field.left = true;
            else if (*f == u'+')
                field.plus = true;
            else if (*f == u' ')
                field.space = true;
            else if (*f == u'#')
                field.alt = true;
            else if (*f == u'0')
                field.zero = true;
            else
                break;
        }
        if (*f == u'*') {
            int w = va_arg(ap, int);
            if (w < 0) {
                field.left = true;
                w = w == INT32_MIN ? INT32_MAX : -w;
            }
            field.width = w;
            ++f;
        } else {
            field.width = ParseNumber(f);
        }
        if (*f == u'.') {
            ++f;
            if (*f == u'*') {
                int p = va_arg(ap, int);
                field.precision = p < 0 ? -1 : p;
                ++f;
            } else {
                field.precision = ParseNumber(f);
            }
        }
        switch (*f) {
        case u'h':
            ++f;
            if (*f == u'h') {
                field.size = Field::kChar;
                ++f;
            } else {
                field.size = Field::kShort;
            }
            break;
        case u'l':
            ++f;
            if (*f == u'l') {
                field.size = Field::kLong64;
                ++f;
            } else {
                field.size = Field::kLong32;
            }
            break;
        case u'w':
            field.size = Field::kWide;
            ++f;
            break;
        case u'z':
        case u'j':
        case u't':
            field.size = Field::kLong64;
            ++f;
            break;
        case u'L':
            field.size = Field::kLongDouble;
            ++f;
            break;
        case u'I':
            ++f;
            if (f[0] == u'6' && f[1] == u'4') {
                field.size = Field::kLong64;
                f += 2;
            } else if (f[0] == u'3' && f[1] == u'2') {
                field.size = Field::kLong32;
                f += 2;
            } else {
                field.size = Field::kLong64; /* pointer-sized */
            }
            break;
        default:
            break;
        }
        WCHAR conv = *f;
        if (!conv) return STRSAFE_E_INVALID_PARAMETER;
        ++f;
        switch (conv) {
        case u'd':
        case u'i': {
            int64_t v;
            switch (field.size) {
            case Field::kChar: v = static_cast<signed char>(va_arg(ap, int)); break;
            case Field::kShort: v = static_cast<short>(va_arg(ap, int)); break;
            case Field::kLong64:
            case Field::kLongDouble: v = va_arg(ap, long long); break;
            default: v = va_arg(ap, int); break;
            }
            uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            EmitInteger(out, field, mag, v < 0, 10, false);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            uint64_t v;
            switch (field.size) {
            case Field::kChar: v = static_cast<unsigned char>(va_arg(ap, unsigned)); break;
            case Field::kShort: v = static_cast<unsigned short>(va_arg(ap, unsigned)); break;
            case Field::kLong64:
            case Field::kLongDouble: v = va_arg(ap, unsigned long long); break;
            default: v = va_arg(ap, unsigned); break;
            }
            unsigned base = conv == u'u' ? 10 : (conv == u'o' ? 8 : 16);
            Field unsignedField = field;
            unsignedField.plus = unsignedField.space = false;
            EmitInteger(out, unsignedField, v, false, base, conv == u'X');
            break;
        }
        case u'p': {
            Field ptrField = field;
            ptrField.precision = 2 * static_cast<int>(sizeof(void*));
            ptrField.alt = ptrField.plus = ptrField.space = false;
            EmitInteger(out, ptrField, reinterpret_cast<uintptr_t>(va_arg(ap, void*)), false, 16, true);
            break;
        }
        case u'c':
        case u'C': {
            bool narrow = field.size == Field::kShort || field.size == Field::kChar ||
                          (conv == u'C' && field.size != Field::kLong32 && field.size != Field::kWide);
            int v = va_arg(ap, int);
            if (narrow) {
                char c = static_cast<char>(v);
                std::u16string w = Utf8ToUtf16(&c, 1);
                EmitPadded(out, field, w.data(), w.size());
            } else {
                WCHAR c = static_cast<WCHAR>(v);
                EmitPadded(out, field, &c, 1);
            }
            break;
        }
        case u's':
        case u'S':
        case u'Z': {
            if (conv == u'Z') return STRSAFE_E_INVALID_PARAMETER;
            bool narrow = field.size == Field::kShort || field.size == Field::kChar ||
                          (conv == u'S' && field.size != Field::kLong32 && field.size != Field::kWide);
            if (narrow)
                EmitNarrowString(out, field, va_arg(ap, const char*));
            else
                EmitWideString(out, field, va_arg(ap, LPCWSTR));
            break;
        }
        case u'e':
        case u'E':
        case u'f':
        case u'F':
        case u'g':
        case u'G':
        case u'a':
        case u'A': {
            double v = field.size == Field::kLongDouble ? static_cast<double>(va_arg(ap, long double))
                                                      : va_arg(ap, double);
            if (!EmitFloat(out, field, conv, v)) return STRSAFE_E_INVALID_PARAMETER;
            break;
        }
        default:
            /* %n and unknown conversions: the CRT's invalid-parameter case. */
            return STRSAFE_E_INVALID_PARAMETER;
        }
        if (out.Truncated()) return STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    return out.Truncated() ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

bool ValidDest(LPWSTR dest, size_t cch) { return dest && cch > 0 && cch <= kStrsafeMaxCch; }

HRESULT FormatWide(LPWSTR dest, size_t cchDest, LPCWSTR format, va_list ap) {
    if (!ValidDest(dest, cchDest)) {
        if (dest && cchDest > 0 && cchDest <= kStrsafeMaxCch) dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (!format) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    Sink out(dest, cchDest);
    HRESULT hr = Format(out, format, ap);
    if (hr == STRSAFE_E_INVALID_PARAMETER) {
        dest[0] = 0;
        return hr;
    }
    out.Terminate();
    return hr;
}

} // namespace
} // namespace pal

extern "C" HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    HRESULT hr = pal::FormatWide(pszDest, cchDest, pszFormat, ap);
    va_end(ap);
    return hr;
}

