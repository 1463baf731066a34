// The registry: Win32 results, exact names, damaged stores, other processes, and
// when reads see a changed store.
#include "fixtures/PalTest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using namespace paltest;
using vktest::Bytes;
using vktest::U;

class RegistryTest : public vktest::RootTest {
  protected:
    std::string StorePath() const { return root.host("registry/machine.hive"); }
};

TEST_F(RegistryTest, CreateOpenAndBadPaths) {
    DWORD disp = 0;
    RegCloseKey(RegCreate(u"Software\\Vendor\\App", HKEY_LOCAL_MACHINE, &disp));
    EXPECT_EQ(disp, DWORD(REG_CREATED_NEW_KEY));
    // The intermediate key was made; a trailing backslash names the same key.
    HKEY parent = RegCreate(u"Software\\Vendor\\", HKEY_LOCAL_MACHINE, &disp);
    EXPECT_EQ(disp, DWORD(REG_OPENED_EXISTING_KEY));
    HKEY k;
    EXPECT_EQ(RegOpen(HKEY_LOCAL_MACHINE, u"Software\\Missing", k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);

    for (const auto& r : Rows("registry", "path")) {
        SCOPED_TRACE(r[0]);
        const std::u16string path = Wide(r[0]);
        const LSTATUS status = LSTATUS(Num(r[1]));
        HKEY out = nullptr;
        EXPECT_EQ(
            RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
            status);
        RegCloseKey(out);
        EXPECT_EQ(RegOpen(parent, path, out), status);
        RegCloseKey(out);
    }
    RegCloseKey(parent);
}

TEST_F(RegistryTest, ValuesComeBackAsStoredWithWin32Sizes) {
    HKEY h = RegCreate(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App");
    const std::u16string location = u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\App";
    const DWORD cbLocation = DWORD(location.size() * 2 + 2);
    SetLastError(kSentinel);
    ASSERT_EQ(RegSetSz(h, u"Location", location), ERROR_SUCCESS);
    ASSERT_EQ(RegSetDword(h, u"Type", 1), ERROR_SUCCESS);

    // Size query; one byte short gives ERROR_MORE_DATA and the size; exact size gives the bytes, NUL counted.
    DWORD type = 0, cb = 0;
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::make_pair(type, cb), std::make_pair(DWORD(REG_SZ), cbLocation));
    std::vector<BYTE> buf(cbLocation + 1, 0xbd);
    cb = cbLocation - 1;
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, buf.data(), &cb), ERROR_MORE_DATA);
    EXPECT_EQ(std::make_pair(cb, buf[0]), std::make_pair(cbLocation, BYTE(0xbd)));
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, buf.data(), &cb), ERROR_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), location.c_str(), cbLocation), 0);
    EXPECT_EQ(buf[cbLocation], 0xbd);
    DWORD value = 0;
    EXPECT_EQ(RegGetDword(h, u"Type", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);

    // A missing value (names compare exactly) changes no output.
    type = kSentinel;
    cb = 16;
    EXPECT_EQ(RegQueryValueExW(h, u"type", nullptr, &type, buf.data(), &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::make_pair(type, cb), std::make_pair(kSentinel, DWORD(16)));
    // The default value (null name) as COM registrations use it.
    ASSERT_EQ(RegSetSz(h, nullptr, u"default"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(h, u"", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 16u);
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, nullptr, buf.data(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetLastError(), kSentinel); // Reg* return their status and leave the last error alone
    RegCloseKey(h);
}

TEST_F(RegistryTest, AnyNameButBackslashIsItsOwnKeyInsideTheStore) {
    std::vector<std::u16string> names;
    for (const auto& r : Rows("registry", "name"))
        names.push_back(Wide(r[0]));
    HKEY base = RegCreate(u"Software\\Names");
    for (const auto& n : names) {
        DWORD disp = 0;
        HKEY h = RegCreate(n, base, &disp);
        EXPECT_EQ(disp, DWORD(REG_CREATED_NEW_KEY)) << vktest::Narrow(n);
        EXPECT_EQ(RegSetSz(h, u"Name", n), ERROR_SUCCESS);
        RegCloseKey(h);
    }
    for (const auto& n : names) {
        HKEY h;
        ASSERT_EQ(RegOpen(base, n, h), ERROR_SUCCESS);
        WCHAR text[64] = {};
        DWORD cb = sizeof text;
        EXPECT_EQ(RegQueryValueExW(h, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &cb),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(text), n);
        RegCloseKey(h);
    }
    HKEY none;
    EXPECT_EQ(RegOpen(HKEY_LOCAL_MACHINE, u"software\\Names", none), ERROR_FILE_NOT_FOUND);
    RegCloseKey(base);
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"registry"}));
    EXPECT_EQ(vktest::ListDir(root.host("registry")), (std::vector<std::string>{"lock", "machine.hive"}));
}

