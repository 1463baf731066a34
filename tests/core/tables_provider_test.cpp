/* The tables with protection type 1: user keys in the key container provider. */
#include "TableFixture.h"
#include "platform/KeyProvider.h"

using namespace tabletest;
using vktest::Le32;
using vktest::ReadFileBytes;
using vktest::WriteFileBytes;
using vktest::FileExists;

namespace {

class ProviderTablesTest : public TablesTest {
protected:
    void SetUp() override {
        // The TPM status server is a COM object: the tables run here outside an export's frame.
        coInit = SUCCEEDED(CoInitialize(NULL));
        TablesTest::SetUp();
        ASSERT_TRUE(rootLaidOut) << "the machine root could not be laid out (key provider registration)";
        ASSERT_EQ(Register(u"Tpm"), 0);  // registered with type 1, as the system writes it
    }

    void TearDown() override {
        if (coInit) CoUninitialize();
    }

    std::u16string AddTpmUser(const char16_t* name, const char16_t* password) {
        CAppTable t(u"Tpm", *secretArray);
        EXPECT_EQ(t.loaded, 1);
        EXPECT_EQ(t.Type, 1u);
        UserRecord* rec = nullptr;
        EXPECT_EQ(t.AddUser(name, password, &rec), 0);
        return rec ? std::u16string(rec->guid) : std::u16string();
    }

    std::unique_ptr<CUserTable> OpenTpmUser(const char16_t* name, const std::u16string& guid) {
        std::u16string folder = DataFolderView() + u"Tpm\\" + guid;
        return std::make_unique<CUserTable>(1, u"Tpm", secretArray->get(), name, guid.c_str(), folder.c_str());
    }

    static bool ContainerExists(const std::u16string& name) {
        HCRYPTPROV h = 0;
        if (!CryptAcquireContextW(&h, name.c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET))
            return false;
        CryptReleaseContext(h, 0);
        return true;
    }

    std::string TpmUserDir(const std::u16string& guid) const { return AppDir("Tpm") + "/" + vktest::Narrow(guid); }

    bool coInit = false;
};

TEST_F(ProviderTablesTest, NewUserCarriesItsGuidAsContainerName) {
    std::u16string guid = AddTpmUser(u"alice", u"pw");
    Bytes f = ReadFileBytes(TpmUserDir(guid) + "/user.bin");
    ASSERT_EQ(f.size(), 668u);
    EXPECT_EQ(Le32(f, 0), 1u);
    EXPECT_EQ(Le32(f, 4), 668u);
    EXPECT_EQ(Field(f, kUtUsername, 257), u"alice");
    EXPECT_EQ(Le32(f, kUtCredCount), 0u);
    EXPECT_EQ(Field(f, kUtUuid, 38), guid);
    EXPECT_TRUE(ZeroAfterNul(f, kUtUuid, 38));
    EXPECT_TRUE(TrailerVerifies(f, secret, kUtSalt));
    EXPECT_TRUE(ContainerExists(guid));

    // The user's own deletion takes the folder and the container.
    auto ut = OpenTpmUser(u"alice", guid);
    ASSERT_EQ(ut->UserExists, 1);
    EXPECT_EQ(ut->DeleteUser(), 0);
    EXPECT_FALSE(FileExists(TpmUserDir(guid)));
    EXPECT_FALSE(ContainerExists(guid));
}

TEST_F(ProviderTablesTest, CredentialsOpenOnlyWithTheUsersPassword) {
    std::u16string guid = AddTpmUser(u"alice", u"right");
    const Bytes cred = Pattern(100, 5);
    {
        auto ut = OpenTpmUser(u"alice", guid);
        vktest::ByteArray md(Pattern(3, 1)), emd(Pattern(9, 2)), c(cred);
        CredentialRecord* rec = nullptr;
        ASSERT_EQ(ut->AddCred(u"id", md, emd, c, u"right", &rec), 0);
    }
    auto ut = OpenTpmUser(u"alice", guid);
    CredentialRecord* rec = nullptr;
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(ut->FindCredInUserTable(u"id", u"right", &rec, &out), 0);
    EXPECT_EQ(vktest::TakeArray(out), cred);
    LONG wrong = ut->FindCredInUserTable(u"id", u"wrong", &rec, &out);
    EXPECT_TRUE(wrong == -16 || wrong == -6) << wrong;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(ut->UserExists, 1);  // a refused password says nothing about the files
}

TEST_F(ProviderTablesTest, DeleteAppKeepsTheContainerOfAnUnverifiedUser) {
    std::u16string a = AddTpmUser(u"alice", u"pw"), b = AddTpmUser(u"bob", u"pw");
    ASSERT_TRUE(ContainerExists(a));
    ASSERT_TRUE(ContainerExists(b));
    Bytes ub = ReadFileBytes(TpmUserDir(b) + "/user.bin");
    ub[kUtUuid] ^= 1;  // no longer verifies: its container name is not to be trusted
    WriteFileBytes(TpmUserDir(b) + "/user.bin", ub);

    CAppTable t(u"Tpm", *secretArray);
    ASSERT_EQ(t.loaded, 1);
    EXPECT_EQ(t.DeleteApp(), 0);
    EXPECT_FALSE(ContainerExists(a));
    EXPECT_TRUE(ContainerExists(b));
    EXPECT_FALSE(FileExists(TpmUserDir(a)));
    EXPECT_FALSE(FileExists(TpmUserDir(b)));
    EXPECT_FALSE(FileExists(AppDir("Tpm")));
    EXPECT_FALSE(AppKeyExists(u"Tpm"));
}

} // namespace
