/* The command line: global options, one subcommand, its options; refuses any
 * option that would carry a secret, password or credential bytes. */
#include "Tool.h"

#include <cstring>

namespace vktool {

namespace {

const std::vector<const char*> kGlobalValues = {"root"};
const std::vector<const char*> kGlobalFlags = {"json", "help", "version"};

/* Names people reach for when they mean an input that must not be on the command line. */
struct Alias {
    const char* name;
    InputKind kind;
};
const Alias kRefused[] = {
    {"secret", InputKind::Secret},
    {"app-secret", InputKind::Secret},
    {"appsecret", InputKind::Secret},
    {"key", InputKind::Secret},
    {"password", InputKind::Password},
    {"pass", InputKind::Password},
    {"passwd", InputKind::Password},
    {"pw", InputKind::Password},
    {"pwd", InputKind::Password},
    {"p", InputKind::Password},
    {"backup-password", InputKind::BackupPassword},
    {"data", InputKind::Data},
    {"credential", InputKind::Data},
    {"value", InputKind::Data},
    {"metadata", InputKind::Metadata},
    {"protected-metadata", InputKind::ProtectedMetadata},
    {"new-password", InputKind::NewPassword},
    {"new-secret", InputKind::NewSecret},
};

bool Contains(const std::vector<const char*>& list, const std::string& name) {
    for (const char* item : list)
        if (name == item) return true;
    return false;
}

[[noreturn]] void Usage(const std::string& message) {
    throw ToolError{kExitUsage, message};
}

[[noreturn]] void RefuseOnCommandLine(const std::string& spelled, InputKind kind) {
    const InputInfo& info = Info(kind);
    const std::string s = info.stem;
    std::string msg = spelled + " would put the " + info.noun +
                      " on the command line, where other users of the machine can read it; pass it with --" +
                      s + "-file FILE, --" + s + "-fd N or --" + s + "-env VAR";
    if (info.prompt) msg += ", or leave it out to be asked for it on the terminal";
    Usage(msg);
}

/* Splits "--stem-file" and friends; false if the name is not a source option. */
bool SourceOption(const std::string& name, InputKind& kind, Source::Type& type) {
    static const std::pair<const char*, Source::Type> suffixes[] = {
        {"-file", Source::File}, {"-fd", Source::Fd}, {"-env", Source::Env}};
    for (const InputInfo& info : AllInputs()) {
        for (const auto& [suffix, t] : suffixes) {
            if (name == std::string(info.stem) + suffix) {
                kind = info.kind;
                type = t;
                return true;
            }
        }
    }
    return false;
}

bool ReadsStdin(const Source& src) {
    return (src.type == Source::File && src.value == "-") || (src.type == Source::Fd && src.value == "0");
}

bool Accepts(const Command& cmd, InputKind kind) {
    for (InputKind k : cmd.inputs)
        if (k == kind) return true;
    return false;
}

} // namespace

const Command* FindCommand(const std::string& name) {
    for (const Command& cmd : Commands())
        if (name == cmd.name) return &cmd;
    return nullptr;
}

Options ParseArgs(int argc, char** argv) {
    Options opts;
    std::vector<std::string> positional;
    std::vector<std::string> seen;

    // Refuse a secret on the command line before anything else, whatever else is wrong.
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') continue;
        std::string name = arg.substr(arg[1] == '-' ? 2 : 1);
        const size_t eq = name.find('=');
        const std::string spelled = (arg[1] == '-' ? "--" : "-") + name.substr(0, eq);
        name = name.substr(0, eq);
        for (const Alias& alias : kRefused)
            if (name == alias.name) RefuseOnCommandLine(spelled, alias.kind);
    }

    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg == "--") { // "--" ends the options: what follows is taken as words
            if (optionsEnded) positional.push_back(arg);
            optionsEnded = true;
            continue;
        }
        if (arg == "-h") {
            opts.help = true;
            continue;
        }
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (!arg.empty() && arg[0] == '-' && arg != "-") Usage("unknown option " + arg);
            positional.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> inlineValue;
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        for (const std::string& s : seen)
            if (s == name) Usage("--" + name + " is given more than once");
        seen.push_back(name);

        InputKind kind = InputKind::Secret;
        Source::Type type = Source::File;
        const bool isSource = SourceOption(name, kind, type);
        bool isFlag = Contains(kGlobalFlags, name);
        for (const Command& cmd : Commands())
            isFlag = isFlag || Contains(cmd.flags, name);
        if (isFlag) {
            if (inlineValue) Usage("--" + name + " takes no value");
            if (name == "json")
                opts.json = true;
            else if (name == "help")
                opts.help = true;
            else
                opts.flags.insert(name);
            continue;
        }
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else {
            if (i + 1 >= argc) Usage("--" + name + " needs a value");
            value = argv[++i];
        }
        if (isSource) {
            if (opts.sources.count(kind))
                Usage("the " + std::string(Info(kind).noun) + " is given more than once");
            opts.sources[kind] = Source{type, value};
        } else if (name == "root") {
            opts.root = value;
        } else {
            opts.values[name] = value;
        }
    }

    if (opts.flags.count("version")) {
        opts.command = "version";
        return opts;
    }
    if (!positional.empty()) {
        opts.command = positional[0];
        positional.erase(positional.begin());
    }
    if (opts.command == "help") {
        opts.help = true;
        opts.command.clear();
        if (!positional.empty()) {
            opts.command = positional[0];
            positional.erase(positional.begin());
        }
    }
    if (opts.command.empty()) {
        if (!opts.help) Usage("no command given (see vaultkeep --help)");
        return opts;
    }
    const Command* cmd = FindCommand(opts.command);
    if (!cmd) Usage("unknown command \"" + opts.command + "\" (see vaultkeep --help)");
    if (positional.size() > cmd->maxArgs)
        Usage(opts.command + ": unexpected argument \"" + positional[cmd->maxArgs] + "\"");
    opts.args = positional;
    if (opts.help) return opts;

    const std::string hint = " (see vaultkeep " + opts.command + " --help)";
    for (const auto& [name, value] : opts.values) {
        if (!Contains(cmd->values, name)) Usage(opts.command + ": unknown option --" + name + hint);
        if (value.empty()) Usage(opts.command + ": --" + name + " needs a value");
    }
    for (const std::string& flag : opts.flags)
        if (!Contains(cmd->flags, flag)) Usage(opts.command + ": unknown option --" + flag + hint);
    int fromStdin = 0;
    for (const auto& [kind, src] : opts.sources) {
        if (!Accepts(*cmd, kind))
            Usage(opts.command + ": this command takes no " + std::string(Info(kind).noun) + hint);
        if (src.value.empty())
            Usage(opts.command + ": --" + std::string(Info(kind).stem) + "-* needs a value");
        fromStdin += ReadsStdin(src);
    }
    if (fromStdin > 1) Usage(opts.command + ": only one input can come from standard input");
    return opts;
}

