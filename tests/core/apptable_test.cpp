/* CAppTable: app.bin byte layout, HMAC under the application secret, user list operations,
 * limits, hostile files and application-name validation. */
#include "TableFixture.h"

#include <set>

using namespace tabletest;

namespace {

class AppTableTest : public TablesTest {
  protected:
    /* A table image of n records cloned from the first record of `base`, each named apart, resealed. */
    Bytes CraftTable(const Bytes& base, size_t n, uint32_t version = 1) {
        Bytes f = Slice(base, 0, kAppHeader);
        for (size_t i = 0; i < n; ++i) {
            Bytes r = Slice(base, kAppHeader, kUserRecord);
            PutField(r, kRecUsername, 257, W("user") + vktest::U(std::to_string(i)));
            f.insert(f.end(), r.begin(), r.end());
        }
        f.resize(f.size() + kMac);
        PutLe32(f, 0, version);
        PutLe32(f, 4, static_cast<uint32_t>(f.size()));
        PutLe32(f, kUserCountOff, static_cast<uint32_t>(n));
        Reseal(f, secret, kAppSaltOff);
        return f;
    }
};

TEST_F(AppTableTest, NewTableIsEightyBytesVerifiedUnderTheSecret) {
    Bytes f = ReadFileBytes(AppBin());
    ASSERT_EQ(f.size(), 80u);
    EXPECT_EQ(Le32(f, 0), 1u);  // version
    EXPECT_EQ(Le32(f, 4), 80u); // totalsize
    EXPECT_EQ(Le32(f, 40), 0u); // usercount
    EXPECT_EQ(Le32(f, 44), 1182u);
    EXPECT_TRUE(TrailerVerifies(f, secret, kAppSaltOff));
    ASSERT_EQ(Register(W("Second")), 0);
    EXPECT_NE(Slice(ReadFileBytes(AppDir("Second") + "/app.bin"), kAppSaltOff, 32),
              Slice(f, kAppSaltOff, 32));
}

TEST_F(AppTableTest, UsersAppendRecordsWhosePathIsLocationAndGuid) {
    EXPECT_EQ(CAppTable(W("App"), *secretArray).ListOfUsers(), W(""));
    const std::vector<WString> names = {W("alice"), W("two words"), W("Alice")};
    std::vector<WString> guids;
    for (size_t n = 0; n < names.size(); ++n) {
        guids.push_back(AddUser(names[n]));
        Bytes f = ReadFileBytes(AppBin());
        ASSERT_EQ(f.size(), 80 + 1182 * (n + 1));
        EXPECT_EQ(Le32(f, 4), f.size());
        EXPECT_EQ(Le32(f, 40), n + 1);
        EXPECT_TRUE(TrailerVerifies(f, secret, kAppSaltOff));
    }
    Bytes f = ReadFileBytes(AppBin());
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(i);
        size_t rec = kAppHeader + i * kUserRecord;
        EXPECT_EQ(Field(f, rec + kRecUsername, 257), names[i]);
        EXPECT_EQ(Field(f, rec + kRecGuid, 74), guids[i]);
        EXPECT_TRUE(IsLowerGuid(guids[i]));
        EXPECT_EQ(Field(f, rec + kRecPath, 260), kDataView + W("App\\") + guids[i]);
        for (auto [off, units] : {std::pair{kRecUsername, 257}, {kRecGuid, 74}, {kRecPath, 260}})
            EXPECT_TRUE(ZeroAfterNul(f, rec + off, units));
        EXPECT_TRUE(FileExists(UserDir(guids[i]) + "/user.bin"));
    }
    EXPECT_EQ(std::set<WString>(guids.begin(), guids.end()).size(), 3u);

    // Names the list could not carry are refused before anything is made (listing and exact name
    // matching: exports_app_test).
    CAppTable t(W("App"), *secretArray);
    const Bytes before = ReadFileBytes(AppBin());
    for (const WCHAR* bad : {W("a,b"), W(""), W("tab\there"), W("\x7f")}) {
        UserRecord* none = nullptr;
        EXPECT_EQ(t.AddUser(bad, W("pw"), &none), Error_No_User);
        EXPECT_EQ(none, nullptr);
    }
    EXPECT_EQ(ReadFileBytes(AppBin()), before);
    EXPECT_EQ(ListDir(AppDir()).size(), 4u) << "app.bin and three user folders";
}

