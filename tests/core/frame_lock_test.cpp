/* The process lock and the call frame: cross-process and cross-thread exclusion, the detach wake-up,
 * the log contract and bad input refused before the lock. A dead owner's lock is recovered by every
 * killed run of the export fault matrix (export_fault_test), read back in a fresh process. */
#include "TableFixture.h"
#include "exports/DllMain.h"
#include "exports/Frame.h"
#include "exports/ProcessLock.h"

#include <comdef.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace vktest;
using tabletest::AppKeyExists;
using tabletest::LogCapture;
using Level = diaglog::Level;

namespace {

using Clock = std::chrono::steady_clock;
long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

/* Exit codes of helpers carry a status as 100 + status. */
int ExitOf(LONG status) { return 100 + status; }

const Bytes kSecret = {'s', 'e', 'c', 'r', 'e', 't'};

/* Starts a helper process that holds the lock for `ms` and waits until it has it; returns its pid. */
int HoldLockElsewhere(const FreshRoot& root, int ms) {
    const std::string ready = root.host("ready");
    std::filesystem::remove(ready);
    int pid = 0;
    EXPECT_EQ(RunHelper("hold_lock", {ready, std::to_string(ms)}, &pid, false), 0);
    for (int i = 0; i < 500 && !FileExists(ready); ++i) usleep(10 * 1000);
    EXPECT_TRUE(FileExists(ready));
    return pid;
}

/* The lines of one function: one start first, one return last. */
tabletest::Lines FrameLines(const tabletest::Lines& all, const std::string& fn) {
    auto lines = LogCapture::Of(all, fn);
    EXPECT_GE(lines.size(), 2u) << fn;
    if (lines.size() >= 2) {
        EXPECT_EQ(lines.front().level, Level::Enter);
        EXPECT_EQ(lines.front().text, "start");
        EXPECT_EQ(lines.back().level, Level::Exit);
        EXPECT_EQ(lines.back().text, "return");
    }
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](auto& l) { return l.text == "start" || l.text == "return"; }),
              2);
    return lines;
}

} // namespace

/* ---- helpers run in their own processes ---- */

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
    return ExitOf(RegisterApp(U(args.at(0)).c_str(), secret));
}

/* One thread waits for the lock held elsewhere; the detach must wake it with -6. */
VK_HELPER(detach_wakes_waiter) {
    std::atomic<LONG> status{12345};
    std::thread waiter([&] { status = RegisterApp(W("DetachApp"), ByteArray(kSecret)); });
    usleep(300 * 1000);
    auto t0 = Clock::now();
#ifdef _WIN32 // the entry point is no export there; its detach branch is this
    DetachFunc();
#else
    DllMain(g_hModule, DLL_PROCESS_DETACH, nullptr);
#endif
    waiter.join();
    if (MsSince(t0) > 5000) return 4; // woken by the event, not by the 10000 ms time-out
    if (g_hMutex != nullptr || g_hUnloadEvent != nullptr) return 5;
    return ExitOf(status);
}

/* ---- the lock ---- */

class ProcessLock : public RootTest {};

