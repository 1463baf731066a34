/* Operations on names: delete, move, copy, folders, attributes, temp folder. */
#include "file/file.h"
#include "internal/errors.h"
#include "internal/paths.h"
#include "internal/perms.h"
#include "internal/strings.h"
#include "internal/syscalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace pal::file {

namespace {

/* The last-component status of a name. Missing: FILE or PATH not found. */
DWORD LStat(const std::string& host, struct stat& st) {
    if (lstat(host.c_str(), &st) == 0) return ERROR_SUCCESS;
    return Win32FromPathErrno(errno, host);
}

bool IsReadOnlyFile(const struct stat& st) {
    return S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR);
}

void SyncParents(const std::string& a, const std::string& b) {
    std::string pa = ParentOf(a), pb = ParentOf(b);
    sys::SyncDir(pa);
    if (pb != pa) sys::SyncDir(pb);
}

DWORD DeleteWorker(LPCWSTR name) {
    std::string host;
    DWORD err;
    if (!ToHostPath(name, host, err)) return err;
    struct stat st;
    if ((err = LStat(host, st)) != ERROR_SUCCESS) return err;
    if (S_ISDIR(st.st_mode) || IsReadOnlyFile(st)) return ERROR_ACCESS_DENIED;
    if ((err = ShareCheck(ShareKey(host), Access{false, false, true,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE})) !=
        ERROR_SUCCESS)
        return err;
    if (sys::Unlink(host.c_str()) != 0) return Win32FromPathErrno(errno, host);
    return ERROR_SUCCESS;
}

/* Copies src's bytes and mode to a temporary beside dst and publishes it. */
DWORD CopyWorker(const std::string& src, const std::string& dst, bool failIfExists) {
    struct stat sst, dstSt;
    DWORD err;
    if ((err = LStat(src, sst)) != ERROR_SUCCESS) return err;
    if (S_ISLNK(sst.st_mode) && stat(src.c_str(), &sst) != 0) return Win32FromPathErrno(errno, src);
    if (S_ISDIR(sst.st_mode)) return ERROR_ACCESS_DENIED;
    if ((err = ShareCheck(ShareKey(src), Access{true, false, false, FILE_SHARE_READ})) != ERROR_SUCCESS)
        return err;
    if (stat(dst.c_str(), &dstSt) == 0) {
        if (failIfExists) return ERROR_FILE_EXISTS;
        if (S_ISDIR(dstSt.st_mode) || IsReadOnlyFile(dstSt)) return ERROR_ACCESS_DENIED;
        if ((err = ShareCheck(ShareKey(dst), Access{false, true, false, 0})) != ERROR_SUCCESS) return err;
    } else {
        int e = errno;
        if (e != ENOENT || Win32FromPathErrno(e, dst) == ERROR_PATH_NOT_FOUND)
            return Win32FromPathErrno(e, dst);
    }

    int in = sys::Open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Win32FromPathErrno(errno, src);
    err = WriteBeside(dst, failIfExists, [&](int out) -> DWORD {
        char buf[64 * 1024];
        for (;;) {
            ssize_t n = sys::Read(in, buf, sizeof buf);
            if (n == 0) break;
            if (n < 0) return errno == EIO ? static_cast<DWORD>(ERROR_READ_FAULT) : Win32FromErrno(errno);
            if (!sys::WriteAll(out, buf, static_cast<size_t>(n))) return Win32FromErrno(errno);
        }
        // The copy keeps the source's read-only attribute; its access
        // follows the model wherever the source came from.
        perms::ApplyFd(out, false, perms::AreaOf(dst), !(sst.st_mode & S_IWUSR));
        return ERROR_SUCCESS;
    });
    sys::Close(in);
    return err;
}

