/* VaultkeepCheck: what the tables do not account for is found without changing anything, and a
 * repair removes the debris (keys only when no live user names them) but never evidence or data. */
#include "TableFixture.h"

#include <set>

using namespace vktest;
using tabletest::ContainerExists;

namespace {

class CheckRepair : public RootTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(VaultkeepInitRoot(), 0);
        ASSERT_EQ(RegisterApp(W("App"), secret), 0);
        for (const WCHAR* id : {W("c1"), W("c2"), W("c3")}) ASSERT_EQ(Store(id, "data"), 0);
    }
    LONG Store(const WCHAR* id, const std::string& data, const WCHAR* user = W("alice")) {
        ByteArray md(std::string("m")), emd(std::string("e")), cred(data);
        return StoreCredential(W("App"), secret, user, W("pw"), id, md, emd, cred);
    }
    /* The report's lines, as a set. */
    std::set<std::string> Check(ULONG flags, LONG expect = 0) {
        BSTR report = nullptr;
        EXPECT_EQ(VaultkeepCheck(W("App"), secret, flags, &report), expect);
        std::set<std::string> lines;
        std::stringstream in(TakeBstr(report));
        for (std::string line; std::getline(in, line);) lines.insert(line);
        return lines;
    }
    std::string AppDir() { return root.host(tabletest::kDataHost + "App"); }
    /* A user's folder name: the GUID its record holds. */
    std::string FolderOf(const WCHAR* user) {
        CAppTable t(W("App"), secret);
        UserRecord* r = nullptr;
        EXPECT_EQ(t.FindUserInAppTable(user, &r), 0);
        return r ? Narrow(WString(r->guid)) : "";
    }
    std::string BlobOf(const std::string& folder, const WCHAR* id) {
        CUserTable t(1, W("App"), secret, W("alice"), U(folder).c_str(), (tabletest::kDataView + W("App\\") + U(folder)).c_str());
        for (CredentialRecord* r : t.Creds)
            if (WString(r->id) == id) return Narrow(WString(r->blobname));
        ADD_FAILURE() << "no blob for the id";
        return "none";
    }
    size_t Ids() {
        BSTR list = nullptr;
        QueryUserCreds(W("App"), secret, W("alice"), &list);
        std::string ids = TakeBstr(list);
        return ids.empty() ? 0 : std::count(ids.begin(), ids.end(), ',') + 1;
    }

    ByteArray secret{Bytes{1, 2, 3, 4, 5, 6, 7, 8}};
};

} // namespace

TEST_F(CheckRepair, ACleanStoreReportsNothing) {
    EXPECT_TRUE(Check(0).empty());
    EXPECT_TRUE(Check(VAULTKEEP_CHECK_REPAIR).empty());
    BSTR report = nullptr;
    ByteArray wrong{Bytes{9}};
    EXPECT_EQ(VaultkeepCheck(W("App"), wrong, 0, &report), Error_Bad_App);
    EXPECT_EQ(VaultkeepCheck(W("App"), secret, 0x10, &report), Error_Internal) << "unknown flags are refused";
    EXPECT_EQ(report, nullptr);
}

