/* Whole files: written beside, flushed and renamed into place; read whole under a bound. */
#include "file/file.h"
#include "internal/errors.h"
#include "internal/perms.h"
#include "internal/syscalls.h"

#include <acl/libacl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace pal::file {

bool IsTempName(const char* name) {
    return strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) == 0;
}

int CreateTempBeside(const std::string& finalPath, std::string& tempPath) {
    std::string dir = ParentOf(finalPath);
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint64_t r = 0;
        if (getrandom(&r, sizeof r, 0) != sizeof r) r ^= static_cast<uint64_t>(getpid()) << 32 ^ attempt;
        char name[64];
        snprintf(name, sizeof name, "%s%016llx", kTempPrefix, static_cast<unsigned long long>(r));
        tempPath = dir + "/" + name;
        int fd = sys::Open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        // Held until the handle closes; a crash drops it, which marks the temporary stale.
        sys::Flock(fd, LOCK_EX | LOCK_NB);
        return fd;
    }
    errno = EEXIST;
    return -1;
}

void CopyMetadata(const struct stat& from, const std::string& fromPath, int toFd) {
    // Best effort throughout: an overwritten file keeps its owner and
    // permissions where we are allowed to set them, narrowed to the access
    // model (a file an older version left readable by everyone is not).
    if (fchown(toFd, from.st_uid, from.st_gid) != 0) {
        // Not privileged: the new file is ours, as after a normal create.
        perms::ApplyFd(toFd, false, perms::AreaOf(fromPath), !(from.st_mode & S_IWUSR));
        return;
    }
    sys::Fchmod(toFd, perms::Narrow(from.st_mode & 07777, from.st_gid, perms::AreaOf(fromPath)));
    acl_t acl = acl_get_file(fromPath.c_str(), ACL_TYPE_ACCESS);
    if (acl) {
        if (acl_entries(acl) > 3) acl_set_fd(toFd, acl); // only extended ACLs say more than the mode
        acl_free(acl);
    }
}

DWORD Publish(int fd, const std::string& tempPath, const std::string& finalPath, bool noReplace, bool flush) {
    DWORD err = ERROR_SUCCESS;
    // The data reaches the disk before any name points at it.
    if (flush && sys::Fsync(fd) != 0) {
        err = Win32FromErrno(errno);
    } else if ((noReplace ? sys::RenameNoReplace(tempPath.c_str(), finalPath.c_str())
                          : sys::Rename(tempPath.c_str(), finalPath.c_str())) != 0) {
        err = errno == EEXIST ? static_cast<DWORD>(ERROR_FILE_EXISTS) : Win32FromPathErrno(errno, finalPath);
    } else {
        return ERROR_SUCCESS;
    }
    sys::Unlink(tempPath.c_str());
    return err;
}

DWORD WriteBeside(const std::string& finalPath, bool noReplace, const std::function<DWORD(int fd)>& fill,
                  bool* created) {
    std::string temp;
    const int fd = CreateTempBeside(finalPath, temp);
    if (created) *created = fd >= 0;
    if (fd < 0) return Win32FromPathErrno(errno, finalPath);
    DWORD err = fill(fd);
    if (err == ERROR_SUCCESS)
        err = Publish(fd, temp, finalPath, noReplace);
    else
        sys::Unlink(temp.c_str());
    sys::Close(fd); // after the rename: the temporary's lock guards it until then
    return err;
}

ReadStop ReadWhole(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes, struct stat* st) {
    bytes.clear();
    const int fd = sys::Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return ReadStop::Open;
    struct stat status;
    ReadStop stop = ReadStop::None;
    if (fstat(fd, &status) != 0) {
        stop = ReadStop::Status;
    } else if (!S_ISREG(status.st_mode) || static_cast<uint64_t>(status.st_size) > maxBytes) {
        stop = ReadStop::Refused;
    } else {
        bytes.resize(static_cast<size_t>(status.st_size));
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = sys::Read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0) {
                stop = ReadStop::Read;
                break;
            }
            if (n == 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(stop == ReadStop::None ? got : 0);
        if (stop == ReadStop::None && st) *st = status;
    }
    const int e = errno;
    sys::Close(fd);
    errno = e;
    return stop;
}

void SweepStaleTemps(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        if (!IsTempName(e->d_name)) continue;
        std::string path = dir + "/" + e->d_name;
        int fd = sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (sys::Flock(fd, LOCK_EX | LOCK_NB) == 0) sys::Unlink(path.c_str());
        sys::Close(fd);
    }
    closedir(d);
}

void SweepStaleTempsOnce(const std::string& dir) {
    static std::mutex* lock = new std::mutex; // never destroyed: writes may run after static destructors
    static std::set<std::string>* swept = new std::set<std::string>;
    {
        std::lock_guard<std::mutex> g(*lock);
        if (!swept->insert(dir).second) return;
    }
    SweepStaleTemps(dir);
}

DWORD AttributesOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISLNK(st.st_mode)) return FILE_ATTRIBUTE_REPARSE_POINT;
    // FIFOs, sockets and device nodes are no files to read or pack.
    if (!S_ISREG(st.st_mode)) return FILE_ATTRIBUTE_DEVICE;
    if (!(st.st_mode & S_IWUSR)) return FILE_ATTRIBUTE_READONLY;
    return FILE_ATTRIBUTE_NORMAL;
}

FILETIME ToFileTime(const struct timespec& ts) {
    // 100-ns ticks since 1601-01-01; times before that clamp to zero.
    constexpr int64_t kEpochDelta = 11644473600LL;
    int64_t secs = static_cast<int64_t>(ts.tv_sec) + kEpochDelta;
    uint64_t ticks =
        secs < 0 ? 0 : static_cast<uint64_t>(secs) * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

} // namespace pal::file
