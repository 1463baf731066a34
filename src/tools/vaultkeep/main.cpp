/* vaultkeep: the command-line tool over the library's exports. */
#include "Tool.h"

#include <sys/stat.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>
#include <unistd.h>

#ifndef VK_VERSION
#define VK_VERSION "unknown"
#endif

using namespace vktool;

namespace {

/* Ends a run that never called the library, skipping every unload handler: a
 * mistyped root or a --help must leave nothing on disk. */
[[noreturn]] void ExitUntouched(int code) {
    fflush(stdout);
    fflush(stderr);
    _exit(code);
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Secrets pass through this process's memory: no crash dialog or dump of it; bytes in and out as they are.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    _fmode = _O_BINARY;
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    // The C runtime's argv is in the ANSI code page; the tool's arguments are UTF-8.
    std::vector<std::string> utf8Args;
    std::vector<char*> utf8Argv;
    int wideCount = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wideCount)) {
        for (int i = 0; i < wideCount; ++i)
            utf8Args.push_back(vaultkeep::ToUtf8(wide[i]));
        LocalFree(wide);
        for (std::string& a : utf8Args)
            utf8Argv.push_back(a.data());
        utf8Argv.push_back(nullptr);
        argc = wideCount;
        argv = utf8Argv.data();
    }
#else
    // Secrets pass through this process's memory: keep them out of core files.
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    // The tool says itself why a TPM did not answer; the TSS's own lines only when asked for (TSS2_LOG).
    setenv("TSS2_LOG", "all+none", 0);
#endif

    bool json = false;
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--json") == 0) json = true;

    Options opts;
    try {
        opts = ParseArgs(argc, argv);
    } catch (const ToolError& e) {
        ExitUntouched(ReportToolError(json, "", e));
    }

    if (opts.command == "version") {
        printf("vaultkeep %s\n", VK_VERSION);
        ExitUntouched(kExitOk);
    }
    if (opts.help) {
        const Command* cmd = opts.command.empty() ? nullptr : FindCommand(opts.command);
        printf("%s", cmd ? CommandHelp(*cmd).c_str() : ToolHelp().c_str());
        ExitUntouched(kExitOk);
    }
    const Command& cmd = *FindCommand(opts.command);

#ifdef _WIN32
    // Windows has one machine root: C:\ProgramData and HKLM, as the library finds them.
    if (opts.root)
        ExitUntouched(ReportToolError(opts.json, cmd.name,
                                      ToolError{kExitUsage, "--root is not available on Windows"}));
#endif
    try {
        if (opts.root) {
            const std::string root = AbsolutePath(*opts.root);
            setenv("VAULTKEEP_ROOT", root.c_str(), 1);
        }
        // A mistyped root would otherwise be laid out afresh by the library's first call.
        const char* root = SecureEnv("VAULTKEEP_ROOT");
        struct stat st;
        if (strcmp(cmd.name, "init") != 0 && root && *root && (stat(root, &st) != 0 || !S_ISDIR(st.st_mode)))
            ExitUntouched(
                ReportToolError(opts.json, cmd.name,
                                ToolError{kExitInput, "the machine root " + std::string(root) +
                                                          " does not exist; lay it out with \"vaultkeep "
                                                          "init\" first"}));
        Context ctx(opts, cmd);
        const int code = cmd.run(ctx);
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fprintf(stderr, "vaultkeep: %s: cannot write to standard output\n", cmd.name);
            return kExitOutput;
        }
        return code;
    } catch (const ToolError& e) {
        return ReportToolError(opts.json, cmd.name, e);
    } catch (const std::bad_alloc&) {
        return ReportToolError(opts.json, cmd.name, ToolError{kExitSoftware, "out of memory"});
    } catch (const std::exception& e) {
        return ReportToolError(opts.json, cmd.name, ToolError{kExitSoftware, e.what()});
    }
}