TEST_F(AppTableTest, RemovingTheMiddleOfThreeKeepsTheOthersInOrder) {
    for (auto n : {W("alice"), W("bob"), W("carol")})
        AddUser(n);
    Bytes before = ReadFileBytes(AppBin());
    EXPECT_EQ(CAppTable(W("App"), *secretArray).DeleteUserInAppTable(W("zed")), -3);
    EXPECT_EQ(ReadFileBytes(AppBin()), before);
    EXPECT_EQ(CAppTable(W("App"), *secretArray).DeleteUserInAppTable(W("bob")), 0);
    Bytes after = ReadFileBytes(AppBin());
    ASSERT_EQ(after.size(), before.size() - 1182);
    EXPECT_EQ(Le32(after, 4), after.size());
    EXPECT_EQ(Le32(after, 40), 2u);
    EXPECT_EQ(Slice(after, kAppHeader, kUserRecord), Slice(before, kAppHeader, kUserRecord));
    EXPECT_EQ(Slice(after, kAppHeader + kUserRecord, kUserRecord),
              Slice(before, kAppHeader + 2 * kUserRecord, kUserRecord));
    EXPECT_TRUE(TrailerVerifies(after, secret, kAppSaltOff));
}

TEST_F(AppTableTest, VersionZeroLoadsAndTheHmacComesAfterTheUserCount) {
    // Versions above 1 and counts above 255 are refused with their own lines: tamper_test.
    AddUser(W("template"));
    const Bytes base = ReadFileBytes(AppBin());
    LogCapture log;
    Bytes f = CraftTable(base, 256);
    WriteFileBytes(AppBin(), f);
    EXPECT_EQ(CAppTable(W("App"), *secretArray).loaded, 0);
    auto lines = log.Take();
    EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CAppTable::CAppTable", "> MAXIMUM_NUMBER_OF_USERS"));
    EXPECT_FALSE(LogCapture::HasText(lines, "loaded=false"));

    // Version 0 loads, and any save writes version 1 and the true total size.
    f = CraftTable(base, 1, 0);
    PutLe32(f, 4, 12345);
    Reseal(f, secret, kAppSaltOff);
    WriteFileBytes(AppBin(), f);
    EXPECT_EQ(CAppTable(W("App"), *secretArray).DeleteUserInAppTable(W("user0")), 0);
    Bytes saved = ReadFileBytes(AppBin());
    EXPECT_EQ(Le32(saved, 0), 1u);
    EXPECT_EQ(Le32(saved, 4), saved.size());
}

TEST_F(AppTableTest, HostileFilesAreRefusedWithoutReadingPastThem) {
    AddUser(W("alice"));
    const Bytes base = ReadFileBytes(AppBin());
    std::vector<std::pair<Bytes, std::string>> cases; // file, expected error line
    for (size_t n : {0, 32, 48, 79})
        cases.push_back({Slice(base, 0, n), "Invalid data size (" + std::to_string(n) + ")"});
    auto resealed = [&](auto edit, const char* layout) {
        Bytes f = base;
        edit(f);
        Reseal(f, secret, kAppSaltOff);
        cases.push_back({f, std::string("invalid table layout: ") + layout});
    };
    resealed([](Bytes& f) { PutLe32(f, kRecordSizeOff, 1181); }, "recordsize=1181 usercount=1 size=1262");
    resealed([](Bytes& f) { PutLe32(f, kRecordSizeOff, 4000); }, "recordsize=4000 usercount=1 size=1262");
    resealed([](Bytes& f) { PutLe32(f, kUserCountOff, 2); }, "recordsize=1182 usercount=2 size=1262");
    resealed([](Bytes& f) { f.insert(f.end() - kMac, 10, 0); }, "recordsize=1182 usercount=1 size=1272");
    resealed([](Bytes& f) { PutField(f, kAppHeader + kRecUsername, 257, WString(257, W('x'))); },
             "recordsize=1182 usercount=1 size=1262"); // a name without its NUL
    LogCapture log;
    for (const auto& [file, error] : cases) {
        SCOPED_TRACE(error);
        WriteFileBytes(AppBin(), file);
        log.Take();
        CAppTable t(W("App"), *secretArray);
        EXPECT_EQ(t.loaded, 0);
        EXPECT_TRUE(t.Users.empty());
        EXPECT_TRUE(LogCapture::Has(log.Take(), diaglog::Level::Error, "CAppTable::CAppTable", error));
        EXPECT_EQ(ReadFileBytes(AppBin()), file);
    }
}

