/* The vaultkeep command-line tool: shared declarations of its parts. */
#pragma once

#include <vaultkeep/vaultkeep.hpp>

#include "Host.h"
#include "../../components/SecureEnv.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vktool {

/* Exit statuses besides the per-status codes (documented in --help and the manual page). */
enum ExitCode : int {
    kExitOk = 0,
    kExitStatusOne = 20,    // the library's plain positive 1
    kExitOtherStatus = 21,  // a status passed up from below, not one of the library's own
    kExitVerifyFailed = 40, // verify found damage
    kExitRefused = 41,      // a backend switch that would strand users' keys (--force overrides)
    kExitUsage = 64,        // bad command line (also a secret given on it)
    kExitInput = 66,        // an input (secret, password, data, archive) cannot be read or is unusable
    kExitSoftware = 70,     // the tool itself failed
    kExitOutput = 73,       // an output file cannot be written
    kExitTableAlloc = 99,   // Error_Table_Alloc
};

/* Frees memory only after wiping it, so copies of secrets do not linger on the heap. */
template <class T> struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U> WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept {
        WipeMemory(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U> bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};
using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;
/* A zero-terminated UTF-16 secret (password); data() is ready for a const WCHAR* parameter. */
using SecretWide = std::vector<WCHAR, WipingAllocator<WCHAR>>;

/* An error the tool reports itself (not a library status). */
struct ToolError {
    int exitCode;
    std::string message;
};

/* The inputs that are never taken from the command line. */
enum class InputKind { Secret, Password, BackupPassword, Data, Metadata, ProtectedMetadata, NewPassword, NewSecret };

struct InputInfo {
    InputKind kind;
    const char* stem;   // option stem: --<stem>-file, --<stem>-fd, --<stem>-env
    const char* noun;   // "application secret"
    const char* prompt; // nullptr when never asked on the terminal
    bool text;          // a password: UTF-8 text, one trailing line end dropped
};
const InputInfo& Info(InputKind kind);
const std::vector<InputInfo>& AllInputs();

struct Source {
    enum Type { File, Fd, Env } type;
    std::string value;
};

struct Options {
    std::string command;
    bool json = false;
    bool help = false;
    std::optional<std::string> root;
    std::map<std::string, std::string> values; // --app, --user, --id, --out, --file, ...
    std::set<std::string> flags;               // --overwrite, --force
    std::vector<std::string> args;             // words after the command (config's)
    std::map<InputKind, Source> sources;
};

/* A byte array whose contents are wiped before it is destroyed (secrets, credentials). */
class SecretArray {
  public:
    SecretArray() = default;
    explicit SecretArray(vaultkeep::SafeArrayPtr psa) : m_psa(std::move(psa)) {}
    ~SecretArray() { m_psa.wipe(); }
    SecretArray(SecretArray&&) = default;
    SecretArray& operator=(SecretArray&& other) {
        m_psa.wipe();
        m_psa = std::move(other.m_psa);
        return *this;
    }
    SAFEARRAY* get() const { return m_psa.get(); }
    SAFEARRAY** out() {
        m_psa.wipe();
        return m_psa.out();
    }
    const vaultkeep::SafeArrayPtr& array() const { return m_psa; }

  private:
    vaultkeep::SafeArrayPtr m_psa;
};

struct Command;

/* What one run of a subcommand works with. */
class Context {
  public:
    Context(const Options& opts, const Command& cmd);
    const Options& opts;
    const Command& cmd;

    bool json() const { return opts.json; }
    const std::string& name() const { return m_name; }
    /* The value of a required --<key>; a ToolError if it is missing or empty. */
    const std::string& Required(const char* key) const;
    std::optional<std::string> Optional(const char* key) const;
    /* A name argument as UTF-16 (a ToolError for malformed UTF-8 or an embedded NUL). */
    std::basic_string<WCHAR> Wide(const char* key) const;

    /* The application secret (or the new one) as a byte array. */
    SecretArray Secret(bool confirm = false, InputKind kind = InputKind::Secret);
    /* A password; nullopt when `optional` and no source was given. */
    std::optional<SecretWide> Password(InputKind kind, bool confirm, bool optional = false);
    /* Bytes of a data input; nullopt when `optional` and no source was given. */
    std::optional<SecretBytes> Bytes(InputKind kind, bool optional);

  private:
    std::optional<SecretBytes> Read(InputKind kind, bool confirm, bool optional);
    std::string m_name;
};

struct Command {
    const char* name;
    const char* summary;
    const char* usage;               // after "vaultkeep <name> "
    const char* details;             // the rest of the help text
    std::vector<const char*> values; // accepted --<value> options
    std::vector<const char*> flags;  // accepted flags
    std::vector<InputKind> inputs;   // accepted inputs
    int (*run)(Context&);
    size_t maxArgs = 0; // words accepted after the command
};
const std::vector<Command>& Commands();
int RunConfig(Context& ctx);
/* Changes settings as one (nullopt unsets); the exit code, or a ToolError. */
int ApplySettings(Context& ctx, const std::vector<std::pair<std::string, std::optional<std::string>>>& changes);
const Command* FindCommand(const std::string& name);

/* Parses argv; a ToolError for a bad command line. */
Options ParseArgs(int argc, char** argv);
std::string ToolHelp();
std::string CommandHelp(const Command& cmd);
const char* ExitCodeTable();

/* ---- output ---- */

/* A JSON object written field by field, in order. */
class Json {
  public:
    Json& Str(const char* key, const std::string& utf8);
    Json& Null(const char* key);
    Json& Int(const char* key, long long v);
    Json& Bool(const char* key, bool v);
    Json& StrList(const char* key, const std::vector<std::string>& items);
    Json& Raw(const char* key, const std::string& json);
    std::string Done() const { return m_s + "}"; }
    static std::string Quote(const std::string& utf8);

  private:
    void Key(const char* key);
    std::string m_s = "{";
};

std::string Base64(const uint8_t* p, size_t n);

/* The exit code for a library status. */
int ExitCodeFor(LONG status);
/* "no such user (Error_No_User, -3)", in the words of the given command. */
std::string DescribeStatus(const std::string& command, LONG status, const char* text = nullptr);
/* Reports a failed library call and returns its exit code; `text` replaces the usual words. */
int Fail(Context& ctx, LONG status, Json extra = Json(), const char* text = nullptr);
/* Prints the result: the JSON object in --json mode, else the human line (if any). */
void Succeed(Context& ctx, const Json& json, const std::string& human);
/* Reports a ToolError in the chosen output form and returns its exit code. */
int ReportToolError(bool json, const std::string& command, const ToolError& err);

/* Writes all bytes to an fd; false on failure (errno set). */
bool WriteAll(int fd, const void* p, size_t n);
/* Writes bytes to a new or truncated file of mode 0600; a ToolError on failure. */
void WriteOutFile(const std::string& path, const uint8_t* p, size_t n);
std::string AbsolutePath(const std::string& path);

} // namespace vktool
