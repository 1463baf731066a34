#include "internal/perms.h"
#include "internal/paths.h"
#include "internal/syscalls.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>
#include <cstdlib>
#include <vector>

#ifndef VK_VAULT_GROUP
#define VK_VAULT_GROUP "vaultkeep"
#endif

namespace pal::perms {

std::string GroupName() {
    const char* env = secure_getenv("VAULTKEEP_GROUP");
    return env && env[0] ? std::string(env) : std::string(VK_VAULT_GROUP);
}

namespace {

bool QueryGroup(const std::string& name, gid_t& gid) {
    struct group grp;
    struct group* found = nullptr;
    std::vector<char> buf(4096);
    for (;;) {
        int rc = getgrnam_r(name.c_str(), &grp, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || !found) return false;
        gid = found->gr_gid;
        return true;
    }
}

struct CachedGroup {
    bool found;
    gid_t gid;
    struct timespec at;
};

} // namespace

bool LookUpGroup(const std::string& name, gid_t& gid) {
    // A lookup, a miss above all, may walk every name-service module (one of them opens
    // hundreds of paths), and a call makes several: the answer is kept for a few seconds,
    // so a group an administrator creates or changes is still seen soon after.
    constexpr time_t kKeepSeconds = 5;
    static std::mutex lock;
    static auto* cache = new std::map<std::string, CachedGroup>;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = cache->find(name);
        if (it != cache->end() && now.tv_sec - it->second.at.tv_sec < kKeepSeconds) {
            gid = it->second.gid;
            return it->second.found;
        }
    }
    CachedGroup entry{QueryGroup(name, gid), gid, now};
    std::lock_guard<std::mutex> guard(lock);
    (*cache)[name] = entry;
    return entry.found;
}

bool GroupId(gid_t& gid) {
    // The name is read each time: a test or an administrator may change it while a process runs.
    return LookUpGroup(GroupName(), gid);
}

Area AreaOf(const std::string& hostPath) {
    const std::string root = MachineRoot();
    if (root.empty() || hostPath.compare(0, root.size(), root) != 0 ||
        (hostPath.size() > root.size() && hostPath[root.size()] != '/'))
        return Area::Outside;
    for (const char* admin : {"/Program Files", "/registry"}) {
        const std::string folder = root + admin;
        if (hostPath.compare(0, folder.size(), folder) == 0 &&
            (hostPath.size() == folder.size() || hostPath[folder.size()] == '/'))
            return Area::AdminOnly;
    }
    return Area::Data;
}

namespace {

mode_t ModeFor(bool folder, bool group, Area area) {
    if (!group || area == Area::Outside) return folder ? 0700 : 0600;
    if (area == Area::AdminOnly) return folder ? 02750 : 0640;
    return folder ? 02770 : 0660;
}

} // namespace

void ApplyFd(int fd, bool folder, Area area, bool readOnly) {
    if (area == Area::Outside) { // created owner-only; the caller's umask stands
        struct stat st;
        if (readOnly && fstat(fd, &st) == 0) sys::Fchmod(fd, st.st_mode & 07555);
        return;
    }
    bool group = false;
    gid_t gid;
    struct stat st;
    if (GroupId(gid) && fstat(fd, &st) == 0)
        group = st.st_gid == gid || fchown(fd, static_cast<uid_t>(-1), gid) == 0;
    mode_t mode = ModeFor(folder, group, area);
    if (readOnly) mode &= ~static_cast<mode_t>(0222);
    sys::Fchmod(fd, mode);
}

mode_t Narrow(mode_t old, gid_t gid, Area area) {
    gid_t vault;
    const bool group = GroupId(vault) && vault == gid;
    return old & ModeFor(false, group, area);
}

int MakeFolder(const std::string& path) {
    if (sys::Mkdir(path.c_str(), 0700) != 0) return -1;
    int fd = sys::Open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        ApplyFd(fd, true, AreaOf(path));
        sys::Close(fd);
    }
    return 0;
}

int MakeFolders(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 0;
        errno = ENOTDIR;
        return -1;
    }
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && MakeFolders(path.substr(0, slash)) != 0) return -1;
    if (MakeFolder(path) == 0 || errno == EEXIST) return 0;
    return -1;
}

bool TrustedUid(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

bool InVaultGroup(gid_t gid) {
    gid_t vault;
    return GroupId(vault) && vault == gid;
}

bool TrustedFolder(const struct stat& st) {
    if (!S_ISDIR(st.st_mode) || (st.st_mode & S_IWOTH)) return false;
    // Only someone with access to the vault can give an object the vault
    // group (membership for chgrp, or write access to a vault folder).
    if (InVaultGroup(st.st_gid)) return true;
    return TrustedUid(st.st_uid) && !(st.st_mode & S_IWGRP);
}

bool OnlyTrustedCanWrite(const struct stat& st) {
    return TrustedUid(st.st_uid) && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

} // namespace pal::perms
