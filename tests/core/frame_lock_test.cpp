/* The process lock and the call frame: cross-process and cross-thread
 * exclusion, recovery from a dead owner, the detach wake-up, the log contract
 * and bad input refused before the lock. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include "diaglog_control.h"
#include "exports/Frame.h"
#include <vaultkeep/vaultkeep.h>

#include <comdef.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace vktest;

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

/* Exit codes of helpers carry a status as 100 + status. */
int ExitOf(LONG status) { return 100 + status; }

bool WaitForFile(const std::string& path, int ms) {
    for (int i = 0; i < ms / 10; ++i) {
        if (FileExists(path)) return true;
        usleep(10 * 1000);
    }
    return FileExists(path);
}

struct Captured {
    std::vector<diaglog::CapturedLine> lines;
    std::vector<diaglog::CapturedLine> Of(const std::string& fn) const {
        std::vector<diaglog::CapturedLine> out;
        for (auto& l : lines)
            if (l.function == fn) out.push_back(l);
        return out;
    }
    int Count(const std::string& fn, diaglog::Level level, const std::string& text) const {
        int n = 0;
        for (auto& l : lines)
            if (l.function == fn && l.level == level && l.text == text) ++n;
        return n;
    }
    bool AnyTextStarting(const std::string& fn, const std::string& prefix) const {
        for (auto& l : lines)
            if (l.function == fn && l.text.rfind(prefix, 0) == 0) return true;
        return false;
    }
};

class LogCapture {
public:
    LogCapture() {
        diaglog::Configure("off");
        diaglog::SetCapture(true);
        diaglog::TakeCaptured();
    }
    ~LogCapture() {
        diaglog::SetCapture(false);
        diaglog::TakeCaptured();
    }
    Captured Take() { return Captured{diaglog::TakeCaptured()}; }
};

const Bytes kSecret = {0x73, 0x65, 0x63, 0x72, 0x65, 0x74};

bool AppKeyExists(const std::u16string& app) {
    std::u16string path = u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\" + app;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

} // namespace

/* ---- helpers run in their own processes --------------------------------- */

/* Takes the lock, signals through a file, holds it for args[1] ms, releases. */
VK_HELPER(hold_lock) {
    if (!KsAcquireMutex()) return 2;
    WriteFileBytes(args.at(0), Bytes{1});
    usleep(std::stoi(args.at(1)) * 1000);
    return KsReleaseMutex() ? 0 : 3;
}

/* Runs RegisterApp(args[0]) and reports its status. */
VK_HELPER(register_app) {
    ByteArray secret(kSecret);
    std::u16string app = U(args.at(0));
    return ExitOf(RegisterApp(app.c_str(), secret));
}

/* One thread waits for the lock held elsewhere; the detach must wake it with -6. */
VK_HELPER(detach_wakes_waiter) {
    std::atomic<LONG> status{12345};
    std::thread waiter([&] {
        ByteArray secret(kSecret);
        status = RegisterApp(u"DetachApp", secret);
    });
    usleep(300 * 1000);
    auto t0 = Clock::now();
    DllMain(g_hModule, DLL_PROCESS_DETACH, nullptr);
    waiter.join();
    /* Woken at once by the event, not by the 10000 ms time-out. */
    if (MsSince(t0) > 5000) return 4;
    if (g_hMutex != nullptr || g_hUnloadEvent != nullptr) return 5;
    return ExitOf(status);
}

/* Detaches while no call of this process holds the lock: the lock is left free, never abandoned. */
VK_HELPER(detach_idle) {
    DllMain(g_hModule, DLL_PROCESS_DETACH, nullptr);
    /* A second detach (the loader's, at exit) finds nothing to do. */
    DllMain(g_hModule, DLL_PROCESS_DETACH, nullptr);
    return 0;
}

/* ---- the lock ---------------------------------------------------------------- */

class ProcessLock : public RootTest {};

TEST_F(ProcessLock, AttachMadeBothHandles) {
    EXPECT_NE(g_hMutex, nullptr);
    EXPECT_NE(g_hUnloadEvent, nullptr);
    EXPECT_EQ(g_lMutexHeld, 0);
}

