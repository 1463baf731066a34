/* config and init's backend choice: the machine root's settings, read and
 * changed through the library, which checks the key provider answers. */
#include "Tool.h"

#include "../../components/tpmksp/tcti_names.h"

namespace vktool {

namespace {

/* What an administrator may set, with what the tool checks before the library does. */
struct AdminSetting {
    const char* name;
    const char* meaning;
    const char* byDefault;
    bool (*valid)(const std::string&);
    const char* expected;
};

const AdminSetting kAdmin[] = {
    {"Backend", "where users' keys live", "software",
     [](const std::string& v) { return v == "software" || v == "tpm2"; }, "software or tpm2"},
    {"TCTI", "how the tpm2 backend reaches the TPM", tpmksp::kDefaultTcti,
     [](const std::string& v) { return tpmksp::AcceptableTcti(v, false); },
     "device:/dev/tpmN, swtpm:host=H,port=P, mssim:host=H,port=P or tabrmd:bus_name=N"},
    {"SoftwareTpmOwned", "the software backend's answer to \"is the TPM owned\"", "1",
     [](const std::string& v) { return v == "0" || v == "1"; }, "0 or 1"},
    {"Install Path", "the maker's program folder, where the zip library is found",
     "C:\\Program Files\\Tarnwick Systems Corp", [](const std::string& v) { return !v.empty(); }, "a folder"},
};

const AdminSetting* FindAdmin(const std::string& name) {
    for (const AdminSetting& a : kAdmin)
        if (name == a.name) return &a;
    return nullptr;
}

struct Row {
    std::string name, kind, value;
    bool set;
};

LONG ReadSettings(std::vector<Row>& rows) {
    vaultkeep::Bstr list;
    const LONG st = VaultkeepGetSettings(list.out());
    if (st != 0) return st;
    const std::string text = vaultkeep::ToUtf8(list.view());
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> f;
        for (size_t p = start, tab; f.size() < 3 && (tab = text.find('\t', p)) < end; p = tab + 1)
            f.push_back(text.substr(p, tab - p));
        if (f.size() != 3) continue;
        const size_t valueAt = start + f[0].size() + f[1].size() + f[2].size() + 3;
        rows.push_back({f[0], f[1], text.substr(valueAt, end - valueAt), f[2] == "set"});
    }
    return 0;
}

std::string RowJson(const Row& r) {
    const AdminSetting* a = FindAdmin(r.name);
    Json j;
    j.Str("name", r.name).Str("kind", r.kind);
    r.set ? j.Str("value", r.value) : j.Null("value");
    a ? j.Str("default", a->byDefault) : j.Null("default");
    return j.Done();
}

std::string RowText(const Row& r) {
    const AdminSetting* a = FindAdmin(r.name);
    std::string s = r.name + " = " + (r.set ? r.value : "(not set");
    if (!r.set) s += a ? ", default " + std::string(a->byDefault) + ")" : ")";
    if (a) s += "    # " + std::string(a->meaning);
    return s;
}

/* Checks one change as the tool can, before the library does. */
void CheckChange(const std::string& name, const std::optional<std::string>& value) {
    const AdminSetting* a = FindAdmin(name);
    if (!a) {
        std::string names;
        for (const AdminSetting& s : kAdmin)
            names += (names.empty() ? "" : ", ") + std::string(s.name);
        throw ToolError{kExitUsage, "\"" + name + "\" is not a setting an administrator changes (those are " +
                                        names + "; \"vaultkeep config list\" shows them all)"};
    }
    if (value && !a->valid(*value))
        throw ToolError{kExitUsage, "\"" + *value + "\" is not a valid " + name + " (expected " + a->expected + ")"};
}

} // namespace

int ApplySettings(Context& ctx, const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    std::string lines;
    for (const auto& [name, value] : changes) {
        CheckChange(name, value);
        lines += name + (value ? "=" + *value : "") + "\n";
    }
    std::basic_string<WCHAR> wide;
    if (!vaultkeep::Utf8ToUtf16(lines, wide)) throw ToolError{kExitUsage, "the value is not valid UTF-8 text"};
    const bool force = ctx.opts.flags.count("force") != 0;
    const LONG st = VaultkeepSetSettings(wide.c_str(), force ? VAULTKEEP_SETTINGS_FORCE : 0);
    if (st == 170) // ERROR_BUSY
        throw ToolError{kExitRefused,
                        "users of registered applications hold keys under the backend in use; under another "
                        "backend their keys would not be found and their credentials could not be read. "
                        "Archive and restore them, or give --force to switch anyway"};
    if (st == 87) // ERROR_INVALID_PARAMETER
        throw ToolError{kExitUsage, "the library refused the change (a value it cannot hold)"};
    if (st == Error_TPM_Not_Owned)
        return Fail(ctx, st, Json(),
                    "the key provider does not answer with the new settings (no TPM at that TCTI, or not "
                    "owned); nothing changed");
    return st == 0 ? kExitOk : Fail(ctx, st);
}

int RunConfig(Context& ctx) {
    const std::vector<std::string>& args = ctx.opts.args;
    const std::string verb = args.empty() ? "" : args[0];
    const size_t want = verb == "list" ? 1 : verb == "get" || verb == "unset" ? 2 : verb == "set" ? 3 : 0;
    if (want == 0) throw ToolError{kExitUsage, "config needs list, get, set or unset (see vaultkeep config --help)"};
    if (args.size() != want) throw ToolError{kExitUsage, "config " + verb + ": expected " + std::to_string(want - 1) +
                                                             (want == 2 ? " name" : " names and values")};
    if (verb == "set" || verb == "unset") {
        std::optional<std::string> value;
        if (verb == "set") value = args[2];
        const int code = ApplySettings(ctx, {{args[1], value}});
        if (code != kExitOk) return code;
        Json j;
        j.Bool("ok", true).Str("command", "config").Str("action", verb).Str("name", args[1]);
        value ? j.Str("value", *value) : j.Null("value");
        Succeed(ctx, j, value ? args[1] + " = " + *value : args[1] + " unset (the default applies)");
        return kExitOk;
    }
    std::vector<Row> rows;
    const LONG st = ReadSettings(rows);
    if (st != 0) return Fail(ctx, st);
    std::string human, list = "[";
    for (const Row& r : rows) {
        if (verb == "get" && r.name != args[1]) continue;
        human += (human.empty() ? "" : "\n") + (verb == "get" ? (r.set ? r.value : "") : RowText(r));
        list += (list.size() > 1 ? "," : "") + RowJson(r);
        if (verb == "get") {
            if (!r.set && FindAdmin(r.name)) human = FindAdmin(r.name)->byDefault;
            Json j;
            j.Bool("ok", true).Str("command", "config").Raw("setting", RowJson(r));
            Succeed(ctx, j, human);
            return kExitOk;
        }
    }
    if (verb == "get") throw ToolError{kExitUsage, "no setting is named \"" + args[1] + "\" (see vaultkeep config list)"};
    Succeed(ctx, Json().Bool("ok", true).Str("command", "config").Raw("settings", list + "]"), human);
    return kExitOk;
}

} // namespace vktool
