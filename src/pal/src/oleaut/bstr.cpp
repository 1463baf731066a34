/*
 * BSTR: a 32-bit byte length just before the characters, and a NUL character
 * after them that the length does not count. The block starts 8 bytes before
 * the string so the characters stay 8-aligned, as on Win64.
 */
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kHeader = 8;
/* Keeps header + bytes + NUL well inside both size_t and the 32-bit prefix. */
constexpr size_t kMaxBytes = 0x7FFFFFF0u;

BSTR AllocBytes(const void* src, size_t bytes) {
    if (bytes > kMaxBytes) return nullptr;
    auto* block = static_cast<unsigned char*>(malloc(kHeader + bytes + sizeof(OLECHAR)));
    if (!block) return nullptr;
    uint32_t len = static_cast<uint32_t>(bytes);
    memset(block, 0, 4);
    memcpy(block + 4, &len, 4);
    if (src) memcpy(block + kHeader, src, bytes);
    /* Two zero bytes right after the data: a NUL character even for an odd
     * byte length. */
    block[kHeader + bytes] = 0;
    block[kHeader + bytes + 1] = 0;
    return reinterpret_cast<BSTR>(block + kHeader);
}

uint32_t ByteLen(BSTR s) {
    uint32_t len;
    memcpy(&len, reinterpret_cast<unsigned char*>(s) - 4, 4);
    return len;
}

} // namespace

extern "C" BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    size_t n = 0;
    while (psz[n]) ++n;
    if (n > kMaxBytes / sizeof(OLECHAR)) return nullptr;
    return AllocBytes(psz, n * sizeof(OLECHAR));
}

/* A null source gives a string of ui characters whose contents are not set. */
extern "C" BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > kMaxBytes / sizeof(OLECHAR)) return nullptr;
    return AllocBytes(strIn, static_cast<size_t>(ui) * sizeof(OLECHAR));
}

extern "C" BSTR SysAllocStringByteLen(const char* psz, UINT len) { return AllocBytes(psz, len); }

extern "C" void SysFreeString(BSTR bstrString) {
    if (!bstrString) return;
    /* Strings may hold names and passwords: wiped, terminator included, before the free. */
    unsigned char* block = reinterpret_cast<unsigned char*>(bstrString) - kHeader;
    SecureZeroMemory(block, kHeader + ByteLen(bstrString) + sizeof(OLECHAR));
    free(block);
}

extern "C" UINT SysStringLen(BSTR pbstr) { return pbstr ? ByteLen(pbstr) / sizeof(OLECHAR) : 0; }

extern "C" UINT SysStringByteLen(BSTR bstr) { return bstr ? ByteLen(bstr) : 0; }
