#include "FuzzSupport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <vaultkeep/vaultkeep.h>

#include "util/TableSupport.h"

namespace vkfuzz {

namespace {

std::string g_root;

void RemoveRoot() {
    if (!g_root.empty()) RemoveTree(g_root);
}

/* A memory file system when there is one: every exec writes files, and the
 * platform layer flushes each one. VKFUZZ_TMP (set by run.sh) wins. */
std::string TempParent() {
    const char* env = getenv("VKFUZZ_TMP");
    if (env && *env) return env;
    if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
    env = getenv("TMPDIR");
    return env && *env ? env : "/tmp";
}

/*
 * libFuzzer keeps the coverage counters of every instrumented module it saw
 * load and clears them before each input: a module the platform layer's
 * FreeLibrary unmaps would take its counters with it. Each module the system
 * loads at run time is opened once more here and never unloaded.
 */
void PinModule(const std::string& path) {
    if (!dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
        fprintf(stderr, "vkfuzz: cannot pin %s: %s\n", path.c_str(), dlerror());
        abort();
    }
}

void PinComponents() {
    Dl_info info = {};
    if (!dladdr(reinterpret_cast<void*>(&VaultkeepInitRoot), &info) || !info.dli_fname) abort();
    std::string lib = info.dli_fname;
    lib.erase(lib.find_last_of('/') + 1);
    lib += "vaultkeep/";
    PinModule(lib + "libVaultkeepComServers.so");
    PinModule(lib + "libVaultkeepTpmKsp.so");
}

/* The zip library is copied into the root by the layout, and loaded from there. */
void PinZipLibrary() {
    PinModule(g_root + "/Program Files/Tarnwick Systems Corp/Aldmoor Client Core/ZipUtil.dll");
}

} // namespace

const std::string& Root() {
    if (!g_root.empty()) return g_root;
    std::string tmpl = TempParent() + "/vkfuzz-root-XXXXXX";
    if (!mkdtemp(&tmpl[0])) {
        perror("vkfuzz: mkdtemp");
        abort();
    }
    g_root = tmpl;
    setenv("VAULTKEEP_ROOT", g_root.c_str(), 1);
    atexit(RemoveRoot);
    PinComponents();
    LONG status = VaultkeepInitRoot();
    if (status != 0) {
        fprintf(stderr, "vkfuzz: laying out %s failed: %ld\n", g_root.c_str(), (long)status);
        abort();
    }
    PinZipLibrary();
    return g_root;
}

std::string HostPath(const std::u16string& windowsPath) {
    std::string out = Root();
    size_t start = 0;
    if (windowsPath.size() >= 2 && windowsPath[1] == u':') start = 2;
    for (size_t i = start; i < windowsPath.size(); ++i) {
        char16_t c = windowsPath[i];
        out += c == u'\\' ? '/' : static_cast<char>(c < 0x80 ? c : '?');
    }
    return out;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
        abort();
    }
}

void FillHmac(Bytes& file, size_t saltOffset, size_t minSize) {
    constexpr size_t kMac = 32;
    if (file.size() < minSize + kMac || minSize < saltOffset + 32) return;
    DWORD bodyLen = static_cast<DWORD>(file.size() - kMac);
    tables::TableHmac(AppSecretBytes(), AppSecretLen(), file.data() + saltOffset, file.data(), bodyLen,
                      file.data() + bodyLen);
}

SAFEARRAY* AppSecretArray() {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, AppSecretLen());
    void* p = nullptr;
    if (!psa || FAILED(SafeArrayAccessData(psa, &p))) abort();
    memcpy(p, kAppSecret, AppSecretLen());
    SafeArrayUnaccessData(psa);
    return psa;
}

const BYTE* AppSecretBytes() { return reinterpret_cast<const BYTE*>(kAppSecret); }
DWORD AppSecretLen() { return static_cast<DWORD>(sizeof(kAppSecret) - 1); }

bool WriteFile(const std::string& path, const void* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, p + done, size - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

bool ReadFile(const std::string& path, Bytes& out) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    close(fd);
    return true;
}

bool MakeFolder(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec;
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
}

std::vector<Member> SplitMembers(const uint8_t* data, size_t size) {
    std::vector<Member> out;
    size_t at = 0;
    while (at < size) {
        size_t nameLen = data[at++];
        if (nameLen == 0 || size - at < nameLen + 4) break;
        Member m;
        m.name.assign(reinterpret_cast<const char*>(data + at), nameLen);
        at += nameLen;
        size_t len = Le32(data + at);
        at += 4;
        if (len > size - at) break;
        m.data.assign(data + at, data + at + len);
        at += len;
        out.push_back(std::move(m));
    }
    return out;
}

Bytes JoinMembers(const std::vector<Member>& members) {
    Bytes out;
    for (const Member& m : members) {
        out.push_back(static_cast<uint8_t>(m.name.size()));
        out.insert(out.end(), m.name.begin(), m.name.end());
        uint8_t len[4];
        PutLe32(len, static_cast<uint32_t>(m.data.size()));
        out.insert(out.end(), len, len + 4);
        out.insert(out.end(), m.data.begin(), m.data.end());
    }
    return out;
}

} // namespace vkfuzz
