/* Secrets, passwords and data: from a file, a descriptor, the environment or a
 * no-echo prompt on the terminal; never from the command line. Every copy lives
 * in wiping buffers. */
#include "Tool.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#ifndef _WIN32
#include <termios.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vktool {

namespace {

const size_t kMaxSecretBytes = 64 * 1024;
const size_t kMaxDataBytes = 64 * 1024 * 1024;

const std::vector<InputInfo> kInputs = {
    {InputKind::Secret, "secret", "application secret", "Application secret: ", false},
    {InputKind::Password, "password", "user password", "Password: ", true},
    {InputKind::BackupPassword, "backup-password", "backup password", "Backup password: ", true},
    {InputKind::Data, "data", "credential", "Credential: ", false},
    {InputKind::Metadata, "metadata", "metadata", nullptr, false},
    {InputKind::ProtectedMetadata, "protected-metadata", "protected metadata", nullptr, false},
    {InputKind::NewPassword, "new-password", "new user password", "New password: ", true},
    {InputKind::NewSecret, "new-secret", "new application secret", "New application secret: ", false},
};

size_t LimitFor(InputKind kind) {
    return kind == InputKind::Secret || Info(kind).text ? kMaxSecretBytes : kMaxDataBytes;
}

std::string SourceText(const Source& src) {
    switch (src.type) {
    case Source::File:
        return src.value == "-" ? "standard input" : "file " + src.value;
    case Source::Fd:
        return "descriptor " + src.value;
    case Source::Env:
        return "environment variable " + src.value;
    }
    return "?";
}

/* Reads to end of file; false with errno on a read error, with errno = EFBIG past the limit. */
bool ReadAllFd(int fd, size_t limit, SecretBytes& out) {
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            WipeMemory(buf, sizeof buf);
            return false;
        }
        if (n == 0) break;
        if (out.size() + static_cast<size_t>(n) > limit) {
            WipeMemory(buf, sizeof buf);
            errno = EFBIG;
            return false;
        }
        out.insert(out.end(), buf, buf + n);
    }
    WipeMemory(buf, sizeof buf);
    return true;
}

int ParseFd(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::atoi(text.c_str());
}

SecretBytes ReadSource(const InputInfo& info, const Source& src) {
    SecretBytes out;
    const size_t limit = LimitFor(info.kind);
    auto fail = [&](int err) -> ToolError {
        const std::string why =
            err == EFBIG ? "larger than " + std::to_string(limit) + " bytes" : strerror(err);
        return ToolError{kExitInput, "cannot read the " + std::string(info.noun) + " from " +
                                         SourceText(src) + ": " + why};
    };
    switch (src.type) {
    case Source::File: {
        int fd = 0;
        if (src.value != "-") {
            fd = OpenPath(src.value.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
            if (fd < 0) throw fail(errno);
        }
        const bool ok = ReadAllFd(fd, limit, out);
        const int err = errno;
        if (fd != 0) close(fd);
        if (!ok) throw fail(err);
        break;
    }
    case Source::Fd: {
        const int fd = ParseFd(src.value);
        if (fd < 0)
            throw ToolError{kExitUsage, "--" + std::string(info.stem) + "-fd needs a descriptor number"};
        const bool ok = ReadAllFd(fd, limit, out);
        const int err = errno;
        if (fd > 2) close(fd);
        if (!ok) throw fail(err);
        break;
    }
    case Source::Env: {
#ifdef _WIN32
        // The C runtime's copy of the environment is in the ANSI code page; text is read as UTF-16.
        const std::wstring name = WidePath(src.value.c_str());
        std::vector<wchar_t> wide(32768);
        SetLastError(ERROR_SUCCESS);
        const DWORD got =
            name.empty() ? 0 : GetEnvironmentVariableW(name.c_str(), wide.data(), static_cast<DWORD>(wide.size()));
        if (name.empty() || (got == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND))
            throw ToolError{kExitInput, "cannot read the " + std::string(info.noun) +
                                            ": environment variable " + src.value + " is not set"};
        if (got >= wide.size()) throw fail(EFBIG); // the size it would need: no variable is that long

        const int n = got ? WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(got), nullptr, 0,
                                                nullptr, nullptr)
                          : 0;
        if (static_cast<size_t>(n) > limit) {
            WipeMemory(wide.data(), wide.size() * sizeof(wchar_t));
            throw fail(EFBIG);
        }
        out.resize(static_cast<size_t>(n));
        if (n)
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(got), reinterpret_cast<char*>(out.data()),
                                n, nullptr, nullptr);
        WipeMemory(wide.data(), wide.size() * sizeof(wchar_t));
        if (char* narrow = getenv(src.value.c_str())) WipeMemory(narrow, strlen(narrow));
        SetEnvironmentVariableW(name.c_str(), nullptr);
        unsetenv(src.value.c_str());
#else
        char* value = secure_getenv(src.value.c_str()); // a set-id tool takes nothing from its caller's environment
        if (!value)
            throw ToolError{kExitInput, "cannot read the " + std::string(info.noun) +
                                            ": environment variable " + src.value + " is not set"};
        const size_t n = strlen(value);
        if (n > limit) throw fail(EFBIG);
        out.assign(value, value + n);
        // The environment is readable through /proc for as long as the process lives.
        WipeMemory(value, n);
        unsetenv(src.value.c_str());
#endif
        break;
    }
    }
    return out;
}