TEST_F(RegistryTest, DeleteKeyAndDeletedHandles) {
    HKEY parent = RegCreate(u"Software\\Parent");
    HKEY child = RegCreate(u"Software\\Parent\\Child");
    ASSERT_EQ(RegSetDword(child, u"v", 1), ERROR_SUCCESS);
    // A value goes alone and once, and only through a handle that may set values.
    ASSERT_EQ(RegSetDword(child, u"w", 2), ERROR_SUCCESS);
    HKEY reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Parent\\Child", 0, KEY_QUERY_VALUE, &reader), 0);
    EXPECT_EQ(RegDeleteValueW(reader, u"w"), ERROR_ACCESS_DENIED);
    RegCloseKey(reader);
    EXPECT_EQ(RegDeleteValueW(child, u"w"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(child, u"w"), ERROR_FILE_NOT_FOUND);
    DWORD w = 0;
    EXPECT_EQ(RegGetDword(child, u"w", w), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegGetDword(child, u"v", w), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Parent"), ERROR_ACCESS_DENIED); // has a subkey
    EXPECT_EQ(RegDeleteKeyW(parent, u"Child"), ERROR_SUCCESS);

    // The handle to the deleted key is dead, also once a key of the same name exists again.
    DWORD v = 0;
    EXPECT_EQ(RegGetDword(child, u"v", v), ERROR_KEY_DELETED);
    HKEY again = RegCreate(u"Software\\Parent\\Child");
    EXPECT_EQ(RegGetDword(again, u"v", v), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetDword(child, u"v", 3), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    RegCloseKey(again);

    // An empty subkey name deletes the key the handle names; the hive itself stays.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Parent\\Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, u""), ERROR_SUCCESS);
    RegCloseKey(parent);
    HKEY none;
    EXPECT_EQ(RegOpen(HKEY_LOCAL_MACHINE, u"Software\\Parent", none), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, RightsAndBadHandles) {
    RegCloseKey(RegCreate(u"Software\\Keys"));
    HKEY reader, writer;
    ASSERT_EQ(RegOpen(HKEY_LOCAL_MACHINE, u"Software\\Keys", reader, KEY_READ), ERROR_SUCCESS);
    ASSERT_EQ(RegOpen(HKEY_LOCAL_MACHINE, u"Software\\Keys", writer, KEY_SET_VALUE), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(RegSetDword(reader, u"v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetDword(writer, u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegGetDword(writer, u"v", v), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegGetDword(reader, u"v", v), ERROR_SUCCESS);
    RegCloseKey(writer);

    EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reader), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpen(HKEY_CURRENT_USER, u"Software", reader), ERROR_INVALID_HANDLE);
}

// ---- damaged stores, written by hand ------------------------------------------

/* Little-endian fields of the given widths. */
void Put(Bytes& b, std::initializer_list<std::pair<uint64_t, int>> fields) {
    for (auto [v, n] : fields)
        for (int i = 0; i < n; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

TEST_F(RegistryTest, DamagedStoreGivesBadDbAndIsLeftAlone) {
    HKEY h = RegCreate(u"Software\\Vendor");
    ASSERT_EQ(RegSetSz(h, u"Location", u"C:\\ProgramData\\X"), ERROR_SUCCESS);
    RegCloseKey(h);
    const Bytes good = vktest::ReadFileBytes(StorePath());

    std::vector<std::pair<std::string, Bytes>> cases;
    for (size_t n : {size_t(0), size_t(39), size_t(50), good.size() / 2, good.size() - 1})
        cases.push_back({"truncated to " + std::to_string(n), Bytes(good.begin(), good.begin() + n)});
    for (const auto& r : Rows("registry", "patch")) {
        Bytes b = good;
        vktest::PutLe32(b, Num(r[1]), Num(r[2]));
        cases.push_back({r[0], b});
    }
    Bytes trailing = good;
    trailing.push_back(0);
    cases.push_back({"trailing byte", trailing});
    for (const auto& r : Rows("registry", "store"))
        cases.push_back({r[0], Hex(r[1])});
    // A chain of 600 keys "k" below the root, built as the stores above.
    Bytes deep = {'V', 'K', 'R', 'E', 'G', 0x1a, '\r', '\n'};
    Put(deep, {{1, 4}, {40, 4}, {0x1122334455667788ull, 8}, {700, 8}, {601, 4}, {0, 4}, {1, 8}, {0, 8}, {1, 4}});
    Put(deep, {{0, 4}, {0, 4}});
    for (uint32_t i = 0; i < 600; ++i)
        Put(deep, {{2 + i, 8}, {0, 8}, {i + 1 < 600 ? 1u : 0u, 4}, {0, 4}, {1, 4}, {'k', 2}});
    cases.push_back({"nested too deep", deep});

    for (const auto& [why, bytes] : cases) {
        SCOPED_TRACE(why);
        vktest::WriteFileBytes(StorePath(), bytes);
        HKEY k = nullptr;
        DWORD disp = 0;
        SetLastError(kSentinel);
        EXPECT_EQ(RegOpen(HKEY_LOCAL_MACHINE, u"Software\\Vendor", k), ERROR_BADDB);
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &k, &disp),
                  ERROR_BADDB);
        EXPECT_EQ(RegSetDword(HKEY_LOCAL_MACHINE, u"v", 1), ERROR_BADDB);
        EXPECT_EQ(GetLastError(), kSentinel);
        EXPECT_EQ(vktest::ReadFileBytes(StorePath()), bytes); // never overwritten
    }
    vktest::WriteFileBytes(StorePath(), good);
    EXPECT_TRUE(RegHasKey("Software\\Vendor"));
}

// ---- other processes --------------------------------------------------------

/* args: key, prefix, count: per write a value <prefix><i> = i and a subkey, each a read-modify-write */
VK_HELPER(reg_many_writes) {
    HKEY h = RegCreate(U(args.at(0)));
    for (int i = 0; h && i < std::stoi(args.at(2)); ++i) {
        const std::u16string name = U(args.at(1) + std::to_string(i));
        HKEY sub = nullptr;
        if (RegSetDword(h, name.c_str(), i) != ERROR_SUCCESS || !(sub = RegCreate(name, h))) return 11;
        RegCloseKey(sub);
    }
    return h && RegCloseKey(h) == ERROR_SUCCESS ? 0 : 10;
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    const int kWrites = 40;
    int pids[2] = {};
    for (int i : {0, 1})
        vktest::RunHelper("reg_many_writes", {"Software\\Race", i ? "b" : "a", std::to_string(kWrites)},
                          &pids[i], false);
    HKEY mine = RegCreate(u"Software\\Race");
    for (int i = 0; i < kWrites; ++i)
        ASSERT_EQ(RegSetDword(mine, U("c" + std::to_string(i)).c_str(), i), ERROR_SUCCESS);
    for (int pid : pids)
        EXPECT_EQ(vktest::WaitHelper(pid), 0);
    for (const char* prefix : {"a", "b", "c"}) {
        for (int i = 0; i < kWrites; ++i) {
            DWORD v = 999;
            const std::u16string name = U(prefix + std::to_string(i));
            ASSERT_EQ(RegGetDword(mine, name.c_str(), v), ERROR_SUCCESS) << prefix << i;
            EXPECT_EQ(v, DWORD(i));
            HKEY sub;
            EXPECT_EQ(RegOpen(mine, name, sub), *prefix == 'c' ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS)
                << prefix << i;
            RegCloseKey(sub);
        }
    }
    RegCloseKey(mine);
}

// ---- reads ------------------------------------------------------------------
// Reads reuse the store version they parsed last only while the file is provably
// the same: every way of changing the store is seen by the next read.

const char16_t kReadsKey[] = u"Software\\Reads";

/* The value as a fresh open and query see it; "" when the key or value is missing. */
std::u16string ReadText() {
    HKEY h;
    if (RegOpen(HKEY_LOCAL_MACHINE, kReadsKey, h) != ERROR_SUCCESS) return u"";
    WCHAR buf[64] = {};
    DWORD cb = sizeof buf - 2;
    LSTATUS st = RegQueryValueExW(h, u"Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb);
    RegCloseKey(h);
    return st == ERROR_SUCCESS ? std::u16string(buf) : u"";
}

/* Past the window in which a store may change unseen by stat. */
void Age() {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

class RegistryReads : public RegistryTest {
  public:
    void SetText(const std::u16string& value) {
        ASSERT_EQ(RegPutSz(kReadsKey, u"Text", value), ERROR_SUCCESS);
    }

    /* The store with "aaaa" replaced by "bbbb", as written elsewhere at mtime (or now) and renamed in, or
     * rewritten in place (same inode) as an editor or a restore would. */
    void Patch(bool inPlace, bool keepTime) {
        Bytes b = vktest::ReadFileBytes(StorePath());
        const Bytes from = {'a', 0, 'a', 0, 'a', 0, 'a', 0};
        auto it = std::search(b.begin(), b.end(), from.begin(), from.end());
        ASSERT_NE(it, b.end()) << "value not found in the store";
        for (int i = 0; i < 8; i += 2)
            it[i] = 'b';
        struct stat st {};
        ASSERT_EQ(stat(StorePath().c_str(), &st), 0);
        const std::string target = inPlace ? StorePath() : StorePath() + ".x";
        vktest::WriteFileBytes(target, b); // truncated and rewritten: the same inode when in place
        const struct timespec times[2] = {st.st_mtim, st.st_mtim};
        ASSERT_TRUE(!keepTime || utimensat(AT_FDCWD, target.c_str(), times, 0) == 0);
        ASSERT_TRUE(inPlace || rename(target.c_str(), StorePath().c_str()) == 0);
    }
};

TEST_F(RegistryReads, EveryKindOfChangeIsSeenByTheNextRead) {
    const struct {
        const char* what;
        bool aged; // the store last changed long before the read that parsed it
        std::function<void(RegistryReads&)> change;
    } cases[] = {
        {"set by this process", false, [](RegistryReads& t) { t.SetText(u"bbbb"); }},
        {"set by this process, store aged", true, [](RegistryReads& t) { t.SetText(u"bbbb"); }},
        {"same size, in place, at once", false, [](RegistryReads& t) { t.Patch(true, false); }},
        {"same size, in place, store aged", true, [](RegistryReads& t) { t.Patch(true, false); }},
        {"in place with the old modification time", true, [](RegistryReads& t) { t.Patch(true, true); }},
        {"replaced by an older copy with other bytes", true, [](RegistryReads& t) { t.Patch(false, true); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetText(u"aaaa");
        if (c.aged) Age();
        ASSERT_EQ(ReadText(), u"aaaa"); // parsed and kept
        ASSERT_EQ(ReadText(), u"aaaa");
        c.change(*this);
        EXPECT_EQ(ReadText(), u"bbbb");
    }

    // A store that disappears reads as empty; one that comes back is read again.
    SetText(u"aaaa");
    Age();
    ASSERT_EQ(ReadText(), u"aaaa");
    const Bytes saved = vktest::ReadFileBytes(StorePath());
    ASSERT_EQ(unlink(StorePath().c_str()), 0);
    EXPECT_EQ(ReadText(), u"");
    vktest::WriteFileBytes(StorePath(), saved);
    EXPECT_EQ(ReadText(), u"aaaa");
    { // the same key path in another machine root answers from that root's store
        vktest::FreshRoot other;
        EXPECT_EQ(ReadText(), u"");
        SetText(u"dddd");
        Age();
        EXPECT_EQ(ReadText(), u"dddd");
    }
    EXPECT_EQ(ReadText(), u"aaaa");
}

} // namespace
