// The registry: Win32 results with sentinels, exact names, persistence across
// processes, concurrent writers, and damaged store files.
#include "VkTest.h"
#include "internal/syscalls.h"

#include <sys/stat.h>

#include <cerrno>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using vktest::Bytes;
using vktest::U;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr BYTE kFill = 0xbd;

class RegistryTest : public vktest::RootTest {
protected:
    std::string StorePath() const { return root.host("registry/machine.hive"); }

    HKEY Create(const std::u16string& path, DWORD* disposition = nullptr) {
        HKEY h = nullptr;
        DWORD disp = 0;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &h, &disp),
                  ERROR_SUCCESS)
            << vktest::Narrow(path);
        if (disposition) *disposition = disp;
        return h;
    }
    static LSTATUS SetSz(HKEY h, const WCHAR* name, const std::u16string& text) {
        // As the core writes it: the characters and the NUL, length x 2 + 2 bytes.
        return RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() * 2 + 2));
    }
    static LSTATUS SetDword(HKEY h, const WCHAR* name, DWORD v) {
        return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    }
    static std::vector<std::u16string> Subkeys(HKEY h) {
        std::vector<std::u16string> names;
        for (DWORD i = 0;; ++i) {
            WCHAR name[300];
            DWORD cch = 300;
            LSTATUS st = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (st == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(st, ERROR_SUCCESS);
            if (st != ERROR_SUCCESS) break;
            EXPECT_EQ(cch, static_cast<DWORD>(std::char_traits<char16_t>::length(name)));
            names.emplace_back(name, cch);
        }
        return names;
    }
};

