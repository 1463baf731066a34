#include "internal/syscalls.h"
#include "internal/paths.h"

#include <linux/openat2.h>
#include <sys/syscall.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

/*
 * Paths below the machine root are resolved from the root one folder at a
 * time and never through a link: a member of a shared vault can replace any
 * folder below it with a link, and no call may then write, grant or delete
 * outside the vault. The last component is not followed either, and an open
 * never blocks (a planted FIFO then fails the read instead of stalling the
 * call under the machine-wide lock). Paths elsewhere (the caller's own files,
 * system libraries) go to the kernel as given.
 */
class Beneath {
public:
    Beneath() = default;
    Beneath(const Beneath&) = delete;
    Beneath& operator=(const Beneath&) = delete;
    ~Beneath() {
        if (m_fd >= 0) ::close(m_fd);
    }

    /* False with errno when the path is below the root and cannot be reached
     * safely; otherwise dir and leaf are what an *at call takes. */
    bool Resolve(int fromDir, const char* path) {
        dir = fromDir;
        leaf = path;
        if (fromDir != AT_FDCWD || !path || path[0] != '/') return true;
        // Finding the root may lay it out, which comes back here for the root itself.
        static thread_local bool finding = false;
        if (finding) return true;
        finding = true;
        const std::string root = pal::MachineRoot();
        finding = false;
        const size_t n = strlen(path);
        if (root.empty() || n <= root.size() + 1 || memcmp(path, root.data(), root.size()) != 0 ||
            path[root.size()] != '/')
            return true;
        below = true;
        std::string rel(path + root.size() + 1);
        while (!rel.empty() && rel.back() == '/')
            rel.pop_back();
        const size_t slash = rel.find_last_of('/');
        m_leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
        if (m_leaf.empty() || m_leaf == "." || m_leaf == "..") {
            errno = EINVAL;
            return false;
        }
        int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (rootFd < 0) return false;
        if (slash == std::string::npos) {
            m_fd = rootFd;
        } else {
            m_fd = OpenFolder(rootFd, rel.substr(0, slash));
            const int err = errno;
            ::close(rootFd);
            errno = err;
            if (m_fd < 0) return false;
        }
        dir = m_fd;
        leaf = m_leaf.c_str();
        return true;
    }

    int dir = AT_FDCWD;
    const char* leaf = nullptr;
    bool below = false;

private:
    /* The folder at rel below root, with no link and no step above root. */
    static int OpenFolder(int root, const std::string& rel) {
        struct open_how how = {};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        int fd = static_cast<int>(syscall(SYS_openat2, root, rel.c_str(), &how, sizeof how));
        if (fd >= 0 || (errno != ENOSYS && errno != E2BIG)) return fd;
        // Kernels before 5.6: the same walk by hand.
        fd = fcntl(root, F_DUPFD_CLOEXEC, 0);
        for (size_t at = 0; fd >= 0 && at <= rel.size();) {
            size_t end = rel.find('/', at);
            if (end == std::string::npos) end = rel.size();
            const std::string comp = rel.substr(at, end - at);
            at = end + 1;
            if (comp.empty() || comp == ".") continue;
            int next = comp == ".." ? (errno = EXDEV, -1)
                                    : ::openat(fd, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const int err = errno;
            ::close(fd);
            errno = err;
            fd = next;
        }
        return fd;
    }

    int m_fd = -1;
    std::string m_leaf;
};

int DefaultOpen(const char* path, int flags, mode_t mode) {
    Beneath b;
    if (!b.Resolve(AT_FDCWD, path)) return -1;
    return ::openat(b.dir, b.leaf, flags | (b.below ? O_NOFOLLOW | O_NONBLOCK : 0), mode);
}
int DefaultOpenat(int dir, const char* path, int flags, mode_t mode) {
    return ::openat(dir, path, flags, mode);
}
int DefaultRenameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    Beneath f, t;
    if (!f.Resolve(fromDir, from) || !t.Resolve(toDir, to)) return -1;
    return ::renameat2(f.dir, f.leaf, t.dir, t.leaf, flags);
}
int DefaultRename(const char* from, const char* to) {
    return DefaultRenameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
}
int DefaultLink(const char* from, const char* to) {
    Beneath f, t;
    if (!f.Resolve(AT_FDCWD, from) || !t.Resolve(AT_FDCWD, to)) return -1;
    return ::linkat(f.dir, f.leaf, t.dir, t.leaf, 0);
}
int DefaultUnlink(const char* path) {
    Beneath b;
    return b.Resolve(AT_FDCWD, path) ? ::unlinkat(b.dir, b.leaf, 0) : -1;
}
int DefaultMkdir(const char* path, mode_t mode) {
    Beneath b;
    return b.Resolve(AT_FDCWD, path) ? ::mkdirat(b.dir, b.leaf, mode) : -1;
}
int DefaultRmdir(const char* path) {
    Beneath b;
    return b.Resolve(AT_FDCWD, path) ? ::unlinkat(b.dir, b.leaf, AT_REMOVEDIR) : -1;
}
int DefaultChmod(const char* path, mode_t mode) {
    Beneath b;
    if (!b.Resolve(AT_FDCWD, path)) return -1;
    return ::fchmodat(b.dir, b.leaf, mode, b.below ? AT_SYMLINK_NOFOLLOW : 0);
}

