/* Results and failures, for people (text) and for scripts (one JSON object). */
#include "Tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vktool {

namespace {

struct StatusText {
    LONG status;
    int exitCode;
    const char* text;
};

const StatusText kStatuses[] = {
    {Error_Bad_App, 1, "the application is not registered, or its table does not verify under this secret"},
    {Error_App_Already_Exists, 2, "the application already exists"},
    {Error_No_User, 3, "no such user, or the user's table does not verify"},
    {Error_Non_Supported_Version, 4, "a table has a format version newer than this library supports"},
    {Error_Cred_Not_Found, 5, "no such credential"},
    {Error_Internal, 6,
     "internal error (the vault lock was not obtained, or a file, the key provider or memory failed)"},
    {Error_Invalid_ID, 7, "no such credential"},
    {Error_Invalid_Cred, 8,
     "the credential's blob file cannot be opened, or the user has too many credentials"},
    {Error_TPM_Not_Owned, 9, "the TPM is not owned, so no user key can be made or used"},
    {Error_Insufficient_Privileges, 11,
     "insufficient privileges: a registry setting or file cannot be written"},
    {Error_Cant_Load_Library, 12, "the zip library cannot be loaded"},
    {Error_User_Already_Exists, 13, "the user already exists (--overwrite replaces it)"},
    {Error_Bad_Backup, 14, "the archive does not verify, belongs to another user, or cannot be re-keyed"},
    {Error_Invalid_File, 15, "the archive holds no user backup"},
    {Error_Decrypt_Failed, 16, "decryption failed: wrong password"},
    {Error_Table_Alloc, kExitTableAlloc, "out of memory while writing a user table"},
};

const StatusText* Find(LONG status) {
    for (const StatusText& s : kStatuses)
        if (s.status == status) return &s;
    return nullptr;
}

/* The few statuses whose meaning depends on the command that got them. */
const char* ContextText(const std::string& command, LONG status) {
    if (status == 1) {
        if (command == "store") return "the credential could not be stored";
        if (command == "archive") return "the key archive could not be made";
        return "the operation failed";
    }
    if (status == Error_Invalid_ID && command == "store")
        return "the credential id is too long (at most 19 characters)";
    if (status == Error_No_User && command == "retrieve")
        return "no such user, or the user's table or the credential's blob does not verify";
    if (status == Error_Decrypt_Failed && (command == "restore"))
        return "the backup password does not open the archive";
    if (status == Error_Decrypt_Failed && (command == "retrieve" || command == "verify" || command == "passwd"))
        return "wrong password: it does not open the user's key";
    if (status == Error_Invalid_Cred && command == "passwd") return "the new password is longer than 1024 characters";
    if (status == Error_No_User && command == "verify") return "does not verify";
    if (status == Error_Invalid_Cred && command == "verify")
        return "the blob file is missing or cannot be opened";
    return nullptr;
}

} // namespace

int ExitCodeFor(LONG status) {
    if (status == 0) return kExitOk;
    if (status == 1) return kExitStatusOne;
    const StatusText* s = Find(status);
    return s ? s->exitCode : kExitOtherStatus;
}

std::string DescribeStatus(const std::string& command, LONG status, const char* text) {
    if (!text) text = ContextText(command, status);
    const StatusText* s = Find(status);
    if (!text) text = s ? s->text : "failure reported by a lower layer";
    const char* name = VaultkeepStatusName(status);
    if (name && s) return std::string(text) + " (" + name + ", " + std::to_string(status) + ")";
    return std::string(text) + " (status " + std::to_string(status) + ")";
}

/* ---- JSON ---- */

void Json::Key(const char* key) {
    if (m_s.size() > 1) m_s += ",";
    m_s += Quote(key) + ":";
}

/* The length of the well-formed UTF-8 sequence at p (at most n bytes), or 0:
 * no overlong forms, surrogates or code points past U+10FFFF. */
static size_t Utf8Length(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || len > n) return 0;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

