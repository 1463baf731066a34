/* The random-number server: bytes straight from the host's strong generator. */
#include "ComObject.h"
#include "ComServers.h"
#include "Servers.h"

#include "Platform.h"

namespace comservers {
namespace {

class RandomGenerator final : public ComObject<RandomGenerator, IRandomGenerator, &IID_IRandomGenerator> {
public:
    VK_NOT_IMPLEMENTED(3) VK_NOT_IMPLEMENTED(4) VK_NOT_IMPLEMENTED(5) VK_NOT_IMPLEMENTED(6)
    VK_NOT_IMPLEMENTED(7) VK_NOT_IMPLEMENTED(8) VK_NOT_IMPLEMENTED(9) VK_NOT_IMPLEMENTED(10)
    VK_NOT_IMPLEMENTED(11) VK_NOT_IMPLEMENTED(12) VK_NOT_IMPLEMENTED(13) VK_NOT_IMPLEMENTED(14)
    VK_NOT_IMPLEMENTED(15) VK_NOT_IMPLEMENTED(16) VK_NOT_IMPLEMENTED(17) VK_NOT_IMPLEMENTED(18)
    VK_NOT_IMPLEMENTED(19) VK_NOT_IMPLEMENTED(20) VK_NOT_IMPLEMENTED(21) VK_NOT_IMPLEMENTED(22)
    VK_NOT_IMPLEMENTED(23) VK_NOT_IMPLEMENTED(24) VK_NOT_IMPLEMENTED(25) VK_NOT_IMPLEMENTED(26)
    VK_NOT_IMPLEMENTED(27) VK_NOT_IMPLEMENTED(28) VK_NOT_IMPLEMENTED(29) VK_NOT_IMPLEMENTED(30)
    VK_NOT_IMPLEMENTED(31) VK_NOT_IMPLEMENTED(32) VK_NOT_IMPLEMENTED(33) VK_NOT_IMPLEMENTED(34)
    VK_NOT_IMPLEMENTED(35) VK_NOT_IMPLEMENTED(36) VK_NOT_IMPLEMENTED(37) VK_NOT_IMPLEMENTED(38)
    VK_NOT_IMPLEMENTED(39) VK_NOT_IMPLEMENTED(40) VK_NOT_IMPLEMENTED(41) VK_NOT_IMPLEMENTED(42)
    VK_NOT_IMPLEMENTED(43) VK_NOT_IMPLEMENTED(44) VK_NOT_IMPLEMENTED(45) VK_NOT_IMPLEMENTED(46)
    VK_NOT_IMPLEMENTED(47) VK_NOT_IMPLEMENTED(48) VK_NOT_IMPLEMENTED(49) VK_NOT_IMPLEMENTED(50)
    VK_NOT_IMPLEMENTED(51) VK_NOT_IMPLEMENTED(52) VK_NOT_IMPLEMENTED(53) VK_NOT_IMPLEMENTED(54)
    VK_NOT_IMPLEMENTED(55) VK_NOT_IMPLEMENTED(56)

    /* *pbResult is VARIANT_TRUE exactly when all cb bytes were written. */
    STDMETHOD(GetRandomBytes)(BYTE* pbBuffer, LONG cb, VARIANT_BOOL* pbResult) override {
        if (pbResult == nullptr) return E_POINTER;
        *pbResult = VARIANT_FALSE;
        if (cb < 0) return E_INVALIDARG;
        if (cb == 0) {
            *pbResult = VARIANT_TRUE;
            return S_OK;
        }
        if (pbBuffer == nullptr) return E_POINTER;
        if (!StrongRandom(pbBuffer, cb)) return E_FAIL;
        *pbResult = VARIANT_TRUE;
        return S_OK;
    }
};

} // namespace

HRESULT CreateRandomGenerator(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    return CreateObject<RandomGenerator>(pUnkOuter, riid, ppv);
}

} // namespace comservers
