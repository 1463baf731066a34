/* The classes of this module, by creator: what the class factory calls. */
#pragma once
#include <windows.h>
#include <objbase.h>

namespace comservers {

typedef HRESULT (*PFN_CreateObject)(IUnknown* pUnkOuter, REFIID riid, void** ppv);

HRESULT CreateRandomGenerator(IUnknown* pUnkOuter, REFIID riid, void** ppv);
HRESULT CreateTpmStatus(IUnknown* pUnkOuter, REFIID riid, void** ppv);
HRESULT CreateKeyArchive(IUnknown* pUnkOuter, REFIID riid, void** ppv);

} // namespace comservers
