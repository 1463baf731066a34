/* The application and user exports end to end: statuses, registry bytes, folders, lists and the
 * key containers they leave behind. */
#include "TableFixture.h"

#include <set>

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
    const Bytes secretBytes = Bytes{'a', 'p', 'p', ' ', 's', 'e', 'c', 'r', 'e', 't'};
    ByteArray secret{secretBytes};
    ByteArray wrong{std::string("app secreT")};
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

TEST_F(AppExports, UnRegisterNeedsTheSecretAndRemovesEverything) {
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("pw")), 0);
    ASSERT_EQ(AddUser(W("App"), secret, W("bob"), W("pw")), 0);
    const Bytes table = ReadFileBytes(AppDir() + "/app.bin");
    const std::string alice = Narrow(Field(table, kAppHeader + kRecGuid, 74)),
                      bob = Narrow(Field(table, kAppHeader + kUserRecord + kRecGuid, 74));
    // A user's table names its key container: its own GUID.
    Bytes ub = ReadFileBytes(AppDir() + "/" + bob + "/user.bin");
    ASSERT_EQ(ub.size(), 668u);
    EXPECT_EQ(Field(ub, kUtUuid, 38), U(bob));
    EXPECT_TRUE(ZeroAfterNul(ub, kUtUuid, 38));
    EXPECT_TRUE(TrailerVerifies(ub, secretBytes, kUtSalt));
    ASSERT_TRUE(ContainerExists(U(alice)) && ContainerExists(U(bob)));
    // bob's table no longer verifies: his folder still goes, but his container name is not trusted.
    ub[kUtUuid] ^= 1;
    WriteFileBytes(AppDir() + "/" + bob + "/user.bin", ub);
    // A record that verifies but points at another application's folder removes nothing there.
    ASSERT_EQ(RegisterApp(W("Victim"), secret), 0);
    Bytes f = table;
    Bytes rec = Slice(f, kAppHeader, kUserRecord);
    PutField(rec, kRecUsername, 257, W("carol"));
    PutField(rec, kRecPath, 260, kDataView + W("Victim"));
    f.insert(f.end() - kMac, rec.begin(), rec.end());
    PutLe32(f, 4, static_cast<uint32_t>(f.size()));
    PutLe32(f, kUserCountOff, 3);
    Reseal(f, secretBytes, kAppSaltOff);
    WriteFileBytes(AppDir() + "/app.bin", f);

    EXPECT_EQ(UnRegisterApp(W("App"), wrong), Error_Bad_App);
    EXPECT_TRUE(AppKeyExists(W("App")));
    EXPECT_TRUE(FileExists(AppDir() + "/app.bin"));

    EXPECT_EQ(UnRegisterApp(W("App"), secret), 0);
    EXPECT_FALSE(AppKeyExists(W("App")));
    EXPECT_FALSE(FileExists(AppDir()));
    EXPECT_FALSE(ContainerExists(U(alice)));
    EXPECT_TRUE(ContainerExists(U(bob)));
    EXPECT_TRUE(FileExists(root.host(kDataHost + "Victim/app.bin")));
    EXPECT_EQ(UnRegisterApp(W("App"), secret), Error_Bad_App);
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    EXPECT_EQ(ReadFileBytes(AppDir() + "/app.bin").size(), 80u);
}

