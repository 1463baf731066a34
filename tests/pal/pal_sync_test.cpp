// Events, mutexes and waits: in one thread, across threads, across processes.
#include "VkTest.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using vktest::RootTest;
using Clock = std::chrono::steady_clock;

const char16_t kName[] = u"Global\\Mutex{0D3C1E2A-PAL-TEST}";

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

bool WaitForFile(const std::string& path, int ms) {
    for (int i = 0; i < ms / 5; ++i) {
        if (vktest::FileExists(path)) return true;
        usleep(5000);
    }
    return false;
}

/* args: ready file, hold ms (negative: hold until killed), [machine root] */
VK_HELPER(pal_hold_mutex) {
    if (args.size() >= 3) setenv("VAULTKEEP_ROOT", args[2].c_str(), 1);
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    if (!m) return 10;
    if (WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 11;
    vktest::WriteFileBytes(args[0], {1});
    int hold = atoi(args[1].c_str());
    if (hold < 0) {
        for (;;)
            pause();
    }
    Sleep(static_cast<DWORD>(hold));
    if (!ReleaseMutex(m)) return 12;
    CloseHandle(m);
    return 0;
}

TEST_F(RootTest, EventsAutoAndManualReset) {
    HANDLE autoEv = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(autoEv && manual);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(autoEv));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "consumed by the wait";
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "stays set";
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // One setting of an auto-reset event releases exactly one of two waiters.
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(autoEv, 600) == WAIT_OBJECT_0) ++woken;
    };
    std::thread a(waiter), b(waiter);
    Sleep(50);
    SetEvent(autoEv);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 1);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, u"Named"), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    CloseHandle(autoEv);
    CloseHandle(manual);
}

TEST_F(RootTest, MutexOwnershipRecursionAndErrors) {
    SetLastError(0xdeadbeef);
    HANDLE m = CreateMutexW(nullptr, TRUE, kName);
    ASSERT_NE(m, (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE again = CreateMutexW(nullptr, FALSE, kName);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(again, m);
    EXPECT_EQ(WaitForSingleObject(again, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "same mutex, recursion";

    std::thread other([&] {
        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
        EXPECT_EQ(WaitForSingleObject(m, 30), static_cast<DWORD>(WAIT_TIMEOUT));
    });
    other.join();
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(again));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (HANDLE bad : {(HANDLE)NULL, INVALID_HANDLE_VALUE, ev}) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ReleaseMutex(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    for (HANDLE bad : {(HANDLE)NULL, INVALID_HANDLE_VALUE}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        HANDLE pair[2] = {m, bad};
        EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    HANDLE two[2] = {m, ev};
    EXPECT_EQ(WaitForMultipleObjects(0, two, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(2, two, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // A time-out is no failure: the last error is left alone.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);

    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_FALSE(CloseHandle(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(RootTest, ThreadsOfOneProcessSerialise) {
    HANDLE named = CreateMutexW(nullptr, FALSE, kName);
    HANDLE unnamed = CreateMutexW(nullptr, FALSE, nullptr);
    for (HANDLE m : {named, unnamed}) {
        std::atomic<int> inside{0};
        std::atomic<bool> overlap{false};
        int counter = 0;
        auto worker = [&] {
            for (int i = 0; i < 200; ++i) {
                ASSERT_EQ(WaitForSingleObject(m, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
                if (inside.fetch_add(1) != 0) overlap = true;
                int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                inside.fetch_sub(1);
                ASSERT_TRUE(ReleaseMutex(m));
            }
        };
        std::thread t1(worker), t2(worker), t3(worker);
        t1.join();
        t2.join();
        t3.join();
        EXPECT_FALSE(overlap.load());
        EXPECT_EQ(counter, 600);
    }
    CloseHandle(named);
    CloseHandle(unnamed);
}

TEST_F(RootTest, NamedMutexLockFileFollowsTheCurrentRoot) {
    HANDLE m = CreateMutexW(nullptr, FALSE, kName); // made before the root it will lock under
    vktest::FreshRoot later;
    ASSERT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    auto locks = vktest::ListDir(later.host(".pal/locks"));
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0], "Global%5CMutex{0D3C1E2A-PAL-TEST}");
    EXPECT_FALSE(vktest::FileExists(root.host(".pal")));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(vktest::ReadFileBytes(later.host(".pal/locks/" + locks[0])).empty()) << "marker cleared";
    CloseHandle(m);
}

TEST_F(RootTest, ProcessesContendAndTimeOut) {
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    std::string ready = root.host("ready");
    int pid = 0;
    auto start = Clock::now();
    vktest::RunHelper("pal_hold_mutex", {ready, "900"}, &pid, false);
    ASSERT_TRUE(WaitForFile(ready, 3000));
    EXPECT_EQ(WaitForSingleObject(m, 250), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(m, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_GE(MsSince(start), 900);
    EXPECT_EQ(vktest::WaitHelper(pid), 0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST_F(RootTest, ProcessesOnOtherRootsDoNotContend) {
    vktest::FreshRoot otherRoot;
    std::string other = otherRoot.path();
    setenv("VAULTKEEP_ROOT", root.path().c_str(), 1);
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    std::string ready = root.host("ready");
    int pid = 0;
    vktest::RunHelper("pal_hold_mutex", {ready, "600", other}, &pid, false);
    ASSERT_TRUE(WaitForFile(ready, 3000));
    EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(vktest::WaitHelper(pid), 0);
    CloseHandle(m);
}

TEST_F(RootTest, KilledOwnerHandsTheNextWaiterAnAbandonedMutex) {
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    std::string ready = root.host("ready");
    int pid = 0;
    vktest::RunHelper("pal_hold_mutex", {ready, "-1"}, &pid, false);
    ASSERT_TRUE(WaitForFile(ready, 3000));
    EXPECT_EQ(WaitForSingleObject(m, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    kill(pid, SIGKILL);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(m, 3000), static_cast<DWORD>(WAIT_ABANDONED_0));
    EXPECT_LT(MsSince(start), 500);
    vktest::WaitHelper(pid);
    // Ownership came with the abandoned result; once released the mutex is whole again.
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST_F(RootTest, WaitAnyReturnsTheFirstSignalledInArrayOrder) {
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[2] = {m, ev};

    // Both available: the mutex (index 0) is taken, the event left set.
    SetEvent(ev);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_OBJECT_0));

    // The mutex held by another process: the event, set later, wins with index 1.
    std::string ready = root.host("ready");
    int pid = 0;
    vktest::RunHelper("pal_hold_mutex", {ready, "1200"}, &pid, false);
    ASSERT_TRUE(WaitForFile(ready, 3000));
    std::thread setter([&] {
        Sleep(100);
        SetEvent(ev);
    });
    auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 3000), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    EXPECT_LT(MsSince(start), 1000);
    setter.join();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReleaseMutex(m)) << "the mutex was not taken";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_EQ(vktest::WaitHelper(pid), 0);
    CloseHandle(m);
    CloseHandle(ev);
}

TEST(PalProcess, IdsAndClock) {
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    DWORD main = GetCurrentThreadId();
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(main, other);
    EXPECT_EQ(main, GetCurrentThreadId());
    ULONGLONG t0 = GetTickCount64();
    Sleep(30);
    ULONGLONG dt = GetTickCount64() - t0;
    EXPECT_GE(dt, 30u);
    EXPECT_LT(dt, 1000u);
}

} // namespace