std::string ToolHelp() {
    std::string h = "Usage: vaultkeep [--root DIR] [--json] COMMAND [OPTIONS] [--] [WORDS]\n"
                    "\n"
                    "Keeps credentials of applications and their users in the vault of a machine root.\n"
                    "\n"
                    "Commands:\n";
    for (const Command& cmd : Commands()) {
        std::string name = cmd.name;
        name.resize(20, ' ');
        h += "  " + name + cmd.summary + "\n";
    }
    h += "\n"
         "Global options:\n"
         "  --root DIR          the machine root (default: $VAULTKEEP_ROOT, else the system default)\n"
         "  --json              print one JSON object on standard output, for scripts\n"
         "  --help              this text; \"vaultkeep COMMAND --help\" describes one command\n"
         "  --version           the tool's version\n"
         "  --                  ends the options: what follows is taken as it is\n"
         "\n"
         "Secrets never come from the command line. Each input X (secret, password,\n"
         "backup-password, data, metadata, protected-metadata) is given as\n"
         "  --X-file FILE       the file's contents (\"-\" reads standard input)\n"
         "  --X-fd N            read from open descriptor N to its end\n"
         "  --X-env VAR         the variable's value (removed from the environment once read)\n"
         "or, for the secret, the passwords and the credential, typed at a prompt on the\n"
         "terminal without echo. Passwords are UTF-8 text and one trailing line end is\n"
         "dropped; the secret, the credential and the metadata are taken byte for byte.\n"
         "\n"
         "Exit status:\n";
    h += ExitCodeTable();
    return h;
}

std::string CommandHelp(const Command& cmd) {
    std::string h =
        "Usage: vaultkeep " + std::string(cmd.name) + " " + cmd.usage + "\n\n" + cmd.summary + ".\n";
    if (cmd.details && *cmd.details) h += "\n" + std::string(cmd.details);
    h += "\nCommon options: --root DIR, --json, --help. Exit status: see vaultkeep --help.\n";
    return h;
}

const char* ExitCodeTable() {
    return "   0  success\n"
           "   1  Error_Bad_App: the application is not registered, or its table does not\n"
           "      verify under the given secret (a wrong secret reads the same)\n"
           "   2  Error_App_Already_Exists\n"
           "   3  Error_No_User: no such user, or the user's table or a credential's blob\n"
           "      does not verify\n"
           "   4  Error_Non_Supported_Version\n"
           "   5  Error_Cred_Not_Found\n"
           "   6  Error_Internal\n"
           "   7  Error_Invalid_ID: credential id too long (store), or no such credential\n"
           "   8  Error_Invalid_Cred\n"
           "   9  Error_TPM_Not_Owned\n"
           "  11  Error_Insufficient_Privileges\n"
           "  12  Error_Cant_Load_Library\n"
           "  13  Error_User_Already_Exists\n"
           "  14  Error_Bad_Backup\n"
           "  15  Error_Invalid_File\n"
           "  16  Error_Decrypt_Failed: wrong password or backup password\n"
           "  20  the library's plain failure (status 1): the credential could not be\n"
           "      stored (a wrong password among the causes), or the key archive could\n"
           "      not be made\n"
           "  21  another status passed up from a lower layer (shown in the message)\n"
           "  40  verify found damage\n"
           "  41  refused: the backend would change while users hold keys under the one\n"
           "      in use (--force overrides)\n"
           "  64  usage error, including a secret given on the command line\n"
           "  66  an input (secret, password, data, archive) cannot be read or is unusable\n"
           "  70  internal error of the tool\n"
           "  73  an output file cannot be written\n"
           "  99  Error_Table_Alloc\n";
}

} // namespace vktool
