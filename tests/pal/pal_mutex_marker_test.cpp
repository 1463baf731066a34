// The owner marker in a named mutex's lock file: what a release leaves reads as
// free, what a dead owner leaves reads as abandoned, and a release keeps the
// file's size (no truncation on every call).
#include "VkTest.h"

#include <sys/stat.h>

#include <string>

namespace {

const char16_t kName[] = u"Global\\Mutex{6B1F00D5-MARKER-TEST}";
const char kFile[] = ".pal/locks/Global%5CMutex{6B1F00D5-MARKER-TEST}";

class MutexMarker : public vktest::RootTest {};

TEST_F(MutexMarker, WhatTheLockFileHoldsDecidesAbandonment) {
    HANDLE m = CreateMutexW(nullptr, FALSE, kName);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0)); // makes the file
    ASSERT_TRUE(ReleaseMutex(m));

    struct Case {
        const char* what;
        std::string content;
        DWORD expected;
    } cases[] = {
        {"empty (new, or truncated by an older release)", "", WAIT_OBJECT_0},
        {"released: a NUL first", std::string("\0" "4242 7\n", 8), WAIT_OBJECT_0},
        {"a dead owner's marker", "4242 7\n", WAIT_ABANDONED_0},
        {"any other first byte", "x", WAIT_ABANDONED_0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vktest::WriteFileBytes(root.host(kFile), vktest::Bytes(c.content.begin(), c.content.end()));
        EXPECT_EQ(WaitForSingleObject(m, 0), c.expected);
        // The owner's marker is in place while it holds the mutex ...
        vktest::Bytes held = vktest::ReadFileBytes(root.host(kFile));
        const std::string mine = std::to_string(getpid()) + " ";
        ASSERT_GE(held.size(), mine.size());
        EXPECT_EQ(std::string(held.begin(), held.begin() + static_cast<ptrdiff_t>(mine.size())), mine);
        EXPECT_TRUE(ReleaseMutex(m));
        // ... and a release leaves the file whole, its first byte a NUL.
        vktest::Bytes after = vktest::ReadFileBytes(root.host(kFile));
        ASSERT_EQ(after.size(), held.size());
        EXPECT_EQ(after[0], 0);
        EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "a release reads as free";
        EXPECT_TRUE(ReleaseMutex(m));
    }
    CloseHandle(m);
}

} // namespace
