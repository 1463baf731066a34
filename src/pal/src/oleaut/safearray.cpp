/*
 * SAFEARRAY in the Win64 layout. The descriptor is preceded by 16 bytes, as
 * the system's allocator does: the last 4 of them hold the VARTYPE
 * (FADF_HAVEVARTYPE), the first 8 a mark that tells our descriptors from
 * foreign ones. Bounds are kept in reverse order: rgsabound[0] is the last
 * dimension, so dimension nDim (1-based, leftmost first) is
 * rgsabound[cDims - nDim].
 */
#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

enum : VARTYPE {
    kVT_I2 = 2,
    kVT_I4 = 3,
    kVT_R4 = 4,
    kVT_R8 = 5,
    kVT_CY = 6,
    kVT_DATE = 7,
    kVT_BSTR = 8,
    kVT_ERROR = 10,
    kVT_BOOL = 11,
    kVT_I1 = 16,
    kVT_UI1 = 17,
    kVT_UI2 = 18,
    kVT_UI4 = 19,
    kVT_I8 = 20,
    kVT_UI8 = 21,
    kVT_INT = 22,
    kVT_UINT = 23,
};

constexpr USHORT kFadfEmbedded = 0x0004;
constexpr USHORT kFadfBstr = 0x0100;
constexpr USHORT kFadfUnknown = 0x0200;
constexpr USHORT kFadfDispatch = 0x0400;
constexpr USHORT kFadfVariant = 0x0800;
constexpr USHORT kNotOwnedMemory = FADF_AUTO | FADF_STATIC | kFadfEmbedded;

constexpr size_t kPrefix = 16;
constexpr unsigned char kMark[8] = {'V', 'K', 'S', 'A', 'F', 'E', 'A', 'R'};
/* Largest data block we hand out; keeps every product well inside size_t and
 * the 32-bit quantities of the interface. */
constexpr uint64_t kMaxDataBytes = 0x7FFFFFFFu;
constexpr ULONG kMaxLocks = 0xFFFF;

/* Element sizes of the types whose elements need no release beyond BSTR;
 * 0 for a type we do not make arrays of. */
ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
    case kVT_I1:
    case kVT_UI1: return 1;
    case kVT_I2:
    case kVT_UI2:
    case kVT_BOOL: return 2;
    case kVT_I4:
    case kVT_UI4:
    case kVT_INT:
    case kVT_UINT:
    case kVT_R4:
    case kVT_ERROR: return 4;
    case kVT_R8:
    case kVT_CY:
    case kVT_DATE:
    case kVT_I8:
    case kVT_UI8: return 8;
    case kVT_BSTR: return sizeof(BSTR);
    default: return 0;
    }
}

unsigned char* BlockOf(SAFEARRAY* psa) { return reinterpret_cast<unsigned char*>(psa) - kPrefix; }

bool IsOurs(SAFEARRAY* psa) { return memcmp(BlockOf(psa), kMark, sizeof kMark) == 0; }

/* Number of elements over all dimensions; false on overflow. */
bool ElementCount(const SAFEARRAY* psa, uint64_t& count) {
    count = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        uint64_t n = psa->rgsabound[i].cElements;
        if (n != 0 && count > UINT64_MAX / n) return false;
        count *= n;
    }
    return true;
}

SAFEARRAY* Create(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) {
    ULONG cb = ElementSize(vt);
    if (cb == 0 || cDims == 0 || cDims > USHRT_MAX || !bounds) return nullptr;
    uint64_t count = 1;
    for (UINT i = 0; i < cDims; ++i) {
        int64_t upper = static_cast<int64_t>(bounds[i].lLbound) + bounds[i].cElements - 1;
        if (upper > INT32_MAX || upper < static_cast<int64_t>(INT32_MIN)) return nullptr;
        uint64_t n = bounds[i].cElements;
        if (n != 0 && count > kMaxDataBytes / n) return nullptr;
        count *= n;
    }
    if (count > kMaxDataBytes / cb) return nullptr;
    size_t dataBytes = static_cast<size_t>(count * cb);

    size_t descBytes = offsetof(SAFEARRAY, rgsabound) + static_cast<size_t>(cDims) * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<unsigned char*>(calloc(1, kPrefix + descBytes));
    if (!block) return nullptr;
    /* Never a null pvData, even for no elements: readers may copy 0 bytes from it. */
    void* data = calloc(1, dataBytes ? dataBytes : 1);
    if (!data) {
        free(block);
        return nullptr;
    }
    memcpy(block, kMark, sizeof kMark);
    DWORD vtField = vt;
    memcpy(block + kPrefix - 4, &vtField, 4);

    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefix);
    psa->cDims = static_cast<USHORT>(cDims);
    psa->fFeatures = FADF_HAVEVARTYPE | (vt == kVT_BSTR ? kFadfBstr : 0);
    psa->cbElements = cb;
    psa->cLocks = 0;
    psa->pvData = data;
    for (UINT i = 0; i < cDims; ++i) psa->rgsabound[cDims - 1 - i] = bounds[i];
    return psa;
}

