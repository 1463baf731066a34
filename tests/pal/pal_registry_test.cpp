// The registry: Win32 results, exact names, the store's layout, damaged stores,
// failed writes, and other processes.
#include "VkTest.h"
#include "internal/syscalls.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using vktest::Bytes;
using vktest::U;

constexpr DWORD kSentinel = 0xdeadbeef;

class RegistryTest : public vktest::RootTest {
  protected:
    std::string StorePath() const { return root.host("registry/machine.hive"); }

    HKEY Create(const std::u16string& path, DWORD* disposition = nullptr, HKEY parent = HKEY_LOCAL_MACHINE) {
        HKEY h = nullptr;
        EXPECT_EQ(
            RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, disposition),
            ERROR_SUCCESS)
            << vktest::Narrow(path);
        return h;
    }
    static LSTATUS Open(HKEY parent, const std::u16string& path, HKEY& h, REGSAM rights = KEY_READ) {
        h = reinterpret_cast<HKEY>(0x1);
        return RegOpenKeyExW(parent, path.c_str(), 0, rights, &h);
    }
    // As the core writes strings: the characters and the NUL.
    static LSTATUS SetSz(HKEY h, const WCHAR* name, const std::u16string& text) {
        return RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() * 2 + 2));
    }
    static LSTATUS SetDword(HKEY h, const WCHAR* name, DWORD v) {
        return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    }
    static LSTATUS GetDword(HKEY h, const WCHAR* name, DWORD& v) {
        DWORD cb = 4;
        return RegQueryValueExW(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb);
    }
};

TEST_F(RegistryTest, CreateOpenAndBadPaths) {
    DWORD disp = 0;
    RegCloseKey(Create(u"Software\\Vendor\\App", &disp));
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    // The intermediate key was made; a trailing backslash names the same key.
    HKEY parent = Create(u"Software\\Vendor\\", &disp);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    HKEY k;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Missing", k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);

    const std::pair<std::u16string, LSTATUS> cases[] = {
        {u"App\\Child", ERROR_SUCCESS}, // relative to an open key
        {std::u16string(255, u'n'), ERROR_SUCCESS},
        {std::u16string(256, u'n'), ERROR_INVALID_PARAMETER},
        {u"\\Leading", ERROR_BAD_PATHNAME},
        {u"a\\\\b", ERROR_BAD_PATHNAME},
    };
    for (const auto& [path, status] : cases) {
        SCOPED_TRACE(vktest::Narrow(path));
        HKEY out = nullptr;
        EXPECT_EQ(
            RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
            status);
        RegCloseKey(out);
        EXPECT_EQ(Open(parent, path, out), status);
        RegCloseKey(out);
    }
    RegCloseKey(parent);
}

TEST_F(RegistryTest, ValuesComeBackAsStoredWithWin32Sizes) {
    HKEY h = Create(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App");
    const std::u16string location = u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\App";
    const DWORD cbLocation = static_cast<DWORD>(location.size() * 2 + 2);
    SetLastError(kSentinel);
    ASSERT_EQ(SetSz(h, u"Location", location), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(h, u"Type", 1), ERROR_SUCCESS);

    // Size query; one byte short gives ERROR_MORE_DATA and the size; exact size gives the bytes, NUL counted.
    DWORD type = 0, cb = 0;
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(cb, cbLocation);
    std::vector<BYTE> buf(cbLocation + 1, 0xbd);
    cb = cbLocation - 1;
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, buf.data(), &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, cbLocation);
    EXPECT_EQ(buf[0], 0xbd);
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, buf.data(), &cb), ERROR_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), location.c_str(), cbLocation), 0);
    EXPECT_EQ(buf[cbLocation], 0xbd);
    DWORD value = 0;
    EXPECT_EQ(GetDword(h, u"Type", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);

    // A missing value (names compare exactly) changes no output.
    type = kSentinel;
    cb = 16;
    EXPECT_EQ(RegQueryValueExW(h, u"type", nullptr, &type, buf.data(), &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, kSentinel);
    EXPECT_EQ(cb, 16u);
    // The default value (null name) as COM registrations use it.
    ASSERT_EQ(SetSz(h, nullptr, u"default"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(h, u"", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 16u);
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, nullptr, buf.data(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetLastError(), kSentinel); // Reg* return their status and leave the last error alone
    RegCloseKey(h);
}

TEST_F(RegistryTest, AnyNameButBackslashIsItsOwnKeyInsideTheStore) {
    std::vector<std::u16string> names = {
        u"App",        u"app",  u"..",  u".", u"../../etc", u"/", u"tab\tand\nnewline",
        u"\U0001F511", u"nul:", u"\x01"};
    names.push_back(std::u16string(1, 0xD800));
    HKEY base = Create(u"Software\\Names");
    for (const auto& n : names) {
        DWORD disp = 0;
        HKEY h = Create(n, &disp, base);
        EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY)) << vktest::Narrow(n);
        EXPECT_EQ(SetSz(h, u"Name", n), ERROR_SUCCESS);
        RegCloseKey(h);
    }
    for (const auto& n : names) {
        HKEY h;
        ASSERT_EQ(Open(base, n, h), ERROR_SUCCESS);
        WCHAR text[64] = {};
        DWORD cb = sizeof text;
        EXPECT_EQ(RegQueryValueExW(h, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &cb),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(text), n);
        RegCloseKey(h);
    }
    HKEY none;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"software\\Names", none), ERROR_FILE_NOT_FOUND);
    RegCloseKey(base);
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"registry"}));
    EXPECT_EQ(vktest::ListDir(root.host("registry")), (std::vector<std::string>{"lock", "machine.hive"}));
}

