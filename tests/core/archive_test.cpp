/* Archive and restore end to end: round trips, re-keying (the key brought back from its backup, as on
 * another machine), every status, and hostile archives and secret records. Archives are inspected and
 * crafted here with libzip directly. */
#include "TableFixture.h"
#include "VkZip.h"

#include <functional>
#include <map>

using namespace vktest;
using namespace tabletest;
using diaglog::Level;
using zipfile::Files;

namespace {

const WCHAR* const kBackupPw = W("backup pw");
const Bytes kSecret{'s', 'e', 'c', 'r', 'e', 't', 0, 1, 2, 3}, kNewSecret{'n', 'e', 'w', 9, 9, 9};

struct Cred {
    WString id;
    Bytes md, emd, cred;
};

Bytes Le32Bytes(uint32_t v) {
    return Bytes{(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
/* A SecretRecord: namelen, the name with its NUL, secretlen, the secret. */
Bytes Record(const WString& name, const Bytes& secret) {
    return Cat(
        {Le32Bytes(2 * (uint32_t)name.size() + 2), Utf16z(name), Le32Bytes((uint32_t)secret.size()), secret});
}

/* A WrappedSecret made independently: salt, then AES of the plaintext under PBKDF2(password, salt). */
Bytes Wrap(const Bytes& plaintext, const std::string& password) {
    Bytes salt = Pattern(32, 7), key = Pbkdf2(ToBytes(password), salt.data());
    DWORD len = (DWORD)plaintext.size();
    BYTE* cipher = nullptr;
    EXPECT_EQ(CUtil::EncryptWithAES(key.data(), 32, plaintext.data(), &len, &cipher), 0);
    Bytes out = Cat({salt, cipher ? Bytes(cipher, cipher + len) : Bytes{}});
    free(cipher);
    return out;
}

/* The plaintext of a WrappedSecret, opened independently of unwrapsecret. */
bool Unwrap(const Bytes& wrapped, const std::string& password, Bytes& plaintext) {
    if (wrapped.size() <= 32) return false;
    Bytes key = Pbkdf2(ToBytes(password), wrapped.data());
    DWORD len = (DWORD)wrapped.size() - 32;
    BYTE* plain = nullptr;
    if (CUtil::DecryptWithAES(key.data(), 32, wrapped.data() + 32, &len, &plain) != 0 || !plain) return false;
    plaintext.assign(plain, plain + len);
    free(plain);
    return true;
}

class ArchiveTest : public RootTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(VaultkeepInitRoot(), 0);
        ASSERT_EQ(RegisterApp(W("App"), secret), 0);
        for (const Cred& c : aliceCreds)
            ASSERT_EQ(Store(W("alice"), c), 0);
        ASSERT_EQ(Store(W("bob"), bobCred, W("bob pw")), 0);
        std::filesystem::create_directories(root.host("backups"));
    }

    LONG Store(const WCHAR* user, const Cred& c, const WCHAR* pw = W("alice pw")) {
        ByteArray md(c.md), emd(c.emd), cred(c.cred);
        return StoreCredential(W("App"), secret, user, pw, c.id.c_str(), md, emd, cred);
    }
    std::string Backup(const std::string& file) const { return root.host("backups/" + file); }
    LONG Archive(const WCHAR* user, const std::string& file) {
        return ArchiveUser(W("App"), secret, user, U(Backup(file)).c_str(), kBackupPw, W("label"));
    }
    LONG Restore(const WCHAR* user, const std::string& file, ULONG overwrite,
                 const WCHAR* pw = kBackupPw, SAFEARRAY* s = nullptr) {
        return RestoreUser(W("App"), s ? s : secret.get(), user, U(Backup(file)).c_str(), pw, overwrite);
    }

    /* Every credential with both metadata comes back, in table order. */
    void ExpectCreds(const WCHAR* user, const std::vector<Cred>& creds, SAFEARRAY* s = nullptr,
                     const WCHAR* pw = W("alice pw")) {
        SAFEARRAY* sec = s ? s : secret.get();
        BSTR list = nullptr;
        ASSERT_EQ(QueryUserCreds(W("App"), sec, user, &list), 0);
        std::string expected;
        for (size_t i = 0; i < creds.size(); ++i)
            expected += (i ? "," : "") + Narrow(creds[i].id);
        EXPECT_EQ(TakeBstr(list), expected);
        for (const Cred& c : creds) {
            SCOPED_TRACE(Narrow(c.id));
            SAFEARRAY* psa = nullptr;
            ASSERT_EQ(RetrieveCredential(W("App"), sec, user, pw, c.id.c_str(), &psa), 0);
            EXPECT_EQ(TakeArray(psa), c.cred);
            ASSERT_EQ(RetrieveCredentialMetaData(W("App"), sec, user, c.id.c_str(), &psa), 0);
            EXPECT_EQ(TakeArray(psa), c.md);
            ASSERT_EQ(RetrieveEncryptedCredentialMetaData(W("App"), sec, user, c.id.c_str(), &psa), 0);
            EXPECT_EQ(TakeArray(psa), c.emd);
        }
    }

    std::string DataDir() const { return root.host(kDataHost); }
    std::string AppDir() const { return root.host(kDataHost + "App"); }
    /* name -> GUID of the user records of app.bin, read by their offsets. */
    std::map<std::string, std::string> Records() const {
        Bytes b = ReadFileBytes(AppDir() + "/app.bin");
        std::map<std::string, std::string> out;
        for (uint32_t i = 0; b.size() >= 80 && i < Le32(b, 40); ++i) {
            size_t off = kAppHeader + (size_t)i * kUserRecord;
            EXPECT_EQ(Field(b, off + kRecPath, 260), kDataView + W("App\\") + Field(b, off + kRecGuid, 74));
            out[Narrow(Field(b, off, 257))] = Narrow(Field(b, off + kRecGuid, 74));
        }
        return out;
    }
    std::string UserDir(const std::string& name) const { return AppDir() + "/" + Records()[name]; }
    /* Folders below the application: exactly one per record, nothing left over. */
    void ExpectNoStrayFolders() const {
        std::vector<std::string> expected{"app.bin"};
        for (const auto& [name, guid] : Records())
            expected.push_back(guid);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ListDir(AppDir()), expected) << "no temporary or set-aside folder is left";
    }

    ByteArray secret{kSecret}, newSecret{kNewSecret};
    std::vector<Cred> aliceCreds = {{W("mail"), Pattern(37, 1), Pattern(300, 2), Pattern(1000, 3)},
                                    {W("web"), Bytes{}, Pattern(5, 4), Pattern(64, 5)},
                                    {W("pin"), Pattern(3, 6), Bytes{}, Pattern(4, 7)}};
    Cred bobCred{W("b"), Pattern(2, 8), Pattern(2, 9), Pattern(2, 10)};
};

} // namespace

