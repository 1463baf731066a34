/* Compiler COM support: _bstr_t, a reference-counted holder of a BSTR. */
#pragma once
#include "pal/win32.h"
#include "comdef.h"

class _bstr_t {
public:
    _bstr_t() noexcept : m_data(nullptr) {}
    _bstr_t(const WCHAR* s) : m_data(new Data(s)) {}
    _bstr_t(const _bstr_t& o) noexcept : m_data(o.m_data) {
        if (m_data) m_data->AddRef();
    }
    _bstr_t& operator=(const _bstr_t& o) noexcept {
        if (this != &o) {
            if (o.m_data) o.m_data->AddRef();
            Release();
            m_data = o.m_data;
        }
        return *this;
    }
    ~_bstr_t() { Release(); }
    operator const WCHAR*() const noexcept { return m_data ? m_data->m_str : nullptr; }
    BSTR GetBSTR() const noexcept { return m_data ? m_data->m_str : nullptr; }
    unsigned int length() const noexcept { return m_data ? SysStringLen(m_data->m_str) : 0; }

private:
    struct Data {
        explicit Data(const WCHAR* s) : m_ref(1), m_str(SysAllocString(s)) {
            if (s && !m_str) _com_issue_error(E_OUTOFMEMORY);
        }
        ~Data() { SysFreeString(m_str); }
        void AddRef() noexcept { InterlockedIncrement(&m_ref); }
        LONG Release() noexcept { return InterlockedDecrement(&m_ref); }
        LONG volatile m_ref;
        BSTR m_str;
    };
    void Release() noexcept {
        if (m_data && m_data->Release() == 0) delete m_data;
        m_data = nullptr;
    }
    Data* m_data;
};