TEST_F(RegistryTest, DeleteKeyAndDeletedHandles) {
    HKEY parent = Create(u"Software\\Parent");
    HKEY child = Create(u"Software\\Parent\\Child");
    ASSERT_EQ(SetDword(child, u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Parent"), ERROR_ACCESS_DENIED); // has a subkey
    EXPECT_EQ(RegDeleteKeyW(parent, u"Child"), ERROR_SUCCESS);

    // The handle to the deleted key is dead, also once a key of the same name exists again.
    DWORD v = 0;
    EXPECT_EQ(GetDword(child, u"v", v), ERROR_KEY_DELETED);
    HKEY again = Create(u"Software\\Parent\\Child");
    EXPECT_EQ(GetDword(again, u"v", v), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetDword(child, u"v", 3), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    RegCloseKey(again);

    // An empty subkey name deletes the key the handle names; the hive itself stays.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Parent\\Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, u""), ERROR_SUCCESS);
    RegCloseKey(parent);
    HKEY none;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Parent", none), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, RightsAndBadHandles) {
    RegCloseKey(Create(u"Software\\Keys"));
    HKEY reader, writer;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Keys", reader, KEY_READ), ERROR_SUCCESS);
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Keys", writer, KEY_SET_VALUE), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(SetDword(reader, u"v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(writer, u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(GetDword(writer, u"v", v), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetDword(reader, u"v", v), ERROR_SUCCESS);
    RegCloseKey(writer);

    int notAKey = 0;
    EXPECT_EQ(GetDword(reinterpret_cast<HKEY>(&notAKey), u"v", v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(reader), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software", reader), ERROR_INVALID_HANDLE);
}

// ---- the store's layout, written independently ---------------------------------

uint64_t Le64(const Bytes& b, size_t off) {
    return vktest::Le32(b, off) | uint64_t(vktest::Le32(b, off + 4)) << 32;
}

/* Little-endian fields of the given widths. */
void Put(Bytes& b, std::initializer_list<std::pair<uint64_t, int>> fields) {
    for (auto [v, n] : fields)
        for (int i = 0; i < n; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutText(Bytes& b, const std::u16string& s) {
    Put(b, {{s.size(), 4}});
    for (char16_t c : s)
        Put(b, {{c, 2}});
}

/* A value: name, type 4, length 4, data. */
Bytes Value(const std::u16string& name, uint32_t type, uint32_t len, const std::u16string& data = u"") {
    Bytes b;
    PutText(b, name);
    Put(b, {{type, 4}, {len, 4}});
    for (char16_t c : data)
        Put(b, {{c, 2}});
    return b;
}

struct HandKey {
    uint64_t id;
    std::u16string name;
    uint32_t nSub, nVal;
};

/* Header: magic, version 1, size 40, store id, next id, key count, reserved. Keys depth first: id, time,
 * subkey count, value count, name; a key's values follow its name (here: the last key's). */
Bytes HandStore(uint64_t nextId, const std::vector<HandKey>& keys, const Bytes& values = {}) {
    Bytes b = {'V', 'K', 'R', 'E', 'G', 0x1a, '\r', '\n'};
    Put(b, {{1, 4}, {40, 4}, {0x1122334455667788ull, 8}, {nextId, 8}, {keys.size(), 4}, {0, 4}});
    for (const HandKey& k : keys) {
        Put(b, {{k.id, 8}, {0, 8}, {k.nSub, 4}, {k.nVal, 4}});
        PutText(b, k.name);
    }
    b.insert(b.end(), values.begin(), values.end());
    return b;
}

TEST_F(RegistryTest, StoreLayoutIsAsDocumented) {
    HKEY h = Create(u"Software\\Vendor");
    ASSERT_EQ(SetDword(h, u"Type", 1), ERROR_SUCCESS);
    RegCloseKey(h);
    const Bytes b = vktest::ReadFileBytes(StorePath());
    ASSERT_EQ(b.size(), 176u);
    // Ids, the store id and times are the store's to choose; everything else is fixed.
    const uint64_t nextId = Le64(b, 24);
    Bytes want =
        HandStore(nextId, {{1, u"", 1, 0}, {Le64(b, 68), u"Software", 1, 0}, {Le64(b, 112), u"Vendor", 0, 1}},
                  Value(u"Type", REG_DWORD, 4, std::u16string{1, 0}));
    for (size_t off : {16, 48, 76, 120})
        std::copy(b.begin() + off, b.begin() + off + 8, want.begin() + off);
    EXPECT_EQ(b, want);
    EXPECT_FALSE(vktest::FileExists(StorePath() + ".new"));

    // A new key takes its id from the header's counter.
    RegCloseKey(Create(u"Software\\New"));
    const Bytes after = vktest::ReadFileBytes(StorePath());
    Bytes name;
    PutText(name, u"New");
    size_t at = std::search(after.begin(), after.end(), name.begin(), name.end()) - after.begin();
    ASSERT_LT(at, after.size());
    EXPECT_EQ(Le64(after, at - 24), nextId);
    EXPECT_EQ(Le64(after, 24), nextId + 1);
}

TEST_F(RegistryTest, DamagedStoreGivesBadDbAndIsLeftAlone) {
    HKEY h = Create(u"Software\\Vendor");
    ASSERT_EQ(SetSz(h, u"Location", u"C:\\ProgramData\\X"), ERROR_SUCCESS);
    RegCloseKey(h);
    const Bytes good = vktest::ReadFileBytes(StorePath());

    std::vector<std::pair<std::string, Bytes>> cases;
    for (size_t n : {size_t(0), size_t(39), size_t(50), good.size() / 2, good.size() - 1})
        cases.push_back({"truncated to " + std::to_string(n), Bytes(good.begin(), good.begin() + n)});
    const std::tuple<const char*, size_t, uint32_t> patches[] = {{"bad magic", 0, 0x47455258},
                                                                 {"version 2", 8, 2},
                                                                 {"header size", 12, 48},
                                                                 {"key count too high", 32, 4},
                                                                 {"key count too low", 32, 2},
                                                                 {"reserved set", 36, 1},
                                                                 {"root id", 40, 2},
                                                                 {"huge subkey count", 56, 0x7FFFFFFF},
                                                                 {"root name not empty", 64, 1}};
    for (const auto& [why, off, v] : patches) {
        Bytes b = good;
        vktest::PutLe32(b, off, v);
        cases.push_back({why, b});
    }
    Bytes trailing = good;
    trailing.push_back(0);
    cases.push_back({"trailing byte", trailing});
    cases.push_back(
        {"repeated sibling name", HandStore(10, {{1, u"", 2, 0}, {2, u"Same", 0, 0}, {3, u"Same", 0, 0}})});
    cases.push_back({"repeated id", HandStore(10, {{1, u"", 2, 0}, {2, u"A", 0, 0}, {2, u"B", 0, 0}})});
    cases.push_back({"backslash in a name", HandStore(10, {{1, u"", 1, 0}, {2, u"a\\b", 0, 0}})});
    cases.push_back({"id beyond the counter", HandStore(10, {{1, u"", 1, 0}, {12, u"A", 0, 0}})});
    cases.push_back({"empty key name", HandStore(10, {{1, u"", 1, 0}, {2, u"", 0, 0}})});
    cases.push_back(
        {"value longer than the file", HandStore(10, {{1, u"", 0, 1}}, Value(u"v", REG_BINARY, 0xFFFFFFF0))});
    Bytes twice = Value(u"v", REG_DWORD, 0);
    twice.insert(twice.end(), twice.begin(), twice.end());
    cases.push_back({"repeated value name", HandStore(10, {{1, u"", 0, 2}}, twice)});
    std::vector<HandKey> deep = {{1, u"", 1, 0}};
    for (uint32_t i = 0; i < 600; ++i)
        deep.push_back({2 + i, u"k", i + 1 < 600 ? 1u : 0u, 0});
    cases.push_back({"nested too deep", HandStore(700, deep)});

    for (const auto& [why, bytes] : cases) {
        SCOPED_TRACE(why);
        vktest::WriteFileBytes(StorePath(), bytes);
        HKEY k = nullptr;
        DWORD disp = 0;
        SetLastError(kSentinel);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_READ, &k), ERROR_BADDB);
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &k, &disp),
                  ERROR_BADDB);
        EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"v", 1), ERROR_BADDB);
        EXPECT_EQ(GetLastError(), kSentinel);
        EXPECT_EQ(vktest::ReadFileBytes(StorePath()), bytes); // never overwritten
    }
    vktest::WriteFileBytes(StorePath(), good);
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
}

TEST_F(RegistryTest, EveryByteFlippedIsHandled) {
    HKEY h = Create(u"Software\\V");
    ASSERT_EQ(SetSz(h, u"L", u"C:\\x"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(h, u"T", 1), ERROR_SUCCESS);
    RegCloseKey(h);
    const Bytes good = vktest::ReadFileBytes(StorePath());
    for (size_t i = 0; i < good.size(); ++i) {
        for (uint8_t x : {uint8_t(0x01), uint8_t(0x80), uint8_t(0xFF)}) {
            Bytes b = good;
            b[i] ^= x;
            vktest::WriteFileBytes(StorePath(), b);
            HKEY k = nullptr;
            LSTATUS st = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\V", 0, KEY_READ, &k);
            // Names, ids, times and data may change harmlessly; structure may not.
            EXPECT_TRUE(st == ERROR_SUCCESS || st == ERROR_BADDB || st == ERROR_FILE_NOT_FOUND)
                << "byte " << i << " ^ " << int(x) << ": " << st;
            if (st == ERROR_SUCCESS) {
                DWORD cb = 0;
                RegQueryValueExW(k, u"L", nullptr, nullptr, nullptr, &cb);
                RegCloseKey(k);
            }
        }
    }
}

TEST_F(RegistryTest, FailedWriteKeepsTheOldStore) {
    HKEY h = Create(u"Software\\Vendor");
    ASSERT_EQ(SetDword(h, u"Old", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegFlushKey(h), ERROR_SUCCESS);
    const Bytes good = vktest::ReadFileBytes(StorePath());
    const std::tuple<const char*, int, LSTATUS> cases[] = {
        {"write", EIO, ERROR_CANTWRITE},
        {"write", ENOSPC, ERROR_DISK_FULL},
        {"fsync", EIO, ERROR_CANTWRITE},
        {"rename", EIO, ERROR_CANTWRITE},
    };
    for (const auto& [call, err, status] : cases) {
        SCOPED_TRACE(std::string(call) + " " + strerror(err));
        PalTestFailSyscall(call, 1, err);
        // The change waits for the flush (or the close), which reports the failure.
        EXPECT_EQ(SetDword(h, u"New", 2), ERROR_SUCCESS);
        EXPECT_EQ(RegFlushKey(h), status);
        PalTestFailSyscall(nullptr, 0, 0);
        EXPECT_EQ(vktest::ReadFileBytes(StorePath()), good);
        EXPECT_FALSE(vktest::FileExists(StorePath() + ".new"));
        DWORD v = 0;
        EXPECT_EQ(GetDword(h, u"New", v), ERROR_FILE_NOT_FOUND);
    }
    PalTestResetSyscalls();
    EXPECT_EQ(SetDword(h, u"New", 2), ERROR_SUCCESS);
    RegCloseKey(h);
}

// ---- other processes --------------------------------------------------------

/* args: key, prefix, count: per write a value <prefix><i> = i and a subkey, each a read-modify-write */
VK_HELPER(reg_many_writes) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, U(args.at(0)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                        nullptr) != 0)
        return 10;
    for (int i = 0; i < std::stoi(args.at(2)); ++i) {
        std::u16string name = U(args.at(1) + std::to_string(i));
        DWORD v = static_cast<DWORD>(i);
        HKEY sub = nullptr;
        if (RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != 0 ||
            RegCreateKeyExW(h, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) != 0)
            return 11;
        RegCloseKey(sub);
    }
    RegCloseKey(h);
    return 0;
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    const int kWrites = 40;
    int pidA = 0, pidB = 0;
    vktest::RunHelper("reg_many_writes", {"Software\\Race", "a", std::to_string(kWrites)}, &pidA, false);
    vktest::RunHelper("reg_many_writes", {"Software\\Race", "b", std::to_string(kWrites)}, &pidB, false);
    HKEY mine = Create(u"Software\\Race");
    for (int i = 0; i < kWrites; ++i)
        ASSERT_EQ(SetDword(mine, U("c" + std::to_string(i)).c_str(), i), ERROR_SUCCESS);
    EXPECT_EQ(vktest::WaitHelper(pidA), 0);
    EXPECT_EQ(vktest::WaitHelper(pidB), 0);
    for (const char* prefix : {"a", "b", "c"}) {
        for (int i = 0; i < kWrites; ++i) {
            DWORD v = 999;
            const std::u16string name = U(prefix + std::to_string(i));
            ASSERT_EQ(GetDword(mine, name.c_str(), v), ERROR_SUCCESS) << prefix << i;
            EXPECT_EQ(v, static_cast<DWORD>(i));
            HKEY sub;
            EXPECT_EQ(Open(mine, name, sub), *prefix == 'c' ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS)
                << prefix << i;
            RegCloseKey(sub);
        }
    }
    RegCloseKey(mine);
}

} // namespace