DWORD MoveWorker(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (flags &
        ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
        return ERROR_INVALID_PARAMETER;
    if (!to) return ERROR_INVALID_PARAMETER; // delete-on-reboot is not offered
    std::string src, dst;
    DWORD err;
    if (!ToHostPath(from, src, err) || !ToHostPath(to, dst, err)) return err;
    struct stat sst, dstSt;
    if ((err = LStat(src, sst)) != ERROR_SUCCESS) return err;
    const Access asDelete{false, false, true, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};
    if ((err = ShareCheck(ShareKey(src), asDelete)) != ERROR_SUCCESS) return err;
    const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    bool dstExists = lstat(dst.c_str(), &dstSt) == 0;
    if (dstExists && !(dstSt.st_dev == sst.st_dev && dstSt.st_ino == sst.st_ino)) {
        if (!replace) return ERROR_ALREADY_EXISTS;
        if (S_ISDIR(dstSt.st_mode) || S_ISDIR(sst.st_mode) || IsReadOnlyFile(dstSt))
            return ERROR_ACCESS_DENIED;
        if ((err = ShareCheck(ShareKey(dst), asDelete)) != ERROR_SUCCESS) return err;
    }
    int r = replace ? sys::Rename(src.c_str(), dst.c_str()) : sys::RenameNoReplace(src.c_str(), dst.c_str());
    if (r != 0) {
        if (errno == EEXIST || errno == ENOTEMPTY) return ERROR_ALREADY_EXISTS;
        if (errno != EXDEV) return Win32FromPathErrno(errno, dst);
        // Another file system: files may be copied and the source deleted; folders may not.
        if (!(flags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(sst.st_mode)) return ERROR_NOT_SAME_DEVICE;
        if ((err = CopyWorker(src, dst, !replace)) != ERROR_SUCCESS) return err;
        if (sys::Unlink(src.c_str()) != 0) return Win32FromPathErrno(errno, src);
    }
    if (flags & MOVEFILE_WRITE_THROUGH) SyncParents(src, dst);
    return ERROR_SUCCESS;
}

DWORD CreateDirectoryWorker(LPCWSTR name) {
    std::string host;
    DWORD err;
    if (!ToHostPath(name, host, err)) return err;
    if (perms::MakeFolder(host) != 0) {
        if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
        if (errno == ENOENT) return ERROR_PATH_NOT_FOUND; // a folder on the way is missing
        return Win32FromPathErrno(errno, host);
    }
    return ERROR_SUCCESS;
}

DWORD RemoveDirectoryWorker(LPCWSTR name) {
    std::string host;
    DWORD err;
    if (!ToHostPath(name, host, err)) return err;
    struct stat st;
    if ((err = LStat(host, st)) != ERROR_SUCCESS) return err;
    if (!S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
    if (sys::Rmdir(host.c_str()) != 0) {
        if (errno != ENOTEMPTY && errno != EEXIST) return Win32FromPathErrno(errno, host);
        // Temporaries left by a crashed writer are invisible to the caller's
        // search, so they must not keep its folder alive.
        SweepStaleTemps(host);
        if (sys::Rmdir(host.c_str()) != 0)
            return errno == ENOTEMPTY || errno == EEXIST ? static_cast<DWORD>(ERROR_DIR_NOT_EMPTY)
                                                         : Win32FromPathErrno(errno, host);
    }
    return ERROR_SUCCESS;
}

/* Read-only is the owner's write bit. Folders take no read-only state: a
 * folder without write permission would refuse new files, which Windows'
 * read-only folders do not. */
DWORD SetWritable(const std::string& host, bool writable) {
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return Win32FromPathErrno(errno, host);
    if (S_ISDIR(st.st_mode)) return ERROR_SUCCESS;
    // Writable again means writable for whoever the model lets write it.
    const bool groupWrites = (st.st_mode & S_IRGRP) && perms::InVaultGroup(st.st_gid) &&
                             perms::AreaOf(host) == perms::Area::Data;
    mode_t mode = writable ? (st.st_mode | S_IWUSR | (groupWrites ? S_IWGRP : 0))
                           : (st.st_mode & ~static_cast<mode_t>(0222));
    if ((mode & 07777) == (st.st_mode & 07777)) return ERROR_SUCCESS;
    if (sys::Chmod(host.c_str(), mode & 07777) != 0) return Win32FromPathErrno(errno, host);
    return ERROR_SUCCESS;
}

} // namespace

} // namespace pal::file

using namespace pal;
using namespace pal::file;

namespace {

BOOL Finish(DWORD err) {
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

template <typename F> DWORD Guard(F f) {
    try {
        return f();
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace

extern "C" BOOL DeleteFileW(LPCWSTR lpFileName) {
    return Finish(Guard([&] { return DeleteWorker(lpFileName); }));
}

extern "C" BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    return Finish(Guard([&] { return MoveWorker(lpExistingFileName, lpNewFileName, dwFlags); }));
}

extern "C" BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    return Finish(Guard([&] {
        std::string src, dst;
        DWORD err;
        if (!ToHostPath(lpExistingFileName, src, err) || !ToHostPath(lpNewFileName, dst, err)) return err;
        return CopyWorker(src, dst, bFailIfExists != FALSE);
    }));
}

extern "C" BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    return Finish(Guard([&] { return CreateDirectoryWorker(lpPathName); }));
}

extern "C" BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    return Finish(Guard([&] { return RemoveDirectoryWorker(lpPathName); }));
}

extern "C" DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    DWORD attrs = INVALID_FILE_ATTRIBUTES;
    DWORD err = Guard([&] {
        std::string host;
        DWORD e;
        if (!ToHostPath(lpFileName, host, e)) return e;
        struct stat st;
        if (stat(host.c_str(), &st) != 0) return Win32FromPathErrno(errno, host);
        attrs = AttributesOf(st);
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
    SetLastError(err);
    return err == ERROR_SUCCESS ? attrs : INVALID_FILE_ATTRIBUTES;
}

extern "C" BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    return Finish(Guard([&] {
        std::string host;
        DWORD e;
        if (!ToHostPath(lpFileName, host, e)) return e;
        return SetWritable(host, !(dwFileAttributes & FILE_ATTRIBUTE_READONLY));
    }));
}

