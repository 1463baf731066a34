/* Shared test helpers: a fresh machine root per test, byte arrays, files, log capture. */
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <vaultkeep/vaultkeep.hpp>
#include <cstdint>
#include <string>
#include <vector>
#include <map>

#ifdef _WIN32
#include <stdlib.h>
/* The POSIX names the tests use; the C runtime spells them _putenv_s. */
inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
#endif

namespace vktest {

using Bytes = std::vector<uint8_t>;

/* Creates a temporary machine root and points VAULTKEEP_ROOT at it; removes it afterwards.
 * On Windows the machine is the root: its Vaultkeep state is reset before and after, and
 * host() maps "ProgramData/..." and "Program Files/..." to C: and the rest to a scratch folder. */
class FreshRoot {
public:
    FreshRoot();
    ~FreshRoot();
    const std::string& path() const { return m_path; }
    std::string host(const std::string& rel) const;

private:
    std::string m_path;
    std::string m_oldRoot;
    bool m_hadOldRoot;
};

/* A test whose every case runs against its own fresh machine root. */
class RootTest : public ::testing::Test {
protected:
    FreshRoot root;
};

/* Owns a one-dimensional VT_UI1 SAFEARRAY. */
class ByteArray {
public:
    explicit ByteArray(const Bytes& bytes);
    explicit ByteArray(const std::string& text) : ByteArray(Bytes(text.begin(), text.end())) {}
    ~ByteArray();
    ByteArray(const ByteArray&) = delete;
    ByteArray& operator=(const ByteArray&) = delete;
    SAFEARRAY* get() const { return m_psa; }
    operator SAFEARRAY*() const { return m_psa; }

private:
    SAFEARRAY* m_psa;
};

/* Copies out and destroys an output array; empty vector for null. */
Bytes TakeArray(SAFEARRAY*& psa);
/* Copies out and frees an output BSTR as UTF-8; "" for null. */
std::string TakeBstr(BSTR& bstr);

inline std::basic_string<WCHAR> U(const std::string& utf8) { return vaultkeep::ToUtf16(utf8); }
inline std::string Narrow(const std::basic_string<WCHAR>& s) { return vaultkeep::ToUtf8(s); }
/* The bytes of text in the ANSI code page: UTF-8 under the PAL, the system's code page on Windows. */

Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
bool FileExists(const std::string& path);
std::vector<std::string> ListDir(const std::string& path);
/* Everything below a folder but the machine lock's ".pal", by relative path: a file's bytes (a folder's
 * none) and, when asked, a file's modification time (0 otherwise). */
using Tree = std::map<std::string, std::pair<Bytes, long long>>;
Tree Snapshot(const std::string& dir, bool times = false);

/* n bytes that differ with the seed. */
inline Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 31 + seed * 7 + 3);
    return b;
}
/* The bytes of text as they are, and of hexadecimal digits. */
inline Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
inline Bytes Hex(const std::string& h) {
    Bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

uint32_t Le32(const Bytes& b, size_t off);
void PutLe32(Bytes& b, size_t off, uint32_t v);

/* The path of a file of tests/data, by name. */
std::string DataFile(const std::string& name);
/* The rows of tests/data/<file> whose first field is kind, that field dropped and "-" read as empty:
 * expected outcomes kept as data, one tab-separated row per case. */
using Row = std::vector<std::string>;
std::vector<Row> DataRows(const std::string& file, const std::string& kind);
/* A number field: decimal, or hexadecimal with 0x. */
inline DWORD Num(const std::string& field) {
    return DWORD(std::stoll(field, nullptr, 0));
}

/* Runs this test binary again with "--vk-helper=<name> args..." and returns its exit status.
 * The helper's body is registered with VK_HELPER and runs instead of the tests. */
int RunHelper(const std::string& name, const std::vector<std::string>& args = {}, int* pid = nullptr,
              bool wait = true);
int WaitHelper(int pid);
/* Whether a started helper has not ended yet (it can still be waited for). */
bool HelperRunning(int pid);
/* Ends a started helper at once, as a crash would; WaitHelper still collects it. */
void KillHelper(int pid);
/* The running test program. */
std::string SelfPath();
/* A module of the build by its stem: lib/lib<stem>.so, or <stem>.dll beside the programs. */
std::string BuiltModule(const std::string& stem);
#ifdef _WIN32
/* Starts a program with the given standard handles (inherited; all null: the caller's own) and, when
 * given, the C runtime's block of further descriptors. */
int Spawn(const std::string& program, const std::vector<std::string>& args, HANDLE in, HANDLE out, HANDLE err,
          DWORD flags, const std::vector<BYTE>& crtBlock = {});
/* Waits at most timeoutMs, then terminates it with 137. */
int WaitHelper(int pid, unsigned timeoutMs);
#endif

using HelperFn = int (*)(const std::vector<std::string>& args);
bool RegisterHelper(const char* name, HelperFn fn);
std::map<std::string, HelperFn>& Helpers();
#define VK_HELPER(name)                                                                                       \
    static int name##_helper(const std::vector<std::string>& args);                                           \
    static bool name##_registered = ::vktest::RegisterHelper(#name, name##_helper);                           \
    static int name##_helper(const std::vector<std::string>& args)

} // namespace vktest
