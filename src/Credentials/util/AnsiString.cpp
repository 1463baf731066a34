/* CAnsiString: a password as the provider and the key derivations take it, UTF-8 on every
 * platform (an ANSI code page would map the characters of other scripts to '?', so that
 * different passwords open the same key), wiped when it goes. A password that is not valid
 * UTF-16 (a lone surrogate) is refused, not replaced, for the same reason. */
#include "Util.h"
#include "TableSupport.h"
#include <comdef.h>
#include <cstdlib>

[[noreturn]] static void RaiseConversionError() {
    HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    _com_issue_error(FAILED(hr) ? hr : E_FAIL);
}

CAnsiString::CAnsiString(LPCWSTR wide) : m_data(NULL), m_len(0) {
    if (wide == NULL) return;
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, NULL, 0, NULL, NULL);
    /* A password that cannot be converted must not silently become "". */
    if (n <= 0) RaiseConversionError();
    m_data = static_cast<char*>(malloc((size_t)n));
    if (m_data == NULL) _com_issue_error(E_OUTOFMEMORY);
    int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, m_data, n, NULL, NULL);
    if (written != n) {
        tables::FreeSecret(m_data, (size_t)n);
        RaiseConversionError();
    }
    m_data[n - 1] = '\0';
    m_len = n - 1;
}

CAnsiString::~CAnsiString() {
    tables::FreeSecret(m_data, (size_t)m_len + 1);
}
