#include "Fixture.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <windows.h>
#include <vaultkeep/vaultkeep.h>

namespace bench {

namespace fs = std::filesystem;

const unsigned kSizes[4] = {1, 16, 64, 255};

static const char kApp[] = "BenchApp";
static const char kPassword[] = "correct horse battery staple";
static const char kBackupPassword[] = "backup: tangerine umbrella";

std::string UserName(unsigned i) {
    char b[16];
    snprintf(b, sizeof b, "user%03u", i);
    return b;
}

std::string CredId(unsigned i) {
    char b[16];
    snprintf(b, sizeof b, "cred%03u", i);
    return b;
}

static std::u16string U16(const std::string& s) {
    /* ASCII only in the bench's own names and paths below the root. */
    std::u16string out;
    for (unsigned char c : s) {
        if (c >= 0x80) throw std::runtime_error("non-ASCII name: " + s);
        out.push_back(static_cast<char16_t>(c));
    }
    return out;
}

static SAFEARRAY* NewArray(size_t n, uint8_t seed) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
    if (!psa) throw std::bad_alloc();
    void* p = nullptr;
    if (n && SUCCEEDED(SafeArrayAccessData(psa, &p))) {
        for (size_t i = 0; i < n; ++i) static_cast<uint8_t*>(p)[i] = static_cast<uint8_t>(seed + i * 7);
        SafeArrayUnaccessData(psa);
    }
    return psa;
}

static size_t ArrayBytes(SAFEARRAY* psa, std::vector<uint8_t>* out) {
    if (!psa) return 0;
    LONG lb = 0, ub = -1;
    SafeArrayGetLBound(psa, 1, &lb);
    SafeArrayGetUBound(psa, 1, &ub);
    size_t n = ub >= lb ? static_cast<size_t>(ub - lb + 1) : 0;
    if (out) {
        void* p = nullptr;
        out->clear();
        if (n && SUCCEEDED(SafeArrayAccessData(psa, &p))) {
            out->assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + n);
            SafeArrayUnaccessData(psa);
        }
    }
    SafeArrayDestroy(psa);
    return n;
}

static std::string TakeBstr(BSTR b) {
    std::string s;
    if (b) {
        for (UINT i = 0; i < SysStringLen(b); ++i) s.push_back(static_cast<char>(b[i]));
        SysFreeString(b);
    }
    return s;
}

struct Client::Arrays {
    SAFEARRAY* secret;
    SAFEARRAY* md;
    SAFEARRAY* emd;
    SAFEARRAY* cred;
    std::u16string app, password, backupPassword;
};

Client::Client() : m_arrays(new Arrays) {
    m_arrays->secret = NewArray(m_layout.secret, 0x5A);
    m_arrays->md = NewArray(m_layout.md, 0x11);
    m_arrays->emd = NewArray(m_layout.emd, 0x22);
    m_arrays->cred = NewArray(m_layout.cred, 0x33);
    m_arrays->app = U16(kApp);
    m_arrays->password = U16(kPassword);
    m_arrays->backupPassword = U16(kBackupPassword);
    m_layout.appNameChars = static_cast<unsigned>(m_arrays->app.size());
}

Client::~Client() {
    SafeArrayDestroy(m_arrays->secret);
    SafeArrayDestroy(m_arrays->md);
    SafeArrayDestroy(m_arrays->emd);
    SafeArrayDestroy(m_arrays->cred);
    delete m_arrays;
}

long Client::Register(const std::string& app) { return RegisterApp(U16(app).c_str(), m_arrays->secret); }

long Client::Unregister() { return UnRegisterApp(m_arrays->app.c_str(), m_arrays->secret); }

long Client::AddUser(unsigned user) {
    return ::AddUser(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(),
                     m_arrays->password.c_str());
}

long Client::QueryUsers(std::string* list) {
    BSTR b = nullptr;
    long rc = QueryListOfUsers(m_arrays->app.c_str(), m_arrays->secret, &b);
    std::string s = TakeBstr(b);
    if (list) *list = s;
    return rc;
}

