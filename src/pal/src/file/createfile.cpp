/*
 * File handles. A handle opened for writing with CREATE_ALWAYS, CREATE_NEW or
 * TRUNCATE_EXISTING writes a hidden temporary beside the name and publishes
 * it on CloseHandle, so the file is its old or its new whole self whatever
 * fails in between. Other dispositions work on the file in place.
 */
#include "file/file.h"
#include "internal/errors.h"
#include "internal/paths.h"
#include "internal/perms.h"
#include "internal/syscalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace pal::file {

FileObject::~FileObject() {
    // Dropped without CloseHandle (never expected): discard, do not publish.
    if (fd >= 0) {
        if (!tempPath.empty()) sys::Unlink(tempPath.c_str());
        sys::Close(fd);
    }
    if (shareToken) ShareRelease(shareKey, shareToken);
}

DWORD FileObject::OnClose() {
    std::lock_guard<std::mutex> g(lock);
    DWORD err = ERROR_SUCCESS;
    if (fd >= 0) {
        if (!tempPath.empty()) {
            if (failure != ERROR_SUCCESS) {
                sys::Unlink(tempPath.c_str());
                err = failure;
            } else {
                err = Publish(fd, tempPath, finalPath, noReplace, !temporary);
            }
            tempPath.clear();
            sys::Close(fd); // after the rename: the temporary's lock guards it until then
        } else if (sys::Close(fd) != 0 && errno != EINTR) {
            err = Win32FromErrno(errno);
        }
        fd = -1;
    }
    if (shareToken) {
        ShareRelease(shareKey, shareToken);
        shareToken = 0;
    }
    return err;
}

