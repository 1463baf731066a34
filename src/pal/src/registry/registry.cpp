/*
 * Reg* over the store of hive.h, kept in <root>/registry/:
 *   machine.hive   HKEY_LOCAL_MACHINE
 *   .~pal-<random>  the next version while it is written (the file layer's
 *                  temporary, swept when its writer died)
 *   lock           flock'ed exclusively around every write of the store;
 *                  flock locks of separate opens exclude each other within
 *                  one process too, so threads need nothing more.
 * A write happens under the exclusive lock, and the new file is written
 * beside, flushed, renamed over the old one and the folder flushed, so the
 * store is always a whole old or a whole new version. That is also why a
 * read takes no lock: it opens one whole version.
 *
 * Changes are batched: the first change made through a key handle reads the
 * store and keeps a changed copy in this process, holding no lock (see
 * Pending); later changes, from any thread, go to that copy, and reads of
 * this process see it. It is written once, when the last open handle that
 * changed it is closed or at RegFlushKey; other processes see the old
 * version until then. A store another process wrote meanwhile gets the
 * changes replayed onto it at that write. A change made through
 * HKEY_LOCAL_MACHINE itself, which is never closed, is written at once. A failed deferred write is kept and
 * reported by the next RegFlushKey of that store, so a caller that flushes
 * before it reports success never acknowledges a change that is not on disk. The version parsed last is
 * kept for reads while the file is unchanged (see ParsedStore), so a caller that
 * makes several queries in a row reads and parses the store once.
 *
 * An HKEY is an entry of the PAL's handle table (a handle of another kind is
 * ERROR_INVALID_HANDLE) naming a key by the store it lives in, the store's id
 * and the key's id; ids are never reused, so a handle to a deleted key stays dead even if a
 * key of the same name is made again (ERROR_KEY_DELETED). Reg* functions
 * return their status and leave the last error alone, as Windows does.
 */
#include "file/file.h"
#include "internal/errors.h"
#include "internal/handles.h"
#include "internal/paths.h"
#include "internal/perms.h"
#include "internal/strings.h"
#include "internal/syscalls.h"
#include "registry/hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>

namespace pal::registry {
namespace {

constexpr const char* kHiveFile = "machine.hive";
constexpr const char* kLockFile = "lock";
constexpr REGSAM kAllKeyRights = KEY_ALL_ACCESS;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericRead = GENERIC_READ, kGenericWrite = GENERIC_WRITE, kGenericAll = GENERIC_ALL;
constexpr REGSAM kGenericExecute = GENERIC_EXECUTE;

struct OpenKey {
    std::string dir; /* the store's folder when the handle was made */
    uint64_t storeId;
    uint64_t keyId;
    REGSAM access;
};

/* An open key, in the PAL's handle table. Its OpenKey is guarded by
 * g_keysLock: a replayed commit moves it (see Follow). */
struct KeyObject final : pal::HandleObject {
    explicit KeyObject(const OpenKey& k) : HandleObject(pal::HandleKind::RegKey), key(k) {}
    OpenKey key;
};
std::mutex g_keysLock;

std::string StoreDir() { return pal::MachineRoot() + "/registry"; }

void Report(const std::string& text) { OutputDebugStringA(("registry: " + text + "\n").c_str()); }

REGSAM MapRights(REGSAM sam) {
    REGSAM rights = sam & kAllKeyRights;
    if (sam & (kGenericRead | kGenericExecute)) rights |= KEY_READ;
    if (sam & kGenericWrite) rights |= KEY_WRITE;
    if (sam & (kGenericAll | kMaximumAllowed)) rights |= kAllKeyRights;
    return rights;
}

bool IsPredefined(HKEY h) {
    return h == HKEY_LOCAL_MACHINE || h == HKEY_CLASSES_ROOT || h == HKEY_CURRENT_USER ||
           reinterpret_cast<uintptr_t>(h) == static_cast<uintptr_t>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000003)));
}