long Client::DeleteUser(unsigned user) {
    return ::DeleteUser(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str());
}

long Client::Store(unsigned user, unsigned cred) {
    return StoreCredential(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(),
                           m_arrays->password.c_str(), U16(CredId(cred)).c_str(), m_arrays->md, m_arrays->emd,
                           m_arrays->cred);
}

long Client::RetrieveMetaData(unsigned user, unsigned cred, size_t* len) {
    SAFEARRAY* out = nullptr;
    long rc = RetrieveCredentialMetaData(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(),
                                         U16(CredId(cred)).c_str(), &out);
    size_t n = ArrayBytes(rc == 0 ? out : nullptr, nullptr);
    if (len) *len = n;
    return rc;
}

long Client::RetrieveEncMetaData(unsigned user, unsigned cred, size_t* len) {
    SAFEARRAY* out = nullptr;
    long rc = RetrieveEncryptedCredentialMetaData(m_arrays->app.c_str(), m_arrays->secret,
                                                  U16(UserName(user)).c_str(), U16(CredId(cred)).c_str(), &out);
    size_t n = ArrayBytes(rc == 0 ? out : nullptr, nullptr);
    if (len) *len = n;
    return rc;
}

long Client::Retrieve(unsigned user, unsigned cred, std::vector<uint8_t>* bytes) {
    SAFEARRAY* out = nullptr;
    long rc = RetrieveCredential(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(),
                                 m_arrays->password.c_str(), U16(CredId(cred)).c_str(), &out);
    ArrayBytes(out, bytes);
    return rc;
}

long Client::QueryCreds(unsigned user, std::string* list) {
    BSTR b = nullptr;
    long rc = QueryUserCreds(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(), &b);
    std::string s = TakeBstr(b);
    if (list) *list = s;
    return rc;
}

long Client::DeleteCred(unsigned user, unsigned cred) {
    return ::DeleteCred(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(),
                        U16(CredId(cred)).c_str());
}

long Client::Archive(unsigned user, const std::string& hostPath) {
    return ArchiveUser(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(),
                       U16(hostPath).c_str(), m_arrays->backupPassword.c_str(), u"bench");
}

long Client::Restore(unsigned user, const std::string& hostPath) {
    return RestoreUser(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(), U16(hostPath).c_str(),
                       m_arrays->backupPassword.c_str(), 1);
}

long Client::ChangePassword(unsigned user) {
    std::u16string fresh = m_arrays->password;
    fresh.back() ^= 1;
    return ChangeUserPassword(m_arrays->app.c_str(), m_arrays->secret, U16(UserName(user)).c_str(),
                              m_arrays->password.c_str(), fresh.c_str());
}

long Client::RotateSecret() {
    SAFEARRAY* fresh = NewArray(m_layout.secret, 0xA5);
    const long rc = ChangeAppSecret(m_arrays->app.c_str(), m_arrays->secret, fresh);
    SafeArrayDestroy(fresh);
    return rc;
}

/* ---- roots ------------------------------------------------------------------ */

void UseRoot(const std::string& root) { setenv("VAULTKEEP_ROOT", root.c_str(), 1); }

static int Run(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) throw std::runtime_error("cannot remove " + path + ": " + ec.message());
}

void CopyRoot(const std::string& src, const std::string& dst) {
    RemoveTree(dst);
    if (Run({"cp", "-a", "--", src, dst}) != 0) throw std::runtime_error("cannot copy " + src + " to " + dst);
}

std::string HostOf(const std::string& root, const std::string& rel) { return root + "/" + rel; }

uint64_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint64_t LargestFile(const std::string& dir, std::string* name) {
    uint64_t best = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (ec) break;
        if (!it->is_regular_file(ec)) continue;
        uint64_t n = it->file_size(ec);
        if (!ec && n > best) {
            best = n;
            if (name) *name = it->path().string();
        }
    }
    return best;
}

/* A store keeps the zip library placed when it was laid out; reused stores
 * get this build's, or a rebuilt library would go unmeasured. */
