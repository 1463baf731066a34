#include "TableSupport.h"
#include <cstdlib>
#include <cstring>
#include "Util.h"
#include "../platform/DiagLog.h"

namespace tables {

size_t WLen(LPCWSTR s) noexcept {
    size_t n = 0;
    if (s)
        while (s[n] != 0) ++n;
    return n;
}

void CopyField(WCHAR* field, size_t cap, LPCWSTR src) noexcept {
    if (cap == 0) return;
    size_t i = 0;
    if (src)
        for (; i < cap - 1 && src[i] != 0; ++i) field[i] = src[i];
    for (; i < cap; ++i) field[i] = 0;
}

BOOL FieldTerminated(const WCHAR* field, size_t cap) noexcept {
    for (size_t i = 0; i < cap; ++i)
        if (field[i] == 0) return TRUE;
    return FALSE;
}

void ZeroFieldTail(WCHAR* field, size_t cap) noexcept {
    size_t i = 0;
    while (i < cap && field[i] != 0) ++i;
    for (; i < cap; ++i) field[i] = 0;
}

BOOL FieldEquals(const WCHAR* field, size_t cap, LPCWSTR s) noexcept {
    if (!s) return FALSE;
    for (size_t i = 0; i < cap; ++i) {
        if (field[i] != s[i]) return FALSE;
        if (s[i] == 0) return TRUE;
    }
    return FALSE; /* the field has no NUL: no string equals it */
}

WString FieldString(const WCHAR* field, size_t cap) {
    size_t n = 0;
    while (n < cap && field[n] != 0) ++n;
    return WString(field, n);
}

std::string Narrow(const WCHAR* s, size_t cap) {
    if (!s) return std::string();
    size_t n = 0;
    BOOL ascii = TRUE;
    while (n < cap && s[n] != 0) {
        if (s[n] >= 0x80) ascii = FALSE;
        ++n;
    }
    if (n == 0) return std::string();
    /* Log arguments are built whether or not logging is on, once per record of
     * a table: ASCII, which every code page spells alike, skips the conversion. */
    if (ascii) {
        std::string out(n, '\0');
        for (size_t i = 0; i < n; ++i) out[i] = (char)s[i];
        return out;
    }
    int len = WideCharToMultiByte(CP_ACP, 0, s, (int)n, NULL, 0, NULL, NULL);
    if (len <= 0) return std::string();
    std::string out((size_t)len, '\0');
    WideCharToMultiByte(CP_ACP, 0, s, (int)n, &out[0], len, NULL, NULL);
    return out;
}

BOOL IsListableName(LPCWSTR s) noexcept {
    if (!s || s[0] == 0) return FALSE;
    for (size_t i = 0; s[i] != 0; ++i)
        if (s[i] == u',' || s[i] < 0x20 || s[i] == 0x7F) return FALSE;
    return TRUE;
}

static BOOL IsHex(WCHAR c) noexcept {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

BOOL IsGuidString(LPCWSTR s, size_t cap) noexcept {
    if (!s || cap < 37) return FALSE;
    for (size_t i = 0; i < 36; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != u'-') return FALSE;
        } else if (!IsHex(s[i])) {
            return FALSE;
        }
    }
    return s[36] == 0;
}

BOOL TableHmac(const BYTE* secret, DWORD secretLen, const BYTE* salt, const BYTE* data, DWORD cb, BYTE mac[32]) {
    BYTE key[KEY_SIZE];
    LONG keyLen = KEY_SIZE;
    memset(key, 0, sizeof(key));
    memset(mac, 0, HMAC_SIZE);
    const BOOL made = CUtil::GenAESKey(secret, (LONG)secretLen, key, &keyLen, salt) == 0 &&
                      CUtil::GenerateHMAC(key, KEY_SIZE, data, &cb, mac) == 0;
    SecureZeroMemory(key, sizeof(key));
    if (!made) _PrintError("tables::TableHmac", __LINE__, "the table key or its HMAC could not be made");
    return made;
}

/* Constant time: every byte is compared whatever the earlier ones held. */
BOOL MacEqual(const BYTE* a, const BYTE* b) noexcept {
    const volatile BYTE* va = a;
    const volatile BYTE* vb = b;
    BYTE diff = 0;
    for (DWORD i = 0; i < HMAC_SIZE; ++i) diff |= (BYTE)(va[i] ^ vb[i]);
    return diff == 0;
}

BOOL ByteArrayLength(SAFEARRAY* psa, DWORD* pcb) noexcept {
    if (!psa || SafeArrayGetDim(psa) != 1 || SafeArrayGetElemsize(psa) != 1) return FALSE;
    *pcb = psa->rgsabound[0].cElements;
    return TRUE;
}

BYTE* CopyByteArray(SAFEARRAY* psa, DWORD* pcb) noexcept {
    *pcb = 0;
    DWORD cb = 0;
    if (!ByteArrayLength(psa, &cb)) return NULL;
    BYTE* copy = (BYTE*)malloc(cb ? cb : 1);
    if (!copy) return NULL;
    if (cb) {
        void* data = NULL;
        if (FAILED(SafeArrayAccessData(psa, &data)) || !data) {
            free(copy);
            return NULL;
        }
        memcpy(copy, data, cb);
        SafeArrayUnaccessData(psa);
    }
    *pcb = cb;
    return copy;
}

} // namespace tables
