/* The subcommands: one per export, plus init, verify and repair. */
#include "Tool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>

namespace vktool {

using vaultkeep::Bstr;
using vaultkeep::SplitList;

Context::Context(const Options& opts, const Command& cmd) : opts(opts), cmd(cmd), m_name(cmd.name) {}

const std::string& Context::Required(const char* key) const {
    auto it = opts.values.find(key);
    if (it == opts.values.end())
        throw ToolError{kExitUsage,
                        "--" + std::string(key) + " is required (see vaultkeep " + m_name + " --help)"};
    return it->second;
}

std::optional<std::string> Context::Optional(const char* key) const {
    auto it = opts.values.find(key);
    if (it == opts.values.end()) return std::nullopt;
    return it->second;
}

std::basic_string<WCHAR> Context::Wide(const char* key) const {
    std::basic_string<WCHAR> w;
    if (!vaultkeep::Utf8ToUtf16(Required(key), w))
        throw ToolError{kExitUsage, "--" + std::string(key) + " is not valid UTF-8 text"};
    return w;
}

namespace {

const std::basic_string<WCHAR> kEmpty;

std::string Q(const std::string& s) {
    return "\"" + s + "\"";
}
std::string CountBytes(size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

/* Hands retrieved bytes to the caller: to --out, into the JSON object, or raw to standard output. */
int EmitBytes(Context& ctx, Json json, const SecretArray& arr) {
    std::vector<uint8_t> bytes = arr.array().bytes();
    struct Wipe {
        std::vector<uint8_t>& b;
        ~Wipe() { WipeMemory(b.data(), b.size()); }
    } wipe{bytes};
    json.Int("length", static_cast<long long>(bytes.size()));
    if (auto out = ctx.Optional("out")) {
        WriteOutFile(*out, bytes.data(), bytes.size());
        json.Str("out", *out);
        Succeed(ctx, json, "Wrote " + CountBytes(bytes.size()) + " to " + *out + ".");
        return kExitOk;
    }
    if (ctx.json()) {
        std::string b64 = Base64(bytes.data(), bytes.size());
        json.Str("data_base64", b64);
        std::string text = json.Done();
        printf("%s\n", text.c_str());
        WipeMemory(b64.data(), b64.size());
        WipeMemory(text.data(), text.size());
        return kExitOk;
    }
    fflush(stdout);
    if (!WriteAll(STDOUT_FILENO, bytes.data(), bytes.size()))
        throw ToolError{kExitOutput, std::string("cannot write to standard output: ") + strerror(errno)};
    return kExitOk;
}

Json Base(Context& ctx) {
    Json j;
    j.Bool("ok", true).Str("command", ctx.name());
    return j;
}

/* ---- applications and users ---- */

int RunInit(Context& ctx) {
    const char* root = SecureEnv("VAULTKEEP_ROOT");
    if (root && *root) {
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec)
            throw ToolError{kExitOutput,
                            "cannot create the machine root " + std::string(root) + ": " + ec.message()};
    }
    const LONG st = VaultkeepInitRoot();
    if (st != 0) return Fail(ctx, st);
    const std::optional<std::string> backend = ctx.Optional("backend"), tcti = ctx.Optional("tcti");
    std::vector<std::pair<std::string, std::optional<std::string>>> changes;
    if (tcti) changes.push_back({"TCTI", tcti});
    if (backend) changes.push_back({"Backend", backend});
    if (!changes.empty())
        if (const int code = ApplySettings(ctx, changes); code != kExitOk) return code;
    Json j = Base(ctx);
    if (root && *root)
        j.Str("root", root);
    else
        j.Null("root");
    if (backend) j.Str("backend", *backend);
    std::string human = root && *root ? "Machine root ready: " + std::string(root)
                                      : std::string("Machine root ready (the default location).");
    if (backend) human += "\nKey provider backend: " + *backend + (tcti ? " (TCTI " + *tcti + ")" : "") + ".";
    Succeed(ctx, j, human);
    return kExitOk;
}

int RunRegisterApp(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app");
    SecretArray secret = ctx.Secret(true);
    const LONG st = RegisterApp(app.c_str(), secret.get());
    if (st != 0) return Fail(ctx, st);
    Succeed(ctx, Base(ctx).Str("app", ctx.Required("app")),
            "Registered application " + Q(ctx.Required("app")) + ".");
    return kExitOk;
}

int RunUnregisterApp(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app");
    SecretArray secret = ctx.Secret();
    const LONG st = UnRegisterApp(app.c_str(), secret.get());
    if (st != 0) return Fail(ctx, st);
    Succeed(ctx, Base(ctx).Str("app", ctx.Required("app")),
            "Unregistered application " + Q(ctx.Required("app")) + " with all its users and credentials.");
    return kExitOk;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

int RunAddUser(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user");
    SecretArray secret = ctx.Secret();
    // Adding a present user succeeds without a change; look first so the report says which it was.
    Bstr list;
    LONG st = QueryListOfUsers(app.c_str(), secret.get(), list.out());
    if (st != 0) return Fail(ctx, st);
    const bool existed = Contains(SplitList(list.view()), ctx.Required("user"));
    std::optional<SecretWide> password = ctx.Password(InputKind::Password, !existed);
    st = AddUser(app.c_str(), secret.get(), user.c_str(), password->data());
    if (st != 0) return Fail(ctx, st);
    const std::string u = Q(ctx.Required("user")), a = Q(ctx.Required("app"));
    Succeed(
        ctx,
        Base(ctx).Str("app", ctx.Required("app")).Str("user", ctx.Required("user")).Bool("created", !existed),
        existed ? "User " + u + " of " + a + " already exists; nothing changed."
                : "Added user " + u + " to " + a + ".");
    return kExitOk;
}

int RunListUsers(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app");
    SecretArray secret = ctx.Secret();
    Bstr list;
    const LONG st = QueryListOfUsers(app.c_str(), secret.get(), list.out());
    if (st != 0) return Fail(ctx, st);
    const std::vector<std::string> users = SplitList(list.view());
    std::string human;
    for (const std::string& u : users)
        human += (human.empty() ? "" : "\n") + u;
    Succeed(ctx, Base(ctx).Str("app", ctx.Required("app")).StrList("users", users), human);
    return kExitOk;
}

int RunDeleteUser(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user");
    SecretArray secret = ctx.Secret();
    const LONG st = DeleteUser(app.c_str(), secret.get(), user.c_str());
    if (st != 0) return Fail(ctx, st);
    Succeed(ctx, Base(ctx).Str("app", ctx.Required("app")).Str("user", ctx.Required("user")),
            "Deleted user " + Q(ctx.Required("user")) + " of " + Q(ctx.Required("app")) +
                " with the user's credentials and key.");
    return kExitOk;
}

int RunPasswd(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user");
    SecretArray secret = ctx.Secret();
    std::optional<SecretWide> old = ctx.Password(InputKind::Password, false);
    std::optional<SecretWide> fresh = ctx.Password(InputKind::NewPassword, true);
    const LONG st = ChangeUserPassword(app.c_str(), secret.get(), user.c_str(), old->data(), fresh->data());
    if (st != 0) return Fail(ctx, st);
    Succeed(ctx, Base(ctx).Str("app", ctx.Required("app")).Str("user", ctx.Required("user")),
            "Changed the password of user " + Q(ctx.Required("user")) + " of " + Q(ctx.Required("app")) + ".");
    return kExitOk;
}

int RunRotateSecret(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app");
    SecretArray secret = ctx.Secret();
    SecretArray fresh = ctx.Secret(true, InputKind::NewSecret);
    const LONG st = ChangeAppSecret(app.c_str(), secret.get(), fresh.get());
    if (st != 0) return Fail(ctx, st);
    Succeed(ctx, Base(ctx).Str("app", ctx.Required("app")),
            "Application " + Q(ctx.Required("app")) + " now works under the new secret only.");
    return kExitOk;
}

/* ---- credentials ---- */

Json CredJson(Context& ctx) {
    return Base(ctx)
        .Str("app", ctx.Required("app"))
        .Str("user", ctx.Required("user"))
        .Str("id", ctx.Required("id"));
}

SecretArray ToArray(const std::optional<SecretBytes>& bytes) {
    if (!bytes) return SecretArray(vaultkeep::MakeByteArray(nullptr, 0));
    return SecretArray(vaultkeep::MakeByteArray(bytes->data(), bytes->size()));
}

int RunStore(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user"), id = ctx.Wide("id");
    SecretArray secret = ctx.Secret();
    std::optional<SecretWide> password = ctx.Password(InputKind::Password, false);
    SecretArray md = ToArray(ctx.Bytes(InputKind::Metadata, true));
    SecretArray emd = ToArray(ctx.Bytes(InputKind::ProtectedMetadata, true));
    std::optional<SecretBytes> dataBytes = ctx.Bytes(InputKind::Data, false);
    const size_t length = dataBytes->size();
    SecretArray data = ToArray(dataBytes);
    dataBytes.reset();
    const LONG st = StoreCredential(app.c_str(), secret.get(), user.c_str(), password->data(), id.c_str(),
                                    md.get(), emd.get(), data.get());
    if (st != 0) return Fail(ctx, st);
    Succeed(ctx, CredJson(ctx).Int("length", static_cast<long long>(length)),
            "Stored credential " + Q(ctx.Required("id")) + " of user " + Q(ctx.Required("user")) + " (" +
                CountBytes(length) + ").");
    return kExitOk;
}

int RunRetrieve(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user"), id = ctx.Wide("id");
    SecretArray secret = ctx.Secret();
    std::optional<SecretWide> password = ctx.Password(InputKind::Password, false);
    SecretArray out;
    const LONG st =
        RetrieveCredential(app.c_str(), secret.get(), user.c_str(), password->data(), id.c_str(), out.out());
    if (st != 0) return Fail(ctx, st);
    return EmitBytes(ctx, CredJson(ctx), out);
}

int RunMetadata(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user"), id = ctx.Wide("id");
    SecretArray secret = ctx.Secret();
    SecretArray out;
    const LONG st =
        RetrieveCredentialMetaData(app.c_str(), secret.get(), user.c_str(), id.c_str(), out.out());
    if (st != 0) return Fail(ctx, st);
    return EmitBytes(ctx, CredJson(ctx), out);
}

int RunProtectedMetadata(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user"), id = ctx.Wide("id");
    SecretArray secret = ctx.Secret();
    SecretArray out;
    const LONG st =
        RetrieveEncryptedCredentialMetaData(app.c_str(), secret.get(), user.c_str(), id.c_str(), out.out());
    if (st != 0) return Fail(ctx, st);
    return EmitBytes(ctx, CredJson(ctx), out);
}

int RunList(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user");
    SecretArray secret = ctx.Secret();
    Bstr list;
    const LONG st = QueryUserCreds(app.c_str(), secret.get(), user.c_str(), list.out());
    if (st != 0) return Fail(ctx, st);
    const std::vector<std::string> ids = SplitList(list.view());
    std::string human;
    for (const std::string& i : ids)
        human += (human.empty() ? "" : "\n") + i;
    Succeed(ctx,
            Base(ctx).Str("app", ctx.Required("app")).Str("user", ctx.Required("user")).StrList("ids", ids),
            human);
    return kExitOk;
}

int RunDelete(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user"), id = ctx.Wide("id");
    SecretArray secret = ctx.Secret();
    const LONG st = DeleteCred(app.c_str(), secret.get(), user.c_str(), id.c_str());
    if (st != 0) return Fail(ctx, st);
    Succeed(ctx, CredJson(ctx),
            "Deleted credential " + Q(ctx.Required("id")) + " of user " + Q(ctx.Required("user")) + ".");
    return kExitOk;
}

/* ---- archive and restore ---- */

int RunArchive(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user");
    const std::string file = AbsolutePath(ctx.Required("file"));
    std::basic_string<WCHAR> fileW, note;
    if (!vaultkeep::Utf8ToUtf16(file, fileW)) throw ToolError{kExitUsage, "--file is not valid UTF-8 text"};
    if (auto n = ctx.Optional("key-archive-string"); n && !vaultkeep::Utf8ToUtf16(*n, note))
        throw ToolError{kExitUsage, "--key-archive-string is not valid UTF-8 text"};
    // The library would replace the file whole, and a file in the way is most likely an earlier backup.
    struct stat st;
    if (lstat(file.c_str(), &st) == 0)
        throw ToolError{kExitOutput, file + " already exists; remove it or choose another file"};
    SecretArray secret = ctx.Secret();
    std::optional<SecretWide> backup = ctx.Password(InputKind::BackupPassword, true);
    const LONG status =
        ArchiveUser(app.c_str(), secret.get(), user.c_str(), fileW.c_str(), backup->data(), note.c_str());
    if (status != 0) return Fail(ctx, status);
    Succeed(
        ctx, Base(ctx).Str("app", ctx.Required("app")).Str("user", ctx.Required("user")).Str("file", file),
        "Archived user " + Q(ctx.Required("user")) + " of " + Q(ctx.Required("app")) + " to " + file + ".");
    return kExitOk;
}

int RunRestore(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app"), user = ctx.Wide("user");
    const std::string file = AbsolutePath(ctx.Required("file"));
    std::basic_string<WCHAR> fileW;
    if (!vaultkeep::Utf8ToUtf16(file, fileW)) throw ToolError{kExitUsage, "--file is not valid UTF-8 text"};
    if (AccessPath(file.c_str(), R_OK) != 0)
        throw ToolError{kExitInput, "cannot read the archive " + file + ": " + strerror(errno)};
    const bool overwrite = ctx.opts.flags.count("overwrite") != 0;
    SecretArray secret = ctx.Secret();
    std::optional<SecretWide> backup = ctx.Password(InputKind::BackupPassword, false);
    const LONG status = RestoreUser(app.c_str(), secret.get(), user.c_str(), fileW.c_str(), backup->data(),
                                    overwrite ? 1 : 0);
    if (status != 0) return Fail(ctx, status);
    Succeed(ctx,
            Base(ctx)
                .Str("app", ctx.Required("app"))
                .Str("user", ctx.Required("user"))
                .Str("file", file)
                .Bool("overwrite", overwrite),
            "Restored user " + Q(ctx.Required("user")) + " into " + Q(ctx.Required("app")) + " from " + file +
                ".");
    return kExitOk;
}

/* ---- what the tables do not account for: VaultkeepCheck ---- */

struct Finding {
    std::string kind, user, name, state;
};

/* What an interrupted call leaves behind, and what a repair can remove. */
bool Removable(const std::string& kind) {
    return kind == "missing-blob" || kind == "orphan-blob" || kind == "orphan-folder" || kind == "stale-backup" ||
           kind == "temporary" || kind == "trash" || kind == "orphan-key";
}

LONG CheckStore(const std::basic_string<WCHAR>& app, SAFEARRAY* secret, ULONG flags, std::vector<Finding>& findings) {
    Bstr report;
    findings.clear();
    const LONG st = VaultkeepCheck(app.c_str(), secret, flags, report.out());
    if (st != 0) return st;
    const std::string text = vaultkeep::ToUtf8(report.view());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> f;
        size_t p = start;
        for (int i = 0; i < 3; ++i) {
            size_t tab = text.find('\t', p);
            if (tab == std::string::npos || tab > end) break;
            f.push_back(text.substr(p, tab - p));
            p = tab + 1;
        }
        if (f.size() == 3) findings.push_back({f[0], f[1], f[2], text.substr(p, end - p)});
        start = end + 1;
    }
    return 0;
}

std::string DescribeFinding(const Finding& f) {
    static const std::pair<const char*, const char*> kWords[] = {
        {"missing-blob", "credential %s of user %u: its blob file is gone"},
        {"bad-blob", "credential %s of user %u: its blob file does not verify"},
        {"bad-table", "user %u: the user table does not verify"},
        {"unsound-record", "user %u: the record names a folder outside the application's (%s)"},
        {"orphan-blob", "user %u: blob file %s is named by no credential"},
        {"stale-backup", "user %u: %s is left from an archive that did not finish"},
        {"temporary", "temporary file %s is left from a write that did not finish"},
        {"orphan-folder", "user folder %s is named by no user"},
        {"orphan-key", "key %s is named by no user of any application"},
        {"trash", "removed application folder %s is still in the trash"},
        {"unknown", "%s is not part of the store (left alone)"},
    };
    std::string text = f.kind + " " + f.name;
    for (const auto& [kind, words] : kWords) {
        if (f.kind != kind) continue;
        text = words;
        for (auto [mark, value] : {std::pair<std::string, const std::string*>{"%s", &f.name}, {"%u", &f.user}}) {
            size_t at = text.find(mark);
            if (at != std::string::npos) text.replace(at, 2, *value);
        }
        if (f.kind == "temporary" && !f.user.empty()) text = "user " + f.user + ": " + text;
    }
    return text;
}

std::string FindingsJson(const std::vector<Finding>& findings) {
    std::string out = "[";
    for (const Finding& f : findings) {
        Json j;
        j.Str("kind", f.kind).Str("user", f.user).Str("name", f.name).Str("state", f.state);
        out += (out.size() > 1 ? "," : "") + j.Done();
    }
    return out + "]";
}

int RunRepair(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app");
    SecretArray secret = ctx.Secret();
    std::vector<Finding> findings;
    const LONG st = CheckStore(app, secret.get(), VAULTKEEP_CHECK_REPAIR, findings);
    if (st != 0) return Fail(ctx, st);
    std::string human;
    int removed = 0, left = 0;
    for (const Finding& f : findings) {
        if (f.state == "removed") {
            ++removed;
            human += "removed: " + DescribeFinding(f) + "\n";
        } else if (f.kind != "unknown") {
            ++left;
            human += "left: " + DescribeFinding(f) + "\n";
        }
    }
    human += "repair: " + std::to_string(removed) + (removed == 1 ? " item" : " items") + " removed";
    if (left) human += "; " + std::to_string(left) + " left that a repair cannot fix (see verify)";
    human += ".";
    Json j = Base(ctx);
    j.Bool("ok", left == 0).Str("app", ctx.Required("app")).Raw("findings", FindingsJson(findings));
    j.Int("removed", removed).Int("left", left);
    if (ctx.json())
        printf("%s\n", j.Done().c_str());
    else
        printf("%s\n", human.c_str());
    return left ? kExitVerifyFailed : kExitOk;
}

/* ---- verify: reads only, through the exports ---- */

struct Check {
    LONG status = 0;
    bool checked = false;
};

std::string CheckWord(const Check& c) {
    return !c.checked ? "not checked" : c.status == 0 ? "ok" : "failed";
}

int RunVerify(Context& ctx) {
    const std::basic_string<WCHAR> app = ctx.Wide("app");
    const std::optional<std::string> only = ctx.Optional("user");
    if (ctx.opts.sources.count(InputKind::Password) && !only)
        throw ToolError{kExitUsage, "a password opens one user's credentials: give --user with it"};
    SecretArray secret = ctx.Secret();
    std::optional<SecretWide> password = ctx.Password(InputKind::Password, false, true);

    Bstr list;
    LONG st = QueryListOfUsers(app.c_str(), secret.get(), list.out());
    if (st != 0) return Fail(ctx, st);
    std::vector<std::string> users = SplitList(list.view());
    if (only) {
        if (!Contains(users, *only)) return Fail(ctx, Error_No_User, Json(), "no such user");
        users = {*only};
    }

    const std::string& appName = ctx.Required("app");
    std::string human = "Application " + Q(appName) + ": table verifies (" + std::to_string(users.size()) +
                        (users.size() == 1 ? " user)." : " users).");
    std::string usersJson = "[";
    int problems = 0, unchecked = 0;
    std::vector<std::string> failedCreds; /* "user\tid" of credentials already counted */
    for (const std::string& name : users) {
        std::basic_string<WCHAR> userW = vaultkeep::ToUtf16(name);
        Bstr ids;
        st = QueryUserCreds(app.c_str(), secret.get(), userW.c_str(), ids.out());
        Json uj;
        uj.Str("name", name).Bool("ok", st == 0).Int("status", st);
        if (st != 0) {
            ++problems;
            const std::string why = DescribeStatus(ctx.name(), st);
            human += "\n  user " + Q(name) + ": table FAILED: " + why;
            uj.Str("message", why).Raw("credentials", "[]");
            usersJson += (usersJson.size() > 1 ? "," : "") + uj.Done();
            continue;
        }
        const std::vector<std::string> idList = SplitList(ids.view());
        human += "\n  user " + Q(name) + ": table verifies (" + std::to_string(idList.size()) +
                 (idList.size() == 1 ? " credential)" : " credentials)");
        std::string credsJson = "[";
        for (const std::string& id : idList) {
            const std::basic_string<WCHAR> idW = vaultkeep::ToUtf16(id);
            Check md, emd, blob;
            {
                SecretArray out;
                md = {RetrieveCredentialMetaData(app.c_str(), secret.get(), userW.c_str(), idW.c_str(),
                                                 out.out()),
                      true};
            }
            {
                SecretArray out;
                emd = {RetrieveEncryptedCredentialMetaData(app.c_str(), secret.get(), userW.c_str(),
                                                           idW.c_str(), out.out()),
                       true};
            }
            if (password) {
                SecretArray out;
                blob = {RetrieveCredential(app.c_str(), secret.get(), userW.c_str(), password->data(),
                                           idW.c_str(), out.out()),
                        true};
            } else {
                ++unchecked;
            }
            const LONG first = md.status ? md.status : emd.status ? emd.status : blob.status;
            Json cj;
            cj.Str("id", id)
                .Bool("ok", first == 0)
                .Str("metadata", CheckWord(md))
                .Str("protected_metadata", CheckWord(emd))
                .Str("blob", CheckWord(blob))
                .Int("status", first);
            human += "\n    credential " + Q(id) + ": metadata " + CheckWord(md) + ", protected metadata " +
                     CheckWord(emd) + ", blob " + CheckWord(blob);
            if (first != 0) {
                ++problems;
                failedCreds.push_back(name + "\t" + id);
                const std::string why = DescribeStatus(ctx.name(), first);
                cj.Str("message", why);
                human += ": " + why;
            }
            credsJson += (credsJson.size() > 1 ? "," : "") + cj.Done();
        }
        uj.Raw("credentials", credsJson + "]");
        usersJson += (usersJson.size() > 1 ? "," : "") + uj.Done();
    }
    usersJson += "]";

    /* What the exports above cannot see: records without blobs, and what
     * interrupted calls left behind. A table that failed is counted once, above. */
    std::vector<Finding> found, findings;
    st = CheckStore(app, secret.get(), 0, found);
    if (st != 0) return Fail(ctx, st);
    bool repairable = false;
    for (Finding& f : found) {
        if (only && f.user != *only) continue;
        const bool counted = f.kind == "bad-table" || f.kind == "unknown" ||
                             (!f.user.empty() && !Contains(users, f.user)) ||
                             std::find(failedCreds.begin(), failedCreds.end(), f.user + "\t" + f.name) !=
                                 failedCreds.end();
        if (!counted) ++problems;
        repairable = repairable || Removable(f.kind);
        if (f.kind != "bad-table") human += "\n  " + DescribeFinding(f);
        findings.push_back(std::move(f));
    }
    if (repairable)
        human += "\nverify: `vaultkeep repair --app " + appName +
                 "` removes what interrupted calls left behind (blob-less records included).";

    if (problems) {
        human += "\nverify: " + std::to_string(problems) +
                 (problems == 1 ? " problem found." : " problems found.");
    } else {
        human += "\nverify: no problems found.";
    }
    if (unchecked)
        human += "\nverify: " +
                 (unchecked == 1 ? std::string("the blob of 1 credential was")
                                 : "the blobs of " + std::to_string(unchecked) + " credentials were") +
                 " not checked; a blob opens only with its user's password (--user and --password-*).";
    Json j;
    j.Bool("ok", problems == 0)
        .Str("command", ctx.name())
        .Str("app", appName)
        .Raw("users", usersJson)
        .Raw("findings", FindingsJson(findings))
        .Int("problems", problems)
        .Int("blobs_not_checked", unchecked);
    if (ctx.json())
        printf("%s\n", j.Done().c_str());
    else
        printf("%s\n", human.c_str());
    return problems ? kExitVerifyFailed : kExitOk;
}

/* ---- the table ---- */

const char* const kSecretHelp =
    "The application secret comes from --secret-file FILE, --secret-fd N, --secret-env VAR,\n"
    "or a prompt on the terminal.\n";

std::vector<Command> MakeCommands() {
    using K = InputKind;
    return {
        {"init",
         "lay out a machine root for use (idempotent)",
         "[--root DIR] [--backend software|tpm2 [--tcti SPEC]] [--force]",
         "Registers the components, writes the install path and puts the zip library in\n"
         "place below the machine root, creating the root folder if needed. A root that\n"
         "was set up before is left as it is, but for a zip library an older build\n"
         "placed: run init again after an upgrade.\n"
         "--backend and --tcti then set the key provider's Backend and TCTI as\n"
         "\"vaultkeep config set\" does: the provider must answer with them (a TPM at\n"
         "SPEC), and a switch while users hold keys under the backend in use is refused\n"
         "(exit 41), since their keys would not be found, unless --force.\n",
         {"backend", "tcti"},
         {"force"},
         {},
         RunInit},
        {"config",
         "show or change the machine root's settings",
         "list | get NAME | set NAME VALUE | unset NAME  [--force]",
         "Settings are registry values below the machine root that the library and its\n"
         "components read. \"admin\" ones an administrator changes:\n"
         "  Backend           software (default) or tpm2: where users' keys live\n"
         "  TCTI              how tpm2 reaches the TPM: device:/dev/tpmrm0 (default),\n"
         "                    swtpm:host=H,port=P, mssim:host=H,port=P, tabrmd:bus_name=N\n"
         "  SoftwareTpmOwned  0 makes the software backend report the TPM not owned\n"
         "  Install Path      the maker's program folder, where the zip library is found\n"
         "\"record\" ones (the layout marker, the component registrations, each\n"
         "application's Location and Type) are shown, never set. unset returns a\n"
         "setting to its default. Changing Backend or TCTI is checked as init does\n"
         "(exit 9 when the provider does not answer, 41 when users hold keys). Only the\n"
         "account that laid out the root may change settings (exit 11 otherwise). A\n"
         "VALUE starting with \"-\" goes after \"--\".\n",
         {},
         {"force"},
         {},
         RunConfig,
         3},
        {"register-app",
         "register an application under a new secret",
         "--app NAME [--secret-* SRC]",
         "Creates the application's registry settings, folder and empty table, all keyed\n"
         "by the secret. The application's later calls must give the same secret.\n"
         "At a prompt the secret is asked twice.\n",
         {"app"},
         {},
         {K::Secret},
         RunRegisterApp},
        {"unregister-app",
         "remove an application with all its users and credentials",
         "--app NAME [--secret-* SRC]",
         kSecretHelp,
         {"app"},
         {},
         {K::Secret},
         RunUnregisterApp},
        {"add-user",
         "add a user, whose key is protected by the user's password",
         "--app NAME --user NAME [--secret-* SRC] [--password-* SRC]",
         "Makes the user's folder, table and key; the password protects the key and is\n"
         "needed to store and retrieve the user's credentials. A user that exists is left\n"
         "unchanged. At a prompt a new user's password is asked twice.\n",
         {"app", "user"},
         {},
         {K::Secret, K::Password},
         RunAddUser},
        {"list-users",
         "list an application's users",
         "--app NAME [--secret-* SRC]",
         "Prints one name per line, in the order the users were added.\n",
         {"app"},
         {},
         {K::Secret},
         RunListUsers},
        {"delete-user",
         "delete a user with the user's credentials and key",
         "--app NAME --user NAME [--secret-* SRC]",
         kSecretHelp,
         {"app", "user"},
         {},
         {K::Secret},
         RunDeleteUser},
        {"store",
         "store or replace a credential with its metadata",
         "--app NAME --user NAME --id ID [--secret-* SRC] [--password-* SRC]\n"
         "       [--data-* SRC] [--metadata-* SRC] [--protected-metadata-* SRC]",
         "Stores the credential bytes (--data-*) under ID (at most 19 characters), with\n"
         "plain metadata (--metadata-*, kept as is) and protected metadata\n"
         "(--protected-metadata-*, kept encrypted); both are empty when not given. A\n"
         "credential with the same ID is replaced. A user that does not exist yet is\n"
         "added with the given password.\n",
         {"app", "user", "id"},
         {},
         {K::Secret, K::Password, K::Data, K::Metadata, K::ProtectedMetadata},
         RunStore},
        {"retrieve",
         "print a credential (needs the user's password)",
         "--app NAME --user NAME --id ID [--secret-* SRC] [--password-* SRC] [--out FILE]",
         "Writes the credential bytes to standard output as they are, or to FILE (created\n"
         "with mode 0600). With --json they appear base64-encoded as \"data_base64\".\n",
         {"app", "user", "id", "out"},
         {},
         {K::Secret, K::Password},
         RunRetrieve},
        {"metadata",
         "print a credential's plain metadata",
         "--app NAME --user NAME --id ID [--secret-* SRC] [--out FILE]",
         "Writes the bytes as retrieve does.\n",
         {"app", "user", "id", "out"},
         {},
         {K::Secret},
         RunMetadata},
        {"protected-metadata",
         "print a credential's protected metadata, decrypted",
         "--app NAME --user NAME --id ID [--secret-* SRC] [--out FILE]",
         "Writes the bytes as retrieve does.\n",
         {"app", "user", "id", "out"},
         {},
         {K::Secret},
         RunProtectedMetadata},
        {"list",
         "list a user's credential ids",
         "--app NAME --user NAME [--secret-* SRC]",
         "Prints one id per line, in the order they were stored.\n",
         {"app", "user"},
         {},
         {K::Secret},
         RunList},
        {"delete",
         "delete a credential",
         "--app NAME --user NAME --id ID [--secret-* SRC]",
         kSecretHelp,
         {"app", "user", "id"},
         {},
         {K::Secret},
         RunDelete},
        {"archive",
         "pack a user's store and key into an archive file",
         "--app NAME --user NAME --file ARCHIVE [--secret-* SRC] [--backup-password-* SRC]\n"
         "       [--key-archive-string TEXT]",
         "Writes ARCHIVE (which must not exist yet) with the user's table, credentials and\n"
         "key, and the application secret wrapped under the backup password, so that the\n"
         "user can be restored into an application registered under another secret.\n"
         "--key-archive-string is handed to the key-archive component as it is. At a\n"
         "prompt the backup password is asked twice.\n",
         {"app", "user", "file", "key-archive-string"},
         {},
         {K::Secret, K::BackupPassword},
         RunArchive},
        {"restore",
         "restore a user from an archive file",
         "--app NAME --user NAME --file ARCHIVE [--overwrite] [--secret-* SRC]\n"
         "       [--backup-password-* SRC]",
         "Verifies the archive under the secret it was made with (unwrapped with the\n"
         "backup password), restores the user's key and re-keys the store to the\n"
         "application's current secret. An existing user is replaced only with\n"
         "--overwrite.\n",
         {"app", "user", "file"},
         {"overwrite"},
         {K::Secret, K::BackupPassword},
         RunRestore},
        {"passwd",
         "change the password that protects a user's key",
         "--app NAME --user NAME [--secret-* SRC] [--password-* SRC] [--new-password-* SRC]",
         "The key, opened with the current password (--password-*), is protected by the\n"
         "new one (--new-password-*, 1 to 1024 characters) from then on; the key pair and\n"
         "every credential stay. On a TPM a wrong current password counts against its\n"
         "dictionary-attack defence. An archive made before keeps the password of its\n"
         "day. At a prompt the new password is asked twice.\n",
         {"app", "user"},
         {},
         {K::Secret, K::Password, K::NewPassword},
         RunPasswd},
        {"rotate-secret",
         "re-key an application's tables and credentials to a new secret",
         "--app NAME [--secret-* SRC] [--new-secret-* SRC]",
         "Re-keys every table and credential of the application from the current secret\n"
         "(--secret-*) to the new one (--new-secret-*) in one step: whatever happens, the\n"
         "application then works under the old secret only or under the new one only.\n"
         "What an interrupted run leaves behind is found by verify and removed by repair.\n"
         "Archives made before restore under the new secret. At a prompt the new secret\n"
         "is asked twice.\n",
         {"app"},
         {},
         {K::Secret, K::NewSecret},
         RunRotateSecret},
        {"verify",
         "check an application's tables and credentials without changing anything",
         "--app NAME [--user NAME [--password-* SRC]] [--secret-* SRC]",
         "Checks the application table, every user's table and every credential's\n"
         "metadata under the secret. A credential's blob opens only with its user's\n"
         "password: give --user and --password-* to check that user's blobs too. Reports\n"
         "each failure and exits with 40 when anything failed.\n",
         {"app", "user"},
         {},
         {K::Secret, K::Password},
         RunVerify},
        {"repair",
         "remove what interrupted calls left in an application's store",
         "--app NAME [--secret-* SRC]",
         "Removes what the tables do not account for: records whose blob file is gone,\n"
         "blob files and user folders nothing names (with the folder's key, unless a user\n"
         "of a registered application names it), backups of an archive that did not\n"
         "finish, temporaries, removed applications in the trash. A blob or table that\n"
         "does not verify is left as it is. Lists what it removed and what it left; exits\n"
         "with 40 when something is left that needs attention.\n",
         {"app"},
         {},
         {K::Secret},
         RunRepair},
    };
}

} // namespace

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = MakeCommands();
    return commands;
}

} // namespace vktool