/* ---- the no-echo prompt ---- */

#ifdef _WIN32
/* Asks on the console with echo off. False when the process has no console. */
bool Prompt(const char* prompt, size_t limit, SecretBytes& out) {
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return false;
    HANDLE con = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode)) {
        CloseHandle(in);
        if (con != INVALID_HANDLE_VALUE) CloseHandle(con);
        return false;
    }
    SetConsoleMode(in, (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
    DWORD written = 0;
    if (con != INVALID_HANDLE_VALUE) WriteConsoleA(con, prompt, static_cast<DWORD>(strlen(prompt)), &written, nullptr);
    out.clear();
    bool ok = true;
    for (;;) {
        char c = 0;
        DWORD n = 0;
        if (!ReadFile(in, &c, 1, &n, nullptr)) {
            ok = false;
            break;
        }
        if (n == 0 || c == '\n') break;
        if (out.size() >= limit) {
            ok = false;
            break;
        }
        out.push_back(static_cast<uint8_t>(c));
        c = 0;
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    SetConsoleMode(in, mode);
    if (con != INVALID_HANDLE_VALUE) {
        WriteConsoleA(con, "\r\n", 2, &written, nullptr);
        CloseHandle(con);
    }
    CloseHandle(in);
    if (!ok) throw ToolError{kExitInput, "cannot read from the console"};
    return true;
}
#else
volatile sig_atomic_t g_ttyFd = -1;
struct termios g_savedTermios;

void RestoreTerminalOnSignal(int sig) {
    if (g_ttyFd >= 0) tcsetattr(g_ttyFd, TCSAFLUSH, &g_savedTermios);
    signal(sig, SIG_DFL);
    raise(sig);
}

const int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

/* Asks on the controlling terminal with echo off. False when there is no terminal. */
bool Prompt(const char* prompt, size_t limit, SecretBytes& out) {
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct termios quiet;
    if (tcgetattr(fd, &g_savedTermios) != 0) {
        close(fd);
        return false;
    }
    struct sigaction sa = {}, old[sizeof kPromptSignals / sizeof kPromptSignals[0]];
    sa.sa_handler = RestoreTerminalOnSignal;
    sigemptyset(&sa.sa_mask);
    g_ttyFd = fd;
    for (size_t i = 0; i < sizeof kPromptSignals / sizeof kPromptSignals[0]; ++i)
        sigaction(kPromptSignals[i], &sa, &old[i]);
    quiet = g_savedTermios;
    quiet.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL);
    quiet.c_lflag |= ICANON;
    tcsetattr(fd, TCSAFLUSH, &quiet);
    WriteAll(fd, prompt, strlen(prompt));

    out.clear();
    bool ok = true;
    int err = 0;
    for (;;) {
        uint8_t c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            err = errno;
            break;
        }
        if (n == 0 || c == '\n') break;
        if (out.size() >= limit) {
            ok = false;
            err = EFBIG;
            break;
        }
        out.push_back(c);
        c = 0;
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    tcsetattr(fd, TCSAFLUSH, &g_savedTermios);
    WriteAll(fd, "\n", 1);
    g_ttyFd = -1;
    for (size_t i = 0; i < sizeof kPromptSignals / sizeof kPromptSignals[0]; ++i)
        sigaction(kPromptSignals[i], &old[i], nullptr);
    close(fd);
    if (!ok) throw ToolError{kExitInput, std::string("cannot read from the terminal: ") + strerror(err)};
    return true;
}

#endif

std::string HowToPass(const InputInfo& info) {
    const std::string s = info.stem;
    return "--" + s + "-file FILE, --" + s + "-fd N or --" + s + "-env VAR";
}

/* UTF-8 to zero-terminated UTF-16 without leaving an unwiped copy behind. */
SecretWide ToSecretWide(const InputInfo& info, const SecretBytes& bytes) {
    std::basic_string<WCHAR> tmp;
    tmp.reserve(bytes.size() + 1);
    const bool ok = vaultkeep::Utf8ToUtf16(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), tmp);
    SecretWide wide;
    bool hasNul = false;
    if (ok) {
        wide.reserve(tmp.size() + 1);
        for (WCHAR c : tmp) {
            hasNul |= c == 0;
            wide.push_back(c);
        }
        wide.push_back(0);
    }
    WipeMemory(tmp.data(), tmp.capacity() * sizeof(WCHAR));
    if (!ok) throw ToolError{kExitInput, "the " + std::string(info.noun) + " is not valid UTF-8 text"};
    if (hasNul) throw ToolError{kExitInput, "the " + std::string(info.noun) + " contains a NUL character"};
    return wide;
}

} // namespace

