/*
 * The call frame that every export runs around its body.
 *
 * An export is written as:
 *
 *     LONG AddUser(const WCHAR* appName, SAFEARRAY* appSecret, const WCHAR* userName, const WCHAR* password)
 *     {
 *         CExportFrame frame("AddUser");          // first: logs "start"; destroyed last: logs "return"
 *         WString app, user;                      // copies live inside the frame's scope
 *         frame.CopyAppName("appName", appName, app);
 *         frame.CheckBytes("appSecret", appSecret);
 *         frame.CopyName("userName", userName, user);
 *         frame.CheckString("password", password);
 *         return frame.Run([&]() -> LONG { ... body ... });
 *     }
 *
 * The checks run before the lock. The first one that fails logs an error line
 * naming the argument and fixes the status (Error_Internal, or what Reject is
 * given, such as Error_Invalid_ID for a credential id); later checks do
 * nothing, and Run returns that status without taking the lock, without COM and
 * without a "result=%d" line. Otherwise Run takes the lock (failure: -6, nothing
 * else), lays out a machine root that was never set up, initialises COM, runs
 * the body under a catch-all guard (an exception gives -6), writes the registry
 * changes it made (a failure turns a status that is not negative into -11),
 * logs "result=%d", uninitialises COM and releases the lock. No exception
 * leaves Run or a check.
 */
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <comutil.h>
#include <vaultkeep/vaultkeep.h>
#include "../platform/DiagLog.h"
#include "../platform/Wide.h"
#include "../util/Trace.h"

/* Frame options. */
#define FRAME_LOG_EXCEPTION 0x1 /* the guard logs the error line "exception" */

class CExportFrame {
public:
    explicit CExportFrame(const char* name, DWORD flags = 0) noexcept;

    /* Copies a wide-string argument through a BSTR holder; a null argument or no memory rejects the call. */
    void CopyName(const char* argName, LPCWSTR arg, WString& copy) noexcept;
    /* The application name, copied as above. Whether it can name a folder and a
     * registry key is the application table's to judge (CAppTable::CheckAppName). */
    void CopyAppName(const char* argName, LPCWSTR arg, WString& copy) noexcept;
    /* A wide-string argument passed on as the caller's pointer (a password): must not be null. */
    void CheckString(const char* argName, LPCWSTR arg) noexcept;
    /* A password a key is to take: not null, 1 to VAULTKEEP_MAX_PASSWORD characters
     * (else -8, Error_Invalid_Cred). */
    void CheckNewPassword(const char* argName, LPCWSTR arg) noexcept;
    /* An input byte array: one-dimensional, element type VT_UI1. */
    void CheckBytes(const char* argName, SAFEARRAY* psa) noexcept;
    /* An out-pointer (SAFEARRAY** or BSTR*): must not be null. */
    void CheckOut(const char* argName, const void* out) noexcept;
    /* Rejects the call before the lock: error line with text, the status is Run's result. */
    void Reject(int line, LONG status, const char* text) noexcept;

    BOOL Rejected() const noexcept { return m_rejected; }
    const char* Name() const noexcept { return m_trace.Name(); }

    template <class Body>
    LONG Run(Body&& body) noexcept;

    CExportFrame(const CExportFrame&) = delete;
    CExportFrame& operator=(const CExportFrame&) = delete;

private:
    BOOL Enter() noexcept;            /* lock, root layout, CoInitialize; FALSE when the lock was not obtained */
    void Leave(LONG& status) noexcept; /* registry flush (a failure fails a successful call), "result=%d", CoUninitialize, release */
    void Caught(LONG& status) noexcept; /* the guard: -6, and the "exception" line when asked */

    CFuncTrace m_trace; /* first member: constructed first, destroyed last */
    DWORD m_flags;
    BOOL m_rejected;
    LONG m_status;
    HRESULT m_hrCo;
};

template <class Body>
LONG CExportFrame::Run(Body&& body) noexcept {
    if (m_rejected) return m_status;
    if (!Enter()) return Error_Internal;
    LONG status = Error_Internal;
    try {
        status = body();
    } catch (...) {
        Caught(status);
    }
    Leave(status);
    return status;
}
