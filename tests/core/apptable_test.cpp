/* CAppTable: app.bin byte layout, HMAC under the application secret, user list operations,
 * limits, hostile files and application-name validation. */
#include "TableFixture.h"

#include <set>

using namespace tabletest;
using vktest::Le32;
using vktest::PutLe32;
using vktest::ReadFileBytes;
using vktest::WriteFileBytes;
using vktest::FileExists;
using vktest::ListDir;

namespace {

class AppTableTest : public TablesTest {
protected:
    /* A table image of n records cloned from `record`, each with its own name, resealed under the secret. */
    Bytes CraftTable(const Bytes& base, size_t n, const Bytes& record) {
        Bytes f(base.begin(), base.begin() + kAppHeader);
        for (size_t i = 0; i < n; ++i) {
            Bytes r = record;
            PutField(r, kRecUsername, 257, u"user" + vktest::U(std::to_string(i)));
            f.insert(f.end(), r.begin(), r.end());
        }
        f.resize(f.size() + kMac);
        PutLe32(f, kUserCountOff, static_cast<uint32_t>(n));
        PutLe32(f, 4, static_cast<uint32_t>(f.size()));
        Reseal(f, secret, kAppSaltOff);
        return f;
    }
};

TEST_F(AppTableTest, NewTableIsEightyBytesVerifiedUnderTheSecret) {
    Bytes f = ReadFileBytes(AppBin());
    ASSERT_EQ(f.size(), 80u);
    EXPECT_EQ(Le32(f, 0), 1u);   // version
    EXPECT_EQ(Le32(f, 4), 80u);  // totalsize
    EXPECT_EQ(Le32(f, 40), 0u);  // usercount
    EXPECT_EQ(Le32(f, 44), 1182u);
    EXPECT_NE(Slice(f, kAppSaltOff, 32), Bytes(32, 0));
    EXPECT_TRUE(TrailerVerifies(f, secret, kAppSaltOff));

    // The registry names the folder exactly, NUL included.
    HKEY h = NULL;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tarnwick Systems Corp.\\Vaultkeep\\App", 0, KEY_READ, &h),
              ERROR_SUCCESS);
    WCHAR value[300] = {};
    DWORD cb = sizeof(value), type = 0;
    ASSERT_EQ(RegQueryValueExW(h, u"Location", NULL, &type, reinterpret_cast<BYTE*>(value), &cb), ERROR_SUCCESS);
    RegCloseKey(h);
    std::u16string location = DataFolderView() + u"App";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::u16string(value), location);
    EXPECT_EQ(cb, (location.size() + 1) * 2);

    CAppTable t(u"App", *secretArray);
    EXPECT_EQ(t.loaded, 1);
    EXPECT_EQ(t.Header.usercount, 0u);
    EXPECT_TRUE(t.Users.empty());
    EXPECT_EQ(t.Location, location);
    EXPECT_EQ(t.Type, 0u);

    // Two registrations draw different salts.
    ASSERT_EQ(Register(u"Second"), 0);
    Bytes g = ReadFileBytes(AppDir("Second") + "/app.bin");
    ASSERT_EQ(g.size(), 80u);
    EXPECT_NE(Slice(g, kAppSaltOff, 32), Slice(f, kAppSaltOff, 32));
}

