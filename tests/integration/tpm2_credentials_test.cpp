/* The credential exports end to end with the TPM 2.0 backend, chosen as an administrator chooses it (the
 * registry values "Backend" and "TCTI"), on private simulators with their dictionary-attack defence on:
 * lockout, and a restore on another TPM. The provider's own promises are in tests/components. */
#include "VkSwtpm.h"
#include "VkTest.h"

#include <vaultkeep/vaultkeep.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "diaglog_control.h"

using namespace vktest;

namespace {

const std::string kKsp = "ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/";

class Tpm2Credentials : public RootTest {
  protected:
    void SetUp() override {
        setenv("TSS2_LOG", "all+none", 0);
        if (!swtpm::Installed()) GTEST_SKIP() << "swtpm is not installed";
    }

    /* Lays out the current root with the registry choosing the TPM backend on tcti, and an app. */
    void LayOut(const std::string& tcti) {
        ASSERT_EQ(VaultkeepInitRoot(), 0);
        ksp::SetSetting(W("Backend"), W("tpm2"));
        ksp::SetSetting(W("TCTI"), U(tcti));
        ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    }

    LONG Store(const WCHAR* password, const WCHAR* id) {
        ByteArray md(Bytes(9, 1)), emd(Bytes(12, 2)), c(cred);
        return StoreCredential(W("App"), secret, W("bob"), password, id, md, emd, c);
    }
    LONG Retrieve(const WCHAR* password, const WCHAR* id) {
        SAFEARRAY* psa = nullptr;
        LONG st = RetrieveCredential(W("App"), secret, W("bob"), password, id, &psa);
        const Bytes out = TakeArray(psa);
        EXPECT_EQ(out, st == 0 ? cred : Bytes()) << Narrow(id);
        return st;
    }

    ByteArray secret{Bytes{'t', 'p', 'm', '-', 's', 'e', 'c', 'r', 'e', 't'}};
    Bytes cred = {'c', 'r', 'e', 'd', 0, 0x80, 0xff};
    // The registry, not the environment, picks the backend and the TPM here.
    swtpm::ScopedEnv backend_{"VAULTKEEP_KSP_BACKEND", nullptr};
    swtpm::ScopedEnv tcti_{"VAULTKEEP_KSP_TCTI", nullptr};
};

TEST_F(Tpm2Credentials, RepeatedWrongPasswordsLockTheTpmOut) {
    swtpm::Simulator sim;
    ASSERT_EQ(sim.Start(), ""); // the simulator's own defence: 3 failures, then 1000 s
    ASSERT_NO_FATAL_FAILURE(LayOut(sim.tcti()));
    ASSERT_EQ(AddUser(W("App"), secret, W("bob"), W("bob pw")), 0);
    const std::string app = root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep/App");
    std::string guid;
    for (const std::string& name : ListDir(app))
        if (std::filesystem::is_directory(app + "/" + name)) guid = name;
    ASSERT_FALSE(guid.empty());
    EXPECT_TRUE(FileExists(root.host(kKsp + "Tpm2Keys/" + guid))) << "the user's key is a TPM container";
    EXPECT_FALSE(FileExists(root.host(kKsp + "MachineKeys/" + guid)));
    ASSERT_EQ(Store(W("bob pw"), W("vpn")), 0);
    ASSERT_EQ(Retrieve(W("bob pw"), W("vpn")), 0);
    {
        // Another machine with another TPM: the user's store comes back, its key cannot (the provider says
        // why), and its credentials then fail for want of a key.
        const std::string archive = root.host("bob.zip");
        ASSERT_EQ(ArchiveUser(W("App"), secret, W("bob"), U(archive).c_str(), W("backup pw"), W("l")), 0);
        swtpm::Simulator other;
        ASSERT_EQ(other.Start(), "");
        FreshRoot elsewhere;
        ASSERT_NO_FATAL_FAILURE(LayOut(other.tcti()));
        diaglog::SetCapture(true);
        diaglog::TakeCaptured();
        EXPECT_EQ(RestoreUser(W("App"), secret, W("bob"), U(archive).c_str(), W("backup pw"), 0), 0);
        EXPECT_TRUE(ksp::LoggedError("made by another TPM"));
        EXPECT_EQ(Retrieve(W("bob pw"), W("vpn")), Error_Internal);
    }

    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    // A password change inside the TPM: the key takes the new password only, and a wrong old one counts
    // against the defence as a wrong retrieve does.
    auto change = [&](const WCHAR* from, const WCHAR* to) {
        return ChangeUserPassword(W("App"), secret, W("bob"), from, to);
    };
    EXPECT_EQ(change(W("guess 1"), W("bob pw2")), Error_Decrypt_Failed);
    ASSERT_EQ(change(W("bob pw"), W("bob pw2")), 0);
    EXPECT_EQ(Retrieve(W("bob pw2"), W("vpn")), 0);
    EXPECT_EQ(Retrieve(W("bob pw"), W("vpn")), Error_Decrypt_Failed);
    EXPECT_EQ(Retrieve(W("guess 3"), W("vpn")), Error_Decrypt_Failed);
    EXPECT_FALSE(ksp::LoggedError("locked out")) << "wrong passwords are just wrong";

    // Locked out: the right password fails too, with a status of its own and lines that say why, not the
    // password.
    diaglog::SetCapture(true);
    EXPECT_EQ(Retrieve(W("bob pw2"), W("vpn")), Error_TPM_Not_Owned);
    const auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);
    int said = 0;
    for (const auto& l : lines) {
        said += l.function == "CUtil::DecryptBlob" && l.text.find("TPM is locked out") != std::string::npos;
        said += l.text.find("dictionary-attack defence") != std::string::npos;
        EXPECT_EQ(l.text.find("bob pw"), std::string::npos);
    }
    EXPECT_EQ(said, 2);
    EXPECT_EQ(change(W("bob pw2"), W("bob pw3")), Error_TPM_Not_Owned) << "no change while locked out";

    // Storing opens the key too (nothing is wrapped to a key the password does not open), so it
    // waits for the lockout as well, and stores nothing meanwhile.
    EXPECT_EQ(Store(W("bob pw2"), W("new")), 1);
    BSTR ids = nullptr;
    ASSERT_EQ(QueryUserCreds(W("App"), secret, W("bob"), &ids), 0);
    EXPECT_EQ(Narrow(WString(ids)), "vpn");
    SysFreeString(ids);
}

} // namespace
