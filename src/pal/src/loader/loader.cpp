/*
 * Modules over the dynamic loader. An HMODULE is a handle of kind Module that
 * counts the LoadLibraryW calls it stands for, so loading one library twice
 * gives the same HMODULE, as on Windows, and each FreeLibrary gives back one
 * reference. The library that holds the PAL gets a module handle without a
 * loader reference of its own (see init), so it can still be unloaded.
 */
#include "internal/errors.h"
#include "internal/handles.h"
#include "internal/paths.h"
#include "internal/perms.h"
#include "internal/strings.h"
#include "loader/loader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <map>
#include <mutex>

namespace pal::loader {

namespace {

class Module final : public HandleObject {
  public:
    Module(void* dl, std::string path) : HandleObject(HandleKind::Module), dl(dl), path(std::move(path)) {}
    void* const dl; // null for the PAL's own library
    const std::string path;
    unsigned refs = 1;     // guarded by Modules().lock
    bool attached = false; // guarded by Modules().lock
};

struct Registry {
    std::mutex lock;
    std::map<void*, HMODULE> byDl; // loader handle -> our handle
};

Registry& Modules() {
    static auto* r = new Registry;
    return *r;
}

std::string LoadedPath(void* dl, const std::string& fallback) {
    struct link_map* map = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && map->l_name[0]) return map->l_name;
    return fallback;
}

typedef BOOL (*PFN_DllMain)(HINSTANCE, DWORD, LPVOID);

/* The module's own entry point: dlsym on a module handle also searches the
 * modules it depends on, which must not have their entry run a second time. */
PFN_DllMain OwnEntry(void* dl) {
    void* sym = dlsym(dl, "DllMain");
    struct link_map* map = nullptr;
    Dl_info info;
    if (!sym || dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map || !dladdr(sym, &info) || !info.dli_fname ||
        !map->l_name || std::string(info.dli_fname) != map->l_name)
        return nullptr;
    return reinterpret_cast<PFN_DllMain>(sym);
}

/*
 * Code is loaded only from a file that nobody but this account and the
 * superuser can change, in a folder that nobody else can write either, below
 * folders all owned by this account or the superuser: anyone else who could
 * put a file there could make this process run their code. The path is walked
 * from "/" one folder at a time without following links, the file is checked
 * through its own descriptor and loaded from that descriptor, so nothing can
 * be swapped in between. A bare name is left to the loader's own search of
 * the system's folders. On success *fd is the open file (-1 for a bare name)
 * and *file its path.
 */
DWORD OpenModule(const std::string& host, int& fd, std::string& file) {
    fd = -1;
    file = host;
    if (host.find('/') == std::string::npos) return ERROR_SUCCESS;
    char resolved[PATH_MAX];
    if (!realpath(host.c_str(), resolved)) return ERROR_MOD_NOT_FOUND;
    file = resolved;
    const char* why = nullptr;
    int dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    for (size_t at = 1; dir >= 0 && !why;) {
        const size_t slash = file.find('/', at);
        const std::string name = file.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (fstat(dir, &st) != 0 || !perms::TrustedUid(st.st_uid)) {
            why = "a folder above it belongs to another account";
        } else if (slash == std::string::npos) {
            if (!perms::OnlyTrustedCanWrite(st)) why = "its folder can be changed by another account";
            fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) why = "it cannot be opened without following a link";
            break;
        } else {
            const int next = openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(dir);
            dir = next;
            at = slash + 1;
        }
    }
    if (dir < 0 && !why) why = "a folder above it was replaced";
    if (dir >= 0) close(dir);
    if (!why && fd >= 0) {
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            why = "not a file";
        else if (!perms::OnlyTrustedCanWrite(st))
            why = "the file can be changed by another account";
    }
    if (!why) return ERROR_SUCCESS;
    if (fd >= 0) close(fd);
    fd = -1;
    OutputDebugStringA(("loader: refusing to load " + file + ": " + why + "\n").c_str());
    return ERROR_ACCESS_DENIED;
}

/*
 * Loads the module open on fd, which it takes over. The loader knows a
 * library by the name it was opened under and hands out a loaded one of the
 * same name without opening anything, so a "/proc/self/fd/N" name must never
 * come to mean another file: the first descriptor of each module file stays
 * open for the life of the process (one per module, a handful), and later
 * loads of that file go through it.
 */
void* DlopenFd(int fd) {
    static std::mutex lock;
    static auto* byFile = new std::map<std::pair<dev_t, ino_t>, int>;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    int kept = fd;
    {
        std::lock_guard<std::mutex> g(lock);
        auto [it, added] = byFile->emplace(std::make_pair(st.st_dev, st.st_ino), fd);
        if (!added) kept = it->second;
    }
    if (kept != fd) close(fd);
    return dlopen(("/proc/self/fd/" + std::to_string(kept)).c_str(), RTLD_NOW | RTLD_LOCAL);
}

DWORD LoadWorker(LPCWSTR name, HMODULE& result) {
    std::string host;
    DWORD err;
    if (!ToHostPath(name, host, err)) return err;
    int fd = -1;
    std::string file;
    if ((err = OpenModule(host, fd, file)) != ERROR_SUCCESS) return err;
    void* dl = fd < 0 ? dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL) : DlopenFd(fd);
    if (!dl) return ERROR_MOD_NOT_FOUND;
    Registry& r = Modules();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.byDl.find(dl);
    if (it != r.byDl.end()) {
        auto module = Lookup<Module>(it->second, HandleKind::Module);
        if (module) {
            ++module->refs; // the loader counted this dlopen too; FreeLibrary gives it back
            result = it->second;
            return ERROR_SUCCESS;
        }
    }
    HANDLE h = InsertHandle(std::make_shared<Module>(dl, fd < 0 ? LoadedPath(dl, host) : file));
    if (!h) {
        dlclose(dl);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    r.byDl[dl] = static_cast<HMODULE>(h);
    result = static_cast<HMODULE>(h);
    return ERROR_SUCCESS;
}