TEST_F(RegistryTest, CreateOpenDisposition) {
    DWORD disp = 0;
    HKEY h = Create(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App", &disp);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(h);
    h = Create(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App", &disp);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(h);

    // Intermediate keys were made; a trailing backslash names the same key.
    for (const char16_t* path : {u"Software", u"Software\\Tarnwick Systems Corp.", u"Software\\Tarnwick Systems Corp.\\"}) {
        HKEY k = reinterpret_cast<HKEY>(0x1);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    }
    HKEY k = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Missing", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);

    // Creating relative to an open key, and relative paths that are malformed.
    HKEY parent = Create(u"Software");
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExW(parent, u"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, &disp), ERROR_SUCCESS);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(child);
    struct Bad {
        std::u16string path;
        LSTATUS status;
    } bad[] = {
        {u"\\Leading", ERROR_BAD_PATHNAME},
        {u"a\\\\b", ERROR_BAD_PATHNAME},
        {std::u16string(256, u'n'), ERROR_INVALID_PARAMETER},
    };
    for (const auto& b : bad) {
        HKEY out = nullptr;
        EXPECT_EQ(RegCreateKeyExW(parent, b.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, &disp),
                  b.status);
        EXPECT_EQ(RegOpenKeyExW(parent, b.path.c_str(), 0, KEY_READ, &out), b.status);
    }
    HKEY ok = nullptr;
    std::u16string longest(255, u'n');
    EXPECT_EQ(RegCreateKeyExW(parent, longest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &ok, &disp),
              ERROR_SUCCESS);
    RegCloseKey(ok);
    RegCloseKey(parent);
}

TEST_F(RegistryTest, ValueSizesWithSentinels) {
    HKEY h = Create(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App");
    std::u16string location = u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\App";
    const DWORD cbLocation = static_cast<DWORD>(location.size() * 2 + 2);
    SetLastError(kSentinel);
    ASSERT_EQ(SetSz(h, u"Location", location), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(h, u"Type", 1), ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), kSentinel); // Reg* leave the last error alone

    // Size query with no buffer.
    DWORD type = kSentinel, cb = kSentinel;
    SetLastError(kSentinel);
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(cb, cbLocation);
    EXPECT_EQ(GetLastError(), kSentinel);

    // One byte short: ERROR_MORE_DATA, the size needed, the buffer untouched.
    std::vector<BYTE> buf(cbLocation + 1, kFill);
    type = kSentinel;
    cb = cbLocation - 1;
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, buf.data(), &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, cbLocation);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(buf[0], kFill);

    // Exact size: the bytes as stored, NUL included, nothing written past them.
    cb = cbLocation;
    EXPECT_EQ(RegQueryValueExW(h, u"Location", nullptr, &type, buf.data(), &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, cbLocation);
    EXPECT_EQ(memcmp(buf.data(), location.c_str(), cbLocation), 0);
    EXPECT_EQ(buf[cbLocation], kFill);

    DWORD value = kSentinel;
    cb = 4;
    EXPECT_EQ(RegQueryValueExW(h, u"Type", nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 1u);

    // A missing value changes none of the outputs.
    type = kSentinel;
    cb = 16;
    std::fill(buf.begin(), buf.end(), kFill);
    EXPECT_EQ(RegQueryValueExW(h, u"type", nullptr, &type, buf.data(), &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, kSentinel);
    EXPECT_EQ(cb, 16u);
    EXPECT_EQ(buf[0], kFill);

    // Data without a size is a parameter error; type alone is fine.
    EXPECT_EQ(RegQueryValueExW(h, u"Type", nullptr, nullptr, buf.data(), nullptr), ERROR_INVALID_PARAMETER);
    type = kSentinel;
    EXPECT_EQ(RegQueryValueExW(h, u"Type", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    // Values stay as stored: an unterminated REG_SZ comes back unterminated.
    ASSERT_EQ(RegSetValueExW(h, u"Raw", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"ab"), 4), ERROR_SUCCESS);
    cb = 0;
    EXPECT_EQ(RegQueryValueExW(h, u"Raw", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 4u);

    // The default value: a null or an empty name.
    ASSERT_EQ(SetSz(h, nullptr, u"default"), ERROR_SUCCESS);
    cb = static_cast<DWORD>(buf.size());
    EXPECT_EQ(RegQueryValueExW(h, u"", nullptr, &type, buf.data(), &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 16u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buf.data())), u"default");

    // Overwrite, delete.
    ASSERT_EQ(SetDword(h, u"Type", 7), ERROR_SUCCESS);
    cb = 4;
    EXPECT_EQ(RegQueryValueExW(h, u"Type", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &cb), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    SetLastError(kSentinel);
    EXPECT_EQ(RegDeleteValueW(h, u"Type"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(h, u"Type"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(RegQueryValueExW(h, u"Type", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);

    // Bad arguments.
    EXPECT_EQ(RegSetValueExW(h, u"x", 1, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(h, u"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(h, u"Location", &reserved, nullptr, nullptr, &cb), ERROR_INVALID_PARAMETER);
    RegCloseKey(h);
}

TEST_F(RegistryTest, NamesCompareExactly) {
    HKEY upper = Create(u"Software\\App");
    HKEY lower = Create(u"Software\\app");
    ASSERT_EQ(SetDword(upper, u"Type", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(lower, u"Type", 2), ERROR_SUCCESS);
    DWORD v = 0, cb = 4;
    EXPECT_EQ(RegQueryValueExW(upper, u"Type", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(RegQueryValueExW(lower, u"Type", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(RegQueryValueExW(upper, u"TYPE", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    HKEY none = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\APP", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\App", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
    HKEY software = Create(u"Software");
    EXPECT_EQ(Subkeys(software), (std::vector<std::u16string>{u"App", u"app"}));
    RegCloseKey(software);
    RegCloseKey(upper);
    RegCloseKey(lower);
}

TEST_F(RegistryTest, AnyCharacterButBackslashStaysInsideTheStore) {
    std::vector<std::u16string> names = {
        u"..", u".", u"a/b", u"../../etc", u"/", u" spaced name ", u"tab\tand\nnewline", u"\u00e9t\u00e9",
        u"\U0001F511", u"con", u"nul:", u"*?<>|\"", std::u16string(1, 0x01), std::u16string(1, 0xD800)};
    HKEY base = Create(u"Software\\Names");
    for (const auto& n : names) {
        HKEY h = nullptr;
        DWORD disp = 0;
        ASSERT_EQ(RegCreateKeyExW(base, n.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, &disp), ERROR_SUCCESS)
            << vktest::Narrow(n);
        EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
        EXPECT_EQ(SetSz(h, u"Name", n), ERROR_SUCCESS);
        RegCloseKey(h);
    }
    // Each name is its own key and reads back exactly.
    std::vector<std::u16string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(Subkeys(base), sorted);
    for (const auto& n : names) {
        HKEY h = nullptr;
        ASSERT_EQ(RegOpenKeyExW(base, n.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
        WCHAR text[64] = {};
        DWORD cb = sizeof text;
        EXPECT_EQ(RegQueryValueExW(h, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &cb), ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(text), n);
        RegCloseKey(h);
    }
    RegCloseKey(base);
    // Nothing was made outside the store's folder, and nothing but the store in it.
    EXPECT_EQ(vktest::ListDir(root.path()), (std::vector<std::string>{"registry"}));
    EXPECT_EQ(vktest::ListDir(root.host("registry")), (std::vector<std::string>{"lock", "machine.hive"}));
}

TEST_F(RegistryTest, DeleteKeyAndDeletedHandles) {
    HKEY parent = Create(u"Software\\Parent");
    HKEY child = Create(u"Software\\Parent\\Child");
    ASSERT_EQ(SetDword(child, u"v", 1), ERROR_SUCCESS);

    SetLastError(kSentinel);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Parent"), ERROR_ACCESS_DENIED); // has a subkey
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(parent, u"Child"), ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), kSentinel);

    // The open handle to the deleted key is dead on every use, but closes.
    DWORD cb = 4, v = 0;
    EXPECT_EQ(RegQueryValueExW(child, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(child, u"v", 2), ERROR_KEY_DELETED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(child, u"x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_KEY_DELETED);
    // A new key of the same name is a different key.
    HKEY again = Create(u"Software\\Parent\\Child");
    EXPECT_EQ(RegQueryValueExW(again, u"v", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetDword(child, u"v", 3), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    RegCloseKey(again);

    // An empty subkey name deletes the key the handle names.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Parent\\Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, u""), ERROR_SUCCESS);
    EXPECT_EQ(RegEnumKeyExW(parent, 0, nullptr, &cb, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(parent);
    HKEY none = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Parent", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED); // the hive itself
}

TEST_F(RegistryTest, EnumerationAndHandleKinds) {
    HKEY base = Create(u"Software\\Enum");
    for (const char16_t* n : {u"b", u"a", u"ccc"}) RegCloseKey(Create(u"Software\\Enum\\" + std::u16string(n)));
    EXPECT_EQ(Subkeys(base), (std::vector<std::u16string>{u"a", u"b", u"ccc"}));

    WCHAR name[4];
    std::fill(std::begin(name), std::end(name), 0xbdbd);
    DWORD cch = 3; // "ccc" needs 4 with its NUL
    EXPECT_EQ(RegEnumKeyExW(base, 2, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(name[0], 0xbdbd);
    cch = 4;
    FILETIME ft = {};
    EXPECT_EQ(RegEnumKeyExW(base, 2, name, &cch, nullptr, nullptr, nullptr, &ft), ERROR_SUCCESS);
    EXPECT_EQ(cch, 3u);
    EXPECT_EQ(std::u16string(name), u"ccc");
    EXPECT_NE(ft.dwHighDateTime, 0u);
    cch = 4;
    EXPECT_EQ(RegEnumKeyExW(base, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    // Rights: a key opened for reading cannot be written.
    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Enum", 0, KEY_READ, &reader), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(reader, u"v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader, u"v"), ERROR_ACCESS_DENIED);
    HKEY writer = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Enum", 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(writer, u"v", 1), ERROR_SUCCESS);
    DWORD cb = 4;
    EXPECT_EQ(RegQueryValueExW(writer, u"v", nullptr, nullptr, nullptr, &cb), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExW(reader, u"v", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
    RegCloseKey(reader);
    RegCloseKey(writer);

    // Handles of the wrong kind, closed handles and other hives.
    int notAKey = 0;
    HKEY bogus = reinterpret_cast<HKEY>(&notAKey);
    SetLastError(kSentinel);
    EXPECT_EQ(RegQueryValueExW(bogus, u"v", nullptr, nullptr, nullptr, &cb), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(base), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(base), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(base, u"v", 1), ERROR_INVALID_HANDLE);
    HKEY out = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

// ---- the store's layout, read independently ---------------------------------

struct StoreKey {
    uint64_t id = 0;
    std::u16string name;
    std::vector<std::pair<std::u16string, std::pair<uint32_t, Bytes>>> values;
    std::vector<StoreKey> subkeys;
};

uint64_t Le64(const Bytes& b, size_t off) { return vktest::Le32(b, off) | uint64_t(vktest::Le32(b, off + 4)) << 32; }

std::u16string Text(const Bytes& b, size_t& off) {
    uint32_t n = vktest::Le32(b, off);
    off += 4;
    std::u16string s;
    for (uint32_t i = 0; i < n; ++i) s.push_back(static_cast<char16_t>(b.at(off + 2 * i) | b.at(off + 2 * i + 1) << 8));
    off += 2 * n;
    return s;
}

StoreKey ReadKey(const Bytes& b, size_t& off) {
    StoreKey k;
    k.id = Le64(b, off);
    uint32_t nSub = vktest::Le32(b, off + 16), nVal = vktest::Le32(b, off + 20);
    off += 24;
    k.name = Text(b, off);
    for (uint32_t i = 0; i < nVal; ++i) {
        std::u16string name = Text(b, off);
        uint32_t type = vktest::Le32(b, off), len = vktest::Le32(b, off + 4);
        off += 8;
        k.values.push_back({name, {type, Bytes(b.begin() + off, b.begin() + off + len)}});
        off += len;
    }
    for (uint32_t i = 0; i < nSub; ++i) k.subkeys.push_back(ReadKey(b, off));
    return k;
}

void PutText(Bytes& b, const std::u16string& s) {
    size_t at = b.size();
    b.resize(at + 4);
    vktest::PutLe32(b, at, static_cast<uint32_t>(s.size()));
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
}

void Put32(Bytes& b, uint32_t v) {
    size_t at = b.size();
    b.resize(at + 4);
    vktest::PutLe32(b, at, v);
}

void Put64(Bytes& b, uint64_t v) {
    Put32(b, static_cast<uint32_t>(v));
    Put32(b, static_cast<uint32_t>(v >> 32));
}

Bytes Header(uint64_t nextId, uint32_t keys) {
    Bytes b = {'V', 'K', 'R', 'E', 'G', 0x1a, '\r', '\n'};
    Put32(b, 1);
    Put32(b, 40);
    Put64(b, 0x1122334455667788ull);
    Put64(b, nextId);
    Put32(b, keys);
    Put32(b, 0);
    return b;
}

void PutKey(Bytes& b, uint64_t id, const std::u16string& name, uint32_t nSub, uint32_t nVal) {
    Put64(b, id);
    Put64(b, 0);
    Put32(b, nSub);
    Put32(b, nVal);
    PutText(b, name);
}

TEST_F(RegistryTest, StoreLayoutIsAsDocumented) {
    HKEY h = Create(u"Software\\Vendor");
    ASSERT_EQ(SetDword(h, u"Type", 1), ERROR_SUCCESS);
    RegCloseKey(h);
    Bytes b = vktest::ReadFileBytes(StorePath());
    ASSERT_GE(b.size(), 40u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 8), std::string("VKREG\x1a\r\n", 8));
    EXPECT_EQ(vktest::Le32(b, 8), 1u);
    EXPECT_EQ(vktest::Le32(b, 12), 40u);
    EXPECT_EQ(vktest::Le32(b, 32), 3u); // root, Software, Vendor
    size_t off = 40;
    StoreKey rootKey = ReadKey(b, off);
    EXPECT_EQ(off, b.size());
    EXPECT_EQ(rootKey.id, 1u);
    EXPECT_TRUE(rootKey.name.empty());
    ASSERT_EQ(rootKey.subkeys.size(), 1u);
    EXPECT_EQ(rootKey.subkeys[0].name, u"Software");
    ASSERT_EQ(rootKey.subkeys[0].subkeys.size(), 1u);
    const StoreKey& vendor = rootKey.subkeys[0].subkeys[0];
    EXPECT_EQ(vendor.name, u"Vendor");
    EXPECT_LT(vendor.id, Le64(b, 24));
    ASSERT_EQ(vendor.values.size(), 1u);
    EXPECT_EQ(vendor.values[0].first, u"Type");
    EXPECT_EQ(vendor.values[0].second.first, static_cast<uint32_t>(REG_DWORD));
    EXPECT_EQ(vendor.values[0].second.second, (Bytes{1, 0, 0, 0}));
    EXPECT_FALSE(vktest::FileExists(StorePath() + ".new"));
}

TEST_F(RegistryTest, HandMadeStoreIsRead) {
    // A store written by hand after the documented layout is understood.
    Bytes b = Header(10, 3);
    PutKey(b, 1, u"", 1, 0);
    PutKey(b, 4, u"Software", 1, 0);
    PutKey(b, 7, u"Vendor", 0, 1);
    PutText(b, u"Install Path");
    Put32(b, REG_SZ);
    Put32(b, 8);
    for (char16_t c : std::u16string(u"C:\\X")) b.insert(b.end(), {uint8_t(c), uint8_t(c >> 8)});
    mkdir(root.host("registry").c_str(), 0755);
    vktest::WriteFileBytes(StorePath(), b);
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_QUERY_VALUE, &h), ERROR_SUCCESS);
    WCHAR text[8] = {};
    DWORD cb = sizeof text, type = 0;
    EXPECT_EQ(RegQueryValueExW(h, u"Install Path", nullptr, &type, reinterpret_cast<BYTE*>(text), &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 8u); // unterminated as stored
    EXPECT_EQ(std::u16string(text, 4), u"C:\\X");
    RegCloseKey(h);
    // New keys get ids from the header's counter.
    RegCloseKey(Create(u"Software\\New"));
    size_t off = 40;
    Bytes after = vktest::ReadFileBytes(StorePath());
    StoreKey rootKey = ReadKey(after, off);
    EXPECT_EQ(rootKey.subkeys[0].subkeys[0].name, u"New");
    EXPECT_EQ(rootKey.subkeys[0].subkeys[0].id, 10u);
    EXPECT_EQ(Le64(after, 24), 11u);
}

TEST_F(RegistryTest, DamagedStoreGivesBadDbAndIsLeftAlone) {
    HKEY h = Create(u"Software\\Vendor");
    ASSERT_EQ(SetSz(h, u"Location", u"C:\\ProgramData\\X"), ERROR_SUCCESS);
    RegCloseKey(h);
    const Bytes good = vktest::ReadFileBytes(StorePath());

    std::vector<std::pair<std::string, Bytes>> cases;
    for (size_t n : {size_t(0), size_t(7), size_t(39), size_t(40), size_t(50), good.size() / 2, good.size() - 1})
        cases.push_back({"truncated to " + std::to_string(n), Bytes(good.begin(), good.begin() + n)});
    auto patched = [&](const std::string& why, size_t off, uint32_t v) {
        Bytes b = good;
        vktest::PutLe32(b, off, v);
        cases.push_back({why, b});
    };
    patched("bad magic", 0, 0x47455258);
    patched("version 2", 8, 2);
    patched("header size", 12, 48);
    patched("key count too high", 32, 4);
    patched("key count too low", 32, 2);
    patched("reserved set", 36, 1);
    patched("root id", 40, 2);
    patched("root with a huge subkey count", 56, 0x7FFFFFFF);
    patched("root name not empty", 64, 1);
    {
        Bytes b = good;
        b.push_back(0);
        cases.push_back({"trailing byte", b});
    }
    {
        Bytes b = Header(10, 3);
        PutKey(b, 1, u"", 2, 0);
        PutKey(b, 2, u"Same", 0, 0);
        PutKey(b, 3, u"Same", 0, 0);
        cases.push_back({"repeated sibling name", b});
    }
    {
        Bytes b = Header(10, 3);
        PutKey(b, 1, u"", 2, 0);
        PutKey(b, 2, u"A", 0, 0);
        PutKey(b, 2, u"B", 0, 0);
        cases.push_back({"repeated id", b});
    }
    {
        Bytes b = Header(10, 2);
        PutKey(b, 1, u"", 1, 0);
        PutKey(b, 2, u"a\\b", 0, 0);
        cases.push_back({"backslash in a name", b});
    }
    {
        Bytes b = Header(10, 2);
        PutKey(b, 1, u"", 1, 0);
        PutKey(b, 12, u"A", 0, 0);
        cases.push_back({"id beyond the counter", b});
    }
    {
        Bytes b = Header(10, 2);
        PutKey(b, 1, u"", 1, 0);
        PutKey(b, 2, u"", 0, 0);
        cases.push_back({"empty key name", b});
    }
    {
        Bytes b = Header(10, 1);
        PutKey(b, 1, u"", 0, 1);
        PutText(b, u"v");
        Put32(b, REG_BINARY);
        Put32(b, 0xFFFFFFF0);
        cases.push_back({"value longer than the file", b});
    }
    {
        Bytes b = Header(10, 1);
        PutKey(b, 1, u"", 0, 2);
        for (int i = 0; i < 2; ++i) {
            PutText(b, u"v");
            Put32(b, REG_DWORD);
            Put32(b, 0);
        }
        cases.push_back({"repeated value name", b});
    }
    {
        // 600 keys nested one in another: deeper than any store may be.
        const uint32_t depth = 600;
        Bytes b = Header(depth + 10, depth + 1);
        PutKey(b, 1, u"", 1, 0);
        for (uint32_t i = 0; i < depth; ++i) PutKey(b, 2 + i, u"k", i + 1 < depth ? 1 : 0, 0);
        cases.push_back({"nested too deep", b});
    }

    for (const auto& [why, bytes] : cases) {
        SCOPED_TRACE(why);
        vktest::WriteFileBytes(StorePath(), bytes);
        HKEY k = nullptr;
        DWORD disp = 0;
        SetLastError(kSentinel);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_READ, &k), ERROR_BADDB);
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                  &disp),
                  ERROR_BADDB);
        EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&disp), 4),
                  ERROR_BADDB);
        EXPECT_EQ(GetLastError(), kSentinel);
        EXPECT_EQ(vktest::ReadFileBytes(StorePath()), bytes); // never overwritten
    }
    // A good store works again.
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
    const Bytes good = vktest::ReadFileBytes(StorePath());
    struct Case {
        const char* call;
        int err;
        LSTATUS status;
    } cases[] = {
        {"write", EIO, ERROR_CANTWRITE},
        {"write", ENOSPC, ERROR_DISK_FULL},
        {"fsync", EIO, ERROR_CANTWRITE},
        {"rename", EIO, ERROR_CANTWRITE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + strerror(c.err));
        PalTestFailSyscall(c.call, 1, c.err);
        EXPECT_EQ(SetDword(h, u"New", 2), c.status);
        PalTestFailSyscall(nullptr, 0, 0);
        EXPECT_EQ(vktest::ReadFileBytes(StorePath()), good);
        EXPECT_FALSE(vktest::FileExists(StorePath() + ".new"));
        DWORD cb = 4;
        EXPECT_EQ(RegQueryValueExW(h, u"New", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    }
    PalTestResetSyscalls();
    EXPECT_EQ(SetDword(h, u"New", 2), ERROR_SUCCESS);
    RegCloseKey(h);
}

// ---- other processes --------------------------------------------------------

VK_HELPER(reg_write_value) {
    // args: key, value name, number
    HKEY h = nullptr;
    std::u16string key = U(args.at(0)), name = U(args.at(1));
    DWORD v = static_cast<DWORD>(std::stoul(args.at(2)));
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) != 0)
        return 10;
    LSTATUS st = RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    RegCloseKey(h);
    return st == ERROR_SUCCESS ? 0 : 11;
}

VK_HELPER(reg_read_value) {
    // args: key, value name; exit status: the value, or 200+ on failure
    HKEY h = nullptr;
    std::u16string key = U(args.at(0)), name = U(args.at(1));
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != 0) return 200;
    DWORD v = 0, cb = 4, type = 0;
    LSTATUS st = RegQueryValueExW(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb);
    RegCloseKey(h);
    if (st != ERROR_SUCCESS || type != REG_DWORD) return 201;
    return static_cast<int>(v);
}

VK_HELPER(reg_many_writes) {
    // args: key, prefix, count: one value per write, each a read-modify-write of the store
    std::u16string key = U(args.at(0));
    int count = std::stoi(args.at(2));
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) != 0)
        return 10;
    for (int i = 0; i < count; ++i) {
        std::u16string name = U(args.at(1) + std::to_string(i));
        DWORD v = static_cast<DWORD>(i);
        if (RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != 0) return 11;
        // A key per write too, so keys and values race alike.
        HKEY sub = nullptr;
        if (RegCreateKeyExW(h, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) != 0) return 12;
        RegCloseKey(sub);
    }
    RegCloseKey(h);
    return 0;
}

TEST_F(RegistryTest, PersistsAcrossProcesses) {
    ASSERT_EQ(vktest::RunHelper("reg_write_value", {"Software\\Shared", "Type", "42"}), 0);
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Shared", 0, KEY_READ, &h), ERROR_SUCCESS);
    DWORD v = 0, cb = 4;
    EXPECT_EQ(RegQueryValueExW(h, u"Type", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
    EXPECT_EQ(v, 42u);
    RegCloseKey(h);

    HKEY w = Create(u"Software\\Shared");
    ASSERT_EQ(SetDword(w, u"Back", 17), ERROR_SUCCESS);
    RegCloseKey(w);
    EXPECT_EQ(vktest::RunHelper("reg_read_value", {"Software\\Shared", "Back"}), 17);
    EXPECT_EQ(vktest::RunHelper("reg_read_value", {"Software\\shared", "Back"}), 200);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    const int kWrites = 40;
    int pidA = 0, pidB = 0;
    vktest::RunHelper("reg_many_writes", {"Software\\Race", "a", std::to_string(kWrites)}, &pidA, false);
    vktest::RunHelper("reg_many_writes", {"Software\\Race", "b", std::to_string(kWrites)}, &pidB, false);
    // This process writes meanwhile too.
    HKEY mine = Create(u"Software\\Race");
    for (int i = 0; i < kWrites; ++i) ASSERT_EQ(SetDword(mine, U("c" + std::to_string(i)).c_str(), i), ERROR_SUCCESS);
    EXPECT_EQ(vktest::WaitHelper(pidA), 0);
    EXPECT_EQ(vktest::WaitHelper(pidB), 0);
    for (const char* prefix : {"a", "b", "c"}) {
        for (int i = 0; i < kWrites; ++i) {
            DWORD v = 999, cb = 4;
            std::u16string name = U(prefix + std::to_string(i));
            ASSERT_EQ(RegQueryValueExW(mine, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb),
                      ERROR_SUCCESS)
                << prefix << i;
            EXPECT_EQ(v, static_cast<DWORD>(i));
        }
    }
    EXPECT_EQ(Subkeys(mine).size(), 2u * kWrites);
    RegCloseKey(mine);
}

TEST_F(RegistryTest, HandlesKeepTheirRoot) {
    // A handle names its key in the store it was opened in, even when the
    // machine root changes afterwards (tests switch roots).
    HKEY h = Create(u"Software\\First");
    ASSERT_EQ(SetDword(h, u"v", 5), ERROR_SUCCESS);
    {
        vktest::FreshRoot other;
        DWORD v = 0, cb = 4;
        EXPECT_EQ(RegQueryValueExW(h, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
        EXPECT_EQ(v, 5u);
        HKEY none = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\First", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
    }
    RegCloseKey(h);
}

} // namespace
