/* The machine root and the C: drive mapped below it. */
#include "internal/paths.h"
#include "internal/strings.h"
#include "internal/perms.h"

#include <pwd.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace pal {

namespace {

constexpr const char* kSystemRoot = "/var/lib/vaultkeep";
/* The longest Windows path the wide APIs accept; anything longer is refused
 * before it is converted. */
constexpr size_t kMaxWidePath = 32767;

std::string TrimTrailingSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

bool UsableSystemRoot() {
    if (access(kSystemRoot, W_OK | X_OK) == 0) return true;
    if (errno != ENOENT) return false;
    // The parent must be writable for us to lay the machine-wide root out.
    // EEXIST: another process (or the lookup of this call's own path) made it first.
    return access("/var/lib", W_OK | X_OK) == 0 && (perms::MakeFolder(kSystemRoot) == 0 || errno == EEXIST);
}

/* The account's home folder from the user database: $HOME may be unset or
 * point anywhere. */
std::string HomeOfAccount() {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !pw.pw_dir ||
        pw.pw_dir[0] != '/')
        return std::string();
    return pw.pw_dir;
}

/* Every folder from "/" down to path may be changed only by this account or
 * the superuser (a shared folder such as /tmp counts when it is sticky), so
 * nobody else can have made the folder first or swap it later. */
bool OwnedAllTheWay(const std::string& path) {
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string prefix = end == std::string::npos ? path : path.substr(0, end);
        struct stat st;
        if (lstat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !perms::TrustedUid(st.st_uid)) return false;
        const bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (shared && (!(st.st_mode & S_ISVTX) || end == std::string::npos)) return false;
        if (end == std::string::npos) return true;
    }
}

void Refuse(const std::string& root, const char* why) {
    OutputDebugStringA(("paths: no machine root: " + root + " " + why + "\n").c_str());
}

/* The per-user state folder: $XDG_STATE_HOME/vaultkeep or <home>/.local/state/
 * vaultkeep, created 0700. Empty when no home is known or the folder is not
 * the account's own. */
std::string UserRoot() {
    const char* xdg = secure_getenv("XDG_STATE_HOME");
    std::string base;
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = secure_getenv("HOME");
        std::string dir = home && home[0] == '/' ? std::string(home) : HomeOfAccount();
        if (dir.empty()) {
            Refuse("(none)", "(no home folder for this account)");
            return std::string();
        }
        base = TrimTrailingSlashes(dir) + "/.local/state";
    }
    std::string root = TrimTrailingSlashes(base) + "/vaultkeep";
    struct stat st;
    for (size_t end = root.find('/', 1); end != std::string::npos; end = root.find('/', end + 1)) {
        std::string prefix = root.substr(0, end);
        if (stat(prefix.c_str(), &st) != 0 && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) break;
    }
    if (mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) {
        Refuse(root, "cannot be created");
        return std::string();
    }
    if (!OwnedAllTheWay(root)) {
        Refuse(root, "(or a folder above it) can be changed by another account");
        return std::string();
    }
    return root;
}

bool IsDriveLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool IsSep(char16_t c) {
    return c == u'\\' || c == u'/';
}

/* Characters Windows refuses in a file name. Wildcards are the directory
 * search's business and never reach here as part of a name. */
bool IsBadNameChar(char16_t c) {
    return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
           c == u'*';
}

/* Splits a drive-rooted remainder into components, resolving "." and ".."
 * lexically. Climbing above the drive root is refused as Windows does. */
DWORD SplitRooted(const char16_t* p, size_t n, std::vector<std::u16string>& parts) {
    size_t i = 0;
    while (i < n) {
        while (i < n && IsSep(p[i]))
            ++i;
        size_t start = i;
        while (i < n && !IsSep(p[i]))
            ++i;
        if (i == start) break;
        std::u16string comp(p + start, i - start);
        if (comp == u".") continue;
        if (comp == u"..") {
            if (parts.empty()) return ERROR_BAD_PATHNAME;
            parts.pop_back();
            continue;
        }
        for (char16_t c : comp)
            if (IsBadNameChar(c)) return ERROR_INVALID_NAME;
        parts.push_back(std::move(comp));
    }
    return ERROR_SUCCESS;
}

} // namespace