/* Runs the attach of a module loaded for the first time, outside the registry
 * lock (an entry point may load other modules). A refusing entry unloads it. */
DWORD AttachWorker(HMODULE h) {
    auto module = Lookup<Module>(h, HandleKind::Module);
    if (!module || !module->dl) return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> g(Modules().lock);
        if (module->refs != 1 || module->attached) return ERROR_SUCCESS;
        module->attached = true;
    }
    PFN_DllMain entry = OwnEntry(module->dl);
    if (entry && !entry(static_cast<HINSTANCE>(h), DLL_PROCESS_ATTACH, nullptr)) {
        std::lock_guard<std::mutex> g(Modules().lock);
        module->attached = false; // a refused attach gets no detach
        return ERROR_DLL_INIT_FAILED;
    }
    return ERROR_SUCCESS;
}

DWORD FreeWorker(HMODULE h) {
    auto module = Lookup<Module>(h, HandleKind::Module);
    if (!module || !module->dl) return ERROR_INVALID_HANDLE; // the PAL's own library is not ours to free
    Registry& r = Modules();
    bool last = false;
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (module->refs == 0) return ERROR_INVALID_HANDLE;
        if (--module->refs == 0) {
            r.byDl.erase(module->dl);
            CloseTypedHandle(h, {HandleKind::Module});
            last = module->attached;
        }
    }
    if (last) {
        if (PFN_DllMain entry = OwnEntry(module->dl)) entry(static_cast<HINSTANCE>(h), DLL_PROCESS_DETACH, nullptr);
    }
    dlclose(module->dl);
    return ERROR_SUCCESS;
}

} // namespace

HMODULE RegisterSelf(const void* address) {
    Dl_info info;
    if (!dladdr(address, &info) || !info.dli_fname) return NULL;
    std::string path = info.dli_fname;
    char resolved[PATH_MAX];
    if (path.find('/') == std::string::npos && realpath("/proc/self/exe", resolved)) path = resolved;
    try {
        return static_cast<HMODULE>(InsertHandle(std::make_shared<Module>(nullptr, path)));
    } catch (...) {
        return NULL;
    }
}

} // namespace pal::loader

using namespace pal;
using namespace pal::loader;

extern "C" HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    HMODULE h = NULL;
    DWORD err;
    try {
        err = LoadWorker(lpLibFileName, h);
        if (err == ERROR_SUCCESS) {
            err = AttachWorker(h);
            if (err != ERROR_SUCCESS) {
                FreeWorker(h);
                h = NULL;
            }
        }
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    SetLastError(err);
    return err == ERROR_SUCCESS ? h : NULL;
}

extern "C" FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    DWORD err = ERROR_SUCCESS;
    void* sym = nullptr;
    auto module = Lookup<Module>(hModule, HandleKind::Module);
    if (!module) {
        err = ERROR_INVALID_HANDLE;
    } else if (!lpProcName || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        err = ERROR_PROC_NOT_FOUND; // ordinals: nothing here exports by number
    } else {
        // The PAL's own library: borrow a loader handle for the lookup only.
        void* dl = module->dl ? module->dl : dlopen(module->path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (dl) sym = dlsym(dl, lpProcName);
        if (dl && !module->dl) dlclose(dl);
        if (!sym) err = ERROR_PROC_NOT_FOUND;
    }
    SetLastError(err);
    return reinterpret_cast<FARPROC>(sym);
}

extern "C" BOOL FreeLibrary(HMODULE hLibModule) {
    DWORD err;
    try {
        err = FreeWorker(hLibModule);
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    SetLastError(err);
    return err == ERROR_SUCCESS;
}

/* Truncates as Windows does since Vista: nSize characters including the
 * terminator, result nSize, ERROR_INSUFFICIENT_BUFFER. */
extern "C" DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    DWORD err = ERROR_SUCCESS;
    DWORD result = 0;
    try {
        std::string host;
        if (hModule == NULL) {
            char buf[PATH_MAX];
            ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
            if (n < 0)
                err = Win32FromErrno(errno);
            else
                host.assign(buf, static_cast<size_t>(n));
        } else if (auto module = Lookup<Module>(hModule, HandleKind::Module)) {
            host = module->path;
        } else {
            err = ERROR_MOD_NOT_FOUND;
        }
        if (err == ERROR_SUCCESS) {
            if (!lpFilename && nSize) {
                err = ERROR_INVALID_PARAMETER;
            } else {
                std::u16string name = ToWindowsPath(host);
                if (name.size() < nSize) {
                    std::copy(name.begin(), name.end(), lpFilename);
                    lpFilename[name.size()] = 0;
                    result = static_cast<DWORD>(name.size());
                } else {
                    if (nSize) {
                        std::copy(name.begin(), name.begin() + (nSize - 1), lpFilename);
                        lpFilename[nSize - 1] = 0;
                    }
                    result = nSize;
                    err = ERROR_INSUFFICIENT_BUFFER;
                }
            }
        }
    } catch (...) {
        err = ERROR_NOT_ENOUGH_MEMORY;
        result = 0;
    }
    SetLastError(err);
    return result;
}

/* No thread notifications are ever delivered, so there is nothing to turn off. */
extern "C" BOOL DisableThreadLibraryCalls(HMODULE hLibModule) {
    DWORD err = Lookup<Module>(hLibModule, HandleKind::Module) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    SetLastError(err);
    return err == ERROR_SUCCESS;
}