TEST_F(ProcessLock, HolderPastTheTimeOutMakesTheCallerFailWithoutChangingAnything) {
    int pid = HoldLockElsewhere(root, 12500);
    LogCapture capture;
    auto t0 = Clock::now();
    EXPECT_EQ(RegisterApp(W("Late"), ByteArray(kSecret)), Error_Internal);
    EXPECT_GE(MsSince(t0), 9500);
    EXPECT_LT(MsSince(t0), 12000);
    auto log = capture.Take();
    EXPECT_FALSE(AppKeyExists(W("Late")));
    EXPECT_FALSE(FileExists(root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep/Late")));
    // One error line from the lock, then the exit line; no result line on this path.
    EXPECT_EQ(FrameLines(log, "RegisterApp").size(), 2u);
    auto lock = LogCapture::Of(log, "KsAcquireMutex");
    EXPECT_TRUE(lock.size() == 1 && lock[0].level == Level::Error);
    EXPECT_EQ(g_lMutexHeld, 0);
    EXPECT_EQ(WaitHelper(pid), 0);
}

TEST_F(ProcessLock, ThreadsOfOneProcessSerialiseAndTheHeldMarkStaysRight) {
    // Many hand-overs: a held mark wiped by a racing release would leave one thread owning the
    // mutex and the others timing out.
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
    auto t0 = Clock::now();
    EXPECT_EQ(RunHelper("register_app", {"Free"}), ExitOf(0)) << "nobody in this process still owns it";
    EXPECT_LT(MsSince(t0), 5000);
}

TEST_F(ProcessLock, DetachWakesAWaitingThreadWhichReturnsInternalError) {
    ASSERT_EQ(KsAcquireMutex(), TRUE);
    int code = RunHelper("detach_wakes_waiter");
    ASSERT_TRUE(KsReleaseMutex());
    EXPECT_EQ(code, ExitOf(Error_Internal));
    EXPECT_FALSE(AppKeyExists(W("DetachApp")));
}

/* ---- the frame ---- */

class CallFrame : public RootTest {};

TEST_F(CallFrame, ExceptionInTheBodyGivesInternalErrorAndFreesTheLock) {
    const std::pair<DWORD, std::function<LONG()>> cases[] = {
        {FRAME_LOG_EXCEPTION, []() -> LONG { _com_issue_error(E_POINTER); }},
        {FRAME_LOG_EXCEPTION, []() -> LONG { throw -3; }},
        {0, []() -> LONG { throw static_cast<DWORD>(5); }},
        {0, []() -> LONG { throw std::bad_alloc(); }}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& [flags, body] = cases[i];
        LogCapture capture;
        EXPECT_EQ(CExportFrame("FrameProbe", flags).Run(body), Error_Internal);
        EXPECT_EQ(g_lMutexHeld, 0);
        auto log = capture.Take();
        auto lines = FrameLines(log, "FrameProbe");
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(LogCapture::Has(log, Level::Error, "FrameProbe", "exception"), flags != 0);
        // The result line comes after the exception line and before the exit line.
        EXPECT_EQ(lines[lines.size() - 2].text, "result=-6");
    }
    auto t0 = Clock::now();
    EXPECT_EQ(RunHelper("register_app", {"AfterThrow"}), ExitOf(0))
        << "another process gets the lock at once";
    EXPECT_LT(MsSince(t0), 5000);
}

TEST_F(CallFrame, EveryExportLogsOneStartOneResultAndOneReturn) {
    ByteArray secret(kSecret), data(std::string("data"));
    SAFEARRAY* out = nullptr;
    BSTR text = nullptr;
    const std::pair<const char*, std::function<LONG()>> cases[] = {
        {"RegisterApp", [&] { return RegisterApp(W("LogApp"), secret); }},
        {"AddUser", [&] { return AddUser(W("Nope"), secret, W("u"), W("pw")); }},
        {"QueryListOfUsers", [&] { return QueryListOfUsers(W("Nope"), secret, &text); }},
        {"DeleteUser", [&] { return DeleteUser(W("Nope"), secret, W("u")); }},
        {"StoreCredential",
         [&] { return StoreCredential(W("Nope"), secret, W("u"), W("pw"), W("id"), data, data, data); }},
        {"RetrieveCredentialMetaData",
         [&] { return RetrieveCredentialMetaData(W("Nope"), secret, W("u"), W("id"), &out); }},
        {"RetrieveEncryptedCredentialMetaData",
         [&] { return RetrieveEncryptedCredentialMetaData(W("Nope"), secret, W("u"), W("id"), &out); }},
        {"RetrieveCredential", [&] { return RetrieveCredential(W("Nope"), secret, W("u"), W("pw"), W("id"), &out); }},
        {"QueryUserCreds", [&] { return QueryUserCreds(W("Nope"), secret, W("u"), &text); }},
        {"DeleteCred", [&] { return DeleteCred(W("Nope"), secret, W("u"), W("id")); }},
        {"ChangeUserPassword", [&] { return ChangeUserPassword(W("Nope"), secret, W("u"), W("pw"), W("new")); }},
        {"ChangeAppSecret", [&] { return ChangeAppSecret(W("Nope"), secret, secret); }},
        {"UnRegisterApp", [&] { return UnRegisterApp(W("LogApp"), secret); }}};
    for (const auto& [name, call] : cases) {
        SCOPED_TRACE(name);
        LogCapture capture;
        const std::string result = "result=" + std::to_string(call());
        if (text) SysFreeString(text), text = nullptr;
        if (out) SafeArrayDestroy(out), out = nullptr;
        auto log = capture.Take();
        auto lines = FrameLines(log, name);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.text == result; }), 1);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[lines.size() - 2].text, result);
        EXPECT_EQ(g_lMutexHeld, 0);
    }
}

