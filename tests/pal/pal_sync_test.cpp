// Events, mutexes and waits: in one thread, across threads and across processes. (The abandoned mutex a
// killed owner leaves is the core's process lock tests'.)
#include "fixtures/PalTest.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace paltest;

const char16_t kName[] = u"Global\\Mutex{0D3C1E2A-PAL-TEST}";

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class SyncTest : public vktest::RootTest {
  protected:
    /* Starts a process that takes the named mutex and holds it for holdMs. */
    int StartHolder(int holdMs, const std::string& machineRoot = "") {
        const std::string ready = root.host("ready");
        std::remove(ready.c_str());
        int pid = 0;
        std::vector<std::string> args = {ready, std::to_string(holdMs)};
        if (!machineRoot.empty()) args.push_back(machineRoot);
        vktest::RunHelper("pal_hold_mutex", args, &pid, false);
        for (int i = 0; i < 600 && !vktest::FileExists(ready); ++i)
            usleep(5000);
        EXPECT_TRUE(vktest::FileExists(ready)) << "the holder never took the mutex";
        return pid;
    }
};

/* args: ready file, hold ms, [machine root] */
VK_HELPER(pal_hold_mutex) {
    if (args.size() >= 3) setenv("VAULTKEEP_ROOT", args[2].c_str(), 1);
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    if (!m || WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 10;
    vktest::WriteFileBytes(args[0], {1});
    Sleep(DWORD(atoi(args[1].c_str())));
    return ReleaseMutex(m) && CloseHandle(m) ? 0 : 12;
}

TEST_F(SyncTest, AutoResetEventWakesOneWaiter) {
    HANDLE autoEv = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(autoEv, (HANDLE)NULL);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(autoEv));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), DWORD(WAIT_TIMEOUT)) << "consumed by the wait";

    // One setting of an auto-reset event releases exactly one of two waiters.
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(autoEv, 600) == WAIT_OBJECT_0) ++woken;
    };
    std::thread threads[] = {std::thread(waiter), std::thread(waiter)};
    Sleep(50);
    SetEvent(autoEv);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(woken.load(), 1);

    EXPECT_EQ(ErrOf(CreateEventW(nullptr, FALSE, FALSE, u"Named") != nullptr), DWORD(ERROR_NOT_SUPPORTED));
    CloseHandle(autoEv);
}

TEST_F(SyncTest, MutexOwnershipRecursionAndErrors) {
    SetLastError(kSentinel);
    HANDLE m = CreateMutexW(nullptr, TRUE, kName);
    ASSERT_NE(m, (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE again = CreateMutexW(nullptr, FALSE, kName);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(again, 0), DWORD(WAIT_OBJECT_0)) << "same mutex, recursion";
    std::thread([&] {
        EXPECT_EQ(ErrOf(ReleaseMutex(m)), DWORD(ERROR_NOT_OWNER));
        EXPECT_EQ(WaitForSingleObject(m, 30), DWORD(WAIT_TIMEOUT));
    }).join();
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(again));
    EXPECT_EQ(ErrOf(ReleaseMutex(m)), DWORD(ERROR_NOT_OWNER));

    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE two[2] = {m, ev};
    EXPECT_EQ(ErrOf(WaitForMultipleObjects(2, two, TRUE, 0) != WAIT_FAILED), DWORD(ERROR_NOT_SUPPORTED));
    // A time-out is no failure: the last error is left alone.
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForSingleObject(ev, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(GetLastError(), kSentinel);

    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_TRUE(CloseHandle(ev));
}

// A holder under another root holds another mutex. (Contention and time-outs within one root are the
// core's process lock tests.)
TEST_F(SyncTest, ProcessesOfAnotherRootHoldAnotherMutex) {
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    vktest::FreshRoot other;
    setenv("VAULTKEEP_ROOT", root.path().c_str(), 1);
    int pid = StartHolder(600, other.path());
    EXPECT_EQ(WaitForSingleObject(m, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(vktest::WaitHelper(pid), 0);
    CloseHandle(m);
}

TEST_F(SyncTest, WaitAnyReturnsTheFirstSignalledInArrayOrder) {
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[2] = {m, ev};
    // Both available: the mutex (index 0) is taken, the event left set.
    SetEvent(ev);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(ev, 0), DWORD(WAIT_OBJECT_0));

    // The mutex held by another process: the event, set later, wins with index 1.
    int pid = StartHolder(1200);
    std::thread setter([&] {
        Sleep(100);
        SetEvent(ev);
    });
    auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 3000), DWORD(WAIT_OBJECT_0 + 1));
    EXPECT_LT(MsSince(start), 1000);
    setter.join();
    EXPECT_FALSE(ReleaseMutex(m)) << "the mutex was not taken";
    EXPECT_EQ(vktest::WaitHelper(pid), 0);
    CloseHandle(m);
    CloseHandle(ev);
}

} // namespace
