/* The tables with protection type 1: user keys in the key container provider. */
#include "TableFixture.h"

using namespace tabletest;

namespace {

class ProviderTablesTest : public TablesTest {
  protected:
    void SetUp() override {
        // The TPM status server is a COM object: the tables run here outside an export's frame.
        coInit = SUCCEEDED(CoInitialize(NULL));
        TablesTest::SetUp();
        ASSERT_TRUE(rootLaidOut) << "the machine root could not be laid out (key provider registration)";
        ASSERT_EQ(Register(W("Tpm")), 0); // registered with type 1, as the system writes it
    }
    void TearDown() override {
        if (coInit) CoUninitialize();
    }

    WString AddTpmUser(const WCHAR* name) {
        CAppTable t(W("Tpm"), *secretArray);
        EXPECT_EQ(t.Type, 1u);
        UserRecord* rec = nullptr;
        EXPECT_EQ(t.AddUser(name, W("pw"), &rec), 0);
        return rec ? WString(rec->guid) : WString();
    }
    std::string TpmUserDir(const WString& guid) const {
        return AppDir("Tpm") + "/" + vktest::Narrow(guid);
    }

    bool coInit = false;
};

/* DeleteUser taking the container: exports_app_test. */
TEST_F(ProviderTablesTest, NewUserCarriesItsGuidAsContainerName) {
    WString guid = AddTpmUser(W("alice"));
    Bytes f = ReadFileBytes(TpmUserDir(guid) + "/user.bin");
    ASSERT_EQ(f.size(), 668u);
    EXPECT_EQ(Le32(f, 4), 668u);
    EXPECT_EQ(Field(f, kUtUuid, 38), guid);
    EXPECT_TRUE(ZeroAfterNul(f, kUtUuid, 38));
    EXPECT_TRUE(TrailerVerifies(f, secret, kUtSalt));
    EXPECT_TRUE(ContainerExists(guid));
}

TEST_F(ProviderTablesTest, DeleteAppKeepsTheContainerOfAnUnverifiedUser) {
    WString a = AddTpmUser(W("alice")), b = AddTpmUser(W("bob"));
    ASSERT_TRUE(ContainerExists(a) && ContainerExists(b));
    Bytes ub = ReadFileBytes(TpmUserDir(b) + "/user.bin");
    ub[kUtUuid] ^= 1; // no longer verifies: its container name is not to be trusted
    WriteFileBytes(TpmUserDir(b) + "/user.bin", ub);

    EXPECT_EQ(CAppTable(W("Tpm"), *secretArray).DeleteApp(), 0);
    EXPECT_FALSE(ContainerExists(a));
    EXPECT_TRUE(ContainerExists(b));
    EXPECT_FALSE(FileExists(AppDir("Tpm")));
    EXPECT_FALSE(AppKeyExists(W("Tpm")));
}

} // namespace
