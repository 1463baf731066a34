/* GUIDs: generation and the two text forms (RPC: bare lower case; OLE: braced upper case), written only. */
#include <windows.h>

#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kBareLength = 36; /* 8-4-4-4-12 */

void WriteHex(WCHAR* out, uint64_t value, int digits, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i, value >>= 4) out[i] = static_cast<WCHAR>(set[value & 0xF]);
}

/* Writes the 36 characters of the bare form (no NUL). */
void FormatBare(const GUID& g, WCHAR* out, bool upper) {
    WriteHex(out, g.Data1, 8, upper);
    out[8] = u'-';
    WriteHex(out + 9, g.Data2, 4, upper);
    out[13] = u'-';
    WriteHex(out + 14, g.Data3, 4, upper);
    out[18] = u'-';
    WriteHex(out + 19, g.Data4[0], 2, upper);
    WriteHex(out + 21, g.Data4[1], 2, upper);
    out[23] = u'-';
    for (int i = 0; i < 6; ++i) WriteHex(out + 24 + 2 * i, g.Data4[2 + i], 2, upper);
}

} // namespace

extern "C" HRESULT CoCreateGuid(GUID* pguid) {
    if (!pguid) return E_INVALIDARG;
    GUID g;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&g), sizeof g) != 1) return E_FAIL;
    g.Data3 = static_cast<uint16_t>((g.Data3 & 0x0FFF) | 0x4000); /* version 4: random */
    g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80); /* RFC 4122 variant */
    *pguid = g;
    return S_OK;
}

/* A null UUID stands for the nil UUID, as in the RPC runtime. */
extern "C" RPC_STATUS UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid) {
    if (!StringUuid) return ERROR_INVALID_PARAMETER;
    *StringUuid = nullptr;
    UUID nil = {};
    auto* out = static_cast<WCHAR*>(malloc((kBareLength + 1) * sizeof(WCHAR)));
    if (!out) return ERROR_OUTOFMEMORY;
    FormatBare(Uuid ? *Uuid : nil, out, false);
    out[kBareLength] = 0;
    *StringUuid = out;
    return RPC_S_OK;
}

extern "C" RPC_STATUS RpcStringFreeW(RPC_WSTR* String) {
    if (!String) return ERROR_INVALID_PARAMETER;
    free(*String);
    *String = nullptr;
    return RPC_S_OK;
}

/* Returns the characters written including the NUL (39), or 0 when they do not fit. */
extern "C" int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    constexpr int kBraced = static_cast<int>(kBareLength) + 3;
    if (!lpsz || cchMax < kBraced) return 0;
    lpsz[0] = u'{';
    FormatBare(rguid, lpsz + 1, true);
    lpsz[kBareLength + 1] = u'}';
    lpsz[kBareLength + 2] = 0;
    return kBraced;
}