TEST_F(AppTableTest, UsersAppendRecordsWhosePathIsLocationAndGuid) {
    const std::vector<std::u16string> names = {u"alice", u"bob", u"Alice"};
    std::vector<std::u16string> guids;
    for (size_t n = 0; n < names.size(); ++n) {
        guids.push_back(AddUser(names[n]));
        Bytes f = ReadFileBytes(AppBin());
        ASSERT_EQ(f.size(), 80 + 1182 * (n + 1));
        EXPECT_EQ(Le32(f, 0), 1u);
        EXPECT_EQ(Le32(f, 4), f.size());
        EXPECT_EQ(Le32(f, 40), n + 1);
        EXPECT_EQ(Le32(f, 44), 1182u);
        EXPECT_TRUE(TrailerVerifies(f, secret, kAppSaltOff));
    }
    Bytes f = ReadFileBytes(AppBin());
    std::set<std::u16string> distinct;
    for (size_t i = 0; i < names.size(); ++i) {
        size_t rec = kAppHeader + i * kUserRecord;
        SCOPED_TRACE(i);
        EXPECT_EQ(Field(f, rec + kRecUsername, 257), names[i]);
        std::u16string guid = Field(f, rec + kRecGuid, 74);
        EXPECT_TRUE(IsLowerGuid(guid));
        EXPECT_EQ(guid, guids[i]);
        EXPECT_EQ(Field(f, rec + kRecPath, 260), DataFolderView() + u"App\\" + guid);
        EXPECT_TRUE(ZeroAfterNul(f, rec + kRecUsername, 257));
        EXPECT_TRUE(ZeroAfterNul(f, rec + kRecGuid, 74));
        EXPECT_TRUE(ZeroAfterNul(f, rec + kRecPath, 260));
        EXPECT_TRUE(FileExists(UserDir(guid) + "/user.bin"));
        distinct.insert(guid);
    }
    EXPECT_EQ(distinct.size(), 3u);

    CAppTable t(u"App", *secretArray);
    ASSERT_EQ(t.loaded, 1);
    EXPECT_EQ(t.ListOfUsers(), u"alice,bob,Alice");
    UserRecord* rec = nullptr;
    EXPECT_EQ(t.FindUserInAppTable(u"ALICE", &rec), -3);
    EXPECT_EQ(rec, nullptr);
    ASSERT_EQ(t.FindUserInAppTable(u"Alice", &rec), 0);
    EXPECT_EQ(std::u16string(rec->guid), guids[2]);
}

TEST_F(AppTableTest, ListsAreJoinedBySingleCommas) {
    {
        CAppTable t(u"App", *secretArray);
        EXPECT_EQ(t.ListOfUsers(), u"");
    }
    AddUser(u"one");
    {
        CAppTable t(u"App", *secretArray);
        EXPECT_EQ(t.ListOfUsers(), u"one");
    }
    AddUser(u"two, with comma");
    CAppTable t(u"App", *secretArray);
    EXPECT_EQ(t.ListOfUsers(), u"one,two, with comma");
}

TEST_F(AppTableTest, RemovingTheMiddleOfThreeKeepsTheOthersInOrder) {
    for (auto n : {u"alice", u"bob", u"carol"}) AddUser(n);
    Bytes before = ReadFileBytes(AppBin());
    {
        CAppTable t(u"App", *secretArray);
        ASSERT_EQ(t.loaded, 1);
        EXPECT_EQ(t.DeleteUserInAppTable(u"zed"), -3);
    }
    EXPECT_EQ(ReadFileBytes(AppBin()), before);
    {
        CAppTable t(u"App", *secretArray);
        EXPECT_EQ(t.DeleteUserInAppTable(u"bob"), 0);
        EXPECT_EQ(t.Header.usercount, 2u);
    }
    Bytes after = ReadFileBytes(AppBin());
    ASSERT_EQ(after.size(), before.size() - 1182);
    EXPECT_EQ(Le32(after, 4), after.size());
    EXPECT_EQ(Le32(after, 40), 2u);
    EXPECT_EQ(Slice(after, kAppHeader, kUserRecord), Slice(before, kAppHeader, kUserRecord));
    EXPECT_EQ(Slice(after, kAppHeader + kUserRecord, kUserRecord), Slice(before, kAppHeader + 2 * kUserRecord, kUserRecord));
    EXPECT_TRUE(TrailerVerifies(after, secret, kAppSaltOff));

    CAppTable t(u"App", *secretArray);
    EXPECT_EQ(t.ListOfUsers(), u"alice,carol");
    EXPECT_EQ(t.DeleteUserInAppTable(u"alice"), 0);
    EXPECT_EQ(t.DeleteUserInAppTable(u"carol"), 0);
    EXPECT_EQ(t.DeleteUserInAppTable(u"carol"), -3);  // no records at all
    EXPECT_EQ(ReadFileBytes(AppBin()).size(), 80u);
}