TEST_F(CheckRepair, DebrisIsFoundLeftAloneByACheckAndRemovedByARepair) {
    const std::string alice = FolderOf(W("alice")), aliceDir = AppDir() + "/" + alice;
    // bob's record leaves app.bin while his folder and key stay: an interrupted AddUser.
    ASSERT_EQ(AddUser(W("App"), secret, W("bob"), W("pw")), 0);
    const std::string bob = FolderOf(W("bob"));
    ASSERT_TRUE(ContainerExists(U(bob)));
    {
        CAppTable t(W("App"), secret);
        ASSERT_EQ(t.DeleteUserInAppTable(W("bob")), 0);
    }
    // A second copy of alice's folder names alice's key, which must survive its removal.
    const std::string copy = "0badc0de-0000-4000-8000-000000000001";
    std::filesystem::copy(aliceDir, AppDir() + "/" + copy);
    const std::string c1 = BlobOf(alice, W("c1")), c3 = BlobOf(alice, W("c3"));
    std::filesystem::remove(aliceDir + "/" + c1);                      // a record without its blob
    Bytes blob = ReadFileBytes(aliceDir + "/" + c3);                   // a blob that does not verify
    blob[60] ^= 1;
    WriteFileBytes(aliceDir + "/" + c3, blob);
    const std::string orphan = "0badc0de-0000-4000-8000-000000000002";
    WriteFileBytes(aliceDir + "/" + orphan, Bytes(80, 1));             // a blob nothing names
    WriteFileBytes(aliceDir + "/user.backup", Bytes(10, 2));           // an archive that did not finish
    WriteFileBytes(AppDir() + "/notes.txt", Bytes(3, 3));              // not the store's
    std::filesystem::create_directory(aliceDir + "/key.backup");       // a folder the store never makes
    WriteFileBytes(aliceDir + "/key.backup/mine", Bytes(3, 4));
    const std::string lost = "0badc0de-0000-4000-8000-000000000003";   // a key whose user never made it
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextW(&prov, U(lost).c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL,
                                     CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET));
    CryptReleaseContext(prov, 0);

    const std::set<std::string> found = {
        "missing-blob\talice\tc1\tfound",       "bad-blob\talice\tc3\tfound",
        "orphan-blob\talice\t" + orphan + "\tfound", "stale-backup\talice\tuser.backup\tfound",
        "orphan-folder\t\t" + bob + "\tfound",   "orphan-folder\t\t" + copy + "\tfound",
        "unknown\t\tnotes.txt\tfound",        "unknown\talice\tkey.backup\tfound",
        "orphan-key\t\t" + bob + "\tfound",      "orphan-key\t\t" + lost + "\tfound"};
    EXPECT_EQ(Check(0), found);
    EXPECT_EQ(Check(0), found) << "a check changes nothing";
    EXPECT_EQ(Ids(), 3u);

    const std::set<std::string> repaired = {
        "missing-blob\talice\tc1\tremoved",       "bad-blob\talice\tc3\tleft",
        "orphan-blob\talice\t" + orphan + "\tremoved", "stale-backup\talice\tuser.backup\tremoved",
        "orphan-folder\t\t" + bob + "\tremoved",   "orphan-folder\t\t" + copy + "\tremoved",
        "unknown\t\tnotes.txt\tleft",        "unknown\talice\tkey.backup\tleft",
        "orphan-key\t\t" + lost + "\tremoved"};
    EXPECT_EQ(Check(VAULTKEEP_CHECK_REPAIR), repaired);
    EXPECT_FALSE(ContainerExists(U(lost)));
    EXPECT_TRUE(FileExists(aliceDir + "/key.backup/mine"));
    EXPECT_FALSE(ContainerExists(U(bob))) << "a key only an orphan folder named goes with it";
    EXPECT_TRUE(ContainerExists(U(alice))) << "a key a live user names stays";
    EXPECT_FALSE(FileExists(AppDir() + "/" + copy));
    EXPECT_TRUE(FileExists(AppDir() + "/notes.txt"));
    EXPECT_TRUE(FileExists(aliceDir + "/" + c3)) << "evidence stays";
    EXPECT_EQ(Ids(), 2u) << "the blob-less record is gone, the damaged one listed";

    SAFEARRAY* out = nullptr;
    EXPECT_EQ(RetrieveCredential(W("App"), secret, W("alice"), W("pw"), W("c2"), &out), 0);
    EXPECT_EQ(TakeArray(out), Bytes({'d', 'a', 't', 'a'}));
    EXPECT_EQ(Check(0), (std::set<std::string>{"bad-blob\talice\tc3\tfound", "unknown\t\tnotes.txt\tfound",
                                               "unknown\talice\tkey.backup\tfound"}));
    // The name bob's debris held is free again.
    EXPECT_EQ(Store(W("b1"), "x", W("bob")), 0);
}

TEST_F(CheckRepair, ARemovedApplicationLeftInTheTrashIsEmptiedButALiveUsersKeyStays) {
    const std::string alice = FolderOf(W("alice"));
    // bob's application cannot be read: bob may still be its user, so his key is no orphan either.
    ByteArray md(std::string("m")), emd(std::string("e")), cred(std::string("x"));
    ASSERT_EQ(RegisterApp(W("Other"), secret), 0);
    ASSERT_EQ(StoreCredential(W("Other"), secret, W("bob"), W("pw"), W("b1"), md, emd, cred), 0);
    const std::string other = root.host(tabletest::kDataHost + "Other");
    std::string bob;
    for (const auto& e : std::filesystem::directory_iterator(other))
        if (e.is_directory()) bob = e.path().filename().string();
    // What a crash after UnRegisterApp's commit point leaves: the application folder in the trash.
    // This one holds copies of alice's and bob's folders, so it names keys users may still have.
    const std::string gone = root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep Trash/gone");
    std::filesystem::create_directories(gone);
    std::filesystem::copy(AppDir() + "/" + alice, gone + "/" + alice);
    std::filesystem::copy(other + "/" + bob, gone + "/" + bob);
    std::filesystem::resize_file(other + "/app.bin", 20);
    EXPECT_EQ(Check(0), (std::set<std::string>{"trash\t\tgone\tfound", "orphan-key\t\t" + bob + "\tfound"}));
    EXPECT_EQ(Check(VAULTKEEP_CHECK_REPAIR),
              (std::set<std::string>{"trash\t\tgone\tremoved", "orphan-key\t\t" + bob + "\tleft"}));
    EXPECT_FALSE(FileExists(gone));
    EXPECT_TRUE(ContainerExists(U(alice)));
    EXPECT_TRUE(ContainerExists(U(bob)));
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(RetrieveCredential(W("App"), secret, W("alice"), W("pw"), W("c1"), &out), 0);
    TakeArray(out);
}
