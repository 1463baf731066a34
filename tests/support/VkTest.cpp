#include "VkTest.h"
#include "platform/Wide.h"

#ifdef _WIN32
#include <shlobj.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <algorithm>
#include <memory>

#ifndef _WIN32
extern char** environ;
#endif

namespace vktest {

#ifdef _WIN32
namespace {

/* Everything the library and its components keep on the machine: the layout (registrations,
 * "Install Path", the placed zip library), the data folders and the software provider's state. */
const wchar_t* const kMachineFolders[] = {L"C:\\ProgramData\\Tarnwick Systems Corp",
                                          L"C:\\Program Files\\Tarnwick Systems Corp"};
const wchar_t* const kMachineKeys[] = {
    L"SOFTWARE\\Tarnwick Systems Corp.",
    L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Tarnwick TPM Key Storage Provider",
    L"Software\\Classes\\CLSID\\{B4210AA5-5CB5-45A3-8627-B10D88C3A7F9}",
    L"Software\\Classes\\CLSID\\{9ED7A942-19F2-4B4E-A591-5F76FE2DBCD4}",
    L"Software\\Classes\\CLSID\\{C82996F9-297B-49C6-B9E5-594F3EAFCA66}"};

void RemoveTree(const std::filesystem::path& path) {
    std::error_code ec;
    // Read-only files must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(path, ec);
}

/* The machine as a fresh Windows install has it, as far as Vaultkeep is concerned. */
void ResetMachine() {
    for (const wchar_t* folder : kMachineFolders) RemoveTree(folder);
    for (const wchar_t* key : kMachineKeys) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key); // empties the key; the key itself goes next
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    }
}

bool IsMachinePath(const std::string& rel) {
    return rel.rfind("ProgramData", 0) == 0 || rel.rfind("Program Files", 0) == 0;
}

} // namespace

/* Windows has one machine root, the machine itself: the state is reset instead (the cases run
 * one after another in one prefix), and the scratch files go to a folder of the test's own. */
FreshRoot::FreshRoot() : m_hadOldRoot(false) {
    ResetMachine();
    wchar_t tmp[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, tmp)) throw std::runtime_error("GetTempPath failed");
    static int counter = 0;
    std::filesystem::path dir = std::filesystem::path(tmp) /
        ("vktest-root-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(dir);
    m_path = dir.generic_string();
}

FreshRoot::~FreshRoot() {
    RemoveTree(m_path);
    ResetMachine();
}

std::string FreshRoot::host(const std::string& rel) const {
    return (IsMachinePath(rel) ? std::string("C:") : m_path) + "/" + rel;
}
#else
FreshRoot::FreshRoot() {
    const char* old = getenv("VAULTKEEP_ROOT");
    m_hadOldRoot = old != nullptr;
    if (old) m_oldRoot = old;
    // The root is a folder of its own inside the temporary folder, so files tests keep beside
    // it (journals, snapshots) go with it. Others may pass through, as to any folder of /tmp.
    char tmpl[] = "/tmp/vktest-root-XXXXXX";
    if (!mkdtemp(tmpl) || chmod(tmpl, 0711) != 0) throw std::runtime_error("mkdtemp failed");
    m_path = std::string(tmpl) + "/root";
    if (mkdir(m_path.c_str(), 0700) != 0) throw std::runtime_error("mkdir failed");
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
    std::filesystem::remove_all(std::filesystem::path(m_path).parent_path(), ec);
    if (m_hadOldRoot)
        setenv("VAULTKEEP_ROOT", m_oldRoot.c_str(), 1);
    else
        unsetenv("VAULTKEEP_ROOT");
}

std::string FreshRoot::host(const std::string& rel) const { return m_path + "/" + rel; }
#endif

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
    if (bstr) out = Narrow(WString(bstr, SysStringLen(bstr)));
    SysFreeString(bstr);
    bstr = nullptr;
    return out;
}


/* Paths are UTF-8 text in the tests; Windows opens files by UTF-16 names. */
static std::filesystem::path NativePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream f(NativePath(path), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream f(NativePath(path), std::ios::binary | std::ios::trunc);
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

Tree Snapshot(const std::string& dir, bool times) {
    namespace fs = std::filesystem;
    Tree out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path rel = it->path().lexically_relative(dir);
        if (rel.begin()->string() == ".pal") continue; // every call takes the lock and marks its owner there
        const bool file = it->is_regular_file(ec) && !it->is_symlink(ec);
        std::error_code tec;
        out[rel.generic_string()] = {file ? ReadFileBytes(it->path().string()) : Bytes{},
                                     file && times ? static_cast<long long>(
                                                         fs::last_write_time(it->path(), tec).time_since_epoch().count())
                                                   : 0};
    }
    return out;
}