const PalSyscalls kDefaults = {
    DefaultOpen, ::read,        ::write,        ::pread,        ::pwrite,      ::fsync,
    ::fdatasync, DefaultRename, DefaultRenameat2, DefaultLink, DefaultUnlink, DefaultMkdir,
    DefaultRmdir, ::close,      ::ftruncate,    ::flock,       DefaultChmod,  ::fchmod,
    DefaultOpenat, ::mkdirat,
};

/* Order matches the wrappers' ids below. */
const char* const kNames[] = {"open",      "read",   "write",     "pread", "pwrite", "fsync",
                              "fdatasync", "rename", "renameat2", "link",  "unlink", "mkdir",
                              "rmdir",     "close",  "ftruncate", "flock", "chmod",  "fchmod",
                              "openat",    "mkdirat"};
enum Id {
    kOpen,
    kRead,
    kWrite,
    kPRead,
    kPWrite,
    kFsync,
    kFdatasync,
    kRename,
    kRenameat2,
    kLink,
    kUnlink,
    kMkdir,
    kRmdir,
    kClose,
    kFtruncate,
    kFlock,
    kChmod,
    kFchmod,
    kOpenat,
    kMkdirat,
    kCount
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == kCount, "one name per system call");

struct Armed {
    int id;
    unsigned remaining;
    int err;
};

/* Immortal: the library's unload handling may still do I/O after static
 * destructors have run. */
struct State {
    PalSyscalls table = kDefaults;
    std::atomic<unsigned> counts[kCount] = {};
    std::atomic<bool> anyArmed{false};
    std::mutex lock;
    std::vector<Armed> armed;
};

State& S() {
    static State* s = new State;
    return *s;
}

int IdOf(const char* name) {
    if (!name) return -1;
    for (int i = 0; i < kCount; ++i)
        if (strcmp(kNames[i], name) == 0) return i;
    return -1;
}

/* Counts the call; returns the errno to fail it with, or 0. */
int Enter(int id) {
    State& s = S();
    s.counts[id].fetch_add(1, std::memory_order_relaxed);
    if (!s.anyArmed.load(std::memory_order_acquire)) return 0;
    std::lock_guard<std::mutex> g(s.lock);
    int err = 0;
    for (auto it = s.armed.begin(); it != s.armed.end();) {
        if (it->id == id && --it->remaining == 0) {
            if (!err) err = it->err;
            it = s.armed.erase(it);
        } else {
            ++it;
        }
    }
    s.anyArmed.store(!s.armed.empty(), std::memory_order_release);
    if (err == PAL_TEST_KILL_PROCESS) kill(getpid(), SIGKILL);
    return err;
}

template <typename R, typename F> R Call(int id, F f) {
    if (int err = Enter(id)) {
        errno = err;
        return static_cast<R>(-1);
    }
    return f();
}

template <typename R, typename F> R CallRetry(int id, F f) {
    for (;;) {
        R r = Call<R>(id, f);
        if (r != static_cast<R>(-1) || errno != EINTR) return r;
    }
}

} // namespace

extern "C" PalSyscalls* PalTestSyscallTable(void) {
    return &S().table;
}

extern "C" void PalTestResetSyscalls(void) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.table = kDefaults;
    s.armed.clear();
    s.anyArmed.store(false);
    for (auto& c : s.counts)
        c.store(0);
}

