/*
 * Reg* over the store of hive.h, kept in <root>/registry/:
 *   machine.hive   HKEY_LOCAL_MACHINE
 *   machine.hive.new   the next version while it is written
 *   lock           flock'ed exclusively around every change; flock locks of
 *                  separate opens exclude each other within one process too,
 *                  so threads need nothing more.
 * A change is read-modify-write under the exclusive lock, and the new file is
 * written beside, flushed, renamed over the old one and the folder flushed,
 * so the store is always a whole old or a whole new version. That is also why
 * a read needs no lock: it opens one whole version. The version parsed last is
 * kept for reads while the file is unchanged (see ParsedStore), so a caller that
 * makes several queries in a row reads and parses the store once.
 *
 * An HKEY names a key by the store it lives in, the store's id and the key's
 * id; ids are never reused, so a handle to a deleted key stays dead even if a
 * key of the same name is made again (ERROR_KEY_DELETED). Reg* functions
 * return their status and leave the last error alone, as Windows does.
 */
#include "internal/errors.h"
#include "internal/paths.h"
#include "internal/strings.h"
#include "internal/syscalls.h"
#include "registry/hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

namespace pal::registry {
namespace {

constexpr const char* kHiveFile = "machine.hive";
constexpr const char* kLockFile = "lock";
constexpr REGSAM kAllKeyRights = KEY_ALL_ACCESS;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericRead = GENERIC_READ, kGenericWrite = GENERIC_WRITE, kGenericAll = GENERIC_ALL;
constexpr REGSAM kGenericExecute = GENERIC_EXECUTE;
/* Handle values live outside the canonical address range, so they never equal
 * a pointer or another PAL handle. */
constexpr uintptr_t kHandleTag = 0x4B45590000000000ull;

struct OpenKey {
    std::string dir; /* the store's folder when the handle was made */
    uint64_t storeId;
    uint64_t keyId;
    REGSAM access;
};

std::mutex g_handlesLock;
std::map<uintptr_t, OpenKey> g_handles;
uintptr_t g_nextHandle = 1;

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
        out = OpenKey{StoreDir(), 0, kRootId, kAllKeyRights};
        return ERROR_SUCCESS;
    }
    if (IsPredefined(h)) return ERROR_INVALID_HANDLE;
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    std::lock_guard<std::mutex> guard(g_handlesLock);
    auto it = g_handles.find(v);
    if (it == g_handles.end()) return ERROR_INVALID_HANDLE;
    out = it->second;
    return ERROR_SUCCESS;
}

HKEY NewHandle(const OpenKey& key) {
    std::lock_guard<std::mutex> guard(g_handlesLock);
    uintptr_t v = kHandleTag | (g_nextHandle++ << 2);
    g_handles.emplace(v, key);
    return reinterpret_cast<HKEY>(v);
}

/* Holds the store lock for one operation. */
class StoreLock {
public:
    ~StoreLock() {
        if (m_fd >= 0) pal::sys::Close(m_fd);
    }
    /* Shared for reading: a store that does not exist yet reads as empty, and
     * needs no lock. Exclusive for writing: makes the folder. */
    DWORD Take(const std::string& dir, bool exclusive) {
        if (exclusive) {
            DWORD err = MakeFolder(dir);
            if (err != ERROR_SUCCESS) return err;
        }
        std::string path = dir + "/" + kLockFile;
        m_fd = pal::sys::Open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0 && errno == EACCES) m_fd = pal::sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            if (!exclusive && errno == ENOENT) return ERROR_SUCCESS;
            return pal::Win32FromErrno(errno);
        }
        if (pal::sys::Flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0) return pal::Win32FromErrno(errno);
        return ERROR_SUCCESS;
    }

private:
    static DWORD MakeFolder(const std::string& dir) {
        struct stat st;
        if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_BADDB;
        size_t slash = dir.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            DWORD err = MakeFolder(dir.substr(0, slash));
            if (err != ERROR_SUCCESS) return err;
        }
        if (pal::sys::Mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return pal::Win32FromErrno(errno);
        return ERROR_SUCCESS;
    }
    int m_fd = -1;
};

/* The store file's bytes, and the file's status as read; a missing file is no
 * error (exists false). */
DWORD ReadStore(const std::string& dir, std::vector<uint8_t>& bytes, bool& exists, struct stat* status = nullptr) {
    std::string path = dir + "/" + kHiveFile;
    exists = false;
    bytes.clear();
    int fd = pal::sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ERROR_SUCCESS : pal::Win32FromErrno(errno);
    exists = true;
    struct stat st;
    DWORD err = ERROR_SUCCESS;
    if (fstat(fd, &st) != 0) {
        err = pal::Win32FromErrno(errno);
    } else if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxStoreBytes) {
        Report("store " + path + " is not a file of acceptable size");
        err = ERROR_BADDB;
    } else {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < bytes.size()) {
            ssize_t n = pal::sys::Read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0) {
                err = ERROR_CANTREAD;
                break;
            }
            if (n == 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        if (status) *status = st;
    }
    pal::sys::Close(fd);
    return err;
}

