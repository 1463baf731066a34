/* errno -> Win32 error codes: the one place the PAL translates them. */
#pragma once
#include <windows.h>
#include <string>

namespace pal {

/* Plain translation of an errno value. ENOENT gives ERROR_FILE_NOT_FOUND. */
DWORD Win32FromErrno(int err);

/* For an error on a named path: ENOENT (and ENOTDIR) become
 * ERROR_PATH_NOT_FOUND when the parent folder is missing, as Windows tells a
 * missing file from a missing folder on the way to it. */
DWORD Win32FromPathErrno(int err, const std::string& hostPath);

/* Sets the last error and returns the value for "return Fail(...)" chains. */
template <typename T> inline T FailWith(DWORD error, T result) {
    SetLastError(error);
    return result;
}

} // namespace pal
