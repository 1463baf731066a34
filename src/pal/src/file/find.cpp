/*
 * Directory search. The listing is taken whole at FindFirstFileW and handed
 * out entry by entry. A folder pattern lists "." and ".." first, as NTFS does
 * (but not for the drive root, which has neither); the other entries follow in
 * byte order of their names. Write-in-progress temporaries are never listed.
 * A symbolic link is listed as a reparse point, never as a folder, so a
 * recursive delete removes the link instead of descending into its target.
 */
#include "file/file.h"
#include "internal/errors.h"
#include "internal/paths.h"
#include "internal/strings.h"
#include "internal/syscalls.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace pal::file {

namespace {

class FindObject final : public HandleObject {
  public:
    FindObject() : HandleObject(HandleKind::Find) {}
    std::mutex lock;
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

/* '*' any run, '?' one character; compared exactly, as the host's names are. */
bool Matches(const char16_t* pat, const char16_t* name) {
    const char16_t* star = nullptr;
    const char16_t* resume = nullptr;
    while (*name) {
        if (*pat == u'*') {
            star = pat++;
            resume = name;
        } else if (*pat == u'?' || *pat == *name) {
            ++pat;
            ++name;
        } else if (star) {
            pat = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pat == u'*')
        ++pat;
    return *pat == 0;
}

bool Fill(const std::u16string& name, const struct stat& st, WIN32_FIND_DATAW& fd) {
    if (name.size() >= MAX_PATH) return false;
    memset(&fd, 0, sizeof fd);
    fd.dwFileAttributes = AttributesOf(st);
    fd.ftCreationTime = ToFileTime(st.st_ctim);
    fd.ftLastAccessTime = ToFileTime(st.st_atim);
    fd.ftLastWriteTime = ToFileTime(st.st_mtim);
    if (!S_ISDIR(st.st_mode)) {
        uint64_t size = static_cast<uint64_t>(st.st_size);
        fd.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        fd.nFileSizeLow = static_cast<DWORD>(size);
    }
    std::copy(name.begin(), name.end(), fd.cFileName);
    return true;
}

DWORD FindFirstWorker(LPCWSTR lpFileName, std::shared_ptr<FindObject>& found) {
    if (!lpFileName) return ERROR_INVALID_PARAMETER;
    std::u16string full(lpFileName);
    size_t sep = full.find_last_of(u"\\/");
    std::u16string folderW = sep == std::u16string::npos ? u"." : full.substr(0, sep);
    std::u16string pattern = sep == std::u16string::npos ? full : full.substr(sep + 1);
    if (folderW.empty()) folderW = u"\\"; // "\*": the drive root
    if (pattern.empty()) return ERROR_FILE_NOT_FOUND;
    if (pattern == u"*.*") pattern = u"*"; // the DOS spelling of "everything"

    auto find = std::make_shared<FindObject>();
    WIN32_FIND_DATAW data;
    std::string host;
    DWORD err;
    if (pattern.find_first_of(u"*?") == std::u16string::npos) {
        if (!ToHostPath(lpFileName, host, err)) return err;
        struct stat st;
        if (lstat(host.c_str(), &st) != 0) return Win32FromPathErrno(errno, host);
        if (Fill(pattern, st, data)) find->entries.push_back(data);
    } else {
        if (!ToHostPath(folderW.c_str(), host, err)) return err;
        // Through the file layer, so a folder below the root is reached without links.
        const int dirFd = sys::Open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* d = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
        if (!d && dirFd >= 0) {
            const int err = errno;
            sys::Close(dirFd);
            errno = err;
        }
        if (!d)
            return errno == ENOENT || errno == ENOTDIR ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND)
                                                       : Win32FromErrno(errno);
        std::vector<std::pair<std::string, WIN32_FIND_DATAW>> listed;
        while (struct dirent* e = readdir(d)) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || IsTempName(e->d_name)) continue;
            std::u16string name = Utf8ToUtf16(std::string(e->d_name));
            struct stat st;
            if (!Matches(pattern.c_str(), name.c_str())) continue;
            if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue; // gone meanwhile
            if (Fill(name, st, data)) listed.emplace_back(e->d_name, data);
        }
        closedir(d);
        std::sort(listed.begin(), listed.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });

        std::string root = MachineRoot();
        bool driveRoot = host == root || host == "/";
        struct stat self, parent;
        if (!driveRoot && Matches(pattern.c_str(), u".") && stat(host.c_str(), &self) == 0 &&
            stat((host + "/..").c_str(), &parent) == 0 && Fill(u".", self, data)) {
            find->entries.push_back(data);
            if (Fill(u"..", parent, data)) find->entries.push_back(data);
        }
        for (auto& entry : listed)
            find->entries.push_back(entry.second);
    }
    if (find->entries.empty()) return ERROR_FILE_NOT_FOUND;
    found = find;
    return ERROR_SUCCESS;
}

} // namespace

} // namespace pal::file

using namespace pal;
using namespace pal::file;

extern "C" HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD err;
    try {
        std::shared_ptr<FindObject> find;
        err =
            lpFindFileData ? FindFirstWorker(lpFileName, find) : static_cast<DWORD>(ERROR_INVALID_PARAMETER);
        if (err == ERROR_SUCCESS) {
            *lpFindFileData = find->entries[0];
            find->next = 1;
            h = InsertHandle(find);
            if (!h) {
                h = INVALID_HANDLE_VALUE;
                err = ERROR_NOT_ENOUGH_MEMORY;
            }
        }
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    SetLastError(err);
    return h;
}

extern "C" BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    DWORD err = ERROR_SUCCESS;
    auto find = Lookup<FindObject>(hFindFile, HandleKind::Find);
    if (!find) {
        err = ERROR_INVALID_HANDLE;
    } else if (!lpFindFileData) {
        err = ERROR_INVALID_PARAMETER;
    } else {
        std::lock_guard<std::mutex> g(find->lock);
        if (find->next >= find->entries.size())
            err = ERROR_NO_MORE_FILES;
        else
            *lpFindFileData = find->entries[find->next++];
    }
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

extern "C" BOOL FindClose(HANDLE hFindFile) {
    DWORD err = CloseTypedHandle(hFindFile, {HandleKind::Find});
    SetLastError(err);
    return err == ERROR_SUCCESS;
}