extern "C" void PalTestFailSyscall(const char* name, int nth, int err) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (nth <= 0) {
        s.armed.clear();
        s.anyArmed.store(false);
        for (auto& c : s.counts)
            c.store(0);
        return;
    }
    int id = IdOf(name);
    if (id < 0) { // a misspelt name would silently inject nothing
        fprintf(stderr, "PalTestFailSyscall: unknown system call \"%s\"\n", name ? name : "(null)");
        abort();
    }
    s.armed.push_back({id, static_cast<unsigned>(nth), err});
    s.anyArmed.store(true, std::memory_order_release);
}

extern "C" unsigned PalTestSyscallCount(const char* name) {
    int id = IdOf(name);
    return id < 0 ? 0 : S().counts[id].load();
}

namespace pal::sys {

int Open(const char* path, int flags, mode_t mode) {
    return CallRetry<int>(kOpen, [&] { return S().table.open(path, flags, mode); });
}
ssize_t Read(int fd, void* buf, size_t n) {
    return CallRetry<ssize_t>(kRead, [&] { return S().table.read(fd, buf, n); });
}
ssize_t Write(int fd, const void* buf, size_t n) {
    return CallRetry<ssize_t>(kWrite, [&] { return S().table.write(fd, buf, n); });
}
ssize_t PRead(int fd, void* buf, size_t n, off_t off) {
    return CallRetry<ssize_t>(kPRead, [&] { return S().table.pread(fd, buf, n, off); });
}
ssize_t PWrite(int fd, const void* buf, size_t n, off_t off) {
    return CallRetry<ssize_t>(kPWrite, [&] { return S().table.pwrite(fd, buf, n, off); });
}
int Fsync(int fd) {
    return CallRetry<int>(kFsync, [&] { return S().table.fsync(fd); });
}
int Fdatasync(int fd) {
    return CallRetry<int>(kFdatasync, [&] { return S().table.fdatasync(fd); });
}
int Rename(const char* from, const char* to) {
    return CallRetry<int>(kRename, [&] { return S().table.rename(from, to); });
}
int RenameNoReplace(const char* from, const char* to) {
    int r = CallRetry<int>(
        kRenameat2, [&] { return S().table.renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE); });
    if (r == 0 || (errno != EINVAL && errno != ENOSYS)) return r;
    // File systems without the flag: a hard link fails on an existing name just
    // the same. Folders cannot be linked; for them the check and the rename are
    // two steps.
    if (Link(from, to) == 0) {
        Unlink(from);
        return 0;
    }
    if (errno != EPERM) return -1;
    struct stat st;
    if (lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return Rename(from, to);
}
int Link(const char* from, const char* to) {
    return CallRetry<int>(kLink, [&] { return S().table.link(from, to); });
}
int Unlink(const char* path) {
    return CallRetry<int>(kUnlink, [&] { return S().table.unlink(path); });
}
int Mkdir(const char* path, mode_t mode) {
    return CallRetry<int>(kMkdir, [&] { return S().table.mkdir(path, mode); });
}
int Rmdir(const char* path) {
    return CallRetry<int>(kRmdir, [&] { return S().table.rmdir(path); });
}
int Close(int fd) {
    // A failed close still releases the descriptor on Linux; an injected
    // failure must too, or the test would leak it.
    if (int err = Enter(kClose)) {
        S().table.close(fd);
        errno = err;
        return -1;
    }
    return S().table.close(fd);
}
int Ftruncate(int fd, off_t len) {
    return CallRetry<int>(kFtruncate, [&] { return S().table.ftruncate(fd, len); });
}
int Flock(int fd, int op) {
    return CallRetry<int>(kFlock, [&] { return S().table.flock(fd, op); });
}
int Chmod(const char* path, mode_t mode) {
    return CallRetry<int>(kChmod, [&] { return S().table.chmod(path, mode); });
}
int Fchmod(int fd, mode_t mode) {
    return CallRetry<int>(kFchmod, [&] { return S().table.fchmod(fd, mode); });
}

int OpenAt(int dir, const char* path, int flags, mode_t mode) {
    return CallRetry<int>(kOpenat, [&] { return S().table.openat(dir, path, flags, mode); });
}
int MkdirAt(int dir, const char* path, mode_t mode) {
    return CallRetry<int>(kMkdirat, [&] { return S().table.mkdirat(dir, path, mode); });
}

bool WriteAll(int fd, const void* buf, size_t n) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = Write(fd, p, n);
        if (w < 0) return false;
        if (w == 0) { // no progress and no error: treat as a full device rather than spin
            errno = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int SyncDir(const std::string& dir) {
    int fd = Open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int r = Fsync(fd);
    int saved = errno;
    Close(fd);
    errno = saved;
    return r;
}

} // namespace pal::sys