std::vector<Row> DataRows(const std::string& file, const std::string& kind) {
    std::ifstream in(DataFile(file));
    std::vector<Row> rows;
    for (std::string line; std::getline(in, line);) {
        Row f;
        std::stringstream s(line);
        for (std::string x; std::getline(s, x, '\t');)
            f.push_back(x == "-" ? "" : x);
        if (f.size() > 1 && f[0] == kind) rows.emplace_back(f.begin() + 1, f.end());
    }
    EXPECT_FALSE(rows.empty()) << file << " has no " << kind;
    return rows;
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

#ifdef _WIN32
namespace {
std::map<int, HANDLE>& Children() {
    static std::map<int, HANDLE> children;
    return children;
}

/* One argument as the C runtime splits a command line again. */
std::wstring QuoteArg(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
    std::wstring q = L"\"";
    size_t slashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') { ++slashes; continue; }
        q.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        q.push_back(c);
    }
    q.append(2 * slashes, L'\\');
    return q + L"\"";
}
} // namespace

std::string SelfPath() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(std::wstring(path, n)).generic_string();
}

int Spawn(const std::string& program, const std::vector<std::string>& args, HANDLE in, HANDLE out, HANDLE err,
          DWORD flags, const std::vector<BYTE>& crtBlock) {
    const std::wstring exe = std::filesystem::path(program).wstring();
    std::wstring cmd = QuoteArg(exe);
    for (const std::string& a : args) cmd += L" " + QuoteArg(std::filesystem::path(std::u8string(a.begin(), a.end())).wstring());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    const bool redirect = in || out || err;
    if (redirect) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = out;
        si.hStdError = err;
    }
    std::vector<BYTE> block = crtBlock; // CreateProcessW takes it as writable
    si.cbReserved2 = static_cast<WORD>(block.size());
    si.lpReserved2 = block.empty() ? nullptr : block.data();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, redirect, flags, nullptr, nullptr, &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    Children()[static_cast<int>(pi.dwProcessId)] = pi.hProcess;
    return static_cast<int>(pi.dwProcessId);
}

std::string BuiltModule(const std::string& stem) {
    return std::filesystem::path(SelfPath()).parent_path().generic_string() + "/" + stem + ".dll";
}

int RunHelper(const std::string& name, const std::vector<std::string>& args, int* pidOut, bool wait) {
    std::vector<std::string> all = {"--vk-helper=" + name};
    all.insert(all.end(), args.begin(), args.end());
    const int pid = Spawn(SelfPath(), all, nullptr, nullptr, nullptr, 0);
    if (pid < 0) return -1;
    if (pidOut) *pidOut = pid;
    return wait ? WaitHelper(pid) : 0;
}

int WaitHelper(int pid, unsigned timeoutMs) {
    auto it = Children().find(pid);
    if (it == Children().end()) return -1;
    HANDLE h = it->second;
    Children().erase(it);
    if (WaitForSingleObject(h, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(h, 128 + 9);
        WaitForSingleObject(h, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(h, &code);
    CloseHandle(h);
    return static_cast<int>(code);
}

int WaitHelper(int pid) { return WaitHelper(pid, INFINITE); }

void KillHelper(int pid) {
    auto it = Children().find(pid);
    if (it != Children().end()) TerminateProcess(it->second, 128 + 9);
}

bool HelperRunning(int pid) {
    auto it = Children().find(pid);
    return it != Children().end() && WaitForSingleObject(it->second, 0) == WAIT_TIMEOUT;
}
#else
std::string SelfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::string BuiltModule(const std::string& stem) {
    return std::filesystem::path(SelfPath()).parent_path().parent_path().string() + "/lib/vaultkeep/lib" + stem + ".so";
}

int RunHelper(const std::string& name, const std::vector<std::string>& args, int* pidOut, bool wait) {
    std::string self = SelfPath();
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

void KillHelper(int pid) { kill(pid, SIGKILL); }

bool HelperRunning(int pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}
#endif

} // namespace vktest

// The tests' own main: a "--vk-helper=<name>" run executes that helper instead of the tests.
int main(int argc, char** argv) {
    // The library's unload takes the machine-wide lock under the current root, after everything else
    // has been torn down: a test process never uses the real root, and its own stays behind (it only
    // ever holds lock files), below $VKTEST_PROC_DIR, which scripts/test.sh points into its own
    // temporary folder.
#ifndef _WIN32
    if (!getenv("VAULTKEEP_ROOT")) {
        const char* dir = getenv("VKTEST_PROC_DIR");
        static std::string procRoot = std::string(dir && *dir ? dir : "/tmp") + "/vktest-proc-XXXXXX";
        if (mkdtemp(procRoot.data())) {
            setenv("VAULTKEEP_ROOT", procRoot.c_str(), 1);
            // A process that never took the lock (a listing of the cases) leaves nothing.
            atexit([] { rmdir(procRoot.c_str()); });
        }
    }
#endif
    if (argc >= 2 && strncmp(argv[1], "--vk-helper=", 12) == 0) {
        auto it = vktest::Helpers().find(argv[1] + 12);
        if (it == vktest::Helpers().end()) return 99;
        return it->second(std::vector<std::string>(argv + 2, argv + argc));
    }
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    return rc;
}