TEST_F(ArchiveTest, ArchiveDeleteRestoreBringsEveryCredentialBack) {
    const Tree live = Snapshot(UserDir("alice"));
    // Backups an interrupted archive left are replaced, never packed, and do not stay.
    const Bytes stale = ToBytes("left by an interrupted archive");
    WriteFileBytes(UserDir("alice") + "/user.backup", stale);
    WriteFileBytes(UserDir("alice") + "/key.backup", stale);
    ASSERT_EQ(Archive(W("alice"), "alice.zip"), 0);
    EXPECT_EQ(Snapshot(UserDir("alice")), live)
        << "the live folder is as it was: no user.backup, no key.backup";

    Files packed = zipfile::Read(Backup("alice.zip"));
    for (auto& [name, data] : live)
        EXPECT_EQ(packed[name], data.first) << name;
    ASSERT_EQ(packed.count("key.backup"), 1u);
    ASSERT_EQ(packed.count("user.backup"), 1u);
    EXPECT_EQ(packed.size(), live.size() + 2);

    // user.backup: the length n, then the n bytes of the wrapped SecretRecord, nothing after it.
    const Bytes& ub = packed["user.backup"];
    ASSERT_GE(ub.size(), 4u);
    EXPECT_EQ(ub.size(), Le32(ub, 0) + 4u);
    Bytes plain;
    ASSERT_TRUE(Unwrap(Bytes(ub.begin() + 4, ub.end()), "backup pw", plain));
    EXPECT_EQ(plain, Record(W("App"), kSecret));
    EXPECT_NE(packed["key.backup"], stale);
    ASSERT_EQ(Archive(W("alice"), "again.zip"), 0);
    EXPECT_NE(Slice(zipfile::Read(Backup("again.zip")).at("user.backup"), 4, 32), Slice(ub, 4, 32))
        << "a fresh salt for each wrapping";

    ASSERT_EQ(DeleteUser(W("App"), secret, W("alice")), 0);
    ASSERT_EQ(Restore(W("alice"), "alice.zip", 0), 0);
    BSTR users = nullptr;
    ASSERT_EQ(QueryListOfUsers(W("App"), secret, &users), 0);
    EXPECT_EQ(TakeBstr(users), "bob,alice");
    EXPECT_TRUE(IsLowerGuid(U(Records()["alice"])));
    ExpectCreds(W("alice"), aliceCreds);
    ExpectCreds(W("bob"), {bobCred}, nullptr, W("bob pw"));
    EXPECT_EQ(ListDir(UserDir("alice")).size(), live.size()) << "no user.backup or key.backup left";
    ExpectNoStrayFolders();
}

