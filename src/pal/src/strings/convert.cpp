/* UTF-16 <-> UTF-8 and the code-page entry points. The ANSI code page is UTF-8. */
#include "internal/strings.h"

namespace pal {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
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

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
}

} // namespace

size_t WideLength(LPCWSTR s) {
    if (!s) return 0;
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

/* Decodes one code point at s[i], advancing i; lone surrogates decode to U+FFFD
 * and set *lossy. */
static char32_t NextUtf16(LPCWSTR s, size_t len, size_t& i, bool* lossy) {
    char16_t c = s[i++];
    if (c >= 0xD800 && c <= 0xDBFF) {
        if (i < len && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
            char32_t lo = s[i++];
            return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (lo - 0xDC00);
        }
        if (lossy) *lossy = true;
        return kReplacement;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
        if (lossy) *lossy = true;
        return kReplacement;
    }
    return c;
}

static std::string Utf16ToUtf8Lossy(LPCWSTR s, size_t len, bool* lossy) {
    std::string out;
    if (!s) return out;
    out.reserve(len);
    size_t i = 0;
    while (i < len) AppendUtf8(out, NextUtf16(s, len, i, lossy));
    return out;
}

std::string Utf16ToUtf8(LPCWSTR s, size_t len) { return Utf16ToUtf8Lossy(s, len, nullptr); }

/* Strict UTF-8 decoding (no overlongs, no surrogates, nothing above U+10FFFF);
 * each maximal invalid subpart becomes one U+FFFD. */
static std::u16string Utf8ToUtf16Lossy(const char* s, size_t len, bool* lossy) {
    std::u16string out;
    if (!s) return out;
    out.reserve(len);
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    size_t i = 0;
    while (i < len) {
        unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        size_t need;
        char32_t cp;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            if (lossy) *lossy = true;
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        size_t j = 1;
        bool ok = true;
        for (; j <= need; ++j) {
            if (i + j >= len) {
                ok = false;
                break;
            }
            unsigned char c = p[i + j];
            unsigned char l = (j == 1) ? lo : 0x80, h = (j == 1) ? hi : 0xBF;
            if (c < l || c > h) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok) {
            if (lossy) *lossy = true;
            out.push_back(static_cast<char16_t>(kReplacement));
            i += j; /* skip the lead byte and the valid continuation bytes seen */
            continue;
        }
        AppendUtf16(out, cp);
        i += need + 1;
    }
    return out;
}

std::u16string Utf8ToUtf16(const char* s, size_t len) { return Utf8ToUtf16Lossy(s, len, nullptr); }

namespace {

/* Copies a converted string into the caller's buffer; cchOut 0 is a size query. */
template <typename Out, typename Str>
DWORD Deliver(const Str& converted, Out* out, int cchOut, int& result) {
    if (converted.size() > static_cast<size_t>(INT32_MAX)) return ERROR_INVALID_PARAMETER;
    int need = static_cast<int>(converted.size());
    if (cchOut != 0) {
        if (need > cchOut) return ERROR_INSUFFICIENT_BUFFER;
        for (int i = 0; i < need; ++i) out[i] = static_cast<Out>(converted[i]);
    }
    result = need;
    return ERROR_SUCCESS;
}

DWORD WideToMultiWorker(UINT codePage, DWORD flags, LPCWCH in, int cchIn, LPSTR out, int cbOut, LPBOOL usedDefault,
                        int& result) {
    if (codePage != CP_ACP && codePage != CP_UTF8) return ERROR_INVALID_PARAMETER;
    if ((flags & ~static_cast<DWORD>(WC_NO_BEST_FIT_CHARS | WC_ERR_INVALID_CHARS)) != 0) return ERROR_INVALID_FLAGS;
    /* As on Windows: strict conversion is for UTF-8 only. */
    if ((flags & WC_ERR_INVALID_CHARS) && codePage != CP_UTF8) return ERROR_INVALID_FLAGS;
    if (!in || cchIn == 0 || cchIn < -1 || cbOut < 0 || (cbOut > 0 && !out)) return ERROR_INVALID_PARAMETER;
    size_t len = cchIn == -1 ? WideLength(in) + 1 : static_cast<size_t>(cchIn);
    bool lossy = false;
    std::string converted = Utf16ToUtf8Lossy(in, len, &lossy);
    if (lossy && (flags & WC_ERR_INVALID_CHARS)) return ERROR_NO_UNICODE_TRANSLATION;
    DWORD err = Deliver(converted, out, cbOut, result);
    if (err == ERROR_SUCCESS && usedDefault) *usedDefault = lossy ? TRUE : FALSE;
    return err;
}

DWORD MultiToWideWorker(UINT codePage, DWORD flags, LPCCH in, int cbIn, LPWSTR out, int cchOut, int& result) {
    if (codePage != CP_ACP && codePage != CP_UTF8) return ERROR_INVALID_PARAMETER;
    if (flags != 0) return ERROR_INVALID_FLAGS;
    if (!in || cbIn == 0 || cbIn < -1 || cchOut < 0 || (cchOut > 0 && !out)) return ERROR_INVALID_PARAMETER;
    size_t len = 0;
    if (cbIn == -1) {
        while (in[len]) ++len;
        ++len;
    } else {
        len = static_cast<size_t>(cbIn);
    }
    return Deliver(Utf8ToUtf16Lossy(in, len, nullptr), out, cchOut, result);
}

} // namespace

} // namespace pal

/* lpDefaultChar is ignored: UTF-8 can carry U+FFFD, which is what replaces a
 * lone surrogate. lpUsedDefaultChar reports whether that happened. */
extern "C" int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                   LPBOOL lpUsedDefaultChar) {
    int result = 0;
    DWORD err;
    try {
        err = pal::WideToMultiWorker(CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte,
                                     lpUsedDefaultChar, result);
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    SetLastError(err);
    return err == ERROR_SUCCESS ? result : 0;
}

extern "C" int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar) {
    int result = 0;
    DWORD err;
    try {
        err = pal::MultiToWideWorker(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar,
                                     result);
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    SetLastError(err);
    return err == ERROR_SUCCESS ? result : 0;
}
