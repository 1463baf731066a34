/* Compiler COM support: _com_error and the helpers that raise it. */
#pragma once
#include "pal/win32.h"

class _com_error {
public:
    explicit _com_error(HRESULT hr, const IID* iid = nullptr) noexcept : m_hr(hr), m_iid(iid ? *iid : GUID{}) {}
    HRESULT Error() const noexcept { return m_hr; }
    GUID GUID_() const noexcept { return m_iid; }

private:
    HRESULT m_hr;
    GUID m_iid;
};

[[noreturn]] inline void _com_issue_error(HRESULT hr) { throw _com_error(hr); }
[[noreturn]] inline void _com_issue_errorex(HRESULT hr, IUnknown*, REFIID riid) { throw _com_error(hr, &riid); }