HRESULT BoundsOf(SAFEARRAY* psa, UINT nDim, const SAFEARRAYBOUND*& bound) {
    if (!psa) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    bound = &psa->rgsabound[psa->cDims - nDim];
    return S_OK;
}

} // namespace

extern "C" SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    return Create(vt, cDims, rgsabound);
}

extern "C" SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound = {cElements, lLbound};
    return Create(vt, 1, &bound);
}

extern "C" HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    if (__atomic_load_n(&psa->cLocks, __ATOMIC_ACQUIRE) != 0) return DISP_E_ARRAYISLOCKED;
    bool owned = (psa->fFeatures & kNotOwnedMemory) == 0;
    if (owned && !IsOurs(psa)) return E_INVALIDARG;
    if ((psa->fFeatures & kFadfBstr) && psa->pvData) {
        uint64_t count = 0;
        if (!ElementCount(psa, count)) return E_INVALIDARG;
        auto* items = static_cast<BSTR*>(psa->pvData);
        for (uint64_t i = 0; i < count; ++i) {
            SysFreeString(items[i]);
            items[i] = nullptr;
        }
    }
    if (!owned) return S_OK;
    /* Arrays carry decrypted credentials: nothing of them stays in freed memory. */
    uint64_t elements = 0;
    if (psa->pvData && ElementCount(psa, elements)) SecureZeroMemory(psa->pvData, elements * psa->cbElements);
    free(psa->pvData);
    memset(BlockOf(psa), 0, sizeof kMark);
    free(BlockOf(psa));
    return S_OK;
}

extern "C" HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData) return E_INVALIDARG;
    ULONG locks = __atomic_load_n(&psa->cLocks, __ATOMIC_RELAXED);
    do {
        if (locks >= kMaxLocks) return E_UNEXPECTED;
    } while (!__atomic_compare_exchange_n(&psa->cLocks, &locks, locks + 1, false, __ATOMIC_ACQ_REL,
                                          __ATOMIC_RELAXED));
    *ppvData = psa->pvData;
    return S_OK;
}

extern "C" HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    ULONG locks = __atomic_load_n(&psa->cLocks, __ATOMIC_RELAXED);
    do {
        if (locks == 0) return E_UNEXPECTED;
    } while (!__atomic_compare_exchange_n(&psa->cLocks, &locks, locks - 1, false, __ATOMIC_ACQ_REL,
                                          __ATOMIC_RELAXED));
    return S_OK;
}

extern "C" UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

extern "C" UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

extern "C" HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    const SAFEARRAYBOUND* bound = nullptr;
    if (!plLbound) return E_INVALIDARG;
    HRESULT hr = BoundsOf(psa, nDim, bound);
    if (SUCCEEDED(hr)) *plLbound = bound->lLbound;
    return hr;
}

extern "C" HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    const SAFEARRAYBOUND* bound = nullptr;
    if (!plUbound) return E_INVALIDARG;
    HRESULT hr = BoundsOf(psa, nDim, bound);
    if (SUCCEEDED(hr)) {
        /* Computed wide: a foreign descriptor may hold bounds we never made. */
        int64_t upper = static_cast<int64_t>(bound->lLbound) + bound->cElements - 1;
        if (upper > INT32_MAX || upper < static_cast<int64_t>(INT32_MIN)) return E_INVALIDARG;
        *plUbound = static_cast<LONG>(upper);
    }
    return hr;
}

extern "C" HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt) return E_INVALIDARG;
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD vt;
        memcpy(&vt, reinterpret_cast<unsigned char*>(psa) - 4, 4);
        *pvt = static_cast<VARTYPE>(vt);
    } else if (psa->fFeatures & kFadfBstr) {
        *pvt = kVT_BSTR;
    } else if (psa->fFeatures & kFadfUnknown) {
        *pvt = VT_UNKNOWN;
    } else if (psa->fFeatures & kFadfDispatch) {
        *pvt = 9; /* VT_DISPATCH */
    } else if (psa->fFeatures & kFadfVariant) {
        *pvt = VT_VARIANT;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}
