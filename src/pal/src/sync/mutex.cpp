/*
 * Mutexes. An unnamed mutex lives in this process only. A named mutex is
 * machine-wide per machine root: the process-local owner state (thread,
 * recursion) is taken first, because an flock belongs to an open file
 * description and cannot tell threads apart; then an exclusive flock on a lock
 * file below the root, polled with LOCK_NB so time-outs hold.
 *
 * The lock file is resolved from the current root at each acquire (the
 * library makes its mutex at load time, before anyone chose a root), and the
 * release gives back exactly the descriptor that was locked.
 *
 * Abandonment: the owner writes a marker (pid, thread) into the lock file on
 * acquire and overwrites its first byte with a NUL on release (an empty file,
 * as a new one or one an older release truncated, is free too). The kernel
 * drops the flock of a dead process, so the next owner finds the marker still
 * there and reports WAIT_ABANDONED_0, keeping the ownership. The release does
 * not truncate: on every call that would free the file's block and the next
 * acquire allocate it again.
 */
#include "internal/errors.h"
#include "internal/paths.h"
#include "internal/strings.h"
#include "internal/syscalls.h"
#include "sync/sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <map>

namespace pal::sync {

namespace {

/* Everything but a small safe set is %XX-encoded, so no name can leave the
 * lock folder or collide after encoding; long names are hashed to stay within
 * the host's 255-byte file name limit. */
std::string LockFileName(const std::u16string& name) {
    std::string utf8 = Utf16ToUtf8(name.data(), name.size());
    std::string out;
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : utf8) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '{' ||
            c == '}' || c == '-' || c == '_') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    if (out.size() <= 200) return out;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    EVP_Digest(utf8.data(), utf8.size(), md, &mdLen, EVP_sha256(), nullptr);
    std::string hashed = out.substr(0, 64) + "~";
    for (unsigned i = 0; i < mdLen; ++i) {
        hashed.push_back(hex[md[i] >> 4]);
        hashed.push_back(hex[md[i] & 15]);
    }
    return hashed;
}

/* Creates <root>/.pal/locks, open to every user of the root (sticky, as /tmp). */
DWORD EnsureLockDir(std::string& dir) {
    std::string root = MachineRoot();
    std::string pal = root + "/.pal";
    dir = pal + "/locks";
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return ERROR_SUCCESS;
    const std::string* levels[] = {&root, &pal, &dir};
    for (const std::string* d : levels) {
        if (sys::Mkdir(d->c_str(), 0777) == 0) {
            if (d != &root) sys::Chmod(d->c_str(), 01777);
        } else if (errno != EEXIST) {
            return Win32FromPathErrno(errno, *d);
        }
    }
    return ERROR_SUCCESS;
}

struct MutexState {
    std::u16string name; // empty: unnamed, process-local
    DWORD owner = 0;     // thread id; all fields guarded by StateLock()
    unsigned recursion = 0;
    int lockFd = -1; // the machine-wide lock this process holds

    ~MutexState() {
        // Last handle closed while owned: the flock goes, the marker stays, so
        // the next owner sees the mutex abandoned, as when a thread dies.
        if (lockFd >= 0) sys::Close(lockFd);
    }

    TryResult TryLockFile(DWORD tid, DWORD& error) {
        std::string dir;
        error = EnsureLockDir(dir);
        if (error != ERROR_SUCCESS) return TryResult::Failed;
        std::string path = dir + "/" + LockFileName(name);
        int fd = sys::Open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = Win32FromPathErrno(errno, path);
            return TryResult::Failed;
        }
        if (sys::Flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            sys::Close(fd);
            if (e == EWOULDBLOCK) return TryResult::BusyPoll;
            error = Win32FromErrno(e);
            return TryResult::Failed;
        }
        struct stat st;
        if (fstat(fd, &st) == 0 && (st.st_mode & 0777) != 0666 && st.st_uid == geteuid())
            sys::Fchmod(fd, 0666);

