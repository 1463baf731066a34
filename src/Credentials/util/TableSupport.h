/*
 * Helpers shared by the application and user tables: fixed-size string fields,
 * the table key and its HMAC check, byte arrays and the wipe of secret blocks.
 * Everything read from a table file is untrusted until its HMAC matched, and
 * even then a field is bounds-checked before it indexes memory.
 */
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstdlib>
#include <string>
#include "../platform/Wide.h"
#include "WholeFile.h"

namespace tables {

/* Length of a NUL-terminated wide string (0 for NULL). */
size_t WLen(LPCWSTR s) noexcept;

/* Copies src into a field of cap code units: at most cap - 1 characters, the
 * NUL, and zeros in every code unit after it. */
void CopyField(WCHAR* field, size_t cap, LPCWSTR src) noexcept;
/* TRUE when the field holds a NUL within its cap code units. */
BOOL FieldTerminated(const WCHAR* field, size_t cap) noexcept;
/* Zeros the code units after the field's first NUL (none when unterminated). */
void ZeroFieldTail(WCHAR* field, size_t cap) noexcept;
/* Exact, code unit by code unit comparison of a field with a string. */
BOOL FieldEquals(const WCHAR* field, size_t cap, LPCWSTR s) noexcept;
/* The field's text, never reading past cap code units. */
WString FieldString(const WCHAR* field, size_t cap);
/* The text in the ANSI code page, for narrow "%s" log arguments. */
std::string Narrow(const WCHAR* s, size_t cap = (size_t)-1);

/* TRUE for a name the lists can carry: not empty, no "," (the list separator)
 * and no control character. User names and credential ids must be such names. */
BOOL IsListableName(LPCWSTR s) noexcept;

/* TRUE for the 36-character 8-4-4-4-12 hexadecimal text of a GUID. */
BOOL IsGuidString(LPCWSTR s, size_t cap = (size_t)-1) noexcept;

/*
 * HMAC-SHA256 of data under the key derived from the secret and the 32-byte
 * salt (the key is wiped before return). FALSE when the key or the HMAC could
 * not be made: the caller must then neither write nor accept a MAC.
 */
BOOL TableHmac(const BYTE* secret, DWORD secretLen, const BYTE* salt, const BYTE* data, DWORD cb,
               BYTE mac[32]);
/* Constant-time comparison of two 32-byte MACs. */
BOOL MacEqual(const BYTE* a, const BYTE* b) noexcept;

/*
 * Copies the data of a one-dimensional byte array into a new malloc block
 * (at least one byte, so that an empty secret is not mistaken for a missing
 * one). NULL when the array is missing, not a byte vector, or no memory.
 */
BYTE* CopyByteArray(SAFEARRAY* psa, DWORD* pcb) noexcept;
/* The element count of a one-dimensional byte array; FALSE when it is not one. */
BOOL ByteArrayLength(SAFEARRAY* psa, DWORD* pcb) noexcept;

/* The core's one wipe-and-free: wipes len bytes of a malloc'ed secret block,
 * frees it and clears the pointer. */
template <typename T>
inline void FreeSecret(T*& p, size_t len) noexcept {
    if (p) {
        if (len) SecureZeroMemory(p, len);
        free(p);
        p = NULL;
    }
}

} // namespace tables