namespace {

constexpr DWORD kReadRights = GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | 0x0001 /* FILE_READ_DATA */;
constexpr DWORD kWriteRights =
    GENERIC_WRITE | GENERIC_ALL | 0x0002 /* FILE_WRITE_DATA */ | 0x0004 /* FILE_APPEND_DATA */;

struct Target {
    bool exists = false;
    struct stat st = {};
};

DWORD Probe(const std::string& host, Target& t) {
    if (stat(host.c_str(), &t.st) == 0) {
        t.exists = true;
        return ERROR_SUCCESS;
    }
    if (errno == ENOENT) {
        DWORD e = Win32FromPathErrno(errno, host);
        return e == ERROR_FILE_NOT_FOUND ? static_cast<DWORD>(ERROR_SUCCESS) : e; // missing file: fine so far
    }
    return Win32FromPathErrno(errno, host);
}

/* A name below the machine root is the system's own: a symbolic link there is
 * never followed for writing (someone who could plant one would otherwise
 * have the caller truncate or write the file it points at). */
bool BelowRoot(const std::string& host) {
    const std::string root = MachineRoot();
    return root.size() > 1 && host.size() > root.size() && host.compare(0, root.size(), root) == 0 &&
           host[root.size()] == '/';
}

DWORD OpenInPlace(FileObject& f, const std::string& host, DWORD disposition, bool exists, bool readOnly) {
    int flags = O_CLOEXEC;
    if (f.canWrite && BelowRoot(host)) flags |= O_NOFOLLOW;
    if (f.canRead && f.canWrite)
        flags |= O_RDWR;
    else if (f.canWrite)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    bool creating = false;
    switch (disposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        creating = true;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        creating = !exists;
        break;
    case OPEN_ALWAYS:
        if (!exists) {
            flags |= O_CREAT | O_EXCL;
            creating = true;
        }
        break;
    default:
        break;
    }
    // Created owner-only; the access model is applied once the file exists.
    int fd = sys::Open(host.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST && disposition == OPEN_ALWAYS) { // made by someone else meanwhile
        flags &= ~(O_CREAT | O_EXCL);
        creating = false;
        fd = sys::Open(host.c_str(), flags, 0600);
    }
    if (fd < 0 && errno == EACCES && !f.canRead && !f.canWrite && !creating) {
        fd = sys::Open(host.c_str(), O_PATH | O_CLOEXEC); // attributes only
    }
    if (fd < 0) {
        if (errno == EEXIST) return ERROR_FILE_EXISTS;
        return Win32FromPathErrno(errno, host);
    }
    if (creating) perms::ApplyFd(fd, false, perms::AreaOf(host), readOnly);
    f.fd = fd;
    return ERROR_SUCCESS;
}

DWORD OpenReplacing(FileObject& f, const std::string& host, DWORD disposition, const Target& t, bool readOnly) {
    std::string temp;
    SweepStaleTempsOnce(ParentOf(host));
    int fd = CreateTempBeside(host, temp);
    if (fd < 0) {
        // A file the caller may write in a folder it may not write: no
        // temporary can go beside it, so it is rewritten in place instead.
        if (errno == EACCES && t.exists && access(host.c_str(), W_OK) == 0)
            return OpenInPlace(f, host, CREATE_ALWAYS, true, readOnly);
        return Win32FromPathErrno(errno, host);
    }
    if (t.exists)
        CopyMetadata(t.st, host, fd);
    else
        perms::ApplyFd(fd, false, perms::AreaOf(host), readOnly);
    f.fd = fd;
    f.tempPath = temp;
    f.noReplace = disposition == CREATE_NEW;
    return ERROR_SUCCESS;
}

/* A folder handle exists to flush the folder's entries (FlushFileBuffers), as
 * FILE_FLAG_BACKUP_SEMANTICS gives one on Windows. */
DWORD OpenFolder(const std::string& host, DWORD disposition, std::shared_ptr<FileObject>& f, HANDLE& h) {
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return ERROR_ACCESS_DENIED;
    int fd = sys::Open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Win32FromPathErrno(errno, host);
    f->fd = fd;
    f->isDir = true;
    f->finalPath = host;
    h = InsertHandle(f);
    if (!h) return ERROR_NOT_ENOUGH_MEMORY;
    return disposition == OPEN_ALWAYS ? static_cast<DWORD>(ERROR_ALREADY_EXISTS) : static_cast<DWORD>(ERROR_SUCCESS);
}

DWORD CreateWorker(LPCWSTR lpFileName, DWORD access, DWORD share, DWORD disposition, DWORD flagsAndAttributes,
                   HANDLE& h) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return ERROR_INVALID_PARAMETER;
    if (share & ~static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return ERROR_INVALID_PARAMETER;
    auto f = std::make_shared<FileObject>();
    f->canRead = (access & kReadRights) != 0;
    f->canWrite = (access & kWriteRights) != 0;
    if (disposition == TRUNCATE_EXISTING && !f->canWrite) return ERROR_INVALID_PARAMETER;

    std::string host;
    DWORD err;
    if (!ToHostPath(lpFileName, host, err)) return err;
    Target t;
    if ((err = Probe(host, t)) != ERROR_SUCCESS) return err;
    if (t.exists && S_ISDIR(t.st.st_mode) && (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS))
        return OpenFolder(host, disposition, f, h);

    // Sharing is decided before existence, as Windows does for a name in use.
    Access acc{f->canRead, f->canWrite, (access & (DELETE | GENERIC_ALL)) != 0, share};
    f->shareKey = ShareKey(host);
    if ((err = ShareCheck(f->shareKey, acc)) != ERROR_SUCCESS) return err;

    const bool readOnly = t.exists && !(t.st.st_mode & S_IWUSR);
    switch (disposition) {
    case CREATE_NEW:
        if (t.exists) return ERROR_FILE_EXISTS;
        break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
        if (!t.exists) return ERROR_FILE_NOT_FOUND;
        break;
    default:
        break;
    }
    if (t.exists && S_ISDIR(t.st.st_mode)) return ERROR_ACCESS_DENIED;
    if (readOnly && (f->canWrite || disposition == CREATE_ALWAYS)) return ERROR_ACCESS_DENIED;

    const bool makeReadOnly = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    const bool replacing = f->canWrite && disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS;
    err = replacing ? OpenReplacing(*f, host, disposition, t, makeReadOnly)
                    : OpenInPlace(*f, host, disposition, t.exists, makeReadOnly);
    if (err != ERROR_SUCCESS) return err;
    f->finalPath = host;
    f->temporary = (flagsAndAttributes & FILE_ATTRIBUTE_TEMPORARY) != 0;

    // Registered only now that the open worked; a racing open of the same
    // name in this process is caught here.
    if ((err = ShareAcquire(f->shareKey, acc, f->shareToken)) != ERROR_SUCCESS) {
        f->shareToken = 0;
        return err; // the destructor discards the temporary and closes
    }
    h = InsertHandle(f);
    if (!h) return ERROR_NOT_ENOUGH_MEMORY;
    if (t.exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)) return ERROR_ALREADY_EXISTS;
    return ERROR_SUCCESS;
}

std::shared_ptr<FileObject> GetFile(HANDLE h) {
    return Lookup<FileObject>(h, HandleKind::File);
}

DWORD ReadWorker(HANDLE hFile, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    if (overlapped || (!buffer && toRead)) return ERROR_INVALID_PARAMETER;
    auto f = GetFile(hFile);
    if (!f) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> g(f->lock);
    if (f->fd < 0) return ERROR_INVALID_HANDLE;
    if (f->isDir) return ERROR_INVALID_FUNCTION;
    if (!f->canRead) return ERROR_ACCESS_DENIED;
    DWORD total = 0;
    char* p = static_cast<char*>(buffer);
    while (total < toRead) {
        ssize_t n = sys::Read(f->fd, p + total, toRead - total);
        if (n < 0) {
            if (read) *read = total;
            return errno == EIO ? static_cast<DWORD>(ERROR_READ_FAULT) : Win32FromErrno(errno);
        }
        if (n == 0) break; // end of file: success with fewer bytes
        total += static_cast<DWORD>(n);
    }
    if (read) *read = total;
    return ERROR_SUCCESS;
}