DWORD ParseStore(const std::string& dir, const std::vector<uint8_t>& bytes, Hive& hive) {
    std::string why;
    if (!hive.Parse(bytes.data(), bytes.size(), why)) {
        Report("store " + dir + "/" + kHiveFile + " is damaged: " + why);
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

/* Reads the store; a missing file is an empty hive. */
DWORD Load(const std::string& dir, Hive& hive) {
    std::vector<uint8_t> bytes;
    bool exists = false;
    DWORD err = ReadStore(dir, bytes, exists);
    if (err != ERROR_SUCCESS || !exists) return err;
    return ParseStore(dir, bytes, hive);
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
    std::string temp = path + ".new";
    int fd = pal::sys::Open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return pal::Win32FromErrno(errno);
    int failure = 0;
    if (!pal::sys::WriteAll(fd, bytes.data(), bytes.size()) || pal::sys::Fsync(fd) != 0) failure = errno;
    if (pal::sys::Close(fd) != 0 && !failure) failure = errno;
    if (!failure && pal::sys::Rename(temp.c_str(), path.c_str()) != 0) failure = errno;
    if (failure) {
        pal::sys::Unlink(temp.c_str());
        Report("cannot write " + path + ": " + strerror(failure));
        return failure == ENOSPC ? ERROR_DISK_FULL : ERROR_CANTWRITE;
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

/* Runs a reading fn on the current version of the store. */
template <typename Fn>
DWORD WithHiveRead(const OpenKey& h, Fn&& fn) {
    bool unchanged = false;
    Key* key = nullptr;
    DWORD err;
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

/* Runs fn on the hive, saving afterwards when it changed it: a reading fn on
 * the current version, a writing one under the lock. */
template <typename Fn>
DWORD WithHive(const OpenKey& h, bool write, Fn&& fn) {
    if (!write) return WithHiveRead(h, fn);
    StoreLock lock;
    DWORD err = lock.Take(h.dir, write);
    if (err != ERROR_SUCCESS) return err;
    Hive hive;
    err = Load(h.dir, hive);
    if (err != ERROR_SUCCESS) return err;
    Key* key = nullptr;
    err = Locate(hive, h, key);
    if (err != ERROR_SUCCESS) return err;
    bool changed = false;
    err = fn(hive, *key, changed);
    if (err == ERROR_SUCCESS && changed) err = Save(h.dir, hive);
    return err;
}

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
    err = WithHive(h, false, [&](Hive& hive, Key& base, bool&) -> DWORD {
        Key* k = &base;
        for (const auto& part : parts)
            if (!(k = k->FindSubkey(part))) return ERROR_FILE_NOT_FOUND;
        opened.storeId = hive.StoreId();
        opened.keyId = k->id;
        return ERROR_SUCCESS;
    });
    if (err == ERROR_SUCCESS) *result = NewHandle(opened);
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
    err = WithHive(h, true, [&](Hive& hive, Key& base, bool& changed) -> DWORD {
        Key* k = &base;
        for (const auto& part : parts) {
            Key* next = k->FindSubkey(part);
            if (!next) {
                if (!(h.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
                DWORD e = hive.AddSubkey(*k, part, next);
                if (e != ERROR_SUCCESS) return e;
                changed = true;
                disp = REG_CREATED_NEW_KEY;
            }
            k = next;
        }
        opened.storeId = hive.StoreId();
        opened.keyId = k->id;
        return ERROR_SUCCESS;
    });
    if (err != ERROR_SUCCESS) return err;
    *result = NewHandle(opened);
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
    return WithHive(h, false, [&](Hive&, Key& key, bool&) -> DWORD {
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
    return WithHive(h, true, [&](Hive&, Key& key, bool& changed) -> DWORD {
        Value* v = key.FindValue(name);
        if (!v) {
            key.values.emplace_back();
            v = &key.values.back();
            v->name = name;
        }
        v->type = type;
        v->data.assign(data, data + cbData);
        key.lastWrite = FileTimeNow();
        changed = true;
        return ERROR_SUCCESS;
    });
}

DWORD DeleteValueWorker(HKEY hKey, LPCWSTR valueName) {
    OpenKey h;
    bool predefined;
    DWORD err = Resolve(hKey, h, predefined);
    if (err != ERROR_SUCCESS) return err;
    if (!(h.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::u16string name = ValueName(valueName);
    return WithHive(h, true, [&](Hive&, Key& key, bool& changed) -> DWORD {
        for (auto it = key.values.begin(); it != key.values.end(); ++it) {
            if (it->name == name) {
                key.values.erase(it);
                key.lastWrite = FileTimeNow();
                changed = true;
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
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
    return WithHive(h, true, [&](Hive& hive, Key& base, bool& changed) -> DWORD {
        Key* k = &base;
        for (const auto& part : parts)
            if (!(k = k->FindSubkey(part))) return ERROR_FILE_NOT_FOUND;
        if (!k->parent || !k->subkeys.empty()) return ERROR_ACCESS_DENIED;
        hive.RemoveKey(*k);
        changed = true;
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
    return WithHive(h, false, [&](Hive&, Key& key, bool&) -> DWORD {
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
    std::lock_guard<std::mutex> guard(g_handlesLock);
    return g_handles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
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

extern "C" LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Guard([&] { return DeleteValueWorker(hKey, lpValueName); });
}

extern "C" LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return Guard([&] { return DeleteKeyWorker(hKey, lpSubKey); });
}

extern "C" LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                 LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return Guard([&] {
        return EnumWorker(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
    });
}

extern "C" LSTATUS RegCloseKey(HKEY hKey) { return Guard([&] { return CloseWorker(hKey); }); }