std::string Json::Quote(const std::string& utf8) {
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = p[i];
        const size_t len = Utf8Length(p + i, utf8.size() - i);
        if (len == 0) { // JSON text is UTF-8: a byte that is not becomes U+FFFD
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (len > 1) {
            out.append(utf8, i, len);
            i += len;
            continue;
        }
        ++i;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

Json& Json::Str(const char* key, const std::string& utf8) {
    Key(key);
    m_s += Quote(utf8);
    return *this;
}
Json& Json::Null(const char* key) {
    Key(key);
    m_s += "null";
    return *this;
}
Json& Json::Int(const char* key, long long v) {
    Key(key);
    m_s += std::to_string(v);
    return *this;
}
Json& Json::Bool(const char* key, bool v) {
    Key(key);
    m_s += v ? "true" : "false";
    return *this;
}
Json& Json::StrList(const char* key, const std::vector<std::string>& items) {
    Key(key);
    m_s += "[";
    for (size_t i = 0; i < items.size(); ++i)
        m_s += (i ? "," : "") + Quote(items[i]);
    m_s += "]";
    return *this;
}
Json& Json::Raw(const char* key, const std::string& json) {
    Key(key);
    m_s += json;
    return *this;
}

std::string Base64(const uint8_t* p, size_t n) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(4 * ((n + 2) / 3));
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v = uint32_t(p[i]) << 16 | (i + 1 < n ? uint32_t(p[i + 1]) << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back(i + 2 < n ? kAlphabet[v & 63] : '=');
    }
    return out;
}

/* ---- reporting ---- */

int Fail(Context& ctx, LONG status, Json extra, const char* text) {
    const int code = ExitCodeFor(status);
    const std::string message = DescribeStatus(ctx.name(), status, text);
    if (ctx.json()) {
        const char* name = VaultkeepStatusName(status);
        Json j;
        j.Bool("ok", false).Str("command", ctx.name()).Int("status", status);
        if (name && status != 1)
            j.Str("status_name", name);
        else
            j.Null("status_name");
        j.Str("message", message).Int("exit_code", code);
        std::string body = extra.Done();
        std::string out = j.Done();
        if (body.size() > 2) out = out.substr(0, out.size() - 1) + "," + body.substr(1);
        printf("%s\n", out.c_str());
    } else {
        fprintf(stderr, "vaultkeep: %s: %s\n", ctx.name().c_str(), message.c_str());
    }
    return code;
}

void Succeed(Context& ctx, const Json& json, const std::string& human) {
    if (ctx.json())
        printf("%s\n", json.Done().c_str());
    else if (!human.empty())
        printf("%s\n", human.c_str());
}

int ReportToolError(bool json, const std::string& command, const ToolError& err) {
    if (json) {
        Json j;
        j.Bool("ok", false);
        if (command.empty())
            j.Null("command");
        else
            j.Str("command", command);
        j.Str("error", err.exitCode == kExitUsage    ? "usage"
                       : err.exitCode == kExitInput  ? "input"
                       : err.exitCode == kExitOutput ? "output"
                       : err.exitCode == kExitRefused ? "refused"
                                                     : "tool")
            .Str("message", err.message)
            .Int("exit_code", err.exitCode);
        printf("%s\n", j.Done().c_str());
    } else if (command.empty()) {
        fprintf(stderr, "vaultkeep: %s\n", err.message.c_str());
    } else {
        fprintf(stderr, "vaultkeep: %s: %s\n", command.c_str(), err.message.c_str());
    }
    return err.exitCode;
}

bool WriteAll(int fd, const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n) {
        const ssize_t w = write(fd, c, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void WriteOutFile(const std::string& path, const uint8_t* p, size_t n) {
    // Retrieved bytes are secrets: the file is the caller's alone, whatever the umask.
    const int fd = OpenPath(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) throw ToolError{kExitOutput, "cannot write " + path + ": " + strerror(errno)};
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && S_ISREG(st.st_mode) && (st.st_mode & 0077)) ok = fchmod(fd, 0600) == 0;
    ok = ok && WriteAll(fd, p, n);
    const int err = errno;
    ok = (close(fd) == 0) && ok;
    if (!ok) throw ToolError{kExitOutput, "cannot write " + path + ": " + strerror(err ? err : errno)};
}

std::string AbsolutePath(const std::string& path) {
    if (IsAbsolutePath(path.c_str())) return path;
    std::string cwd;
    if (!CurrentFolder(cwd))
        throw ToolError{kExitInput, std::string("cannot find the current folder: ") + strerror(errno)};
    std::string rel = path;
    while (rel.compare(0, 2, "./") == 0 || (kPathSeparator != '/' && rel.compare(0, 2, ".\\") == 0))
        rel = rel.substr(2);
    return cwd + kPathSeparator + rel;
}

} // namespace vktool