/* Resolves a handle argument: HKEY_LOCAL_MACHINE is the root of the current
 * machine root's store; other predefined keys are not provided. */
DWORD Resolve(HKEY h, OpenKey& out, bool& predefined) {
    predefined = false;
    if (h == HKEY_LOCAL_MACHINE) {
        predefined = true;
        if (pal::MachineRoot().empty()) return ERROR_PATH_NOT_FOUND;
        out = OpenKey{StoreDir(), 0, kRootId, kAllKeyRights};
        return ERROR_SUCCESS;
    }
    if (IsPredefined(h)) return ERROR_INVALID_HANDLE;
    auto key = pal::Lookup<KeyObject>(reinterpret_cast<HANDLE>(h), pal::HandleKind::RegKey);
    if (!key) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(g_keysLock);
    out = key->key;
    return ERROR_SUCCESS;
}

HKEY NewHandle(std::shared_ptr<KeyObject> key) {
    HANDLE h = pal::InsertHandle(std::move(key));
    if (!h) throw std::bad_alloc();
    return reinterpret_cast<HKEY>(h);
}

/* Holds the store lock for one operation, or while changes are pending. */
class StoreLock {
public:
    StoreLock() = default;
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    ~StoreLock() {
        if (m_fd >= 0) pal::sys::Close(m_fd);
    }
    /* Exclusive, for changing the store: makes the folder and the lock file
     * (never through a symbolic link). A lock file that cannot be written
     * (read-only root) is locked read-only; the write then fails cleanly. */
    DWORD Take(const std::string& dir) {
        if (pal::perms::MakeFolders(dir) != 0) {
            if (errno == ENOTDIR) return ERROR_BADDB;
            if (errno != EROFS && errno != EACCES) return pal::Win32FromErrno(errno);
        }
        std::string path = dir + "/" + kLockFile;
        m_fd = pal::sys::Open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd >= 0)
            pal::perms::ApplyFd(m_fd, false, pal::perms::Area::AdminOnly);
        else if (errno == EEXIST)
            m_fd = pal::sys::Open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (m_fd < 0 && (errno == EACCES || errno == EROFS))
            m_fd = pal::sys::Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (m_fd < 0) return pal::Win32FromErrno(errno);
        if (pal::sys::Flock(m_fd, LOCK_EX) != 0) return pal::Win32FromErrno(errno);
        return ERROR_SUCCESS;
    }

private:
    int m_fd = -1;
};

/*
 * The settings choose the modules a process loads and the folders it writes,
 * so only the account that laid the store out (or the superuser) may change
 * them. A store this account made group-writable before that rule is
 * narrowed here; one that another account can change is refused.
 */
bool OnlyTrustedCanChange(const struct stat& st, const std::string& path) {
    if (pal::perms::OnlyTrustedCanWrite(st)) return true;
    if (st.st_uid == geteuid() && pal::sys::Chmod(path.c_str(), st.st_mode & 07755) == 0) return true;
    Report(path + " can be changed by another account; its settings are not used");
    return false;
}

/* The store file's bytes, and the file's status as read; a missing file is no
 * error (exists false). */
DWORD ReadStore(const std::string& dir, std::vector<uint8_t>& bytes, bool& exists, struct stat* status = nullptr) {
    const std::string path = dir + "/" + kHiveFile;
    exists = false;
    bytes.clear();
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) return errno == ENOENT ? ERROR_SUCCESS : pal::Win32FromErrno(errno);
    if (!S_ISDIR(st.st_mode)) return ERROR_BADDB;
    if (!OnlyTrustedCanChange(st, dir)) return ERROR_ACCESS_DENIED;
    const pal::file::ReadStop stop = pal::file::ReadWhole(path, kMaxStoreBytes, bytes, &st);
    if (stop == pal::file::ReadStop::Open)
        return errno == ENOENT ? ERROR_SUCCESS : errno == ELOOP ? ERROR_BADDB : pal::Win32FromErrno(errno);
    exists = true;
    switch (stop) {
    case pal::file::ReadStop::Status:
        return pal::Win32FromErrno(errno);
    case pal::file::ReadStop::Refused:
        Report("store " + path + " is not a file of acceptable size");
        return ERROR_BADDB;
    case pal::file::ReadStop::Read:
        return ERROR_CANTREAD;
    default:
        break;
    }
    if (!OnlyTrustedCanChange(st, path)) {
        bytes.clear();
        return ERROR_ACCESS_DENIED;
    }
    if (status) *status = st;
    return ERROR_SUCCESS;
}

