/*
 * The one compiler COM support routine mingw-w64 declares but ships no library
 * for: raising a _com_error for a failed call on an interface, with the rich
 * error information when the object offers it.
 */
#include <windows.h>
#include <comdef.h>

void WINAPI _com_issue_errorex(HRESULT hr, IUnknown* punk, REFIID riid) {
    IErrorInfo* info = NULL;
    if (punk != NULL) {
        ISupportErrorInfo* support = NULL;
        if (SUCCEEDED(punk->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)))) {
            if (support->InterfaceSupportsErrorInfo(riid) == S_OK && GetErrorInfo(0, &info) != S_OK) info = NULL;
            support->Release();
        }
    }
    _com_raise_error(hr, info); /* takes over the reference */
}