TEST_F(AppExports, UsersAreAddedOnceListedInOrderAndDeleted) {
    EXPECT_EQ(AddUser(W("App"), secret, W("alice"), W("pw")), Error_Bad_App) << "unregistered application";
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    const std::string appBin = AppDir() + "/app.bin";
    Bytes f = ReadFileBytes(appBin);
    ASSERT_EQ(f.size(), 80u);
    EXPECT_EQ(Le32(f, 0), 1u);  // version
    EXPECT_EQ(Le32(f, 4), 80u); // totalsize
    EXPECT_EQ(Le32(f, kUserCountOff), 0u);
    EXPECT_EQ(Le32(f, kRecordSizeOff), 1182u);
    EXPECT_TRUE(TrailerVerifies(f, secretBytes, kAppSaltOff));
    ASSERT_EQ(RegisterApp(W("Second"), secret), 0);
    EXPECT_NE(Slice(ReadFileBytes(root.host(kDataHost + "Second/app.bin")), kAppSaltOff, 32),
              Slice(f, kAppSaltOff, 32));
    EXPECT_EQ(Users(secret), "");

    const std::vector<WString> names = {W("alice"), W("bob"), W("Alice")};
    ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("pw-a")), 0);
    Bytes table = ReadFileBytes(appBin);
    EXPECT_EQ(AddUser(W("App"), secret, W("alice"), W("another password")), 0);
    EXPECT_EQ(ReadFileBytes(appBin), table) << "no second record";
    ASSERT_EQ(AddUser(W("App"), secret, W("bob"), W("pw-b")), 0);
    EXPECT_EQ(AddUser(W("App"), secret, W("Alice"), W("pw")), 0) << "names compare exactly";
    EXPECT_EQ(Users(secret), "alice,bob,Alice");
    EXPECT_EQ(Users(wrong, Error_Bad_App), "");
    EXPECT_EQ(Users(secret, Error_Bad_App, W("Other")), "");
    // Records append: user name, GUID (the folder's name) and path, each NUL-padded.
    f = ReadFileBytes(appBin);
    ASSERT_EQ(f.size(), 80 + 1182 * 3u);
    EXPECT_EQ(Le32(f, 4), f.size());
    EXPECT_EQ(Le32(f, kUserCountOff), 3u);
    EXPECT_TRUE(TrailerVerifies(f, secretBytes, kAppSaltOff));
    std::set<WString> guids;
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(i);
        size_t rec = kAppHeader + i * kUserRecord;
        const WString guid = Field(f, rec + kRecGuid, 74);
        guids.insert(guid);
        EXPECT_EQ(Field(f, rec + kRecUsername, 257), names[i]);
        EXPECT_TRUE(IsLowerGuid(guid));
        EXPECT_EQ(Field(f, rec + kRecPath, 260), kDataView + W("App\\") + guid);
        for (auto [off, units] : {std::pair{kRecUsername, 257}, {kRecGuid, 74}, {kRecPath, 260}})
            EXPECT_TRUE(ZeroAfterNul(f, rec + off, units));
        EXPECT_TRUE(FileExists(AppDir() + "/" + Narrow(guid) + "/user.bin"));
    }
    EXPECT_EQ(guids.size(), 3u);
    // Names the list could not carry are refused before anything is made.
    auto folders = UserFolders(AppDir());
    for (const WCHAR* bad : {W("a,b"), W(""), W("tab\there"), W("\x7f")})
        EXPECT_EQ(AddUser(W("App"), secret, bad, W("pw")), Error_No_User) << Narrow(bad);
    EXPECT_EQ(ReadFileBytes(appBin), f);
    EXPECT_EQ(UserFolders(AppDir()), folders);

    EXPECT_EQ(DeleteUser(W("App"), secret, W("carol")), Error_No_User);
    EXPECT_EQ(DeleteUser(W("App"), wrong, W("bob")), Error_Bad_App);
    EXPECT_EQ(ReadFileBytes(appBin), f);
    ASSERT_EQ(DeleteUser(W("App"), secret, W("bob")), 0);
    EXPECT_EQ(Users(secret), "alice,Alice");
    // The others keep their records, in order.
    Bytes after = ReadFileBytes(appBin);
    ASSERT_EQ(after.size(), f.size() - 1182);
    EXPECT_EQ(Le32(after, 4), after.size());
    EXPECT_EQ(Le32(after, kUserCountOff), 2u);
    EXPECT_EQ(Slice(after, kAppHeader, kUserRecord), Slice(f, kAppHeader, kUserRecord));
    EXPECT_EQ(Slice(after, kAppHeader + kUserRecord, kUserRecord), Slice(f, kAppHeader + 2 * kUserRecord, kUserRecord));
    EXPECT_TRUE(TrailerVerifies(after, secretBytes, kAppSaltOff));
    auto left = UserFolders(AppDir());
    ASSERT_EQ(left.size(), 2u);
    for (const std::string& g : folders)
        EXPECT_EQ(ContainerExists(U(g)), std::find(left.begin(), left.end(), g) != left.end()) << g;
    EXPECT_EQ(DeleteUser(W("App"), secret, W("bob")), Error_No_User);
}

TEST_F(AppExports, UnownedTpmRefusesNewUsersAndEveryUseOfTheirKeys) {
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("pw")), 0);
    const std::string alice = UserFolders(AppDir()).at(0);
    ByteArray data(std::string("data"));
    ASSERT_EQ(StoreCredential(W("App"), secret, W("alice"), W("pw"), W("c"), data, data, data), 0);
    SetTpmOwned(0);
    LogCapture log;
    EXPECT_EQ(AddUser(W("App"), secret, W("bob"), W("pw")), Error_TPM_Not_Owned);
    EXPECT_EQ(StoreCredential(W("App"), secret, W("alice"), W("pw"), W("d"), data, data, data), 1)
        << "a store that fails gives a positive 1";
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(RetrieveCredential(W("App"), secret, W("alice"), W("pw"), W("c"), &out), Error_TPM_Not_Owned);
    EXPECT_EQ(out, nullptr);
    auto lines = log.Take();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.text == "TPM not owned"; }), 3);
    EXPECT_EQ(Users(secret), "alice");
    // The key generation fails before any user table is written, and makes no container.
    for (const std::string& f : UserFolders(AppDir()))
        EXPECT_EQ(FileExists(AppDir() + "/" + f + "/user.bin") || ContainerExists(U(f)), f == alice) << f;
}