        char marker[64];
        bool abandoned = sys::PRead(fd, marker, sizeof marker, 0) > 0 && marker[0] != '\0';
        if (abandoned) sys::Ftruncate(fd, 0);
        int n = snprintf(marker, sizeof marker, "%d %u\n", static_cast<int>(getpid()), tid);
        // A marker that cannot be written only costs the abandonment report.
        sys::PWrite(fd, marker, static_cast<size_t>(n), 0);
        lockFd = fd;
        return abandoned ? TryResult::Abandoned : TryResult::Acquired;
    }

    TryResult TryAcquire(DWORD tid, DWORD& error) {
        if (owner == tid) {
            if (recursion == UINT32_MAX) { // Windows' recursion limit is far lower; refuse rather than wrap
                error = ERROR_NOT_ENOUGH_MEMORY;
                return TryResult::Failed;
            }
            ++recursion;
            return TryResult::Acquired;
        }
        if (owner != 0) return TryResult::Busy;
        TryResult r = name.empty() ? TryResult::Acquired : TryLockFile(tid, error);
        if (r == TryResult::Acquired || r == TryResult::Abandoned) {
            owner = tid;
            recursion = 1;
        }
        return r;
    }

    DWORD Release(DWORD tid) {
        if (owner != tid) return ERROR_NOT_OWNER;
        if (--recursion > 0) return ERROR_SUCCESS;
        if (lockFd >= 0) {
            static const char kFree = '\0';
            sys::PWrite(lockFd, &kFree, 1, 0);
            sys::Close(lockFd); // drops the flock
            lockFd = -1;
        }
        owner = 0;
        StateChanged().notify_all();
        return ERROR_SUCCESS;
    }
};

class Mutex final : public Waitable {
  public:
    explicit Mutex(std::shared_ptr<MutexState> state)
        : Waitable(HandleKind::Mutex), m_state(std::move(state)) {}
    TryResult TryAcquire(DWORD tid, DWORD& error) override { return m_state->TryAcquire(tid, error); }
    DWORD Release(DWORD tid) {
        std::lock_guard<std::mutex> g(StateLock());
        return m_state->Release(tid);
    }

  private:
    std::shared_ptr<MutexState> m_state;
};

/* Named mutexes of this process, so that every handle of one name shares one
 * owner state. Guarded by StateLock(); immortal like the rest of the state. */
std::map<std::u16string, std::weak_ptr<MutexState>>& Named() {
    static auto* named = new std::map<std::u16string, std::weak_ptr<MutexState>>;
    return *named;
}

DWORD CurrentThreadId() {
    return GetCurrentThreadId();
}

DWORD CreateMutexWorker(BOOL initialOwner, LPCWSTR lpName, HANDLE& h) {
    std::u16string name = lpName ? std::u16string(lpName) : std::u16string();
    if (name.size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    DWORD tid = CurrentThreadId();
    DWORD result = ERROR_SUCCESS;
    std::shared_ptr<MutexState> state;
    {
        std::lock_guard<std::mutex> g(StateLock());
        if (!name.empty()) {
            auto& named = Named();
            auto it = named.find(name);
            if (it != named.end()) state = it->second.lock();
            if (state) {
                result = ERROR_ALREADY_EXISTS; // and, as on Windows, bInitialOwner is ignored
            } else {
                state = std::make_shared<MutexState>();
                state->name = name;
                named[name] = state;
                for (auto i = named.begin(); i != named.end();) // drop names whose handles are all closed
                    i = i->second.expired() ? named.erase(i) : std::next(i);
            }
        } else {
            state = std::make_shared<MutexState>();
        }
        if (initialOwner && result != ERROR_ALREADY_EXISTS) {
            // Initial ownership of a named mutex held by another process is not
            // waited for: the handle is returned unowned.
            DWORD ignored = ERROR_SUCCESS;
            state->TryAcquire(tid, ignored);
        }
    }
    h = InsertHandle(std::make_shared<Mutex>(state));
    if (!h) return ERROR_NOT_ENOUGH_MEMORY;
    return result;
}

} // namespace

} // namespace pal::sync

using namespace pal;
using namespace pal::sync;

extern "C" HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    HANDLE h = NULL;
    DWORD err;
    try {
        err = CreateMutexWorker(bInitialOwner, lpName, h);
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    SetLastError(err);
    return h;
}

extern "C" BOOL ReleaseMutex(HANDLE hMutex) {
    auto mutex = Lookup<Mutex>(hMutex, HandleKind::Mutex);
    DWORD err = mutex ? mutex->Release(GetCurrentThreadId()) : ERROR_INVALID_HANDLE;
    SetLastError(err);
    return err == ERROR_SUCCESS;
}