const InputInfo& Info(InputKind kind) {
    for (const InputInfo& info : kInputs)
        if (info.kind == kind) return info;
    return kInputs.front();
}

const std::vector<InputInfo>& AllInputs() {
    return kInputs;
}

std::optional<SecretBytes> Context::Read(InputKind kind, bool confirm, bool optional) {
    const InputInfo& info = Info(kind);
    auto it = opts.sources.find(kind);
    if (it != opts.sources.end()) {
        SecretBytes bytes = ReadSource(info, it->second);
        // A password written to a file by an editor or `echo` ends with a line end that is not part of it.
        if (info.text) {
            if (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
            if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
        }
        return bytes;
    }
    if (optional) return std::nullopt;
    SecretBytes first;
    if (!info.prompt || !Prompt(info.prompt, LimitFor(kind), first))
        throw ToolError{kExitUsage, "no " + std::string(info.noun) + " given: pass it with " +
                                        HowToPass(info) +
                                        (info.prompt ? ", or run on a terminal to be asked for it" : "")};
    if (confirm) {
        SecretBytes again;
        const std::string repeat =
            std::string("Repeat ") + static_cast<char>(tolower(info.prompt[0])) + (info.prompt + 1);
        Prompt(repeat.c_str(), LimitFor(kind), again);
        if (again.size() != first.size() || !SameBytes(again.data(), first.data(), first.size()))
            throw ToolError{kExitInput, "the two entries of the " + std::string(info.noun) + " differ"};
    }
    return first;
}

SecretArray Context::Secret(bool confirm, InputKind kind) {
    SecretBytes bytes = *Read(kind, confirm, false);
    if (bytes.empty()) throw ToolError{kExitInput, "the " + std::string(Info(kind).noun) + " is empty"};
    return SecretArray(vaultkeep::MakeByteArray(bytes.data(), bytes.size()));
}

std::optional<SecretWide> Context::Password(InputKind kind, bool confirm, bool optional) {
    std::optional<SecretBytes> bytes = Read(kind, confirm, optional);
    if (!bytes) return std::nullopt;
    if (bytes->empty()) throw ToolError{kExitInput, "the " + std::string(Info(kind).noun) + " is empty"};
    return ToSecretWide(Info(kind), *bytes);
}

std::optional<SecretBytes> Context::Bytes(InputKind kind, bool optional) {
    return Read(kind, false, optional);
}

} // namespace vktool
