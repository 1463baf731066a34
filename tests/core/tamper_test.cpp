/* Every single byte of app.bin, user.bin and a blob file is flipped in turn: the tables refuse
 * each altered file, the version and count checks reporting their own overflow, every other
 * change failing the HMAC. */
#include "TableFixture.h"

using namespace tabletest;

namespace {

class TamperTest : public TablesTest {
  protected:
    void SetUp() override {
        TablesTest::SetUp();
        guid = AddUser(W("alice"));
        vktest::ByteArray md(Pattern(10, 1)), emd(Pattern(48, 2)), cred(Pattern(64, 3));
        auto user = OpenUser(W("alice"), guid); // the record belongs to the table: read it while it lives
        CredentialRecord* rec = nullptr;
        ASSERT_EQ(user->AddCred(W("mail"), md, emd, cred, W("pw"), &rec), 0);
        blobName = vktest::Narrow(WString(rec->blobname));
    }

    /* Flips each byte of the file in turn and runs `check` on it; the intact file passes again after. */
    template <typename Check> void FlipEach(const std::string& path, Check check) {
        const Bytes good = ReadFileBytes(path);
        LogCapture log;
        for (size_t i = 0; i < good.size() && !HasFailure(); ++i) {
            SCOPED_TRACE("offset " + std::to_string(i));
            Bytes f = good;
            f[i] ^= 0xFF;
            WriteFileBytes(path, f);
            log.Take();
            check(f, log);
        }
        WriteFileBytes(path, good);
    }

    WString guid;
    std::string blobName;
};

TEST_F(TamperTest, EveryByteOfAppBin) {
    ASSERT_EQ(ReadFileBytes(AppBin()).size(), 1262u);
    FlipEach(AppBin(), [&](const Bytes& f, LogCapture& log) {
        CAppTable t(W("App"), *secretArray);
        EXPECT_EQ(t.loaded, 0);
        const char* expected = Le32(f, 0) > 1      ? ">MAXIMUM_SUPPORTED_VERSION"
                               : Le32(f, 40) > 255 ? "> MAXIMUM_NUMBER_OF_USERS"
                                                   : "loaded=false";
        EXPECT_TRUE(LogCapture::Has(log.Take(), diaglog::Level::Error, "CAppTable::CAppTable", expected));
    });
    EXPECT_EQ(CAppTable(W("App"), *secretArray).loaded, 1);
}

TEST_F(TamperTest, EveryByteOfUserBin) {
    const std::string path = UserDir(guid) + "/user.bin";
    FlipEach(path, [&](const Bytes& f, LogCapture& log) {
        auto ut = OpenUser(W("alice"), guid);
        EXPECT_EQ(ut->UserExists, 0);
        const LONG expected = Le32(f, 0) > 1 ? -4 : Le32(f, kUtCredCount) > 255 ? -8 : -3;
        EXPECT_EQ(ut->ReadUserTable(), expected);
        EXPECT_TRUE(expected != -3 || LogCapture::Has(log.Take(), diaglog::Level::Error,
                                                      "CUserTable::ReadUserTable", "file corrupted"));
    });
    EXPECT_EQ(OpenUser(W("alice"), guid)->UserExists, 1);
}

TEST_F(TamperTest, EveryByteOfABlobFile) {
    auto find = [&](SAFEARRAY** out) {
        CredentialRecord* rec = nullptr;
        return OpenUser(W("alice"), guid)->FindCredInUserTable(W("mail"), W("pw"), &rec, out);
    };
    FlipEach(UserDir(guid) + "/" + blobName, [&](const Bytes&, LogCapture&) {
        SAFEARRAY* out = nullptr;
        EXPECT_EQ(find(&out), -3);
        EXPECT_EQ(out, nullptr);
    });
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(find(&out), 0);
    EXPECT_EQ(vktest::TakeArray(out), Pattern(64, 3));
}

} // namespace