TEST_F(AppTableTest, VersionAndUserCountAreCheckedBeforeTheHmac) {
    std::u16string guid = AddUser(u"template");
    Bytes base = ReadFileBytes(AppBin());
    Bytes record = Slice(base, kAppHeader, kUserRecord);

    struct Case {
        const char* what;
        uint32_t version;
        size_t records;
        bool loads;
        const char* error;
    } cases[] = {
        {"version 0", 0, 1, true, nullptr},
        {"version 2", 2, 1, false, ">MAXIMUM_SUPPORTED_VERSION"},
        {"255 users", 1, 255, true, nullptr},
        {"256 users", 1, 256, false, "> MAXIMUM_NUMBER_OF_USERS"},
    };
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = CraftTable(base, c.records, record);
        PutLe32(f, 0, c.version);
        Reseal(f, secret, kAppSaltOff);
        WriteFileBytes(AppBin(), f);
        log.Take();
        CAppTable t(u"App", *secretArray);
        auto lines = log.Take();
        EXPECT_EQ(t.loaded, c.loads ? 1 : 0);
        if (c.loads) {
            EXPECT_EQ(t.Users.size(), c.records);
            EXPECT_EQ(t.Header.usercount, c.records);
        } else {
            EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CAppTable::CAppTable", c.error));
            EXPECT_FALSE(LogCapture::HasText(lines, "loaded=false"));
            EXPECT_TRUE(t.Users.empty());
        }
        EXPECT_EQ(ReadFileBytes(AppBin()), f);  // reading never writes
    }

    // Any save writes version 1 and the true total size.
    Bytes f = CraftTable(base, 1, record);
    PutLe32(f, 0, 0);
    PutLe32(f, 4, 12345);
    Reseal(f, secret, kAppSaltOff);
    WriteFileBytes(AppBin(), f);
    {
        CAppTable t(u"App", *secretArray);
        ASSERT_EQ(t.loaded, 1);
        EXPECT_EQ(t.DeleteUserInAppTable(u"user0"), 0);
    }
    Bytes saved = ReadFileBytes(AppBin());
    EXPECT_EQ(Le32(saved, 0), 1u);
    EXPECT_EQ(Le32(saved, 4), saved.size());
}

TEST_F(AppTableTest, AnotherSecretCannotLoadTheTable) {
    AddUser(u"alice");
    Bytes before = ReadFileBytes(AppBin());
    LogCapture log;
    CAppTable t(u"App", *otherArray);
    auto lines = log.Take();
    EXPECT_EQ(t.loaded, 0);
    EXPECT_TRUE(t.Users.empty());
    EXPECT_EQ(t.Header.usercount, 0u);
    EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CAppTable::CAppTable", "loaded=false"));
    EXPECT_EQ(t.DeleteApp(), -1);
    EXPECT_EQ(ReadFileBytes(AppBin()), before);
    EXPECT_TRUE(AppKeyExists(u"App"));
}

