#include "ToolHarness.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

namespace vktool_test {

namespace fs = std::filesystem;

#ifdef _WIN32
std::string ToolPath() {
    return fs::path(vktest::SelfPath()).parent_path().generic_string() + "/vaultkeep.exe";
}

/* A temporary file holding `bytes`, at its start, inheritable, removed once closed. */
static HANDLE TempHandle(const std::string& bytes) {
    wchar_t dir[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"vkt", 0, name);
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    DWORD n = 0;
    if (h == INVALID_HANDLE_VALUE || !WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr))
        ADD_FAILURE() << "temp write";
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    return h;
}

static std::string ReadBack(HANDLE h) {
    std::string text;
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    return text;
}

ToolRun RunTool(const std::vector<std::string>& args, const RunOptions& opts) {
    // Every stream goes through a file, so neither side can stall on a full pipe.
    HANDLE in = TempHandle(opts.stdinData), out = TempHandle(""), err = TempHandle("");
    // Descriptors past the standard three reach the child's C runtime as its start-up block
    // describes them: a count, one flag byte per descriptor, then the handles.
    int count = 3;
    for (const auto& [fd, bytes] : opts.fds)
        count = std::max(count, fd + 1);
    std::vector<HANDLE> handles(static_cast<size_t>(count), INVALID_HANDLE_VALUE);
    handles[0] = in, handles[1] = out, handles[2] = err;
    std::vector<HANDLE> extra;
    for (const auto& [fd, bytes] : opts.fds)
        extra.push_back(handles[static_cast<size_t>(fd)] = TempHandle(bytes));
    std::vector<BYTE> block(sizeof(int) + count + count * sizeof(HANDLE));
    memcpy(block.data(), &count, sizeof(int));
    for (int i = 0; i < count; ++i) {
        block[sizeof(int) + i] = handles[i] == INVALID_HANDLE_VALUE ? 0 : 0x01; // open
        memcpy(block.data() + sizeof(int) + count + i * sizeof(HANDLE), &handles[i], sizeof(HANDLE));
    }
    // The child's environment: ours with the additions.
    std::vector<std::pair<std::wstring, std::optional<std::wstring>>> saved; // nullopt: was unset
    for (const auto& [k, v] : opts.env) {
        const std::wstring name = fs::path(k).wstring();
        wchar_t old[32768];
        const DWORD n = GetEnvironmentVariableW(name.c_str(), old, 32768);
        saved.emplace_back(name, n ? std::optional<std::wstring>(std::wstring(old, n)) : std::nullopt);
        SetEnvironmentVariableW(name.c_str(), vktest::U(v).c_str());
    }
    // No console: the tool must never wait at a prompt here. A process that could not be started says
    // nothing about the tool: the failure is shown, and the start tried once more.
    ToolRun run;
    DWORD startError = ERROR_SUCCESS;
    int pid = -1;
    for (int attempt = 0; attempt < 2 && pid < 0; ++attempt) {
        pid = vktest::Spawn(ToolPath(), args, in, out, err, DETACHED_PROCESS, block);
        if (pid < 0) {
            startError = GetLastError();
            fprintf(stderr, "CreateProcessW failed, error %lu\n", startError);
        }
    }
    const bool started = pid >= 0;
    if (started) run.code = vktest::WaitHelper(pid, 120000);
    for (const auto& [name, old] : saved)
        SetEnvironmentVariableW(name.c_str(), old ? old->c_str() : nullptr);
    run.out = ReadBack(out);
    run.err = ReadBack(err);
    if (!started) run.err += "CreateProcessW failed, error " + std::to_string(startError) + "\n";
    for (HANDLE h : {in, out, err})
        CloseHandle(h);
    for (HANDLE h : extra)
        CloseHandle(h);
    return run;
}
#else
std::string ToolPath() {
    const char* dir = getenv("VK_TEST_BIN_DIR");
    return std::string(dir ? dir : ".") + "/bin/vaultkeep";
}