TEST_F(AppTableTest, The256thUserAndOverlongNamesAreRefusedBeforeAnythingIsWritten) {
    WString longest(256, W('n'));
    WString guid = AddUser(longest);
    Bytes f = ReadFileBytes(AppBin());
    EXPECT_EQ(Field(f, kAppHeader + kRecUsername, 257), longest);
    EXPECT_EQ(Field(ReadFileBytes(UserDir(guid) + "/user.bin"), kUtUsername, 257), longest);
    auto folders = ListDir(AppDir());
    UserRecord* rec = nullptr;
    EXPECT_EQ(CAppTable(W("App"), *secretArray).AddUser(WString(257, W('n')).c_str(), W("pw"), &rec), -3);
    EXPECT_EQ(ReadFileBytes(AppBin()), f);
    EXPECT_EQ(ListDir(AppDir()), folders);

    Bytes full = CraftTable(f, 255);
    WriteFileBytes(AppBin(), full);
    CAppTable t(W("App"), *secretArray);
    ASSERT_EQ(t.Users.size(), 255u);
    EXPECT_EQ(t.AddUser(W("one-too-many"), W("pw"), &rec), -6);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(t.Users.size(), 255u);
    EXPECT_EQ(ReadFileBytes(AppBin()), full);
    EXPECT_EQ(ListDir(AppDir()), folders);
}

TEST_F(AppTableTest, ApplicationNamesMustNameOneFolderAndOneKey) {
    // A blob path is the data folder (47 characters), the name, "\" + GUID twice: it must fit in 259.
    const size_t longest = 259 - kDataView.size() - 74;
    ASSERT_EQ(longest, 138u);
    std::vector<WString> names = {W(""),          W("."),         W(".."),      W("a\\b"), W("..\\escape"),
                                         W("a/b"),       W("tab\there"), W("del\x7f"), W("a:b"),  W("star*"),
                                         W("trailing."), W("trailing "), W("\xD800x")};
    names.push_back(WString(longest + 1, W('L')));
    auto before = ListDir(DataDir());
    for (const WString& name : names) {
        SCOPED_TRACE(vktest::Narrow(name));
        const LONG status = name.size() > longest ? -6 : -1;
        EXPECT_FALSE(CAppTable::IsValidAppName(name.c_str()));
        CAppTable t(name.c_str(), *secretArray);
        EXPECT_EQ(t.AddApp(), status);
        EXPECT_TRUE(name.empty() || !AppKeyExists(name)); // "" would name the parent key
        EXPECT_EQ(ListDir(DataDir()), before);
    }
    for (const WString& name :
         {WString(longest, W('L')), WString(W("caf\u00e9 \U0001F600 app"))}) {
        SCOPED_TRACE(vktest::Narrow(name));
        ASSERT_EQ(Register(name.c_str()), 0);
        SetType(name.c_str(), 0);
        UserRecord* rec = nullptr;
        ASSERT_EQ(CAppTable(name.c_str(), *secretArray).AddUser(W("u"), W("pw"), &rec), 0);
    }
}

TEST_F(AppTableTest, DeleteAppRemovesUsersTableFolderAndKey) {
    WString a = AddUser(W("alice")), b = AddUser(W("bob"));
    // A user whose table does not verify still loses its folder.
    Bytes ub = ReadFileBytes(UserDir(b) + "/user.bin");
    ub[10] ^= 1;
    WriteFileBytes(UserDir(b) + "/user.bin", ub);
    // And a table that verifies but points a record at another application's folder removes nothing there.
    ASSERT_EQ(Register(W("Victim")), 0);
    Bytes f = ReadFileBytes(AppBin());
    Bytes rec = Slice(f, kAppHeader, kUserRecord);
    PutField(rec, kRecUsername, 257, W("carol"));
    PutField(rec, kRecPath, 260, kDataView + W("Victim"));
    f.insert(f.end() - kMac, rec.begin(), rec.end());
    PutLe32(f, 4, static_cast<uint32_t>(f.size()));
    PutLe32(f, kUserCountOff, 3);
    Reseal(f, secret, kAppSaltOff);
    WriteFileBytes(AppBin(), f);

    CAppTable t(W("App"), *secretArray);
    ASSERT_EQ(t.loaded, 1);
    EXPECT_EQ(t.DeleteApp(), 0);
    EXPECT_FALSE(FileExists(UserDir(a)));
    EXPECT_FALSE(FileExists(UserDir(b)));
    EXPECT_FALSE(FileExists(AppDir()));
    EXPECT_FALSE(AppKeyExists(W("App")));
    EXPECT_TRUE(FileExists(AppDir("Victim") + "/app.bin"));
    ASSERT_EQ(Register(W("App")), 0);
    EXPECT_EQ(ReadFileBytes(AppBin()).size(), 80u);
}

} // namespace