std::string MachineRoot() {
    const char* env = secure_getenv("VAULTKEEP_ROOT");
    if (env && env[0]) return TrimTrailingSlashes(env);
    if (UsableSystemRoot()) return kSystemRoot;
    return UserRoot();
}

bool ToHostPath(LPCWSTR winPath, std::string& hostPath, DWORD& error) {
    hostPath.clear();
    if (!winPath) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    size_t n = WideLength(winPath);
    if (n == 0) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (n > kMaxWidePath) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    const char16_t* p = winPath;

    // "\\?\C:\..." is the long-path form of the same name.
    if (n >= 4 && p[0] == u'\\' && p[1] == u'\\' && p[2] == u'?' && p[3] == u'\\') {
        p += 4;
        n -= 4;
    }

    if (p[0] == u'/') { // an absolute host path stands for itself
        hostPath = Utf16ToUtf8(p, n);
    } else {
        bool rooted = false;
        if (n >= 2 && IsDriveLetter(p[0]) && p[1] == u':') {
            if (p[0] != u'C' && p[0] != u'c') {
                error = ERROR_PATH_NOT_FOUND;
                return false;
            }
            if (n > 2 && !IsSep(p[2])) { // "C:name" is relative to a per-drive directory we do not keep
                error = ERROR_INVALID_NAME;
                return false;
            }
            p += 2;
            n -= 2;
            rooted = true;
        } else if (IsSep(p[0])) {
            if (n >= 2 && IsSep(p[1])) { // UNC: no network shares here
                error = ERROR_PATH_NOT_FOUND;
                return false;
            }
            rooted = true;
        }
        if (rooted) {
            std::vector<std::u16string> parts;
            DWORD e = SplitRooted(p, n, parts);
            if (e != ERROR_SUCCESS) {
                error = e;
                return false;
            }
            hostPath = MachineRoot();
            if (hostPath.empty()) { // no usable root: C: names nothing
                error = ERROR_PATH_NOT_FOUND;
                return false;
            }
            if (hostPath == "/" && !parts.empty()) hostPath.clear(); // no "//x" for a root at "/"
            for (auto& part : parts) {
                hostPath.push_back('/');
                hostPath += Utf16ToUtf8(part.data(), part.size());
            }
        } else {
            for (size_t i = 0; i < n; ++i) {
                if (!IsSep(p[i]) && IsBadNameChar(p[i])) {
                    error = ERROR_INVALID_NAME;
                    return false;
                }
            }
            std::u16string rel(p, n);
            for (auto& c : rel)
                if (c == u'\\') c = u'/';
            hostPath = Utf16ToUtf8(rel.data(), rel.size());
        }
    }
    if (hostPath.size() >= PATH_MAX) {
        hostPath.clear();
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    error = ERROR_SUCCESS;
    return true;
}

std::u16string ToWindowsPath(const std::string& hostPath) {
    std::string root = MachineRoot();
    auto below = [&](const std::string& r, std::string& rest) {
        if (r.empty() || r == "/") return false;
        if (hostPath == r) {
            rest.clear();
            return true;
        }
        if (hostPath.size() > r.size() && hostPath.compare(0, r.size(), r) == 0 &&
            hostPath[r.size()] == '/') {
            rest = hostPath.substr(r.size() + 1);
            return true;
        }
        return false;
    };
    std::string rest;
    bool inside = below(root, rest);
    if (!inside) {
        // Loader and /proc paths come back resolved; compare against the resolved root too.
        char resolved[PATH_MAX];
        if (realpath(root.c_str(), resolved)) inside = below(resolved, rest);
    }
    if (!inside) return Utf8ToUtf16(hostPath);
    std::u16string out = u"C:\\";
    std::u16string tail = Utf8ToUtf16(rest);
    for (auto& c : tail)
        if (c == u'/') c = u'\\';
    return out + tail;
}

} // namespace pal