TEST_F(CallFrame, BadInputIsRefusedBeforeTheLock) {
    int pid = HoldLockElsewhere(root, 5000); // a call that reached for the lock would wait
    ByteArray secret(kSecret), data(std::string("d"));
    SAFEARRAYBOUND bounds2[2] = {{2, 0}, {2, 0}};
    SAFEARRAY* twoDim = SafeArrayCreate(VT_UI1, 2, bounds2);
    SAFEARRAY* words = SafeArrayCreateVector(VT_I4, 0, 2);
    ASSERT_TRUE(twoDim && words);
    SAFEARRAY* out = nullptr;
    BSTR text = nullptr;
    const WString id20(20, W('a')), longPw(VAULTKEEP_MAX_PASSWORD + 1, W('p'));
    struct Case {
        const char *fn, *error; // the error line names the argument
        std::function<LONG()> call;
        LONG status = Error_Internal;
    };
    const Case cases[] = {
        {"RegisterApp", "appName", [&] { return RegisterApp(nullptr, secret); }},
        {"RegisterApp", "appSecret", [&] { return RegisterApp(W("A"), twoDim); }},
        {"DeleteUser", "appSecret", [&] { return DeleteUser(W("A"), words, W("u")); }},
        {"StoreCredential", "credData",
         [&] { return StoreCredential(W("A"), secret, W("u"), W("pw"), W("id"), data, data, twoDim); }},
        {"StoreCredential", "Error_Invalid_ID",
         [&] { return StoreCredential(W("A"), secret, W("u"), W("pw"), id20.c_str(), data, data, data); },
         Error_Invalid_ID},
        {"RetrieveEncryptedCredentialMetaData", "credId",
         [&] { return RetrieveEncryptedCredentialMetaData(W("A"), secret, W("u"), nullptr, &out); }},
        {"RetrieveCredential", "ppCredData",
         [&] { return RetrieveCredential(W("A"), secret, W("u"), W("pw"), W("id"), nullptr); }},
        {"QueryUserCreds", "pCredList", [&] { return QueryUserCreds(W("A"), secret, W("u"), nullptr); }},
        {"ChangeUserPassword", "new password empty",
         [&] { return ChangeUserPassword(W("A"), secret, W("u"), W("pw"), W("")); }, Error_Invalid_Cred},
        {"ChangeUserPassword", "too long",
         [&] { return ChangeUserPassword(W("A"), secret, W("u"), W("pw"), longPw.c_str()); }, Error_Invalid_Cred},
        {"ChangeAppSecret", "newSecret", [&] { return ChangeAppSecret(W("A"), secret, words); }}};

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fn) + " " + c.error);
        LogCapture capture;
        auto t0 = Clock::now();
        EXPECT_EQ(c.call(), c.status);
        EXPECT_LT(MsSince(t0), 1000) << "refused without waiting for the lock";
        auto log = capture.Take();
        auto lines = FrameLines(log, c.fn);
        ASSERT_EQ(lines.size(), 3u) << "start, the error, return: no result line";
        EXPECT_EQ(lines[1].level, Level::Error);
        EXPECT_NE(lines[1].text.find(c.error), std::string::npos) << lines[1].text;
        EXPECT_TRUE(LogCapture::Of(log, "KsAcquireMutex").empty());
    }
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(WaitHelper(pid), 0);
    SafeArrayDestroy(twoDim);
    SafeArrayDestroy(words);
}
