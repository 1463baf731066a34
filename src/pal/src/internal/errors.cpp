#include "internal/errors.h"

#include <sys/stat.h>

#include <cerrno>

namespace pal {

DWORD Win32FromErrno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ELOOP:
        return ERROR_BAD_PATHNAME;
    case EBUSY:
        return ERROR_SHARING_VIOLATION;
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case EIO:
        return ERROR_WRITE_FAULT;
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

DWORD Win32FromPathErrno(int err, const std::string& hostPath) {
    if (err != ENOENT && err != ENOTDIR) return Win32FromErrno(err);
    std::string path = hostPath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ERROR_FILE_NOT_FOUND; // relative to the working folder, which exists
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

} // namespace pal
