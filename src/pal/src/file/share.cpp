/* Share modes between the handles of this process. Other processes are not
 * held off: the system's machine-wide mutex serialises its own access. */
#include "file/file.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace pal::file {

namespace {

struct Record {
    uint64_t token;
    Access access;
};

struct Registry {
    std::mutex lock;
    std::map<std::string, std::vector<Record>> open;
    uint64_t nextToken = 1;
};

Registry& R() {
    static auto* r = new Registry;
    return *r;
}

bool Conflicts(const Access& a, const Access& b) {
    return (a.read && !(b.share & FILE_SHARE_READ)) || (a.write && !(b.share & FILE_SHARE_WRITE)) ||
           (a.del && !(b.share & FILE_SHARE_DELETE));
}

DWORD CheckLocked(Registry& r, const std::string& key, const Access& access) {
    auto it = r.open.find(key);
    if (it == r.open.end()) return ERROR_SUCCESS;
    for (const Record& rec : it->second)
        if (Conflicts(access, rec.access) || Conflicts(rec.access, access)) return ERROR_SHARING_VIOLATION;
    return ERROR_SUCCESS;
}

} // namespace

std::string ParentOf(const std::string& hostPath) {
    size_t slash = hostPath.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : hostPath.substr(0, slash);
}

/* The folder names the file by its identity (device and inode), not by its
 * path: one stat instead of resolving every component, the same key through
 * any link to the folder, and a key that stays right when the folder is renamed
 * while the file is open. */
std::string ShareKey(const std::string& hostPath) {
    size_t slash = hostPath.find_last_of('/');
    std::string base = slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
    struct stat st;
    if (stat(ParentOf(hostPath).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return hostPath;
    char folder[64];
    snprintf(folder, sizeof folder, "%llx:%llx/", static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    return folder + base;
}

DWORD ShareCheck(const std::string& key, const Access& access) {
    Registry& r = R();
    std::lock_guard<std::mutex> g(r.lock);
    return CheckLocked(r, key, access);
}

DWORD ShareAcquire(const std::string& key, const Access& access, uint64_t& token) {
    Registry& r = R();
    std::lock_guard<std::mutex> g(r.lock);
    DWORD err = CheckLocked(r, key, access);
    if (err != ERROR_SUCCESS) return err;
    token = r.nextToken++;
    r.open[key].push_back({token, access});
    return ERROR_SUCCESS;
}

void ShareRelease(const std::string& key, uint64_t token) {
    Registry& r = R();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.open.find(key);
    if (it == r.open.end()) return;
    auto& recs = it->second;
    for (auto rec = recs.begin(); rec != recs.end(); ++rec) {
        if (rec->token == token) {
            recs.erase(rec);
            break;
        }
    }
    if (recs.empty()) r.open.erase(it);
}

} // namespace pal::file
