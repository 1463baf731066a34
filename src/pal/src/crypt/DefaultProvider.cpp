#include "crypt/DefaultProvider.h"

#include <openssl/rand.h>

#include <climits>

namespace pal::crypt {
namespace {

/* Contexts carry no state: every verify-only context is the same to us. */
constexpr PAL_CSP_PROV kVerifyContext = 1;

BOOL Fail(HRESULT code) {
    SetLastError(static_cast<DWORD>(code));
    return FALSE;
}

BOOL DefAcquireContext(PAL_CSP_PROV* phProv, LPCWSTR szContainer, DWORD dwFlags) {
    *phProv = 0;
    if ((dwFlags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT) {
        // Without key sets, every request for one names a key set we do not have.
        return Fail(NTE_BAD_KEYSET);
    }
    if (dwFlags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) return Fail(NTE_BAD_FLAGS);
    if (szContainer != nullptr && szContainer[0] != 0) return Fail(NTE_BAD_FLAGS);
    *phProv = kVerifyContext;
    return TRUE;
}

BOOL DefReleaseContext(PAL_CSP_PROV, DWORD) { return TRUE; }

BOOL DefGenRandom(PAL_CSP_PROV, DWORD dwLen, BYTE* pbBuffer) {
    // RAND_bytes takes an int: draw in chunks for lengths beyond it.
    while (dwLen > 0) {
        const int chunk = dwLen > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(dwLen);
        if (RAND_bytes(pbBuffer, chunk) != 1) return Fail(NTE_FAIL);
        pbBuffer += chunk;
        dwLen -= static_cast<DWORD>(chunk);
    }
    return TRUE;
}

BOOL DefSetProvParam(PAL_CSP_PROV, DWORD, const BYTE*, DWORD) { return Fail(NTE_BAD_TYPE); }
BOOL DefGetProvParam(PAL_CSP_PROV, DWORD, BYTE*, DWORD*, DWORD) { return Fail(NTE_BAD_TYPE); }
BOOL DefGenKey(PAL_CSP_PROV, ALG_ID, DWORD, PAL_CSP_KEY* phKey) {
    *phKey = 0;
    return Fail(NTE_BAD_ALGID);
}
BOOL DefGetUserKey(PAL_CSP_PROV, DWORD, PAL_CSP_KEY* phUserKey) {
    *phUserKey = 0;
    return Fail(NTE_NO_KEY);
}
BOOL DefImportKey(PAL_CSP_PROV, const BYTE*, DWORD, PAL_CSP_KEY, DWORD, PAL_CSP_KEY* phKey) {
    *phKey = 0;
    return Fail(NTE_BAD_TYPE);
}
/* No key of ours can exist, so the key slots are unreachable through the
 * handle table; they still answer sensibly. */
BOOL DefExportKey(PAL_CSP_PROV, PAL_CSP_KEY, PAL_CSP_KEY, DWORD, DWORD, BYTE*, DWORD*) { return Fail(NTE_BAD_KEY); }
BOOL DefEncrypt(PAL_CSP_PROV, PAL_CSP_KEY, BOOL, DWORD, BYTE*, DWORD*, DWORD) { return Fail(NTE_BAD_KEY); }
BOOL DefDecrypt(PAL_CSP_PROV, PAL_CSP_KEY, BOOL, DWORD, BYTE*, DWORD*) { return Fail(NTE_BAD_KEY); }
BOOL DefDestroyKey(PAL_CSP_PROV, PAL_CSP_KEY) { return Fail(NTE_BAD_KEY); }

const PAL_CSP_TABLE g_defaultTable = {
    PAL_CSP_MAGIC,    PAL_CSP_VERSION, sizeof(PAL_CSP_TABLE), PROV_RSA_FULL,   DefAcquireContext,
    DefReleaseContext, DefGenRandom,   DefSetProvParam,        DefGetProvParam, DefGenKey,
    DefGetUserKey,    DefExportKey,    DefImportKey,           DefEncrypt,      DefDecrypt,
    DefDestroyKey,
};

} // namespace

const PAL_CSP_TABLE* DefaultProviderTable() { return &g_defaultTable; }

} // namespace pal::crypt
