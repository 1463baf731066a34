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
 *
 * Who can hold it: the lock folder <root>/.pal/locks has the access of the
 * vault's data (internal/perms.h), so an account without access to the data
 * cannot open a lock file, let alone hold it. Folders and file are opened
 * relative to each other's descriptors without following links, and a lock
 * file is used only when a trusted account (this one, the superuser) owns it
 * or it carries the vault group. On a root the caller cannot write, an
 * existing lock file is locked read-only; with no lock file at all there is
 * no writer to exclude and the mutex is taken without one.
 */
#include "internal/errors.h"
#include "internal/paths.h"
#include "internal/perms.h"
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

void Report(const std::string& text) {
    OutputDebugStringA(("mutex: " + text + "\n").c_str());
}

/* Opens (making it if missing) the folder name below the folder dirFd, never
 * through a symbolic link, and checks that only vault users can change it. A
 * folder an older version left open to everyone is narrowed when it is ours.
 * Returns the descriptor, or -1 with error; -1 with ERROR_SUCCESS means the
 * folder is missing and cannot be made (a read-only root). */
int OpenLockFolder(int dirFd, const char* name, const std::string& shown, DWORD& error) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    error = ERROR_SUCCESS;
    int fd = sys::OpenAt(dirFd, name, kFlags);
    if (fd < 0 && errno == ENOENT) {
        if (sys::MkdirAt(dirFd, name, 0700) == 0) {
            fd = sys::OpenAt(dirFd, name, kFlags);
            if (fd >= 0) perms::ApplyFd(fd, true, perms::Area::Data);
        } else if (errno == EEXIST) {
            fd = sys::OpenAt(dirFd, name, kFlags);
        } else if (errno == EROFS || errno == EACCES) {
            return -1;
        }
    }
    if (fd < 0) {
        error = errno == ELOOP || errno == ENOTDIR ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : Win32FromErrno(errno);
        if (error == ERROR_ACCESS_DENIED) Report("refusing " + shown + ": not a folder");
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && !perms::TrustedFolder(st) && st.st_uid == geteuid()) {
        perms::ApplyFd(fd, true, perms::Area::Data);
        fstat(fd, &st);
    }
    if (!perms::TrustedFolder(st)) {
        Report("refusing " + shown + ": it can be changed by users outside the vault");
        sys::Close(fd);
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    return fd;
}

/* The lock file of a name, opened below <root>/.pal/locks without following
 * links, and only when its owner is trusted. lockless is set when the root
 * cannot hold the lock file (read-only, or readable only): nobody can be
 * changing it through this lock then, and readers go ahead without one. */
int OpenLockFile(const std::string& fileName, bool& readOnly, bool& lockless, DWORD& error) {
    lockless = readOnly = false;
    std::string root = MachineRoot();
    if (root.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return -1;
    }
    if (perms::MakeFolders(root) != 0 && errno != EROFS && errno != EACCES) {
        error = Win32FromPathErrno(errno, root);
        return -1;
    }
    int rootFd = sys::Open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        error = Win32FromPathErrno(errno, root);
        return -1;
    }
    int palFd = OpenLockFolder(rootFd, ".pal", root + "/.pal", error);
    sys::Close(rootFd);
    int locksFd = palFd < 0 ? -1 : OpenLockFolder(palFd, "locks", root + "/.pal/locks", error);
    if (palFd >= 0) sys::Close(palFd);
    if (locksFd < 0) {
        lockless = error == ERROR_SUCCESS;
        return -1;
    }
    const std::string shown = root + "/.pal/locks/" + fileName;
    const char* name = fileName.c_str();
    bool created = true;
    int fd = sys::OpenAt(locksFd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = sys::OpenAt(locksFd, name, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0 && (errno == EROFS || errno == EACCES)) {
        created = false;
        readOnly = true; // flock needs no write access
        fd = sys::OpenAt(locksFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) lockless = true;
    }
    int openErrno = errno;
    sys::Close(locksFd);
    if (fd < 0) {
        if (lockless) {
            error = ERROR_SUCCESS;
            return -1;
        }
        error = openErrno == ELOOP ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : Win32FromPathErrno(openErrno, shown);
        if (openErrno == ELOOP) Report("refusing " + shown + ": a symbolic link");
        return -1;
    }
    struct stat st;
    // A second name (a hard link planted by a member) would let the marker's
    // writes reach a file outside the locks folder.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        !(perms::TrustedUid(st.st_uid) || perms::InVaultGroup(st.st_gid))) {
        Report("refusing " + shown + ": not a file of a trusted owner with one name");
        sys::Close(fd);
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    if (created || (st.st_uid == geteuid() && (st.st_mode & 07) != 0)) perms::ApplyFd(fd, false, perms::Area::Data);
    return fd;
}

struct MutexState {
    std::u16string name; // empty: unnamed, process-local
    DWORD owner = 0;     // thread id; all fields guarded by StateLock()
    unsigned recursion = 0;
    int lockFd = -1; // the machine-wide lock this process holds
    bool markerWritten = false;

    ~MutexState() {
        // Last handle closed while owned: the flock goes, the marker stays, so
        // the next owner sees the mutex abandoned, as when a thread dies.
        if (lockFd >= 0) sys::Close(lockFd);
    }

    TryResult TryLockFile(DWORD tid, DWORD& error) {
        bool readOnly = false, lockless = false;
        int fd = OpenLockFile(LockFileName(name), readOnly, lockless, error);
        if (fd < 0) return lockless ? TryResult::Acquired : TryResult::Failed;
        if (sys::Flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            sys::Close(fd);
            if (e == EWOULDBLOCK) return TryResult::BusyPoll;
            error = Win32FromErrno(e);
            return TryResult::Failed;
        }
        lockFd = fd;
        // A reader that cannot write the marker cannot repair what a dead
        // owner left either; the next writer sees the marker and reports it.
        if (readOnly) return TryResult::Acquired;

        char marker[64];
        bool abandoned = sys::PRead(fd, marker, sizeof marker, 0) > 0 && marker[0] != '\0';
        if (abandoned) sys::Ftruncate(fd, 0);
        int n = snprintf(marker, sizeof marker, "%d %u\n", static_cast<int>(getpid()), tid);
        // A marker that cannot be written only costs the abandonment report.
        sys::PWrite(fd, marker, static_cast<size_t>(n), 0);
        markerWritten = true;
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
            if (markerWritten) sys::PWrite(lockFd, &kFree, 1, 0);
            markerWritten = false;
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