static void RefreshZipLibrary(const std::string& snaps) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&VaultkeepInitRoot), &info) || !info.dli_fname) return;
    const fs::path built = fs::path(info.dli_fname).parent_path() / "vaultkeep/libVaultkeepZipUtil.so";
    std::error_code ec;
    if (!fs::exists(built, ec)) return;
    for (const auto& snap : fs::directory_iterator(snaps, ec)) {
        const fs::path placed = snap.path() / "Program Files/Tarnwick Systems Corp/Aldmoor Client Core/ZipUtil.dll";
        if (fs::exists(placed, ec) && !fs::copy_file(built, placed, fs::copy_options::overwrite_existing, ec))
            throw std::runtime_error("cannot refresh " + placed.string());
    }
}

static void Expect(long rc, const char* what, unsigned i) {
    if (rc != 0) {
        char b[160];
        snprintf(b, sizeof b, "fixture: %s (%u) returned %ld (%s)", what, i, rc,
                 VaultkeepStatusName(rc) ? VaultkeepStatusName(rc) : "?");
        throw std::runtime_error(b);
    }
}

Fixtures BuildFixtures(Client& c, const std::string& base, bool reuse, bool credsOnly) {
    Fixtures f;
    f.base = base;
    const std::string marker = base + "/snap/.complete";
    if (reuse && fs::exists(marker)) {
        fprintf(stderr, "fixtures: reusing %s\n", base.c_str());
        RefreshZipLibrary(base + "/snap");
        return f;
    }
    RemoveTree(base + "/snap");
    RemoveTree(base + "/archives");
    fs::create_directories(base + "/snap");
    fs::create_directories(base + "/archives");
    fs::create_directories(f.Scratch());

    const std::string build = base + "/building";
    RemoveTree(build);
    fs::create_directories(build);
    UseRoot(build);
    Expect(VaultkeepInitRoot(), "VaultkeepInitRoot", 0);
    Expect(c.Register(kApp), "RegisterApp", 0);
    double t0 = 0;
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        t0 = ts.tv_sec + ts.tv_nsec * 1e-9;
    }
    const unsigned lastUser = credsOnly ? 1 : 255;
    for (unsigned u = 0; u < lastUser; ++u) {
        for (unsigned s : kSizes)
            if (u == s - 1) CopyRoot(build, f.Snapshot("users-" + std::to_string(u)));
        Expect(c.AddUser(u), "AddUser", u);
        Expect(c.Store(u, 0), "StoreCredential", u);
        for (unsigned s : kSizes)
            if (u + 1 == s) CopyRoot(build, f.Snapshot("users-" + std::to_string(s)));
        if ((u + 1) % 32 == 0 || u + 1 == lastUser) {
            timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            fprintf(stderr, "fixtures: %u users (%.0f s)\n", u + 1, ts.tv_sec + ts.tv_nsec * 1e-9 - t0);
        }
    }

    CopyRoot(f.Snapshot("users-1"), build);
    UseRoot(build);
    for (unsigned n = 1; n < 255; ++n) {
        Expect(c.Store(0, n), "StoreCredential", n);
        for (unsigned s : kSizes)
            if (n + 1 == s) CopyRoot(build, f.Snapshot("creds-" + std::to_string(s)));
    }
    CopyRoot(f.Snapshot("users-1"), f.Snapshot("creds-1"));
    RemoveTree(build);

    /* One archive per store that RestoreUser reads back. */
    for (const char* axis : {"users", "creds"}) {
        if (credsOnly) break;
        for (unsigned s : kSizes) {
            const std::string name = std::string(axis) + "-" + std::to_string(s);
            UseRoot(f.Snapshot(name));
            unsigned user = std::string(axis) == "users" ? s - 1 : 0;
            Expect(c.Archive(user, f.ArchiveOf(name)), "ArchiveUser", s);
        }
    }
    if (!credsOnly) std::ofstream(marker) << "complete\n";
    return f;
}

} // namespace bench
