/* UTF-16 <-> UTF-8, the only conversions in the PAL (the ANSI code page is UTF-8). */
#pragma once
#include <windows.h>
#include <string>

namespace pal {

size_t WideLength(LPCWSTR s);
/* Unpaired surrogates become U+FFFD. */
std::string Utf16ToUtf8(LPCWSTR s, size_t len);
inline std::string Utf16ToUtf8(LPCWSTR s) { return s ? Utf16ToUtf8(s, WideLength(s)) : std::string(); }
/* Invalid sequences become U+FFFD. */
std::u16string Utf8ToUtf16(const char* s, size_t len);
inline std::u16string Utf8ToUtf16(const std::string& s) { return Utf8ToUtf16(s.data(), s.size()); }

} // namespace pal
