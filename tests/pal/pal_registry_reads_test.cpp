// Registry reads reuse the store version they parsed last only while the file
// is provably the same: every way of changing the store is seen by the next read,
// and a store nobody changed is not read again.
#include "VkTest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "internal/syscalls.h"

namespace {

using vktest::Bytes;
using vktest::U;

const char16_t kKey[] = u"Software\\Reads";

class RegistryReads : public vktest::RootTest {
public:
    std::string Store() const { return root.host("registry/machine.hive"); }

    static void SetText(const std::u16string& value) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(h, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * 2)),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }

    /* The value as a fresh open and query see it; "" when the key or value is missing. */
    static std::u16string Text() {
        HKEY h = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &h) != ERROR_SUCCESS) return u"";
        WCHAR buf[64] = {};
        DWORD cb = sizeof buf - 2;
        LSTATUS st = RegQueryValueExW(h, u"Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb);
        RegCloseKey(h);
        return st == ERROR_SUCCESS ? std::u16string(buf) : u"";
    }

    /* The store with every UTF-16 occurrence of from replaced by to (same length). */
    Bytes Patched(const std::u16string& from, const std::u16string& to) const {
        Bytes b = vktest::ReadFileBytes(Store());
        Bytes f, t;
        for (char16_t c : from) f.insert(f.end(), {uint8_t(c), uint8_t(c >> 8)});
        for (char16_t c : to) t.insert(t.end(), {uint8_t(c), uint8_t(c >> 8)});
        auto it = std::search(b.begin(), b.end(), f.begin(), f.end());
        EXPECT_NE(it, b.end()) << "value not found in the store";
        if (it != b.end()) std::copy(t.begin(), t.end(), it);
        return b;
    }

    /* Rewrites the store in place (same inode), as an editor or a restore would. */
    void WriteInPlace(const Bytes& b) const {
        int fd = open(Store().c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        close(fd);
    }

    void SetTimes(const struct timespec& mtime) const {
        struct timespec times[2] = {mtime, mtime};
        ASSERT_EQ(utimensat(AT_FDCWD, Store().c_str(), times, 0), 0);
    }

    struct timespec ModTime() const {
        struct stat st {};
        EXPECT_EQ(stat(Store().c_str(), &st), 0);
        return st.st_mtim;
    }

    /* Past the window in which a store may change unseen by stat. */
    static void Age() { std::this_thread::sleep_for(std::chrono::milliseconds(250)); }
};

VK_HELPER(reads_set_text) {
    HKEY h = nullptr;
    std::u16string v = U(args.at(0));
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) != 0) return 10;
    LSTATUS st = RegSetValueExW(h, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                                static_cast<DWORD>((v.size() + 1) * 2));
    RegCloseKey(h);
    return st == ERROR_SUCCESS ? 0 : 11;
}

TEST_F(RegistryReads, EveryKindOfChangeIsSeenByTheNextRead) {
    struct Case {
        const char* what;
        bool aged; // the store last changed long before the read that parsed it
        std::function<void(RegistryReads&)> change;
    };
    const Case cases[] = {
        {"set by this process", false, [](RegistryReads&) { SetText(u"bbbb"); }},
        {"set by this process, store aged", true, [](RegistryReads&) { SetText(u"bbbb"); }},
        {"set by another process", true,
         [](RegistryReads&) { ASSERT_EQ(vktest::RunHelper("reads_set_text", {"bbbb"}), 0); }},
        {"same size, in place, at once", false, [](RegistryReads& t) { t.WriteInPlace(t.Patched(u"aaaa", u"bbbb")); }},
        {"same size, in place, store aged", true,
         [](RegistryReads& t) { t.WriteInPlace(t.Patched(u"aaaa", u"bbbb")); }},
        {"in place with the old modification time", true,
         [](RegistryReads& t) {
             const struct timespec old = t.ModTime();
             t.WriteInPlace(t.Patched(u"aaaa", u"bbbb"));
             t.SetTimes(old);
         }},
        {"replaced by an older copy with other bytes", true,
         [](RegistryReads& t) {
             const struct timespec old = t.ModTime();
             vktest::WriteFileBytes(t.Store() + ".x", t.Patched(u"aaaa", u"bbbb"));
             struct timespec times[2] = {old, old};
             utimensat(AT_FDCWD, (t.Store() + ".x").c_str(), times, 0);
             ASSERT_EQ(rename((t.Store() + ".x").c_str(), t.Store().c_str()), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetText(u"aaaa");
        if (c.aged) Age();
        ASSERT_EQ(Text(), u"aaaa"); // parsed and kept
        ASSERT_EQ(Text(), u"aaaa");
        c.change(*this);
        EXPECT_EQ(Text(), u"bbbb");
    }

    // A store that disappears reads as empty; one that comes back is read again.
    SetText(u"aaaa");
    Age();
    ASSERT_EQ(Text(), u"aaaa");
    const Bytes saved = vktest::ReadFileBytes(Store());
    ASSERT_EQ(unlink(Store().c_str()), 0);
    EXPECT_EQ(Text(), u"");
    vktest::WriteFileBytes(Store(), saved);
    EXPECT_EQ(Text(), u"aaaa");
}

TEST_F(RegistryReads, AnUnchangedStoreIsReadOnceForManyQueries) {
    SetText(u"aaaa");
    Age();
    ASSERT_EQ(Text(), u"aaaa");
    PalTestFailSyscall(nullptr, 0, 0); // zero the counters
    for (int i = 0; i < 20; ++i) ASSERT_EQ(Text(), u"aaaa");
    EXPECT_EQ(PalTestSyscallCount("open"), 0u) << "an unchanged store was read again";

    // A store changed moments ago is read (and compared) on every query until it has aged.
    SetText(u"cccc");
    PalTestFailSyscall(nullptr, 0, 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Text(), u"cccc");
    EXPECT_GE(PalTestSyscallCount("open"), 3u);
    Age();
    ASSERT_EQ(Text(), u"cccc");
    PalTestFailSyscall(nullptr, 0, 0);
    ASSERT_EQ(Text(), u"cccc");
    EXPECT_EQ(PalTestSyscallCount("open"), 0u);
    PalTestResetSyscalls();
}

TEST_F(RegistryReads, TwoRootsAreTwoStores) {
    // The same key path in two machine roots: each read answers from its own store.
    SetText(u"aaaa");
    Age();
    ASSERT_EQ(Text(), u"aaaa");
    {
        vktest::FreshRoot other;
        EXPECT_EQ(Text(), u"");
        SetText(u"dddd");
        Age();
        EXPECT_EQ(Text(), u"dddd");
    }
    EXPECT_EQ(Text(), u"aaaa");
}

} // namespace
