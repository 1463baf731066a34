/* Every single byte of app.bin, user.bin and a blob file is flipped in turn: the
 * tables refuse each altered file, with the version and count checks reporting
 * their own overflow and every other change failing the HMAC. */
#include "TableFixture.h"

using namespace tabletest;
using vktest::Le32;
using vktest::ReadFileBytes;
using vktest::WriteFileBytes;

namespace {

class TamperTest : public TablesTest {
protected:
    void SetUp() override {
        TablesTest::SetUp();
        guid = AddUser(u"alice");
        ASSERT_FALSE(guid.empty());
        auto ut = OpenUser(u"alice", guid);
        vktest::ByteArray md(Pattern(10, 1)), emd(Pattern(48, 2)), cred(Pattern(64, 3));
        CredentialRecord* rec = nullptr;
        ASSERT_EQ(ut->AddCred(u"mail", md, emd, cred, u"pw", &rec), 0);
        blobName = vktest::Narrow(std::u16string(rec->blobname));
    }
    std::u16string guid;
    std::string blobName;
};

TEST_F(TamperTest, EveryByteOfAppBin) {
    const Bytes good = ReadFileBytes(AppBin());
    ASSERT_EQ(good.size(), 1262u);
    LogCapture log;
    for (size_t i = 0; i < good.size(); ++i) {
        SCOPED_TRACE("offset " + std::to_string(i));
        Bytes f = good;
        f[i] ^= 0xFF;
        WriteFileBytes(AppBin(), f);
        log.Take();
        CAppTable t(u"App", *secretArray);
        auto lines = log.Take();
        EXPECT_EQ(t.loaded, 0);
        EXPECT_TRUE(t.Users.empty());
        const char* expected = Le32(f, 0) > 1 ? ">MAXIMUM_SUPPORTED_VERSION"
                               : Le32(f, 40) > 255 ? "> MAXIMUM_NUMBER_OF_USERS"
                                                   : "loaded=false";
        EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CAppTable::CAppTable", expected));
        if (::testing::Test::HasFailure()) break;
    }
    WriteFileBytes(AppBin(), good);
    CAppTable t(u"App", *secretArray);
    EXPECT_EQ(t.loaded, 1);
}

TEST_F(TamperTest, EveryByteOfUserBin) {
    const std::string path = UserDir(guid) + "/user.bin";
    const Bytes good = ReadFileBytes(path);
    ASSERT_GT(good.size(), 668u + 580u);
    LogCapture log;
    for (size_t i = 0; i < good.size(); ++i) {
        SCOPED_TRACE("offset " + std::to_string(i));
        Bytes f = good;
        f[i] ^= 0xFF;
        WriteFileBytes(path, f);
        log.Take();
        auto ut = OpenUser(u"alice", guid);
        auto lines = log.Take();
        EXPECT_EQ(ut->UserExists, 0);
        EXPECT_TRUE(ut->Creds.empty());
        LONG status = ut->ReadUserTable();
        if (Le32(f, 0) > 1) {
            EXPECT_EQ(status, -4);
        } else if (Le32(f, kUtCredCount) > 255) {
            EXPECT_EQ(status, -8);
        } else {
            EXPECT_EQ(status, -3);
            EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CUserTable::ReadUserTable", "file corrupted"));
        }
        if (::testing::Test::HasFailure()) break;
    }
    WriteFileBytes(path, good);
    EXPECT_EQ(OpenUser(u"alice", guid)->UserExists, 1);
}

TEST_F(TamperTest, EveryByteOfABlobFile) {
    const std::string path = UserDir(guid) + "/" + blobName;
    const Bytes good = ReadFileBytes(path);
    ASSERT_EQ(good.size(), Le32(good, 4) + 72u);
    for (size_t i = 0; i < good.size(); ++i) {
        SCOPED_TRACE("offset " + std::to_string(i));
        Bytes f = good;
        f[i] ^= 0xFF;
        WriteFileBytes(path, f);
        auto ut = OpenUser(u"alice", guid);
        ASSERT_EQ(ut->UserExists, 1);
        CredentialRecord* rec = nullptr;
        SAFEARRAY* out = nullptr;
        EXPECT_EQ(ut->FindCredInUserTable(u"mail", u"pw", &rec, &out), -3);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(ut->UserExists, 0);
        if (::testing::Test::HasFailure()) break;
    }
    WriteFileBytes(path, good);
    auto ut = OpenUser(u"alice", guid);
    CredentialRecord* rec = nullptr;
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(ut->FindCredInUserTable(u"mail", u"pw", &rec, &out), 0);
    EXPECT_EQ(vktest::TakeArray(out), Pattern(64, 3));
}

} // namespace