TEST_F(ArchiveTest, RestoreReKeysTheStoreToTheCurrentSecret) {
#ifdef _WIN32 // the scratch folder in its backslashed form
    const WString windowsPath = std::filesystem::path(Backup("alice.zip")).make_preferred().wstring();
#else
    const WString windowsPath = W("C:\\backups\\alice.zip");
#endif
    ASSERT_EQ(ArchiveUser(W("App"), secret, W("alice"), windowsPath.c_str(), kBackupPw, W("")), 0)
        << "a Windows path below the root";
    ASSERT_EQ(UnRegisterApp(W("App"), secret), 0);
    ASSERT_EQ(RegisterApp(W("App"), newSecret), 0);
    ASSERT_EQ(Restore(W("alice"), "alice.zip", 0, kBackupPw, newSecret), 0);

    ExpectCreds(W("alice"), aliceCreds, newSecret);
    SAFEARRAY* psa = nullptr;
    EXPECT_EQ(RetrieveCredential(W("App"), secret, W("alice"), W("alice pw"), W("mail"), &psa), Error_Bad_App);
    Bytes app = ReadFileBytes(AppDir() + "/app.bin");
    EXPECT_TRUE(TrailerVerifies(app, kNewSecret, kAppSaltOff));
    EXPECT_FALSE(TrailerVerifies(app, kSecret, kAppSaltOff));
    size_t blobs = 0;
    for (const std::string& name : ListDir(UserDir("alice"))) {
        SCOPED_TRACE(name);
        Bytes file = ReadFileBytes(UserDir("alice") + "/" + name);
        size_t saltOff = name == "user.bin" ? kUtSalt : kBlobSaltOff;
        blobs += name != "user.bin";
        EXPECT_TRUE(TrailerVerifies(file, kNewSecret, saltOff)) << "sealed under the new secret";
        EXPECT_FALSE(TrailerVerifies(file, kSecret, saltOff)) << "and no longer under the old one";
    }
    EXPECT_EQ(blobs, aliceCreds.size());
    ExpectNoStrayFolders();
}

TEST_F(ArchiveTest, OverwriteReplacesTheFolderContentsAndKeepsTheRecord) {
    ASSERT_EQ(Archive(W("alice"), "alice.zip"), 0);
    ASSERT_EQ(Store(W("alice"), Cred{W("later"), Pattern(1, 11), Pattern(1, 12), Pattern(1, 13)}), 0);
    ASSERT_EQ(DeleteCred(W("App"), secret, W("alice"), W("mail")), 0);
    const Tree all = Snapshot(DataDir());
    EXPECT_EQ(Restore(W("alice"), "alice.zip", 0), Error_User_Already_Exists);
    EXPECT_EQ(Snapshot(DataDir()), all) << "nothing changed";

    ASSERT_EQ(Restore(W("alice"), "alice.zip", 1), 0);
    EXPECT_EQ(ReadFileBytes(AppDir() + "/app.bin"), all.at("App/app.bin").first)
        << "the record's GUID and path stay";
    ExpectCreds(W("alice"), aliceCreds);
    EXPECT_EQ(ListDir(UserDir("alice")).size(), aliceCreds.size() + 1)
        << "user.bin and the archived blobs only";
    ExpectNoStrayFolders();
}