TEST_F(ProcessLock, SecondProcessWaitsUntilTheFirstReleases) {
    ASSERT_EQ(KsAcquireMutex(), TRUE);
    EXPECT_EQ(g_lMutexHeld, 1);
    int pid = 0;
    auto t0 = Clock::now();
    ASSERT_EQ(RunHelper("register_app", {"Waiter"}, &pid, false), 0);
    usleep(1200 * 1000);
    int st = 0;
    EXPECT_EQ(waitpid(pid, &st, WNOHANG), 0) << "the second process must still be waiting";
    EXPECT_FALSE(AppKeyExists(u"Waiter")) << "nothing happens before the lock is obtained";
    ASSERT_TRUE(KsReleaseMutex());
    EXPECT_EQ(g_lMutexHeld, 0);
    EXPECT_EQ(WaitHelper(pid), ExitOf(0));
    EXPECT_GE(MsSince(t0), 1200);
    EXPECT_TRUE(AppKeyExists(u"Waiter"));
}

TEST_F(ProcessLock, HolderPastTheTimeOutMakesTheCallerFailWithoutChangingAnything) {
    std::string ready = root.host("ready");
    int pid = 0;
    ASSERT_EQ(RunHelper("hold_lock", {ready, "12500"}, &pid, false), 0);
    ASSERT_TRUE(WaitForFile(ready, 5000));

    LogCapture capture;
    ByteArray secret(kSecret);
    auto t0 = Clock::now();
    EXPECT_EQ(RegisterApp(u"Late", secret), Error_Internal);
    long long waited = MsSince(t0);
    EXPECT_GE(waited, 9500);
    EXPECT_LT(waited, 12000);
    Captured log = capture.Take();

    EXPECT_FALSE(AppKeyExists(u"Late"));
    EXPECT_FALSE(FileExists(root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep/Late")));
    /* One error line from the lock, then the exit line; no result line on this path. */
    auto lines = log.Of("RegisterApp");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, diaglog::Level::Enter);
    EXPECT_EQ(lines[1].level, diaglog::Level::Exit);
    auto lock = log.Of("KsAcquireMutex");
    ASSERT_EQ(lock.size(), 1u);
    EXPECT_EQ(lock[0].level, diaglog::Level::Error);
    EXPECT_EQ(lock[0].text.rfind("WaitForMultipleObjects() failed. ErrorCode = ", 0), 0u) << lock[0].text;
    EXPECT_EQ(g_lMutexHeld, 0);
    EXPECT_EQ(WaitHelper(pid), 0);
}

TEST_F(ProcessLock, OwnerKilledWhileHoldingDoesNotBlockTheNextCaller) {
    std::string ready = root.host("ready");
    int pid = 0;
    ASSERT_EQ(RunHelper("hold_lock", {ready, "60000"}, &pid, false), 0);
    ASSERT_TRUE(WaitForFile(ready, 5000));
    kill(pid, SIGKILL);
    WaitHelper(pid);

    LogCapture capture;
    ByteArray secret(kSecret);
    auto t0 = Clock::now();
    EXPECT_EQ(RegisterApp(u"AfterDeath", secret), 0);
    EXPECT_LT(MsSince(t0), 5000);
    EXPECT_TRUE(capture.Take().AnyTextStarting("KsAcquireMutex", "WaitForMultipleObjects() found the mutex abandoned"));
    /* The recovered ownership did not outlive the call. */
    EXPECT_EQ(g_lMutexHeld, 0);
    EXPECT_EQ(RunHelper("register_app", {"Next"}), ExitOf(0));
}

TEST_F(ProcessLock, ThreadsOfOneProcessSerialiseAndTheHeldMarkStaysRight) {
    /* Many hand-overs between threads: a held mark wiped by a racing release
     * would leave one thread owning the mutex and the others timing out. */
    std::atomic<int> inside{0}, overlap{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                if (!KsAcquireMutex()) {
                    ++failures;
                    continue;
                }
                if (inside.fetch_add(1) != 0) ++overlap;
                usleep(200);
                inside.fetch_sub(1);
                if (!KsReleaseMutex()) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(overlap.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(g_lMutexHeld, 0);
    /* Nobody in this process still owns it. */
    auto t0 = Clock::now();
    EXPECT_EQ(RunHelper("register_app", {"Free"}), ExitOf(0));
    EXPECT_LT(MsSince(t0), 5000);
}

TEST_F(ProcessLock, DetachWakesAWaitingThreadWhichReturnsInternalError) {
    ASSERT_EQ(KsAcquireMutex(), TRUE);
    int code = RunHelper("detach_wakes_waiter");
    ASSERT_TRUE(KsReleaseMutex());
    EXPECT_EQ(code, ExitOf(Error_Internal));
    EXPECT_FALSE(AppKeyExists(u"DetachApp"));
}

TEST_F(ProcessLock, IdleDetachLeavesTheLockFree) {
    ASSERT_EQ(RunHelper("detach_idle"), 0);
    LogCapture capture;
    ASSERT_EQ(KsAcquireMutex(), TRUE);
    ASSERT_TRUE(KsReleaseMutex());
    /* Not found abandoned: the detach took nothing it did not give back. */
    EXPECT_FALSE(capture.Take().AnyTextStarting("KsAcquireMutex", "WaitForMultipleObjects() found the mutex abandoned"));
}

/* ---- the frame ------------------------------------------------------------------ */

class CallFrame : public RootTest {};

TEST_F(CallFrame, ExceptionInTheBodyGivesInternalErrorAndFreesTheLock) {
    struct Case {
        const char* what;
        DWORD flags;
        std::function<LONG()> body;
    };
    const std::vector<Case> cases = {
        {"com error, logged", FRAME_LOG_EXCEPTION, []() -> LONG { _com_issue_error(E_POINTER); }},
        {"integer -3, logged", FRAME_LOG_EXCEPTION, []() -> LONG { throw -3; }},
        {"system error code, silent", 0, []() -> LONG { throw static_cast<DWORD>(5); }},
        {"bad_alloc, silent", 0, []() -> LONG { throw std::bad_alloc(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture capture;
        LONG status = 0;
        {
            CExportFrame frame("FrameProbe", c.flags);
            status = frame.Run(c.body);
        }
        EXPECT_EQ(status, Error_Internal);
        EXPECT_EQ(g_lMutexHeld, 0);
        Captured log = capture.Take();
        auto lines = log.Of("FrameProbe");
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.front().level, diaglog::Level::Enter);
        EXPECT_EQ(lines.front().text, "start");
        EXPECT_EQ(lines.back().level, diaglog::Level::Exit);
        EXPECT_EQ(lines.back().text, "return");
        EXPECT_EQ(log.Count("FrameProbe", diaglog::Level::Error, "exception"), (c.flags & FRAME_LOG_EXCEPTION) ? 1 : 0);
        EXPECT_EQ(log.Count("FrameProbe", diaglog::Level::Info, "result=-6"), 1);
        /* The result line comes after the exception line and before the exit line. */
        EXPECT_EQ(lines[lines.size() - 2].text, "result=-6");
        /* Another process gets the lock at once. */
        auto t0 = Clock::now();
        EXPECT_EQ(RunHelper("register_app", {"AfterThrow"}), ExitOf(0));
        EXPECT_LT(MsSince(t0), 5000);
        UnRegisterApp(u"AfterThrow", ByteArray(kSecret));
    }
}

TEST_F(CallFrame, EveryExportLogsOneStartAndOneReturn) {
    ByteArray secret(kSecret);
    ByteArray data(std::string("data"));
    struct Case {
        const char* name;
        std::function<LONG()> call;
    };
    SAFEARRAY* out = nullptr;
    BSTR text = nullptr;
    const std::vector<Case> cases = {
        {"RegisterApp", [&] { return RegisterApp(u"LogApp", secret); }},
        {"AddUser", [&] { return AddUser(u"Nope", secret, u"u", u"pw"); }},
        {"QueryListOfUsers", [&] { return QueryListOfUsers(u"Nope", secret, &text); }},
        {"DeleteUser", [&] { return DeleteUser(u"Nope", secret, u"u"); }},
        {"StoreCredential", [&] { return StoreCredential(u"Nope", secret, u"u", u"pw", u"id", data, data, data); }},
        {"RetrieveCredentialMetaData", [&] { return RetrieveCredentialMetaData(u"Nope", secret, u"u", u"id", &out); }},
        {"RetrieveEncryptedCredentialMetaData",
         [&] { return RetrieveEncryptedCredentialMetaData(u"Nope", secret, u"u", u"id", &out); }},
        {"RetrieveCredential", [&] { return RetrieveCredential(u"Nope", secret, u"u", u"pw", u"id", &out); }},
        {"QueryUserCreds", [&] { return QueryUserCreds(u"Nope", secret, u"u", &text); }},
        {"DeleteCred", [&] { return DeleteCred(u"Nope", secret, u"u", u"id"); }},
        {"UnRegisterApp", [&] { return UnRegisterApp(u"LogApp", secret); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture;
        LONG status = c.call();
        if (text) SysFreeString(text), text = nullptr;
        if (out) SafeArrayDestroy(out), out = nullptr;
        Captured log = capture.Take();
        auto lines = log.Of(c.name);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(log.Count(c.name, diaglog::Level::Enter, "start"), 1);
        EXPECT_EQ(log.Count(c.name, diaglog::Level::Exit, "return"), 1);
        EXPECT_EQ(lines.front().level, diaglog::Level::Enter);
        EXPECT_EQ(lines.back().level, diaglog::Level::Exit);
        EXPECT_EQ(log.Count(c.name, diaglog::Level::Info, "result=" + std::to_string(status)), 1);
        EXPECT_EQ(lines[lines.size() - 2].text, "result=" + std::to_string(status));
        EXPECT_EQ(g_lMutexHeld, 0);
    }
}

TEST_F(CallFrame, CredentialIdLengthIsCheckedBeforeTheLock) {
    /* The lock is held elsewhere: a call that reached for it would wait. */
    std::string ready = root.host("ready");
    int pid = 0;
    ASSERT_EQ(RunHelper("hold_lock", {ready, "4000"}, &pid, false), 0);
    ASSERT_TRUE(WaitForFile(ready, 5000));

    ByteArray secret(kSecret), data(std::string("x"));
    const std::u16string id20(20, u'a');
    LogCapture capture;
    auto t0 = Clock::now();
    EXPECT_EQ(StoreCredential(u"App", secret, u"u", u"pw", id20.c_str(), data, data, data), Error_Invalid_ID);
    EXPECT_LT(MsSince(t0), 1500);
    Captured log = capture.Take();
    auto lines = log.Of("StoreCredential");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, diaglog::Level::Enter);
    EXPECT_EQ(lines[1].level, diaglog::Level::Error);
    EXPECT_EQ(lines[1].text, "Error_Invalid_ID");
    EXPECT_EQ(lines[2].level, diaglog::Level::Exit);
    EXPECT_TRUE(log.Of("KsAcquireMutex").empty());
    EXPECT_EQ(WaitHelper(pid), 0);

    /* 19 characters pass the check and reach the body (the application is unknown). */
    const std::u16string id19(19, u'a');
    EXPECT_EQ(StoreCredential(u"App", secret, u"u", u"pw", id19.c_str(), data, data, data), Error_Bad_App);
}

TEST_F(CallFrame, BadInputIsRefusedBeforeTheLockWithInternalError) {
    std::string ready = root.host("ready");
    int pid = 0;
    ASSERT_EQ(RunHelper("hold_lock", {ready, "5000"}, &pid, false), 0);
    ASSERT_TRUE(WaitForFile(ready, 5000));

    ByteArray secret(kSecret), data(std::string("d"));
    SAFEARRAYBOUND bounds2[2] = {{2, 0}, {2, 0}};
    SAFEARRAY* twoDim = SafeArrayCreate(VT_UI1, 2, bounds2);
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 1);
    SAFEARRAY* words = SafeArrayCreateVector(VT_I4, 0, 2);
    ASSERT_TRUE(twoDim && strings && words);
    SAFEARRAY* out = nullptr;
    BSTR text = nullptr;

    struct Case {
        const char* export_;
        const char* arg;
        std::function<LONG()> call;
    };
    const std::vector<Case> cases = {
        {"RegisterApp", "appName", [&] { return RegisterApp(nullptr, secret); }},
        {"RegisterApp", "appSecret", [&] { return RegisterApp(u"A", nullptr); }},
        {"RegisterApp", "appSecret", [&] { return RegisterApp(u"A", twoDim); }},
        {"UnRegisterApp", "appSecret", [&] { return UnRegisterApp(u"A", strings); }},
        {"AddUser", "userName", [&] { return AddUser(u"A", secret, nullptr, u"pw"); }},
        {"AddUser", "password", [&] { return AddUser(u"A", secret, u"u", nullptr); }},
        {"QueryListOfUsers", "pUserList", [&] { return QueryListOfUsers(u"A", secret, nullptr); }},
        {"DeleteUser", "appSecret", [&] { return DeleteUser(u"A", words, u"u"); }},
        {"StoreCredential", "password",
         [&] { return StoreCredential(u"A", secret, u"u", nullptr, u"id", data, data, data); }},
        {"StoreCredential", "metaData",
         [&] { return StoreCredential(u"A", secret, u"u", u"pw", u"id", nullptr, data, data); }},
        {"StoreCredential", "encMetaData",
         [&] { return StoreCredential(u"A", secret, u"u", u"pw", u"id", data, words, data); }},
        {"StoreCredential", "credData",
         [&] { return StoreCredential(u"A", secret, u"u", u"pw", u"id", data, data, twoDim); }},
        {"StoreCredential", "credId",
         [&] { return StoreCredential(u"A", secret, u"u", u"pw", nullptr, data, data, data); }},
        {"RetrieveCredentialMetaData", "ppMetaData",
         [&] { return RetrieveCredentialMetaData(u"A", secret, u"u", u"id", nullptr); }},
        {"RetrieveEncryptedCredentialMetaData", "credId",
         [&] { return RetrieveEncryptedCredentialMetaData(u"A", secret, u"u", nullptr, &out); }},
        {"RetrieveCredential", "ppCredData", [&] { return RetrieveCredential(u"A", secret, u"u", u"pw", u"id", nullptr); }},
        {"QueryUserCreds", "pCredList", [&] { return QueryUserCreds(u"A", secret, u"u", nullptr); }},
        {"DeleteCred", "userName", [&] { return DeleteCred(u"A", secret, nullptr, u"id"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.export_) + " " + c.arg);
        LogCapture capture;
        auto t0 = Clock::now();
        EXPECT_EQ(c.call(), Error_Internal);
        EXPECT_LT(MsSince(t0), 1000) << "refused without waiting for the lock";
        Captured log = capture.Take();
        auto lines = log.Of(c.export_);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].level, diaglog::Level::Enter);
        EXPECT_EQ(lines[1].level, diaglog::Level::Error);
        EXPECT_NE(lines[1].text.find(c.arg), std::string::npos) << lines[1].text;
        EXPECT_EQ(lines[2].level, diaglog::Level::Exit);
        EXPECT_TRUE(log.Of("KsAcquireMutex").empty());
    }
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(WaitHelper(pid), 0);
    SafeArrayDestroy(twoDim);
    SafeArrayDestroy(strings);
    SafeArrayDestroy(words);
}

TEST_F(CallFrame, RetrieveCredentialClearsItsOutPointerFirst) {
    ByteArray secret(kSecret);
    SAFEARRAY* out = reinterpret_cast<SAFEARRAY*>(0x1234);
    EXPECT_EQ(RetrieveCredential(u"Unknown", secret, u"u", u"pw", u"id", &out), Error_Bad_App);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<SAFEARRAY*>(0x1234);
    EXPECT_EQ(RetrieveCredential(u"Unknown", secret, nullptr, u"pw", u"id", &out), Error_Internal);
    EXPECT_EQ(out, nullptr);
}

TEST_F(CallFrame, ComApartmentOfTheCallerIsLeftAsItWas) {
    /* A thread in the other apartment model: the frame's CoInitialize fails
     * there, so the frame must not uninitialise the caller's apartment. */
    std::thread t([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ByteArray secret(kSecret);
        EXPECT_EQ(RegisterApp(u"MtaApp", secret), 0);
        /* Still initialised once: a further init is a nested one. */
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
        /* And a thread without COM leaves the call without it. */
    });
    t.join();
    std::thread t2([] {
        ByteArray secret(kSecret);
        EXPECT_EQ(RegisterApp(u"StaApp", secret), 0);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "the frame left its apartment behind";
        CoUninitialize();
    });
    t2.join();
}

