/* The application and user exports end to end: statuses, registry bytes,
 * folders, lists and the key containers they leave behind. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include <vaultkeep/vaultkeep.h>

#include <filesystem>
#include <string>

using namespace vktest;

namespace {

const std::string kData = "ProgramData/Tarnwick Systems Corp/Vaultkeep/";

Bytes Utf16Z(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c & 0xFF));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

bool ReadValue(const std::u16string& key, const char16_t* name, DWORD& type, Bytes& data) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    DWORD cb = 0;
    LSTATUS rc = RegQueryValueExW(h, name, nullptr, &type, nullptr, &cb);
    data.assign(cb, 0);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(h, name, nullptr, &type, data.data(), &cb);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

bool KeyExists(const std::u16string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

bool ContainerExists(const std::u16string& name) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, name.c_str(), u"Tarnwick TPM Key Storage Provider", PROV_RSA_FULL,
                              CRYPT_MACHINE_KEYSET))
        return false;
    CryptReleaseContext(prov, 0);
    return true;
}

/* The user folders (GUID-named) of an application, by host path. */
std::vector<std::string> UserFolders(const std::string& appDir) {
    std::vector<std::string> out;
    for (const std::string& name : ListDir(appDir))
        if (std::filesystem::is_directory(appDir + "/" + name)) out.push_back(name);
    return out;
}

class AppExports : public RootTest {
protected:
    void SetUp() override { ASSERT_EQ(VaultkeepInitRoot(), 0); }
    std::string AppDir(const std::string& app) { return root.host(kData + app); }
    std::string Users(SAFEARRAY* secret, LONG expected = 0, const char16_t* app = u"App") {
        BSTR list = nullptr;
        EXPECT_EQ(QueryListOfUsers(app, secret, &list), expected);
        EXPECT_NE(list, nullptr) << "a list is stored on every path";
        return TakeBstr(list);
    }
    ByteArray secret{std::string("application secret")};
    ByteArray wrong{std::string("application secreT")};
};

} // namespace

TEST_F(AppExports, RegisterWritesTheRegistrySettingsByteForByte) {
    ASSERT_EQ(RegisterApp(u"App", secret), 0);
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App", u"Location", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Utf16Z(u"C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\App")) << "NUL counted, no double backslash";
    ASSERT_TRUE(ReadValue(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App", u"Type", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));
    EXPECT_TRUE(FileExists(AppDir("App") + "/app.bin"));
}

TEST_F(AppExports, RegisterTwiceWritesNothingTheSecondTime) {
    ASSERT_EQ(RegisterApp(u"App", secret), 0);
    Bytes before = ReadFileBytes(AppDir("App") + "/app.bin");
    EXPECT_EQ(RegisterApp(u"App", secret), Error_App_Already_Exists);
    EXPECT_EQ(ReadFileBytes(AppDir("App") + "/app.bin"), before);
}

TEST_F(AppExports, KeyPathBeyondTwoHundredFiftyNineCharactersTouchesNothing) {
    /* "Software\Tarnwick Systems Corp.\Vaultkeep\" is 42 characters. */
    const std::u16string name(259 - 42 + 1, u'n');
    EXPECT_EQ(RegisterApp(name.c_str(), secret), Error_Internal);
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tarnwick Systems Corp.\\Vaultkeep", 0, KEY_READ, &h) ==
        ERROR_SUCCESS) {
        WCHAR sub[300];
        DWORD cch = 300;
        EXPECT_EQ(RegEnumKeyExW(h, 0, sub, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
        RegCloseKey(h);
    }
    EXPECT_TRUE(ListDir(root.host(kData)).empty());
}

TEST_F(AppExports, UnRegisterNeedsTheSecret) {
    ASSERT_EQ(RegisterApp(u"App", secret), 0);
    ASSERT_EQ(AddUser(u"App", secret, u"alice", u"pw"), 0);
    auto folders = UserFolders(AppDir("App"));
    ASSERT_EQ(folders.size(), 1u);
    const std::u16string guid = U(folders[0]);

    EXPECT_EQ(UnRegisterApp(u"App", wrong), Error_Bad_App);
    EXPECT_TRUE(KeyExists(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App"));
    EXPECT_TRUE(FileExists(AppDir("App") + "/app.bin"));

    EXPECT_EQ(UnRegisterApp(u"App", secret), 0);
    EXPECT_FALSE(KeyExists(u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App"));
    EXPECT_FALSE(FileExists(AppDir("App")));
    EXPECT_FALSE(ContainerExists(guid));
    EXPECT_EQ(UnRegisterApp(u"App", secret), Error_Bad_App);
}

TEST_F(AppExports, UsersAreAddedOnceListedInOrderAndDeleted) {
    EXPECT_EQ(AddUser(u"App", secret, u"alice", u"pw"), Error_Bad_App) << "unregistered application";
    ASSERT_EQ(RegisterApp(u"App", secret), 0);
    EXPECT_EQ(Users(secret), "");

    ASSERT_EQ(AddUser(u"App", secret, u"alice", u"pw-a"), 0);
    EXPECT_EQ(Users(secret), "alice");
    Bytes table = ReadFileBytes(AppDir("App") + "/app.bin");
    EXPECT_EQ(AddUser(u"App", secret, u"alice", u"another password"), 0);
    EXPECT_EQ(ReadFileBytes(AppDir("App") + "/app.bin"), table) << "no second record";

    ASSERT_EQ(AddUser(u"App", secret, u"bob", u"pw-b"), 0);
    EXPECT_EQ(Users(secret), "alice,bob");
    EXPECT_EQ(AddUser(u"App", secret, u"Alice", u"pw"), 0) << "names compare exactly";
    EXPECT_EQ(Users(secret), "alice,bob,Alice");

    auto folders = UserFolders(AppDir("App"));
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_EQ(DeleteUser(u"App", secret, u"carol"), Error_No_User);
    EXPECT_EQ(DeleteUser(u"App", wrong, u"bob"), Error_Bad_App);
    ASSERT_EQ(DeleteUser(u"App", secret, u"bob"), 0);
    EXPECT_EQ(Users(secret), "alice,Alice");
    auto left = UserFolders(AppDir("App"));
    ASSERT_EQ(left.size(), 2u);
    for (const std::string& f : folders) {
        bool kept = std::find(left.begin(), left.end(), f) != left.end();
        EXPECT_EQ(ContainerExists(U(f)), kept) << f;
    }
    EXPECT_EQ(DeleteUser(u"App", secret, u"bob"), Error_No_User);
}

TEST_F(AppExports, WrongSecretListsNothing) {
    ASSERT_EQ(RegisterApp(u"App", secret), 0);
    ASSERT_EQ(AddUser(u"App", secret, u"alice", u"pw"), 0);
    EXPECT_EQ(Users(wrong, Error_Bad_App), "");
    EXPECT_EQ(Users(secret, Error_Bad_App, u"Other"), "");
}

TEST_F(AppExports, UnownedTpmRefusesNewUsers) {
    ASSERT_EQ(RegisterApp(u"App", secret), 0);
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider", 0,
                              nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    DWORD zero = 0;
    ASSERT_EQ(RegSetValueExW(h, u"SoftwareTpmOwned", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(AddUser(u"App", secret, u"alice", u"pw"), Error_TPM_Not_Owned);
    EXPECT_EQ(Users(secret), "");
    /* The key generation fails before any user table is written. */
    for (const std::string& f : UserFolders(AppDir("App"))) EXPECT_FALSE(FileExists(AppDir("App") + "/" + f + "/user.bin"));
}
