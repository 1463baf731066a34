#include "ToolHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace vktool_test {

namespace fs = std::filesystem;

std::string ToolPath() {
    const char* dir = getenv("VK_TEST_BIN_DIR");
    return std::string(dir ? dir : ".") + "/bin/vaultkeep";
}

ToolRun RunTool(const std::vector<std::string>& args, const RunOptions& opts) {
    ToolRun run;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return run;
    // Extra descriptors carry small inputs: fill a pipe before the child starts.
    std::map<int, int> extra;
    for (const auto& [fd, bytes] : opts.fds) {
        int p[2];
        if (pipe2(p, O_CLOEXEC)) return run;
        if (write(p[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return run;
        close(p[1]);
        extra[fd] = p[0];
    }
    const std::string tool = ToolPath();
    const pid_t pid = fork();
    if (pid == 0) {
        setsid(); // no controlling terminal: the tool must never wait at a prompt here
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const auto& [fd, src] : extra) {
            if (src == fd)
                fcntl(fd, F_SETFD, 0);
            else
                dup2(src, fd);
        }
        for (const auto& [k, v] : opts.env)
            setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(tool.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    for (const auto& [fd, src] : extra)
        close(src);

    size_t written = 0;
    if (opts.stdinData.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        struct pollfd pf[3];
        int n = 0;
        if (outOpen) pf[n++] = {out[0], POLLIN, 0};
        if (errOpen) pf[n++] = {err[0], POLLIN, 0};
        if (in[1] >= 0) pf[n++] = {in[1], POLLOUT, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(pf, n, 1000) < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            if (!pf[i].revents) continue;
            if (pf[i].fd == in[1]) {
                const ssize_t w =
                    write(in[1], opts.stdinData.data() + written, opts.stdinData.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == opts.stdinData.size()) {
                    close(in[1]);
                    in[1] = -1;
                }
                continue;
            }
            char buf[65536];
            const ssize_t r = read(pf[i].fd, buf, sizeof buf);
            if (r <= 0) {
                if (pf[i].fd == out[0])
                    outOpen = false;
                else
                    errOpen = false;
                continue;
            }
            (pf[i].fd == out[0] ? run.out : run.err).append(buf, static_cast<size_t>(r));
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::string AppFolder(const vktest::FreshRoot& root, const std::string& app) {
    return root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep/" + app);
}

std::vector<std::string> UserFolders(const vktest::FreshRoot& root, const std::string& app) {
    std::vector<std::string> out;
    for (const std::string& name : vktest::ListDir(AppFolder(root, app)))
        if (fs::is_directory(AppFolder(root, app) + "/" + name))
            out.push_back(AppFolder(root, app) + "/" + name);
    return out;
}

std::vector<std::string> BlobFiles(const std::string& userFolder) {
    std::vector<std::string> out;
    for (const std::string& name : vktest::ListDir(userFolder))
        if (name != "user.bin") out.push_back(userFolder + "/" + name);
    return out;
}

void FlipByte(const std::string& path, size_t offset) {
    vktest::Bytes b = vktest::ReadFileBytes(path);
    ASSERT_LT(offset, b.size()) << path;
    b[offset] ^= 0x01;
    vktest::WriteFileBytes(path, b);
}

std::map<std::string, std::pair<vktest::Bytes, long long>> Snapshot(const std::string& folder) {
    std::map<std::string, std::pair<vktest::Bytes, long long>> snap;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        // The machine-wide lock: every call takes it and leaves its owner's marker there.
        if (it->path().lexically_relative(folder).begin()->string() == ".pal") continue;
        struct stat st;
        if (lstat(it->path().c_str(), &st) != 0) continue;
        const long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        snap[it->path().string()] = {
            S_ISREG(st.st_mode) ? vktest::ReadFileBytes(it->path().string()) : vktest::Bytes(), mtime};
    }
    return snap;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void ToolTest::SetUp() {
    fs::create_directories(root.host("scratch"));
    secretFile = File("secret", std::string("app-secret\0\xff bytes", 17));
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
    std::string joined;
    for (const std::string& a : args)
        joined += a + " ";
    EXPECT_EQ(r.code, 0) << joined << "\nstdout: " << r.out << "\nstderr: " << r.err;
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
