/* Shell folders and path joining. The machine root is drive C:. */
#include "internal/errors.h"
#include "internal/paths.h"
#include "internal/perms.h"
#include "internal/strings.h"
#include "internal/syscalls.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr int kCsidlFlagMask = 0xFF00; /* CSIDL_FLAG_CREATE and friends */

const WCHAR* FolderOf(int csidl) {
    switch (csidl & ~kCsidlFlagMask) {
    case CSIDL_COMMON_APPDATA: return u"C:\\ProgramData";
    case CSIDL_PROGRAM_FILES: return u"C:\\Program Files";
    default: return nullptr;
    }
}

/* Creates the host folder and the missing folders above it. */
DWORD EnsureHostFolder(const std::string& path) {
    if (pal::perms::MakeFolders(path) == 0) return ERROR_SUCCESS;
    return errno == ENOTDIR ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND) : pal::Win32FromErrno(errno);
}

} // namespace

/* The machine's folders always exist on Windows; with SHGFP_TYPE_CURRENT the
 * host folder is made if the root does not have it yet, so callers can create
 * their own folders inside it. SHGFP_TYPE_DEFAULT gives just the path. */
extern "C" HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath) {
    if (!pszPath) return E_INVALIDARG;
    pszPath[0] = 0;
    const WCHAR* folder = FolderOf(csidl);
    if (!folder || (dwFlags != SHGFP_TYPE_CURRENT && dwFlags != SHGFP_TYPE_DEFAULT)) return E_INVALIDARG;
    if (dwFlags == SHGFP_TYPE_CURRENT) {
        std::string host;
        DWORD err = ERROR_SUCCESS;
        if (!pal::ToHostPath(folder, host, err)) return HRESULT_FROM_WIN32(err);
        err = EnsureHostFolder(host);
        if (err != ERROR_SUCCESS) return HRESULT_FROM_WIN32(err);
    }
    size_t n = pal::WideLength(folder);
    memcpy(pszPath, folder, (n + 1) * sizeof(WCHAR));
    return S_OK;
}

/* Joins with exactly one backslash. Leading backslashes of pszMore are
 * dropped and a trailing one kept; "." and ".." are not resolved. */
extern "C" BOOL PathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
    if (!pszPath || !pszMore) return FALSE;
    std::u16string result(pszPath, pal::WideLength(pszPath));
    const WCHAR* more = pszMore;
    while (*more == u'\\') ++more;
    if (*more || more != pszMore) {
        if (!result.empty() && result.back() != u'\\') result.push_back(u'\\');
        result.append(more);
    }
    if (result.size() + 1 > MAX_PATH) return FALSE;
    memcpy(pszPath, result.c_str(), (result.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

extern "C" BOOL PathFileExistsW(LPCWSTR pszPath) {
    std::string host;
    DWORD err = ERROR_SUCCESS;
    if (!pszPath || !pal::ToHostPath(pszPath, host, err)) return pal::FailWith(err ? err : ERROR_INVALID_PARAMETER, FALSE);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return pal::FailWith(pal::Win32FromPathErrno(errno, host), FALSE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
