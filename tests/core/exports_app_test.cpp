/* The application and user exports end to end: statuses, registry bytes, folders, lists and the
 * key containers they leave behind. */
#include "TableFixture.h"

using namespace vktest;
using namespace tabletest;

namespace {

/* The user folders (GUID-named) of an application. */
std::vector<std::string> UserFolders(const std::string& appDir) {
    std::vector<std::string> out;
    for (const std::string& name : ListDir(appDir))
        if (std::filesystem::is_directory(appDir + "/" + name)) out.push_back(name);
    return out;
}

class AppExports : public RootTest {
  protected:
    void SetUp() override { ASSERT_EQ(VaultkeepInitRoot(), 0); }
    std::string AppDir() { return root.host(kDataHost + "App"); }
    std::string Users(SAFEARRAY* secret, LONG expected = 0, const WCHAR* app = W("App")) {
        BSTR list = nullptr;
        EXPECT_EQ(QueryListOfUsers(app, secret, &list), expected);
        EXPECT_NE(list, nullptr) << "a list is stored on every path";
        return TakeBstr(list);
    }
    ByteArray secret{std::string("application secret")};
    ByteArray wrong{std::string("application secreT")};
};

} // namespace

TEST_F(AppExports, RegisterWritesTheRegistrySettingsByteForByteOnce) {
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(kAppKeyPrefix + W("App"), W("Location"), type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Utf16z(W("C:\\ProgramData\\Tarnwick Systems Corp\\Vaultkeep\\App"))) << "NUL counted";
    ASSERT_TRUE(ReadValue(kAppKeyPrefix + W("App"), W("Type"), type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));
    Bytes before = ReadFileBytes(AppDir() + "/app.bin");
    EXPECT_EQ(RegisterApp(W("App"), secret), Error_App_Already_Exists);
    EXPECT_EQ(ReadFileBytes(AppDir() + "/app.bin"), before);
}

TEST_F(AppExports, KeyPathBeyondTwoHundredFiftyNineCharactersTouchesNothing) {
    // "Software\Tarnwick Systems Corp.\Vaultkeep\" is 42 characters.
    const WString name(259 - 42 + 1, W('n'));
    EXPECT_EQ(RegisterApp(name.c_str(), secret), Error_Internal);
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("Software\\Tarnwick Systems Corp.\\Vaultkeep"), 0, KEY_READ, &h) ==
        0) {
        WCHAR sub[300];
        DWORD cch = 300;
        EXPECT_EQ(RegEnumKeyExW(h, 0, sub, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
        RegCloseKey(h);
    }
    EXPECT_TRUE(ListDir(root.host(kDataHost)).empty());
}

TEST_F(AppExports, UnRegisterNeedsTheSecretAndRemovesEverything) {
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("pw")), 0);
    ASSERT_EQ(AddUser(W("App"), secret, W("bob"), W("pw")), 0);
    auto folders = UserFolders(AppDir());
    ASSERT_EQ(folders.size(), 2u);

    EXPECT_EQ(UnRegisterApp(W("App"), wrong), Error_Bad_App);
    EXPECT_TRUE(AppKeyExists(W("App")));
    EXPECT_TRUE(FileExists(AppDir() + "/app.bin"));

    EXPECT_EQ(UnRegisterApp(W("App"), secret), 0);
    EXPECT_FALSE(AppKeyExists(W("App")));
    EXPECT_FALSE(FileExists(AppDir()));
    for (const std::string& f : folders)
        EXPECT_FALSE(ContainerExists(U(f)));
    EXPECT_EQ(UnRegisterApp(W("App"), secret), Error_Bad_App);
}

TEST_F(AppExports, UsersAreAddedOnceListedInOrderAndDeleted) {
    EXPECT_EQ(AddUser(W("App"), secret, W("alice"), W("pw")), Error_Bad_App) << "unregistered application";
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    EXPECT_EQ(Users(secret), "");
    ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("pw-a")), 0);
    Bytes table = ReadFileBytes(AppDir() + "/app.bin");
    EXPECT_EQ(AddUser(W("App"), secret, W("alice"), W("another password")), 0);
    EXPECT_EQ(ReadFileBytes(AppDir() + "/app.bin"), table) << "no second record";
    ASSERT_EQ(AddUser(W("App"), secret, W("bob"), W("pw-b")), 0);
    EXPECT_EQ(AddUser(W("App"), secret, W("Alice"), W("pw")), 0) << "names compare exactly";
    EXPECT_EQ(Users(secret), "alice,bob,Alice");
    EXPECT_EQ(Users(wrong, Error_Bad_App), "");
    EXPECT_EQ(Users(secret, Error_Bad_App, W("Other")), "");

    auto folders = UserFolders(AppDir());
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_EQ(DeleteUser(W("App"), secret, W("carol")), Error_No_User);
    EXPECT_EQ(DeleteUser(W("App"), wrong, W("bob")), Error_Bad_App);
    ASSERT_EQ(DeleteUser(W("App"), secret, W("bob")), 0);
    EXPECT_EQ(Users(secret), "alice,Alice");
    auto left = UserFolders(AppDir());
    ASSERT_EQ(left.size(), 2u);
    for (const std::string& f : folders)
        EXPECT_EQ(ContainerExists(U(f)), std::find(left.begin(), left.end(), f) != left.end()) << f;
    EXPECT_EQ(DeleteUser(W("App"), secret, W("bob")), Error_No_User);
}

TEST_F(AppExports, UnownedTpmRefusesNewUsers) {
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    SetTpmOwned(0);
    EXPECT_EQ(AddUser(W("App"), secret, W("alice"), W("pw")), Error_TPM_Not_Owned);
    EXPECT_EQ(Users(secret), "");
    // The key generation fails before any user table is written.
    for (const std::string& f : UserFolders(AppDir()))
        EXPECT_FALSE(FileExists(AppDir() + "/" + f + "/user.bin"));
}
