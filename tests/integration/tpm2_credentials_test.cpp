/* The credential exports end to end with the TPM 2.0 backend, chosen as an administrator chooses it (the
 * registry values "Backend" and "TCTI"): round trips on the test command's simulator (skipped without one),
 * lockout and the move to another TPM on private ones. */
#include "VkSwtpm.h"
#include "VkTest.h"

#include <vaultkeep/vaultkeep.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "diaglog_control.h"

using namespace vktest;

namespace {

const std::string kKeys = "ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/Tpm2Keys/";

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 31 + seed * 7 + 3);
    return b;
}

int CountErrors(const std::vector<diaglog::CapturedLine>& lines, const std::string& function,
                const std::string& text) {
    int n = 0;
    for (const auto& l : lines)
        n += l.level == diaglog::Level::Error && (function.empty() || l.function == function) &&
             l.text.find(text) != std::string::npos;
    return n;
}

class Tpm2Credentials : public RootTest {
  protected:
    void SetUp() override { setenv("TSS2_LOG", "all+none", 0); }

    /* Lays out this root with the registry choosing the TPM backend on tcti. */
    void LayOut(const std::string& tcti) {
        ASSERT_EQ(VaultkeepInitRoot(), 0);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                  W("SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider"), 0, nullptr,
                                  0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        for (const auto& [name, value] : {std::pair(W("Backend"), WString(W("tpm2"))), {W("TCTI"), U(tcti)}})
            ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>((value.size() + 1) * 2)),
                      ERROR_SUCCESS);
        RegCloseKey(key);
        ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    }

    void UseShared() {
        if (shared_.empty()) GTEST_SKIP() << "no TPM simulator configured (VAULTKEEP_KSP_TCTI)";
        ASSERT_EQ(swtpm::SetDictionaryAttack(shared_, 3, 0, 0), "");
        LayOut(shared_);
    }

    LONG Store(const WCHAR* user, const WCHAR* password, const WCHAR* id, const Bytes& cred) {
        ByteArray md(Pattern(9, 1)), emd(Pattern(12, 2)), c(cred);
        return StoreCredential(W("App"), secret, user, password, id, md, emd, c);
    }
    LONG Retrieve(const WCHAR* user, const WCHAR* password, const WCHAR* id, Bytes& out) {
        SAFEARRAY* psa = nullptr;
        LONG st = RetrieveCredential(W("App"), secret, user, password, id, &psa);
        out = TakeArray(psa);
        return st;
    }
    std::string UserGuid() {
        const std::string app = root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep/App");
        for (const std::string& name : ListDir(app))
            if (std::filesystem::is_directory(app + "/" + name)) return name;
        return "";
    }

    std::string shared_ = swtpm::SharedTcti(); // read before the environment is cleared below
    ByteArray secret{Bytes{'t', 'p', 'm', '-', 's', 'e', 'c', 'r', 'e', 't'}};
    // The registry, not the environment, picks the backend and the TPM here.
    swtpm::ScopedEnv backend_{"VAULTKEEP_KSP_BACKEND", nullptr};
    swtpm::ScopedEnv tcti_{"VAULTKEEP_KSP_TCTI", nullptr};
};

TEST_F(Tpm2Credentials, StoreRetrieveDeleteThroughTheExports) {
    UseShared();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("alice pw")), 0);
    const std::string guid = UserGuid();
    ASSERT_FALSE(guid.empty());
    EXPECT_TRUE(FileExists(root.host(kKeys + guid))) << "the user's key is a TPM container";
    EXPECT_FALSE(FileExists(
        root.host("ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/MachineKeys/" + guid)));

    const struct {
        const WCHAR* id;
        Bytes cred;
    } creds[] = {{W("mail"), Pattern(1000, 3)}, {W("pin"), Pattern(4, 4)}};
    for (const auto& c : creds)
        ASSERT_EQ(Store(W("alice"), W("alice pw"), c.id, c.cred), 0);
    for (const auto& c : creds) {
        SCOPED_TRACE(Narrow(c.id));
        Bytes out;
        EXPECT_EQ(Retrieve(W("alice"), W("alice pw"), c.id, out), 0);
        EXPECT_EQ(out, c.cred);
    }

    for (const WCHAR* wrong : {W("alice PW"), W("")}) {
        SCOPED_TRACE(Narrow(wrong));
        Bytes out;
        EXPECT_EQ(Retrieve(W("alice"), wrong, W("mail"), out), Error_Decrypt_Failed);
        EXPECT_TRUE(out.empty());
    }

    BSTR list = nullptr;
    ASSERT_EQ(QueryUserCreds(W("App"), secret, W("alice"), &list), 0);
    EXPECT_EQ(TakeBstr(list), "mail,pin");
    EXPECT_EQ(DeleteCred(W("App"), secret, W("alice"), W("pin")), 0);
    Bytes out;
    EXPECT_EQ(Retrieve(W("alice"), W("alice pw"), W("pin"), out), Error_Cred_Not_Found);
    EXPECT_EQ(Retrieve(W("alice"), W("alice pw"), W("mail"), out), 0);

    ASSERT_EQ(DeleteUser(W("App"), secret, W("alice")), 0);
    EXPECT_FALSE(FileExists(root.host(kKeys + guid))) << "deleting the user deletes its key";
}