TEST_F(AppTableTest, HostileFilesAreRefusedWithoutReadingPastThem) {
    std::u16string guid = AddUser(u"alice");
    Bytes base = ReadFileBytes(AppBin());

    struct Case {
        const char* what;
        Bytes file;
        const char* error;
    };
    std::vector<Case> cases;
    for (size_t n : {0, 1, 32, 33, 47, 48, 79}) cases.push_back({"truncated", Slice(base, 0, n), nullptr});
    {
        Bytes f = base;
        PutLe32(f, kRecordSizeOff, 1181);
        Reseal(f, secret, kAppSaltOff);
        cases.push_back({"recordsize 1181", f, "invalid table layout: recordsize=1181 usercount=1 size=1262"});
    }
    {
        Bytes f = base;
        PutLe32(f, kRecordSizeOff, 4000);
        Reseal(f, secret, kAppSaltOff);
        cases.push_back({"recordsize 4000", f, "invalid table layout: recordsize=4000 usercount=1 size=1262"});
    }
    {
        Bytes f = base;
        PutLe32(f, kUserCountOff, 2);  // the second record would run past the body
        Reseal(f, secret, kAppSaltOff);
        cases.push_back({"records past the body", f, "invalid table layout: recordsize=1182 usercount=2 size=1262"});
    }
    {
        Bytes f = base;
        f.insert(f.end() - kMac, 10, 0);  // bytes after the last record
        Reseal(f, secret, kAppSaltOff);
        cases.push_back({"trailing bytes", f, "invalid table layout: recordsize=1182 usercount=1 size=1272"});
    }
    {
        Bytes f = base;
        PutField(f, kAppHeader + kRecUsername, 257, std::u16string(257, u'x'));  // no NUL in the field
        Reseal(f, secret, kAppSaltOff);
        cases.push_back({"unterminated name", f, "invalid table layout: recordsize=1182 usercount=1 size=1262"});
    }
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " size " + std::to_string(c.file.size()));
        WriteFileBytes(AppBin(), c.file);
        log.Take();
        CAppTable t(u"App", *secretArray);
        auto lines = log.Take();
        EXPECT_EQ(t.loaded, 0);
        EXPECT_TRUE(t.Users.empty());
        std::string expected = c.error ? c.error : "Invalid data size (" + std::to_string(c.file.size()) + ")";
        EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CAppTable::CAppTable", expected));
        EXPECT_EQ(ReadFileBytes(AppBin()), c.file);
    }

    // A registered application without app.bin gets an empty one and stays unloaded.
    ASSERT_EQ(std::remove(AppBin().c_str()), 0);
    log.Take();
    CAppTable t(u"App", *secretArray);
    EXPECT_EQ(t.loaded, 0);
    EXPECT_TRUE(LogCapture::Has(log.Take(), diaglog::Level::Error, "CAppTable::CAppTable", "Invalid data size (0)"));
    EXPECT_TRUE(FileExists(AppBin()));
    EXPECT_EQ(ReadFileBytes(AppBin()).size(), 0u);
}

TEST_F(AppTableTest, The256thUserIsRefusedBeforeAnythingIsWritten) {
    std::u16string guid = AddUser(u"template");
    Bytes base = ReadFileBytes(AppBin());
    Bytes f = CraftTable(base, 255, Slice(base, kAppHeader, kUserRecord));
    WriteFileBytes(AppBin(), f);
    auto folders = ListDir(AppDir());

    CAppTable t(u"App", *secretArray);
    ASSERT_EQ(t.loaded, 1);
    ASSERT_EQ(t.Users.size(), 255u);
    UserRecord* rec = nullptr;
    EXPECT_EQ(t.AddUser(u"one-too-many", u"pw", &rec), -6);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(t.Users.size(), 255u);
    EXPECT_EQ(ReadFileBytes(AppBin()), f);
    EXPECT_EQ(ListDir(AppDir()), folders);
}

TEST_F(AppTableTest, UserNamesUpTo256CharactersFitTheirField) {
    std::u16string longest(256, u'n');
    std::u16string guid = AddUser(longest);
    Bytes f = ReadFileBytes(AppBin());
    ASSERT_EQ(f.size(), 1262u);
    EXPECT_EQ(Field(f, kAppHeader + kRecUsername, 257), longest);
    Bytes ut = ReadFileBytes(UserDir(guid) + "/user.bin");
    EXPECT_EQ(Field(ut, kUtUsername, 257), longest);

    auto folders = ListDir(AppDir());
    CAppTable t(u"App", *secretArray);
    UserRecord* rec = nullptr;
    EXPECT_EQ(t.AddUser(std::u16string(257, u'n').c_str(), u"pw", &rec), -3);
    EXPECT_EQ(ReadFileBytes(AppBin()), f);
    EXPECT_EQ(ListDir(AppDir()), folders);
}

