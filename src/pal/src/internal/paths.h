/* Machine root and the mapping of Windows paths to host paths. */
#pragma once
#include <windows.h>
#include <string>

namespace pal {

/* $VAULTKEEP_ROOT if set, else /var/lib/vaultkeep where writable, else the
 * per-user state folder below the account's home. Empty when there is none
 * that only this account controls (never a folder below a shared temporary
 * directory). Read afresh on every call (tests switch roots). */
std::string MachineRoot();

/* "C:\X\Y" -> root + "/X/Y"; "\X" (drive-relative) likewise; an absolute POSIX
 * path unchanged; a relative path with backslashes turned into slashes.
 * Returns false with a Win32 error (ERROR_INVALID_NAME, ERROR_BAD_PATHNAME,
 * ERROR_FILENAME_EXCED_RANGE) for a path it cannot map. */
bool ToHostPath(LPCWSTR winPath, std::string& hostPath, DWORD& error);

/* Inverse for paths below the root (module names, temp folder): root + "/X"
 * -> "C:\X"; other host paths come back unchanged. */
std::u16string ToWindowsPath(const std::string& hostPath);

} // namespace pal