TEST_F(Tpm2Credentials, RepeatedWrongPasswordsLockTheTpmOut) {
    swtpm::Simulator sim;
    if (!swtpm::Installed()) GTEST_SKIP() << "swtpm is not installed";
    ASSERT_EQ(sim.Start(), ""); // the simulator's own defence: 3 failures, then 1000 s
    LayOut(sim.tcti());
    ASSERT_EQ(AddUser(W("App"), secret, W("bob"), W("bob pw")), 0);
    const Bytes cred = Pattern(64, 9);
    ASSERT_EQ(Store(W("bob"), W("bob pw"), W("vpn"), cred), 0);
    Bytes out;
    ASSERT_EQ(Retrieve(W("bob"), W("bob pw"), W("vpn"), out), 0);

    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    for (const WCHAR* wrong : {W("guess 1"), W("guess 2"), W("guess 3")})
        EXPECT_EQ(Retrieve(W("bob"), wrong, W("vpn"), out), Error_Decrypt_Failed);
    auto lines = diaglog::TakeCaptured();
    EXPECT_EQ(CountErrors(lines, "CUtil::DecryptBlob", "TPM is locked out"), 0)
        << "wrong passwords are just wrong";

    // Locked out: the right password fails too, with a status of its own and a line that says why.
    EXPECT_EQ(Retrieve(W("bob"), W("bob pw"), W("vpn"), out), Error_TPM_Not_Owned);
    EXPECT_TRUE(out.empty());
    lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);
    EXPECT_EQ(CountErrors(lines, "CUtil::DecryptBlob", "TPM is locked out"), 1);
    EXPECT_EQ(CountErrors(lines, "CUtil::DecryptBlob", "cant CryptImportKey res=80280803"), 1);
    EXPECT_EQ(CountErrors(lines, "", "bob pw"), 0);

    // Storing needs only the public key, so it still works; reading it back waits for the lockout to end.
    EXPECT_EQ(Store(W("bob"), W("bob pw"), W("new"), cred), 0);
}

TEST_F(Tpm2Credentials, NoReachableTpmMeansNotOwned) {
    swtpm::Simulator sim;
    if (!swtpm::Installed()) GTEST_SKIP() << "swtpm is not installed";
    ASSERT_EQ(sim.Start(), "");
    ASSERT_EQ(swtpm::SetDictionaryAttack(sim.tcti(), 3, 0, 0), "");
    LayOut(sim.tcti());
    ASSERT_EQ(AddUser(W("App"), secret, W("carol"), W("carol pw")), 0);
    ASSERT_EQ(Store(W("carol"), W("carol pw"), W("id"), Pattern(10, 1)), 0);

    sim.Stop();
    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    Bytes out;
    EXPECT_EQ(Retrieve(W("carol"), W("carol pw"), W("id"), out), Error_TPM_Not_Owned);
    EXPECT_EQ(Store(W("carol"), W("carol pw"), W("id2"), Pattern(10, 2)), 1) << "a failed add is reported as 1";
    EXPECT_EQ(AddUser(W("App"), secret, W("dave"), W("dave pw")), Error_TPM_Not_Owned);
    const auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);
    EXPECT_GE(CountErrors(lines, "", "TPM not owned"), 3);
}

TEST_F(Tpm2Credentials, ArchiveRestoresOnTheSameTpmOnly) {
    UseShared();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string archive = root.host("alice.zip");
    ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("alice pw")), 0);
    const Bytes cred = Pattern(200, 5);
    ASSERT_EQ(Store(W("alice"), W("alice pw"), W("mail"), cred), 0);
    ASSERT_EQ(ArchiveUser(W("App"), secret, W("alice"), U(archive).c_str(), W("backup pw"), W("label")), 0);

    // The same TPM: the user and its key come back, and the credential opens with the key password.
    ASSERT_EQ(DeleteUser(W("App"), secret, W("alice")), 0);
    ASSERT_EQ(RestoreUser(W("App"), secret, W("alice"), U(archive).c_str(), W("backup pw"), 0), 0);
    Bytes out;
    EXPECT_EQ(Retrieve(W("alice"), W("alice pw"), W("mail"), out), 0);
    EXPECT_EQ(out, cred);

    // Another machine with another TPM (the archive file is still in the first root): the store comes back,
    // the key cannot, and the provider says why.
    if (!swtpm::Installed()) GTEST_SKIP() << "swtpm is not installed: no second TPM";
    swtpm::Simulator other;
    ASSERT_EQ(other.Start(), "");
    FreshRoot elsewhere;
    LayOut(other.tcti());
    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    EXPECT_EQ(RestoreUser(W("App"), secret, W("alice"), U(archive).c_str(), W("backup pw"), 0), 0);
    const auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);
    EXPECT_EQ(CountErrors(lines, "TpmKsp::ImportContainer", "failed 0x80090035"), 1);
    EXPECT_GE(CountErrors(lines, "", "made by another TPM"), 1);
    EXPECT_EQ(Retrieve(W("alice"), W("alice pw"), W("mail"), out), Error_Internal)
        << "no key container on this machine";
}

} // namespace
