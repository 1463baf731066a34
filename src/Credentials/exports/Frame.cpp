/* The call frame shared by every export. */
#include "Frame.h"
#include "ProcessLock.h"
#include "RootLayout.h"

CExportFrame::CExportFrame(const char* name, DWORD flags) noexcept
    : m_trace(name), m_flags(flags), m_rejected(FALSE), m_status(Error_Success), m_hrCo(E_FAIL) {}

void CExportFrame::Reject(int line, LONG status, const char* text) noexcept {
    if (m_rejected) return;
    _PrintError(Name(), line, "%s", text);
    m_rejected = TRUE;
    m_status = status;
}

static void RejectArgument(CExportFrame& frame, int line, const char* argName, const char* what) {
    char text[160];
    int n = 0;
    /* Bounded formatting without the C runtime's printf family in the core. */
    for (const char* p = what; *p && n < (int)sizeof(text) - 1; ++p) text[n++] = *p;
    for (const char* p = argName ? argName : "?"; *p && n < (int)sizeof(text) - 1; ++p) text[n++] = *p;
    text[n] = '\0';
    frame.Reject(line, Error_Internal, text);
}

void CExportFrame::CopyName(const char* argName, LPCWSTR arg, WString& copy) noexcept {
    if (m_rejected) return;
    if (arg == NULL) {
        RejectArgument(*this, __LINE__, argName, "null argument: ");
        return;
    }
    try {
        _bstr_t holder(arg);
        copy.assign(static_cast<const WCHAR*>(holder), holder.length());
    } catch (...) {
        /* No memory for the holder, its BSTR or the copy: nothing is held yet. */
        RejectArgument(*this, __LINE__, argName, "out of memory copying ");
    }
}

void CExportFrame::CopyAppName(const char* argName, LPCWSTR arg, WString& copy) noexcept {
    CopyName(argName, arg, copy);
}

void CExportFrame::CheckString(const char* argName, LPCWSTR arg) noexcept {
    if (m_rejected) return;
    if (arg == NULL) RejectArgument(*this, __LINE__, argName, "null argument: ");
}

void CExportFrame::CheckNewPassword(const char* argName, LPCWSTR arg) noexcept {
    CheckString(argName, arg);
    if (m_rejected) return;
    size_t n = 0;
    while (n <= VAULTKEEP_MAX_PASSWORD && arg[n]) ++n;
    if (n == 0 || n > VAULTKEEP_MAX_PASSWORD) Reject(__LINE__, Error_Invalid_Cred, "new password empty or too long");
}

void CExportFrame::CheckBytes(const char* argName, SAFEARRAY* psa) noexcept {
    if (m_rejected) return;
    if (psa == NULL) {
        RejectArgument(*this, __LINE__, argName, "null argument: ");
        return;
    }
    VARTYPE vt = VT_EMPTY;
    if (SafeArrayGetDim(psa) != 1 || SafeArrayGetElemsize(psa) != 1 || FAILED(SafeArrayGetVartype(psa, &vt)) ||
        vt != VT_UI1) {
        RejectArgument(*this, __LINE__, argName, "not a one-dimensional byte array: ");
    }
}

void CExportFrame::CheckOut(const char* argName, const void* out) noexcept {
    if (m_rejected) return;
    if (out == NULL) RejectArgument(*this, __LINE__, argName, "null argument: ");
}

BOOL CExportFrame::Enter() noexcept {
    if (!KsAcquireMutex()) return FALSE;
    EnsureRootLayout();
    m_hrCo = CoInitialize(NULL);
    return TRUE;
}

void CExportFrame::Caught(LONG& status) noexcept {
    status = Error_Internal;
    if (m_flags & FRAME_LOG_EXCEPTION) _PrintError(Name(), __LINE__, "exception");
}

void CExportFrame::Leave(LONG& status) noexcept {
    /* The registry writes a call's changes once; they are on disk before the
     * call reports success. */
    LSTATUS flushed = RegFlushKey(HKEY_LOCAL_MACHINE);
    if (flushed != ERROR_SUCCESS && status >= 0) {
        _PrintError(Name(), __LINE__, "RegFlushKey() failed. Error %d", (int)flushed);
        status = Error_Insufficient_Privileges;
    }
    _Print(Name(), "result=%d", (int)status);
    /* An apartment this call did not join is not left either. */
    if (SUCCEEDED(m_hrCo)) CoUninitialize();
    KsReleaseMutex();
}