DWORD WriteWorker(HANDLE hFile, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    if (written) *written = 0;
    if (overlapped || (!buffer && toWrite)) return ERROR_INVALID_PARAMETER;
    auto f = GetFile(hFile);
    if (!f) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> g(f->lock);
    if (f->fd < 0) return ERROR_INVALID_HANDLE;
    if (f->isDir) return ERROR_INVALID_FUNCTION;
    if (!f->canWrite) return ERROR_ACCESS_DENIED;
    DWORD total = 0;
    const char* p = static_cast<const char*>(buffer);
    DWORD err = ERROR_SUCCESS;
    while (total < toWrite) {
        ssize_t n = sys::Write(f->fd, p + total, toWrite - total);
        if (n <= 0) {
            err = n == 0 ? static_cast<DWORD>(ERROR_DISK_FULL) : Win32FromErrno(errno);
            break;
        }
        total += static_cast<DWORD>(n);
    }
    if (written) *written = total;
    // A torn temporary must never be published.
    if (err != ERROR_SUCCESS && !f->tempPath.empty() && f->failure == ERROR_SUCCESS) f->failure = err;
    return err;
}

DWORD SizeWorker(HANDLE hFile, uint64_t& size) {
    auto f = GetFile(hFile);
    if (!f) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> g(f->lock);
    struct stat st;
    if (f->fd < 0) return ERROR_INVALID_HANDLE;
    if (fstat(f->fd, &st) != 0) return Win32FromErrno(errno);
    size = static_cast<uint64_t>(st.st_size);
    return ERROR_SUCCESS;
}

DWORD SeekWorker(HANDLE hFile, LONG low, PLONG high, DWORD method, uint64_t& pos) {
    int whence;
    switch (method) {
    case FILE_BEGIN:
        whence = SEEK_SET;
        break;
    case FILE_CURRENT:
        whence = SEEK_CUR;
        break;
    case FILE_END:
        whence = SEEK_END;
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    // Without a high part the distance is a signed 32-bit value; with one, the
    // two form a signed 64-bit distance.
    int64_t distance = high ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<DWORD>(*high)) << 32) |
                                                   static_cast<DWORD>(low))
                            : static_cast<int64_t>(low);
    auto f = GetFile(hFile);
    if (!f) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> g(f->lock);
    if (f->fd < 0) return ERROR_INVALID_HANDLE;
    off_t base = whence == SEEK_SET ? 0 : lseek(f->fd, 0, whence);
    if (base < 0) return Win32FromErrno(errno);
    if ((distance < 0 && base + distance < 0) || (distance > 0 && base > INT64_MAX - distance))
        return ERROR_NEGATIVE_SEEK;
    int64_t target = base + distance;
    if (!high && target > 0xFFFFFFFE) return ERROR_INVALID_PARAMETER; // not representable in the result
    off_t r = lseek(f->fd, static_cast<off_t>(target), SEEK_SET);
    if (r < 0) return Win32FromErrno(errno);
    pos = static_cast<uint64_t>(r);
    return ERROR_SUCCESS;
}

DWORD FlushWorker(HANDLE hFile) {
    auto f = GetFile(hFile);
    if (!f) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> g(f->lock);
    if (f->fd < 0) return ERROR_INVALID_HANDLE;
    if (!f->canWrite) return ERROR_ACCESS_DENIED;
    // A folder handle flushes the folder's entries: the renames, creations and deletions made in it.
    if (sys::Fsync(f->fd) == 0) return ERROR_SUCCESS;
    DWORD err = Win32FromErrno(errno);
    if (!f->tempPath.empty() && f->failure == ERROR_SUCCESS) f->failure = err;
    return err;
}

} // namespace

} // namespace pal::file

using namespace pal::file;

extern "C" HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                              HANDLE) {
    HANDLE h = NULL;
    DWORD err;
    try {
        err = CreateWorker(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                           dwFlagsAndAttributes, h);
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    // Set on success too: CREATE_ALWAYS and OPEN_ALWAYS report ERROR_ALREADY_EXISTS.
    SetLastError(err);
    return err == ERROR_SUCCESS || err == ERROR_ALREADY_EXISTS ? h : INVALID_HANDLE_VALUE;
}

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    DWORD err = ReadWorker(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    DWORD err = WriteWorker(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

extern "C" BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    uint64_t size = 0;
    DWORD err = lpFileSize ? SizeWorker(hFile, size) : static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    if (err == ERROR_SUCCESS) lpFileSize->QuadPart = static_cast<LONGLONG>(size);
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

extern "C" DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                DWORD dwMoveMethod) {
    uint64_t pos = 0;
    DWORD err = SeekWorker(hFile, lDistanceToMove, lpDistanceToMoveHigh, dwMoveMethod, pos);
    SetLastError(err);
    if (err != ERROR_SUCCESS) return INVALID_SET_FILE_POINTER;
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(pos >> 32);
    return static_cast<DWORD>(pos);
}

extern "C" BOOL FlushFileBuffers(HANDLE hFile) {
    DWORD err = FlushWorker(hFile);
    SetLastError(err);
    return err == ERROR_SUCCESS;
}
