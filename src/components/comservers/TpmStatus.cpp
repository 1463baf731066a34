/* The TPM status server: asks the key storage provider, through CryptoAPI,
 * whether its TPM is present and owned. */
#include "ComObject.h"
#include "ComServers.h"
#include "KeyProvider.h"
#include "Servers.h"

namespace comservers {
namespace {

class TpmStatus final : public ComObject<TpmStatus, ITpmStatus, &IID_ITpmStatus> {
public:
    VK_NOT_IMPLEMENTED(3) VK_NOT_IMPLEMENTED(4) VK_NOT_IMPLEMENTED(5) VK_NOT_IMPLEMENTED(6)
    VK_NOT_IMPLEMENTED(7) VK_NOT_IMPLEMENTED(8) VK_NOT_IMPLEMENTED(9) VK_NOT_IMPLEMENTED(10)
    VK_NOT_IMPLEMENTED(11) VK_NOT_IMPLEMENTED(12) VK_NOT_IMPLEMENTED(13) VK_NOT_IMPLEMENTED(14)

    /* A provider that cannot be reached, or that cannot say, has no owned TPM to
     * offer: the answer is then "not owned", never a failure. */
    STDMETHOD(get_IsOwned)(VARIANT_BOOL* pbOwned) override {
        if (pbOwned == nullptr) return E_POINTER;
        *pbOwned = VARIANT_FALSE;
        HCRYPTPROV hProv = 0;
        if (!CryptAcquireContextW(&hProv, nullptr, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
            return S_OK;
        DWORD owned = 0;
        DWORD cb = sizeof(owned);
        if (CryptGetProvParam(hProv, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&owned), &cb, 0) &&
            cb == sizeof(owned) && owned != 0)
            *pbOwned = VARIANT_TRUE;
        CryptReleaseContext(hProv, 0);
        return S_OK;
    }
};

} // namespace

HRESULT CreateTpmStatus(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    return CreateObject<TpmStatus>(pUnkOuter, riid, ppv);
}

} // namespace comservers
