/* Reading single registry values as the activation paths need them: every
 * value is treated as untrusted (bounded size, type checked, NUL-terminated
 * or not). Shared by COM activation and CryptoAPI provider lookup. */
#pragma once
#include <windows.h>
#include <string>

namespace pal::reg {

/* Longest string value we accept, in UTF-16 code units (the registry's own
 * limit for a path-like value is far below this). */
constexpr DWORD kMaxStringChars = 32767;

/* A REG_SZ or REG_EXPAND_SZ value (expansion is not performed); lpValueName
 * NULL or "" is the key's default value. Returns ERROR_SUCCESS, the registry's
 * error for a missing key or value, or ERROR_INVALID_DATA for a value of
 * another type or beyond kMaxStringChars. The string stops at its first NUL. */
LONG QueryString(HKEY hRoot, LPCWSTR lpSubKey, LPCWSTR lpValueName, std::u16string& out);

/* A REG_DWORD value; ERROR_INVALID_DATA for another type or size. */
LONG QueryDword(HKEY hRoot, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD& out);

} // namespace pal::reg
