#include "VkTest.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <algorithm>
#include <memory>

extern char** environ;

namespace vktest {

FreshRoot::FreshRoot() {
    const char* old = getenv("VAULTKEEP_ROOT");
    m_hadOldRoot = old != nullptr;
    if (old) m_oldRoot = old;
    char tmpl[] = "/tmp/vktest-root-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
    setenv("VAULTKEEP_ROOT", m_path.c_str(), 1);
}

FreshRoot::~FreshRoot() {
    std::error_code ec;
    // Read-only files and folders must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(m_path, ec);
    if (m_hadOldRoot)
        setenv("VAULTKEEP_ROOT", m_oldRoot.c_str(), 1);
    else
        unsetenv("VAULTKEEP_ROOT");
}

ByteArray::ByteArray(const Bytes& bytes) {
    m_psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!m_psa) throw std::bad_alloc();
    if (!bytes.empty()) {
        void* p = nullptr;
        SafeArrayAccessData(m_psa, &p);
        memcpy(p, bytes.data(), bytes.size());
        SafeArrayUnaccessData(m_psa);
    }
}

ByteArray::~ByteArray() { SafeArrayDestroy(m_psa); }

Bytes TakeArray(SAFEARRAY*& psa) {
    Bytes out;
    if (!psa) return out;
    LONG lb = 0, ub = -1;
    SafeArrayGetLBound(psa, 1, &lb);
    SafeArrayGetUBound(psa, 1, &ub);
    void* p = nullptr;
    if (ub >= lb && SUCCEEDED(SafeArrayAccessData(psa, &p))) {
        out.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + (ub - lb + 1));
        SafeArrayUnaccessData(psa);
    }
    SafeArrayDestroy(psa);
    psa = nullptr;
    return out;
}

std::string TakeBstr(BSTR& bstr) {
    std::string out;
    if (bstr) out = Narrow(std::u16string(bstr, SysStringLen(bstr)));
    SysFreeString(bstr);
    bstr = nullptr;
    return out;
}

std::u16string U(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        uint32_t cp;
        int n;
        if (c < 0x80) { cp = c; n = 1; }
        else if ((c >> 5) == 6) { cp = c & 0x1f; n = 2; }
        else if ((c >> 4) == 14) { cp = c & 0x0f; n = 3; }
        else { cp = c & 0x07; n = 4; }
        for (int k = 1; k < n && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3f);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3ff)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        }
        if (cp < 0x80) out.push_back(static_cast<char>(cp));
        else if (cp < 0x800) { out.push_back(static_cast<char>(0xC0 | (cp >> 6))); out.push_back(static_cast<char>(0x80 | (cp & 0x3f))); }
        else if (cp < 0x10000) { out.push_back(static_cast<char>(0xE0 | (cp >> 12))); out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f))); out.push_back(static_cast<char>(0x80 | (cp & 0x3f))); }
        else { out.push_back(static_cast<char>(0xF0 | (cp >> 18))); out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f))); out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f))); out.push_back(static_cast<char>(0x80 | (cp & 0x3f))); }
    }
    return out;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator(path, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

uint32_t Le32(const Bytes& b, size_t off) {
    return b.at(off) | (b.at(off + 1) << 8) | (b.at(off + 2) << 16) | (static_cast<uint32_t>(b.at(off + 3)) << 24);
}

void PutLe32(Bytes& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
}

std::map<std::string, HelperFn>& Helpers() {
    static std::map<std::string, HelperFn> helpers;
    return helpers;
}

bool RegisterHelper(const char* name, HelperFn fn) {
    Helpers()[name] = fn;
    return true;
}

int RunHelper(const std::string& name, const std::vector<std::string>& args, int* pidOut, bool wait) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<std::string> argv_s = {self, "--vk-helper=" + name};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    if (pidOut) *pidOut = pid;
    return wait ? WaitHelper(pid) : 0;
}

int WaitHelper(int pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

} // namespace vktest

// The tests' own main: a "--vk-helper=<name>" run executes that helper instead of the tests.
int main(int argc, char** argv) {
    // The library's unload takes the machine-wide lock under the current root, after everything else
    // has been torn down: a test process never uses the real root, and its own stays behind (it only
    // ever holds lock files; scripts/test.sh removes these folders).
    if (!getenv("VAULTKEEP_ROOT")) {
        char tmpl[] = "/tmp/vktest-proc-XXXXXX";
        if (mkdtemp(tmpl)) setenv("VAULTKEEP_ROOT", tmpl, 1);
    }
    if (argc >= 2 && strncmp(argv[1], "--vk-helper=", 12) == 0) {
        auto it = vktest::Helpers().find(argv[1] + 12);
        if (it == vktest::Helpers().end()) return 99;
        return it->second(std::vector<std::string>(argv + 2, argv + argc));
    }
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    return rc;
}