TEST_F(ArchiveTest, RestoreFailuresReportTheirStatusAndChangeNothing) {
    ASSERT_EQ(Archive(W("alice"), "alice.zip"), 0);
    ASSERT_EQ(Archive(W("bob"), "bob.zip"), 0);
    struct Case {
        const WCHAR *user, *pw;
        const char* file;
        LONG status;
        const char *fn, *line;
    } cases[] = {{W("alice"), W("not the backup pw"), "alice.zip", Error_Decrypt_Failed,
                  "CAppTable::unwrapsecret", "DecryptWithAES() failed."},
                 {W("carol"), kBackupPw, "bob.zip", Error_Bad_Backup, "CUserTable::RestoreVerify", "bad"},
                 {W("alice"), kBackupPw, "bob.zip", Error_Bad_Backup, "CUserTable::RestoreVerify", "bad"},
                 {W("alice"), kBackupPw, "missing.zip", Error_Invalid_File, "CUserTable::Restore",
                  "Error_Invalid_File"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << Narrow(c.user) << " from " << c.file);
        const Tree all = Snapshot(DataDir());
        LogCapture log;
        EXPECT_EQ(Restore(c.user, c.file, 1, c.pw), c.status);
        const auto lines = log.Take();
        EXPECT_TRUE(LogCapture::Has(lines, Level::Error, c.fn, c.line));
        // The AES helper logs its own failure, as an error line only.
        EXPECT_EQ(LogCapture::Of(lines, "CUtil::DecryptWithAES").size(), c.status == Error_Decrypt_Failed ? 1u : 0u);
        EXPECT_EQ(Snapshot(DataDir()), all) << "no temporary folder, user and table untouched";
    }
    ExpectCreds(W("alice"), aliceCreds);
}

// A case of its own: once an archive ran, the process keeps the zip library loaded, and Windows
// cannot remove a loaded module.
TEST_F(ArchiveTest, WithoutTheZipLibraryArchiveAndRestoreFailAndChangeNothing) {
    ASSERT_TRUE(std::filesystem::remove(
        root.host("Program Files/Tarnwick Systems Corp/Aldmoor Client Core/ZipUtil.dll")));
    const Tree all = Snapshot(DataDir());
    LogCapture log;
    EXPECT_EQ(Archive(W("alice"), "new.zip"), Error_Cant_Load_Library);
    EXPECT_TRUE(LogCapture::Has(log.Take(), Level::Error, "CUserTable::Archive", "Error_Cant_Load_Library"));
    EXPECT_FALSE(FileExists(Backup("new.zip")));
    EXPECT_EQ(Restore(W("alice"), "alice.zip", 1), Error_Cant_Load_Library);
    EXPECT_TRUE(LogCapture::Has(log.Take(), Level::Error, "CUserTable::Restore", "Error_Cant_Load_Library"));
    EXPECT_EQ(Snapshot(DataDir()), all);
}