TEST_F(AppTableTest, ApplicationNamesMustNameOneFolderAndOneKey) {
    // The data folder as the core sees it is 47 characters; a user folder adds "\" and a GUID,
    // and a blob file in it another "\" and a GUID: 47 + n + 74 must stay within 259.
    const size_t longest = 259 - DataFolderView().size() - 74;
    ASSERT_EQ(longest, 138u);
    struct Case {
        std::u16string name;
        LONG status;
    } cases[] = {
        {u"", -1},           {u".", -1},           {u"..", -1},         {u"a\\b", -1},
        {u"..\\escape", -1}, {u"a/b", -1},         {u"../escape", -1},  {u"tab\there", -1},
        {u"nl\n", -1},       {u"del\x7f", -1},     {u"a:b", -1},        {u"star*", -1},
        {u"trailing.", -1},  {u"trailing ", -1},   {std::u16string(1, char16_t(0xD800)) + u"x", -1},
        {std::u16string(longest + 1, u'L'), -6}, {std::u16string(300, u'L'), -6},
    };
    auto before = ListDir(DataDir());
    for (const Case& c : cases) {
        SCOPED_TRACE(vktest::Narrow(c.name));
        EXPECT_EQ(CAppTable::CheckAppName(c.name.c_str()), c.status);
        EXPECT_FALSE(CAppTable::IsValidAppName(c.name.c_str()));
        CAppTable t(c.name.c_str(), *secretArray);
        EXPECT_EQ(t.loaded, 0);
        EXPECT_EQ(t.AddApp(), c.status);
        if (!c.name.empty()) {  // "" would name the parent key
            EXPECT_FALSE(AppKeyExists(c.name.c_str()));
        }
        EXPECT_EQ(ListDir(DataDir()), before);
    }

    for (const std::u16string& name : {std::u16string(longest, u'L'), std::u16string(u"caf\u00e9 \U0001F600 app")}) {
        SCOPED_TRACE(vktest::Narrow(name));
        EXPECT_TRUE(CAppTable::IsValidAppName(name.c_str()));
        ASSERT_EQ(Register(name.c_str()), 0);
        SetType(name.c_str(), 0);
        CAppTable t(name.c_str(), *secretArray);
        ASSERT_EQ(t.loaded, 1);
        UserRecord* rec = nullptr;
        ASSERT_EQ(t.AddUser(u"u", u"pw", &rec), 0);
        EXPECT_LE(std::u16string(rec->path).size() + 1 + 36, 259u);
    }
}

TEST_F(AppTableTest, DeleteAppRemovesUsersTableFolderAndKey) {
    std::u16string a = AddUser(u"alice"), b = AddUser(u"bob");
    ASSERT_TRUE(FileExists(UserDir(a))) ;
    // A user whose table does not verify still loses its folder.
    Bytes ub = ReadFileBytes(UserDir(b) + "/user.bin");
    ub[10] ^= 1;
    WriteFileBytes(UserDir(b) + "/user.bin", ub);

    CAppTable t(u"App", *secretArray);
    ASSERT_EQ(t.loaded, 1);
    EXPECT_EQ(t.DeleteApp(), 0);
    EXPECT_TRUE(t.Users.empty());
    EXPECT_FALSE(FileExists(UserDir(a)));
    EXPECT_FALSE(FileExists(UserDir(b)));
    EXPECT_FALSE(FileExists(AppBin()));
    EXPECT_FALSE(FileExists(AppDir()));
    EXPECT_FALSE(AppKeyExists(u"App"));

    // Registering again starts from an empty table.
    ASSERT_EQ(Register(u"App"), 0);
    EXPECT_EQ(ReadFileBytes(AppBin()).size(), 80u);
}

TEST_F(AppTableTest, DeleteAppNeverRemovesAFolderOutsideTheApplication) {
    std::u16string a = AddUser(u"alice");
    // A table that verifies but whose record points elsewhere (a folder beside the application's).
    ASSERT_EQ(Register(u"Victim"), 0);
    ASSERT_TRUE(FileExists(AppDir("Victim") + "/app.bin"));
    Bytes f = ReadFileBytes(AppBin());
    PutField(f, kAppHeader + kRecPath, 260, DataFolderView() + u"Victim");
    Reseal(f, secret, kAppSaltOff);
    WriteFileBytes(AppBin(), f);

    CAppTable t(u"App", *secretArray);
    ASSERT_EQ(t.loaded, 1);
    EXPECT_EQ(t.DeleteApp(), 0);
    EXPECT_TRUE(FileExists(AppDir("Victim") + "/app.bin"));
    EXPECT_FALSE(AppKeyExists(u"App"));
}

} // namespace