/* An unlinked temporary holding `bytes`, positioned at its start. */
static int TempFd(const std::string& bytes) {
    char name[] = "/tmp/vktool-XXXXXX";
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0) return fd;
    unlink(name);
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        ADD_FAILURE() << "temp write";
    lseek(fd, 0, SEEK_SET);
    return fd;
}

void ExecTool(const std::vector<std::string>& args) {
    const std::string tool = ToolPath();
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
}

ToolRun RunTool(const std::vector<std::string>& args, const RunOptions& opts) {
    // Every stream goes through a file, so neither side can stall on a full pipe.
    const int in = TempFd(opts.stdinData), out = TempFd(""), err = TempFd("");
    std::map<int, int> extra;
    for (const auto& [fd, bytes] : opts.fds)
        extra[fd] = TempFd(bytes);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid(); // no controlling terminal: the tool must never wait at a prompt here
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto& [fd, src] : extra)
            src == fd ? fcntl(fd, F_SETFD, 0) : dup2(src, fd);
        for (const auto& [k, v] : opts.env)
            setenv(k.c_str(), v.c_str(), 1);
        ExecTool(args);
    }
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 12000 && (done = waitpid(pid, &status, WNOHANG)) == 0; ++i)
        usleep(10 * 1000);
    if (done == 0) { // still running after 120 s
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ToolRun run;
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const std::pair<int, std::string*> results[] = {{out, &run.out}, {err, &run.err}};
    for (auto [fd, text] : results) {
        char buf[65536];
        lseek(fd, 0, SEEK_SET);
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            text->append(buf, static_cast<size_t>(n));
    }
    for (int fd : {in, out, err})
        close(fd);
    for (const auto& [fd, src] : extra)
        close(src);
    return run;
}

#endif

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void ToolTest::SetUp() {
    fs::create_directories(root.host("scratch"));
    // A file name beyond ASCII: the tool must open it by its Unicode name on every platform.
    secretFile = File("secr\xc3\xa9t", std::string("app-secret\0\xff bytes", 17));
    otherSecretFile = File("secret2", "another secret");
    passwordFile = File("password", "pa\xc3\x9f word\n"); // UTF-8 text with a trailing line end
    otherPasswordFile = File("password2", "wrong password");
    Ok({"init"});
}

std::string ToolTest::File(const std::string& name, const std::string& bytes) {
    const std::string path = root.host("scratch/" + name);
    vktest::WriteFileBytes(path, vktest::Bytes(bytes.begin(), bytes.end()));
    return path;
}

ToolRun ToolTest::Ok(const std::vector<std::string>& args, const RunOptions& opts) {
    ToolRun r = RunTool(args, opts);
    EXPECT_EQ(r.code, 0) << ::testing::PrintToString(args) << "\nstdout: " << r.out << "\nstderr: " << r.err;
    return r;
}

std::vector<std::string> ToolTest::App(const std::string& app) const {
    return {"--app", app, "--secret-file", secretFile};
}

std::vector<std::string> ToolTest::User(const std::string& user, const std::string& app) const {
    return App(app) + std::vector<std::string>{"--user", user};
}

std::vector<std::string> ToolTest::Cred(const std::string& user, const std::string& id,
                                        const std::string& app) const {
    return User(user, app) + std::vector<std::string>{"--id", id};
}

void ToolTest::Register(const std::string& app) {
    Ok(std::vector<std::string>{"register-app"} + App(app));
}

void ToolTest::StoreText(const std::string& user, const std::string& id, const std::string& data,
                         const std::string& md, const std::string& emd) {
    Ok(std::vector<std::string>{"store"} + Cred(user, id) +
       std::vector<std::string>{"--password-file", passwordFile, "--data-file", File("data-" + id, data),
                                "--metadata-file", File("md-" + id, md), "--protected-metadata-file",
                                File("emd-" + id, emd)});
}

} // namespace vktool_test