TEST_F(ArchiveTest, HostileArchivesFailTheRestoreAndLeaveEverythingAsItWas) {
    ASSERT_EQ(Archive(W("alice"), "alice.zip"), 0);
    const Files good = zipfile::Read(Backup("alice.zip"));
    const std::string outside = root.host("evil");
    auto with = [&](std::function<void(Files&)> change) {
        Files m = good;
        change(m);
        return m;
    };
    // user.bin with one EMD byte changed and resealed under the archived secret: it verifies, but
    // the EMD does not decrypt during the re-keying.
    Bytes badEmd = good.at("user.bin");
    ASSERT_GT(Le32(badEmd, kUserHeader + kCrEmdlen), 0u);
    badEmd[kUserHeader + kCrData + Le32(badEmd, kUserHeader + kCrMdlen)] ^= 0x40;
    Reseal(badEmd, kSecret, kUtSalt);
    // Wrapped SecretRecords that decrypt but do not parse, and one that does not decrypt.
    auto backup = [](const Bytes& record, bool damage = false) {
        Bytes w = Wrap(record, "backup pw");
        if (damage) w.back() ^= 1;
        return Cat({Le32Bytes((uint32_t)w.size()), w});
    };
    const Bytes badRecords[] = {
        backup(Cat({Le32Bytes(8), Utf16z(W("App")), Le32Bytes(1000), kSecret})),        // secretlen past the end
        backup(Cat({Le32Bytes(1000), Utf16z(W("App")), Le32Bytes(0)})),                 // namelen past the end
        backup(Cat({Le32Bytes(0xFFFFFFFCu), Utf16z(W("App")), Le32Bytes(0)})),          // namelen wrapping around
        backup(Cat({Le32Bytes(6), Bytes{'A', 0, 'p', 0, 'p', 0}, Le32Bytes(0)})),     // a name without its NUL
        backup(Record(W("App"), kSecret), true)};                                       // damaged ciphertext

    const std::pair<Files, LONG> cases[] = {
        {with([&](Files& m) { m[outside] = ToBytes("x"); }), Error_Invalid_File}, // the zip library refuses
        {with([&](Files& m) { m.erase("user.backup"); }), Error_Invalid_File},
        {with([&](Files& m) { m["user.backup"].resize(m["user.backup"].size() - 5); }), Error_Bad_Backup},
        {with([&](Files& m) { PutLe32(m["user.backup"], 0, 0xFFFFFFFFu); }), Error_Bad_Backup},
        {with([&](Files& m) { m["user.bin"][700] ^= 1; }), Error_Bad_Backup},
        {with([&](Files& m) { m["user.bin"] = badEmd; }), Error_Bad_Backup},
        {with([&](Files& m) { m.erase(m.begin()); }), Error_Internal}, // a blob file (GUID names sort first)
    };
    std::vector<std::pair<Files, LONG>> all(std::begin(cases), std::end(cases));
    for (const Bytes& b : badRecords)
        all.push_back({with([&](Files& m) { m["user.backup"] = b; }), Error_Decrypt_Failed});
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(i);
        zipfile::Write(Backup("hostile.zip"), all[i].first);
        const Tree before = Snapshot(DataDir());
        EXPECT_EQ(Restore(W("alice"), "hostile.zip", 1), all[i].second);
        EXPECT_EQ(Snapshot(DataDir()), before) << "existing user and table untouched, no temporary folder";
        EXPECT_FALSE(FileExists(outside));
    }
    ExpectCreds(W("alice"), aliceCreds);
}

TEST_F(ArchiveTest, PasswordAndSecretChangesKeepEveryCredentialUnderTheNewOnesOnlyAndEarlierArchivesRestore) {
    ASSERT_EQ(Archive(W("alice"), "alice.zip"), 0);
    const Tree tables = Snapshot(AppDir());
    ByteArray wrong{std::string("wrong")};
    auto change = [&](SAFEARRAY* s, const WCHAR* user, const WCHAR* from) {
        return ChangeUserPassword(W("App"), s, user, from, W("new pw"));
    };
    EXPECT_EQ(change(wrong, W("alice"), W("alice pw")), Error_Bad_App);
    EXPECT_EQ(change(secret, W("carol"), W("alice pw")), Error_No_User);
    EXPECT_EQ(change(secret, W("alice"), W("bob pw")), Error_Decrypt_Failed);
    ASSERT_EQ(change(secret, W("alice"), W("alice pw")), 0);
    EXPECT_EQ(Snapshot(AppDir()), tables) << "only the key's protection changes";
    ExpectCreds(W("alice"), aliceCreds, nullptr, W("new pw"));
    SAFEARRAY* psa = nullptr;
    EXPECT_EQ(RetrieveCredential(W("App"), secret, W("alice"), W("alice pw"), W("mail"), &psa), Error_Decrypt_Failed);

    // After a rotation the old secret opens nothing; an archive made under it restores under the new one, and
    // the key it carries brings back the password of its day.
    EXPECT_EQ(ChangeAppSecret(W("App"), wrong, newSecret), Error_Bad_App);
    ASSERT_EQ(ChangeAppSecret(W("App"), secret, newSecret), 0);
    EXPECT_EQ(RetrieveCredential(W("App"), secret, W("bob"), W("bob pw"), W("b"), &psa), Error_Bad_App);
    ExpectCreds(W("bob"), {bobCred}, newSecret, W("bob pw"));
    ExpectNoStrayFolders();
    ASSERT_EQ(Restore(W("alice"), "alice.zip", 1, kBackupPw, newSecret), 0);
    ExpectCreds(W("alice"), aliceCreds, newSecret);
    EXPECT_EQ(RetrieveCredential(W("App"), newSecret, W("alice"), W("new pw"), W("mail"), &psa), Error_Decrypt_Failed);
}