DWORD ParseStore(const std::string& dir, const std::vector<uint8_t>& bytes, Hive& hive) {
    std::string why;
    if (!hive.Parse(bytes.data(), bytes.size(), why)) {
        Report("store " + dir + "/" + kHiveFile + " is damaged: " + why);
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

/*
 * The version of a store parsed last, for reads. It is known current without
 * reading the file while stat shows the same file (device, inode, size,
 * modification and change times) and that file had last changed well before it
 * was read: a change made after the read carries a later change time, which
 * stat sees. A file that changed shortly before it was read could change again
 * within the same timestamp tick, unseen by stat, so until the window has
 * passed its bytes are read and compared instead (whole-second timestamps get
 * a window beyond their granularity).
 */
struct ParsedStore {
    std::string dir;
    std::vector<uint8_t> bytes;
    std::unique_ptr<Hive> hive;
    struct stat st {};
    int64_t readAt = 0; /* realtime ns, taken before the bytes were read */
};
std::mutex g_parsedLock;
ParsedStore g_parsed;

constexpr int64_t kRacyWindowNs = 100 * 1000 * 1000;
constexpr int64_t kCoarseRacyWindowNs = 3 * 1000 * 1000 * 1000LL;

int64_t Ns(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

int64_t RealtimeNs() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return Ns(t);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           Ns(a.st_mtim) == Ns(b.st_mtim) && Ns(a.st_ctim) == Ns(b.st_ctim);
}

/* Under g_parsedLock: the parsed version is the file that stat shows now. */
bool ParsedIsCurrent(const std::string& dir, const struct stat& now) {
    if (!g_parsed.hive || g_parsed.dir != dir || !SameFile(now, g_parsed.st)) return false;
    const bool coarse = now.st_ctim.tv_nsec == 0 && now.st_mtim.tv_nsec == 0;
    const int64_t window = coarse ? kCoarseRacyWindowNs : kRacyWindowNs;
    return Ns(now.st_ctim) + window < g_parsed.readAt;
}

DWORD Save(const std::string& dir, const Hive& hive) {
    std::vector<uint8_t> bytes = hive.Serialize();
    if (bytes.size() > kMaxStoreBytes) return ERROR_BADDB;
    std::string path = dir + "/" + kHiveFile;
    // The file layer's own write-beside: a temporary a dead writer left is swept.
    pal::file::SweepStaleTempsOnce(dir);
    bool created = false;
    const DWORD err = pal::file::WriteBeside(
        path, false,
        [&](int fd) -> DWORD {
            pal::perms::ApplyFd(fd, false, pal::perms::Area::AdminOnly);
            return pal::sys::WriteAll(fd, bytes.data(), bytes.size()) ? static_cast<DWORD>(ERROR_SUCCESS)
                                                                      : pal::Win32FromErrno(errno);
        },
        &created);
    if (!created) {
        const int e = errno;
        Report("cannot write beside " + path + ": " + strerror(e));
        return e == ENOSPC ? ERROR_DISK_FULL : e == EACCES || e == EROFS ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE;
    }
    if (err != ERROR_SUCCESS) {
        Report("cannot write " + path + ": error " + std::to_string(err));
        return err == ERROR_DISK_FULL ? ERROR_DISK_FULL : ERROR_CANTWRITE;
    }
    /* The rename is in place; a failed folder flush only weakens durability. */
    if (pal::sys::SyncDir(dir) != 0) Report("cannot flush folder " + dir + ": " + strerror(errno));
    return ERROR_SUCCESS;
}

/* The key a handle names in a loaded hive. */
DWORD Locate(const Hive& hive, const OpenKey& h, Key*& key) {
    if (h.keyId != kRootId && h.storeId != hive.StoreId()) return ERROR_KEY_DELETED;
    key = hive.ById(h.keyId);
    return key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

/* Splits "a\b\c" into components. A trailing backslash is allowed; an empty
 * component elsewhere (leading or doubled backslash) is not. */
DWORD SplitPath(LPCWSTR sub, std::vector<std::u16string>& parts) {
    parts.clear();
    if (!sub) return ERROR_SUCCESS;
    size_t n = pal::WideLength(sub);
    size_t i = 0;
    while (i < n) {
        size_t start = i;
        while (i < n && sub[i] != u'\\') ++i;
        if (i == start) return ERROR_BAD_PATHNAME;
        if (i - start > kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
        parts.emplace_back(sub + start, i - start);
        if (i < n) ++i; /* the separator */
    }
    if (parts.size() > kMaxDepth) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

std::u16string ValueName(LPCWSTR name) { return name ? std::u16string(name, pal::WideLength(name)) : std::u16string(); }

/*
 * Changes of this process not yet written, per store folder: the version they
 * were made on (its bytes), the changed version, and the changes themselves in
 * order. No lock is held meanwhile, so a process that keeps a handle open
 * never holds others up. At the write, under the exclusive lock, a store that
 * is still the base is replaced by the changed version; one another process
 * wrote meanwhile gets the changes replayed onto it (keys made here may get
 * other ids there: open handles follow). Guarded by g_pendingLock, taken
 * before g_parsedLock and g_keysLock.
 */
struct Change {
    enum Kind { kCreate, kSet, kDeleteKey, kDeleteValue } kind;
    uint64_t key;     /* the key changed, or the parent of a created key */
    uint64_t created; /* kCreate: the new key's id in the changed version */
    std::u16string name;
    DWORD type = 0;
    std::vector<uint8_t> data;
    uint64_t lastWrite = 0;
};
struct Pending {
    std::vector<uint8_t> base;
    Hive hive;
    std::vector<Change> changes;
    std::set<uintptr_t> changedBy; /* open handles that changed it */
};
std::mutex g_pendingLock;
std::map<std::string, std::unique_ptr<Pending>> g_pending;
std::map<std::string, DWORD> g_unreported; /* failed deferred writes, per store */

/* The changes replayed onto a store another process changed meanwhile; ids
 * maps this process's ids of created keys to theirs in that store. */
void Replay(Hive& onto, const std::vector<Change>& changes, std::map<uint64_t, uint64_t>& ids) {
    auto id = [&](uint64_t k) {
        auto it = ids.find(k);
        return it == ids.end() ? k : it->second;
    };
    for (const Change& c : changes) {
        Key* key = onto.ById(id(c.key));
        if (!key) continue; /* deleted by the other writer: the change goes with it */
        switch (c.kind) {
        case Change::kCreate: {
            Key* sub = key->FindSubkey(c.name);
            if (sub || onto.AddSubkey(*key, c.name, sub) == ERROR_SUCCESS) ids[c.created] = sub->id;
            break;
        }
        case Change::kSet: {
            Value* v = key->FindValue(c.name);
            if (!v) {
                key->values.emplace_back();
                v = &key->values.back();
                v->name = c.name;
            }
            v->type = c.type;
            v->data = c.data;
            key->lastWrite = c.lastWrite;
            break;
        }
        case Change::kDeleteKey:
            if (key->parent && key->subkeys.empty()) onto.RemoveKey(*key);
            break;
        case Change::kDeleteValue:
            key->RemoveValue(c.name);
            key->lastWrite = c.lastWrite;
            break;
        }
    }
}

/* How a replayed commit moved keys: open handles, and a caller's copy of one,
 * follow with Follow. Under g_pendingLock. */
struct Moved {
    std::string dir;
    uint64_t fromStore = 0, toStore = 0;
    std::map<uint64_t, uint64_t> ids;
};
Moved g_moved;

void Follow(OpenKey& key) {
    if (key.dir != g_moved.dir || key.storeId != g_moved.fromStore || key.keyId == kRootId) return;
    key.storeId = g_moved.toStore;
    auto moved = g_moved.ids.find(key.keyId);
    if (moved != g_moved.ids.end()) key.keyId = moved->second;
}

/* Writes the pending changes of dir. Under g_pendingLock. */
DWORD Commit(const std::string& dir) {
    auto it = g_pending.find(dir);
    if (it == g_pending.end()) return ERROR_SUCCESS;
    std::unique_ptr<Pending> p = std::move(it->second);
    g_pending.erase(it);
    StoreLock lock;
    DWORD err = lock.Take(dir);
    std::vector<uint8_t> now;
    bool exists = false;
    if (err == ERROR_SUCCESS) err = ReadStore(dir, now, exists);
    if (err == ERROR_SUCCESS && now == p->base) {
        err = Save(dir, p->hive);
    } else if (err == ERROR_SUCCESS) {
        Hive current;
        std::map<uint64_t, uint64_t> ids;
        if (exists && (err = ParseStore(dir, now, current)) != ERROR_SUCCESS) return g_unreported[dir] = err;
        Replay(current, p->changes, ids);
        err = Save(dir, current);
        g_moved = Moved{dir, p->hive.StoreId(), current.StoreId(), std::move(ids)};
        const auto keys = pal::HandlesOfKind(pal::HandleKind::RegKey);
        std::lock_guard<std::mutex> guard(g_keysLock);
        for (const auto& key : keys)
            Follow(static_cast<KeyObject&>(*key).key);
    }
    if (err != ERROR_SUCCESS) g_unreported[dir] = err;
    return err;
}

/* Runs a reading fn on the current version of the store: this process's
 * pending version, else the file. */
template <typename Fn>
DWORD WithHiveRead(const OpenKey& named, Fn&& fn) {
    OpenKey h = named;
    bool unchanged = false;
    Key* key = nullptr;
    DWORD err;
    {
        std::lock_guard<std::mutex> guard(g_pendingLock);
        auto it = g_pending.find(h.dir);
        if (it != g_pending.end()) {
            // Another process changed the store since: the changes here are
            // written now (onto its version) rather than read stale.
            std::vector<uint8_t> now;
            bool exists = false;
            if (ReadStore(h.dir, now, exists) == ERROR_SUCCESS && now == it->second->base) {
                if ((err = Locate(it->second->hive, h, key)) != ERROR_SUCCESS) return err;
                return fn(it->second->hive, *key, unchanged);
            }
            Commit(h.dir);
            Follow(h);
        }
    }
    struct stat now;
    if (stat((h.dir + "/" + kHiveFile).c_str(), &now) == 0) {
        std::lock_guard<std::mutex> guard(g_parsedLock);
        if (ParsedIsCurrent(h.dir, now)) {
            if ((err = Locate(*g_parsed.hive, h, key)) != ERROR_SUCCESS) return err;
            return fn(*g_parsed.hive, *key, unchanged);
        }
    }

    std::vector<uint8_t> bytes;
    bool exists = false;
    struct stat read {};
    const int64_t readAt = RealtimeNs();
    err = ReadStore(h.dir, bytes, exists, &read);
    if (err != ERROR_SUCCESS) return err;
    if (!exists) {
        Hive empty;
        if ((err = Locate(empty, h, key)) != ERROR_SUCCESS) return err;
        return fn(empty, *key, unchanged);
    }
    std::lock_guard<std::mutex> guard(g_parsedLock);
    if (!g_parsed.hive || g_parsed.dir != h.dir || g_parsed.bytes != bytes) {
        auto hive = std::make_unique<Hive>();
        g_parsed.hive.reset();
        if ((err = ParseStore(h.dir, bytes, *hive)) != ERROR_SUCCESS) return err;
        g_parsed.dir = h.dir;
        g_parsed.bytes = std::move(bytes);
        g_parsed.hive = std::move(hive);
    }
    g_parsed.st = read;
    g_parsed.readAt = readAt;
    if ((err = Locate(*g_parsed.hive, h, key)) != ERROR_SUCCESS) return err;
    return fn(*g_parsed.hive, *key, unchanged);
}

/* Runs a changing fn on the pending version of the store (the current file
 * first), recording its changes. A change through a handle waits for the
 * handle's close; through HKEY_LOCAL_MACHINE (handle 0) it is written at
 * once. */
template <typename Fn>
DWORD WithHiveWrite(const OpenKey& h, uintptr_t handle, Fn&& fn) {
    std::lock_guard<std::mutex> guard(g_pendingLock);
    auto it = g_pending.find(h.dir);
    bool fresh = false;
    if (it == g_pending.end()) {
        auto p = std::make_unique<Pending>();
        bool exists = false;
        DWORD err = ReadStore(h.dir, p->base, exists);
        if (err == ERROR_SUCCESS && exists) err = ParseStore(h.dir, p->base, p->hive);
        if (err != ERROR_SUCCESS) return err;
        it = g_pending.emplace(h.dir, std::move(p)).first;
        fresh = true;
    }
    Pending& p = *it->second;
    Key* key = nullptr;
    DWORD err = Locate(p.hive, h, key);
    const size_t before = p.changes.size();
    if (err == ERROR_SUCCESS) err = fn(p.hive, *key, p.changes);
    const bool changed = p.changes.size() > before;
    if (changed && handle) p.changedBy.insert(handle);
    if (p.changes.empty()) {
        if (fresh) g_pending.erase(it); /* nothing to keep */
    } else if (changed && !handle) {
        DWORD written = Commit(h.dir);
        if (err == ERROR_SUCCESS) err = written;
        g_unreported.erase(h.dir); /* reported right here */
    }
    return err;
}

DWORD CloseWorker(HKEY hKey);

uintptr_t HandleValue(HKEY h, bool predefined) { return predefined ? 0 : reinterpret_cast<uintptr_t>(h); }

DWORD OpenWorker(HKEY hKey, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (options != 0) return ERROR_INVALID_PARAMETER;
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    std::vector<std::u16string> parts;
    if ((err = SplitPath(subKey, parts)) != ERROR_SUCCESS) return err;
    OpenKey opened{h.dir, 0, 0, MapRights(sam)};
    err = WithHiveRead(h, [&](Hive& hive, Key& base, bool&) -> DWORD {
        Key* k = &base;
        for (const auto& part : parts)
            if (!(k = k->FindSubkey(part))) return ERROR_FILE_NOT_FOUND;
        opened.storeId = hive.StoreId();
        opened.keyId = k->id;
        return ERROR_SUCCESS;
    });
    if (err == ERROR_SUCCESS) *result = NewHandle(std::make_shared<KeyObject>(opened));
    return err;
}

DWORD CreateWorker(HKEY hKey, LPCWSTR subKey, DWORD reserved, DWORD options, REGSAM sam, PHKEY result,
                   LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (reserved != 0 || options != REG_OPTION_NON_VOLATILE || !subKey) return ERROR_INVALID_PARAMETER;
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    std::vector<std::u16string> parts;
    if ((err = SplitPath(subKey, parts)) != ERROR_SUCCESS) return err;
    OpenKey opened{h.dir, 0, 0, MapRights(sam)};
    DWORD disp = REG_OPENED_EXISTING_KEY;
    // Keys created here belong to the new handle: they are written when it is
    // closed (or flushed), with whatever is set through it meanwhile.
    auto object = std::make_shared<KeyObject>(opened);
    HKEY created = NewHandle(object);
    err = WithHiveWrite(h, reinterpret_cast<uintptr_t>(created), [&](Hive& hive, Key& base, std::vector<Change>& log) -> DWORD {
        Key* k = &base;
        for (const auto& part : parts) {
            Key* next = k->FindSubkey(part);
            if (!next) {
                if (!(h.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
                DWORD e = hive.AddSubkey(*k, part, next);
                if (e != ERROR_SUCCESS) return e;
                log.push_back(Change{Change::kCreate, k->id, next->id, part});
                disp = REG_CREATED_NEW_KEY;
            }
            k = next;
        }
        opened.storeId = hive.StoreId();
        opened.keyId = k->id;
        return ERROR_SUCCESS;
    });
    if (err != ERROR_SUCCESS) {
        DWORD ignored = CloseWorker(created); // keys made before the failure go with it
        (void)ignored;
        return err;
    }
    {
        std::lock_guard<std::mutex> guard(g_keysLock);
        object->key = opened;
    }
    *result = created;
    if (disposition) *disposition = disp;
    return ERROR_SUCCESS;
}

DWORD QueryWorker(HKEY hKey, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cbData) {
    if (reserved || (data && !cbData)) return ERROR_INVALID_PARAMETER;
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    if (!(h.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::u16string name = ValueName(valueName);
    return WithHiveRead(h, [&](Hive&, Key& key, bool&) -> DWORD {
        Value* v = key.FindValue(name);
        if (!v) return ERROR_FILE_NOT_FOUND;
        if (type) *type = v->type;
        if (!cbData) return ERROR_SUCCESS;
        DWORD size = static_cast<DWORD>(v->data.size());
        DWORD room = *cbData;
        *cbData = size;
        if (!data) return ERROR_SUCCESS;
        if (room < size) return ERROR_MORE_DATA;
        if (size) memcpy(data, v->data.data(), size);
        return ERROR_SUCCESS;
    });
}

DWORD SetWorker(HKEY hKey, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD cbData) {
    if (reserved != 0 || (!data && cbData != 0)) return ERROR_INVALID_PARAMETER;
    if (cbData > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
    std::u16string name = ValueName(valueName);
    if (name.size() > kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    if (!(h.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return WithHiveWrite(h, HandleValue(hKey, predefined), [&](Hive&, Key& key, std::vector<Change>& log) -> DWORD {
        Value* v = key.FindValue(name);
        if (!v) {
            key.values.emplace_back();
            v = &key.values.back();
            v->name = name;
        }
        v->type = type;
        v->data.assign(data, data + cbData);
        key.lastWrite = FileTimeNow();
        log.push_back(Change{Change::kSet, key.id, 0, name, type, v->data, key.lastWrite});
        return ERROR_SUCCESS;
    });
}

DWORD DeleteValueWorker(HKEY hKey, LPCWSTR valueName) {
    std::u16string name = ValueName(valueName);
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    if (!(h.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return WithHiveWrite(h, HandleValue(hKey, predefined), [&](Hive&, Key& key, std::vector<Change>& log) -> DWORD {
        if (!key.RemoveValue(name)) return ERROR_FILE_NOT_FOUND;
        key.lastWrite = FileTimeNow();
        log.push_back(Change{Change::kDeleteValue, key.id, 0, name, 0, {}, key.lastWrite});
        return ERROR_SUCCESS;
    });
}

DWORD DeleteKeyWorker(HKEY hKey, LPCWSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    std::vector<std::u16string> parts;
    if ((err = SplitPath(subKey, parts)) != ERROR_SUCCESS) return err;
    return WithHiveWrite(h, HandleValue(hKey, predefined), [&](Hive& hive, Key& base, std::vector<Change>& log) -> DWORD {
        Key* k = &base;
        for (const auto& part : parts)
            if (!(k = k->FindSubkey(part))) return ERROR_FILE_NOT_FOUND;
        if (!k->parent || !k->subkeys.empty()) return ERROR_ACCESS_DENIED;
        log.push_back(Change{Change::kDeleteKey, k->id, 0, {}});
        hive.RemoveKey(*k);
        return ERROR_SUCCESS;
    });
}

DWORD EnumWorker(HKEY hKey, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved, LPWSTR cls,
                 LPDWORD cchClass, PFILETIME lastWrite) {
    if (!name || !cchName || reserved || (cls && !cchClass)) return ERROR_INVALID_PARAMETER;
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    if (!(h.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    return WithHiveRead(h, [&](Hive&, Key& key, bool&) -> DWORD {
        if (index >= key.subkeys.size()) return ERROR_NO_MORE_ITEMS;
        const Key& sub = *key.subkeys[index];
        if (sub.name.size() + 1 > *cchName) return ERROR_MORE_DATA;
        memcpy(name, sub.name.c_str(), (sub.name.size() + 1) * sizeof(WCHAR));
        *cchName = static_cast<DWORD>(sub.name.size());
        if (cls) {
            if (*cchClass < 1) return ERROR_MORE_DATA;
            cls[0] = 0;
        }
        if (cchClass) *cchClass = 0;
        if (lastWrite) {
            lastWrite->dwLowDateTime = static_cast<DWORD>(sub.lastWrite);
            lastWrite->dwHighDateTime = static_cast<DWORD>(sub.lastWrite >> 32);
        }
        return ERROR_SUCCESS;
    });
}

DWORD CloseWorker(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    const uintptr_t v = reinterpret_cast<uintptr_t>(hKey);
    auto key = pal::TakeHandle(reinterpret_cast<HANDLE>(hKey), pal::HandleKind::RegKey);
    if (!key) return ERROR_INVALID_HANDLE;
    std::string dir;
    {
        std::lock_guard<std::mutex> guard(g_keysLock);
        dir = static_cast<KeyObject&>(*key).key.dir;
    }
    // The last handle that changed the store writes it.
    std::lock_guard<std::mutex> guard(g_pendingLock);
    auto it = g_pending.find(dir);
    if (it == g_pending.end() || !it->second->changedBy.erase(v) || !it->second->changedBy.empty())
        return ERROR_SUCCESS;
    return Commit(dir);
}

DWORD FlushWorker(HKEY hKey) {
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    std::lock_guard<std::mutex> guard(g_pendingLock);
    err = Commit(h.dir);
    auto failed = g_unreported.find(h.dir);
    if (failed != g_unreported.end()) {
        err = failed->second;
        g_unreported.erase(failed);
    }
    return err;
}

/* No C++ exception leaves a Reg* entry (an allocation failure is a status),
 * and the caller's last error survives whatever the store's I/O set. */
template <typename Fn>
LSTATUS Guard(Fn&& fn) {
    DWORD lastError = GetLastError();
    LSTATUS status;
    try {
        status = static_cast<LSTATUS>(fn());
    } catch (const std::bad_alloc&) {
        status = ERROR_OUTOFMEMORY;
    } catch (...) {
        status = ERROR_BADDB;
    }
    SetLastError(lastError);
    return status;
}

} // namespace
} // namespace pal::registry

using namespace pal::registry;

extern "C" LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    return Guard([&] { return OpenWorker(hKey, lpSubKey, ulOptions, samDesired, phkResult); });
}

extern "C" LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                   REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                   PHKEY phkResult, LPDWORD lpdwDisposition) {
    return Guard(
        [&] { return CreateWorker(hKey, lpSubKey, Reserved, dwOptions, samDesired, phkResult, lpdwDisposition); });
}

extern "C" LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData) {
    return Guard([&] { return QueryWorker(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData); });
}

extern "C" LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                  DWORD cbData) {
    return Guard([&] { return SetWorker(hKey, lpValueName, Reserved, dwType, lpData, cbData); });
}

extern "C" LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return Guard([&] { return DeleteKeyWorker(hKey, lpSubKey); });
}

extern "C" LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Guard([&] { return DeleteValueWorker(hKey, lpValueName); });
}

extern "C" LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                 LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return Guard([&] {
        return EnumWorker(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
    });
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) { return Guard([&] { return CloseWorker(hKey); }); }

extern "C" LSTATUS RegFlushKey(HKEY hKey) { return Guard([&] { return FlushWorker(hKey); }); }
