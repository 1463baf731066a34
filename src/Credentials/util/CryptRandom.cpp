/* CCryptRandom: the random source of every salt, from one of three sources. */
#include "Util.h"
#include <comdef.h>
#include "../platform/ComServers.h"
#include "../platform/Kry10.h"

#define RANDOM_BYTES 32

CCryptRandom::CCryptRandom(LONG source) : Source(source), Provider(0) {
    if (Source != 1) return;
    CryptAcquireContextW(&Provider, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    if (Provider == 0) throw static_cast<DWORD>(GetLastError());
}

CCryptRandom::~CCryptRandom() {
    if (Source == 1 && Provider != 0) CryptReleaseContext(Provider, 0);
}

static void RandomFromLibrary(BYTE* buffer) {
    try {
        if (KRY_Initialize() < 0) return;
        KRY_RandomBytes(buffer, RANDOM_BYTES);
        KRY_Uninitialize();
    } catch (...) {
        OutputDebugStringA("random exception");
    }
}

static void RandomFromServer(BYTE* buffer) {
    IUnknown* unknown = NULL;
    if (FAILED(CoCreateInstance(CLSID_RandomGenerator, NULL, CLSCTX_ALL, IID_IUnknown,
                                reinterpret_cast<void**>(&unknown))) ||
        unknown == NULL) {
        return;
    }
    IRandomGenerator* generator = NULL;
    HRESULT hr = OleRun(unknown);
    if (SUCCEEDED(hr)) hr = unknown->QueryInterface(IID_IRandomGenerator, reinterpret_cast<void**>(&generator));
    unknown->Release();
    if (FAILED(hr)) return;

    if (hr == S_OK) {
        try {
            if (generator == NULL) _com_issue_error(E_POINTER);
            VARIANT_BOOL done = 0;
            HRESULT hrCall = generator->GetRandomBytes(buffer, RANDOM_BYTES, &done);
            if (FAILED(hrCall)) _com_issue_errorex(hrCall, generator, IID_IRandomGenerator);
        } catch (const _com_error&) {
            /* The buffer stays as far as the server wrote it; no caller is told. */
        }
    }
    if (generator != NULL) generator->Release();
}

void CCryptRandom::GenerateRandom(BYTE* buffer) {
    switch (Source) {
    case 0:
        RandomFromLibrary(buffer);
        break;
    case 1:
        if (Provider != 0) CryptGenRandom(Provider, RANDOM_BYTES, buffer);
        break;
    case 2:
        RandomFromServer(buffer);
        break;
    default:
        break;
    }
}
