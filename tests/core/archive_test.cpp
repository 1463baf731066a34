/* Archive and restore end to end: round trips, re-keying, another machine, every
 * status, and hostile archives; plus the secret wrapping at the table level.
 * Archives are inspected and crafted here with libzip directly. */
#include <gtest/gtest.h>
#include "TableFixture.h"
#include "VkTest.h"
#include <vaultkeep/vaultkeep.h>

#include <zip.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace vktest;
using tabletest::LogCapture;
using tabletest::Pattern;
using tabletest::TrailerVerifies;
using diaglog::Level;

namespace {

const std::string kData = "ProgramData/Tarnwick Systems Corp/Vaultkeep/";
const char16_t* const kBackupPw = u"backup pw";
constexpr size_t kAppSalt = 8, kUserSalt = 522, kBlobSalt = 8, kFirstRecord = 636;

struct Cred {
    std::u16string id;
    Bytes md, emd, cred;
};

struct Entry {
    std::string name;
    Bytes data;
    zip_uint8_t opsys = ZIP_OPSYS_UNIX;
    zip_uint32_t attr = 0100600u << 16;
};

/* name -> bytes of every entry of an archive. */
std::map<std::string, Bytes> ReadZip(const std::string& path) {
    std::map<std::string, Bytes> out;
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
    EXPECT_NE(za, nullptr) << path;
    if (!za) return out;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, (zip_uint64_t)i, 0, &st);
        Bytes data(st.size);
        zip_file_t* zf = zip_fopen_index(za, (zip_uint64_t)i, 0);
        EXPECT_EQ(zip_fread(zf, data.data(), st.size), (zip_int64_t)st.size);
        zip_fclose(zf);
        out[zip_get_name(za, (zip_uint64_t)i, ZIP_FL_ENC_RAW)] = data;
    }
    zip_discard(za);
    return out;
}

void MakeZip(const std::string& path, const std::vector<Entry>& entries) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(za, nullptr);
    for (const Entry& e : entries) {
        zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
        zip_int64_t idx = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_RAW);
        ASSERT_GE(idx, 0) << e.name;
        zip_file_set_external_attributes(za, (zip_uint64_t)idx, 0, e.opsys, e.attr);
    }
    ASSERT_EQ(zip_close(za), 0);
}

/* Makes an entry declare another uncompressed size, in its local and its central header alike. */
void DeclareSize(const std::string& path, const std::string& name, uint32_t size) {
    Bytes b = ReadFileBytes(path);
    int patched = 0;
    for (size_t i = 0; i + 46 <= b.size(); ++i) {
        uint32_t sig = Le32(b, i);
        size_t nameOff = sig == 0x04034b50 ? 30 : sig == 0x02014b50 ? 46 : 0;
        if (!nameOff) continue;
        size_t len = b[i + (sig == 0x04034b50 ? 26 : 28)] | (b[i + (sig == 0x04034b50 ? 27 : 29)] << 8);
        if (len != name.size() || i + nameOff + len > b.size() ||
            !std::equal(name.begin(), name.end(), b.begin() + (ptrdiff_t)(i + nameOff)))
            continue;
        PutLe32(b, i + (sig == 0x04034b50 ? 22 : 24), size);
        ++patched;
    }
    ASSERT_EQ(patched, 2);
    WriteFileBytes(path, b);
}

std::vector<Entry> Entries(const std::map<std::string, Bytes>& members) {
    std::vector<Entry> out;
    for (auto& [name, data] : members) out.push_back({name, data});
    return out;
}

/* Every file and folder below dir with its bytes (folders map to empty). */
std::map<std::string, Bytes> Snapshot(const std::string& dir) {
    std::map<std::string, Bytes> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = std::filesystem::relative(it->path(), dir).string();
        out[rel] = it->is_regular_file() ? ReadFileBytes(it->path().string()) : Bytes{};
    }
    return out;
}

Bytes Utf8(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Le32Bytes(uint32_t v) { return Bytes{(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

/* UTF-16LE with its NUL. */
Bytes Utf16z(const std::u16string& s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back((uint8_t)(c & 0xFF));
        out.push_back((uint8_t)(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

/* A WrappedSecret made independently: salt, then the library's AES of the plaintext under
 * PBKDF2-HMAC-SHA256(password bytes, salt, 1000). */
Bytes Wrap(const Bytes& plaintext, const std::string& password, uint8_t saltSeed = 7) {
    Bytes salt = Pattern(32, saltSeed);
    Bytes key = tabletest::Pbkdf2(Utf8(password), salt.data());
    DWORD len = (DWORD)plaintext.size();
    BYTE* cipher = nullptr;
    EXPECT_EQ(CUtil::EncryptWithAES(key.data(), 32, plaintext.data(), &len, &cipher), 0);
    Bytes out = salt;
    if (cipher) out.insert(out.end(), cipher, cipher + len);
    free(cipher);
    return out;
}

/* The plaintext of a WrappedSecret, opened independently of unwrapsecret. */
bool Unwrap(const Bytes& wrapped, const std::string& password, Bytes& plaintext) {
    if (wrapped.size() <= 32) return false;
    Bytes key = tabletest::Pbkdf2(Utf8(password), wrapped.data());
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
        ASSERT_EQ(RegisterApp(u"App", secret), 0);
        aliceCreds = {{u"mail", Pattern(37, 1), Pattern(300, 2), Pattern(1000, 3)},
                      {u"web", Bytes{}, Pattern(5, 4), Pattern(64, 5)},
                      {u"pin", Pattern(3, 6), Bytes{}, Pattern(4, 7)}};
        for (const Cred& c : aliceCreds) ASSERT_EQ(Store(u"alice", c), 0);
        ASSERT_EQ(Store(u"bob", bobCred, u"bob pw"), 0);
        std::filesystem::create_directories(root.host("backups"));
    }

    LONG Store(const char16_t* user, const Cred& c, const char16_t* pw = u"alice pw", SAFEARRAY* s = nullptr) {
        ByteArray md(c.md), emd(c.emd), cred(c.cred);
        return StoreCredential(u"App", s ? s : secret.get(), user, pw, c.id.c_str(), md, emd, cred);
    }
    std::string Backup(const std::string& file) const { return root.host("backups/" + file); }
    LONG Archive(const char16_t* user, const std::string& file, const char16_t* pw = kBackupPw) {
        return ArchiveUser(u"App", secret, user, U(Backup(file)).c_str(), pw, u"label");
    }
    LONG Restore(const char16_t* user, const std::string& file, ULONG overwrite, const char16_t* pw = kBackupPw,
                 SAFEARRAY* s = nullptr) {
        return RestoreUser(u"App", s ? s : secret.get(), user, U(Backup(file)).c_str(), pw, overwrite);
    }

    /* Every credential with both metadata comes back, in table order. */
    void ExpectCreds(const char16_t* user, const std::vector<Cred>& creds, SAFEARRAY* s = nullptr,
                     const char16_t* pw = u"alice pw") {
        SAFEARRAY* sec = s ? s : secret.get();
        BSTR list = nullptr;
        ASSERT_EQ(QueryUserCreds(u"App", sec, user, &list), 0);
        std::string expected;
        for (size_t i = 0; i < creds.size(); ++i) expected += (i ? "," : "") + Narrow(creds[i].id);
        EXPECT_EQ(TakeBstr(list), expected);
        for (const Cred& c : creds) {
            SCOPED_TRACE(Narrow(c.id));
            SAFEARRAY* psa = nullptr;
            ASSERT_EQ(RetrieveCredential(u"App", sec, user, pw, c.id.c_str(), &psa), 0);
            EXPECT_EQ(TakeArray(psa), c.cred);
            ASSERT_EQ(RetrieveCredentialMetaData(u"App", sec, user, c.id.c_str(), &psa), 0);
            EXPECT_EQ(TakeArray(psa), c.md);
            ASSERT_EQ(RetrieveEncryptedCredentialMetaData(u"App", sec, user, c.id.c_str(), &psa), 0);
            EXPECT_EQ(TakeArray(psa), c.emd);
        }
    }

    std::string DataDir() const { return root.host(kData); }
    std::string AppDir() const { return root.host(kData + "App"); }

    struct Record {
        std::string name, guid, path;
    };
    /* The user records of app.bin, read by their offsets. */
    std::vector<Record> Records() const {
        Bytes b = ReadFileBytes(AppDir() + "/app.bin");
        std::vector<Record> out;
        if (b.size() < 80) return out;
        for (uint32_t i = 0; i < Le32(b, 40); ++i) {
            size_t off = 48 + (size_t)i * 1182;
            out.push_back({Narrow(tabletest::Field(b, off, 257)), Narrow(tabletest::Field(b, off + 514, 74)),
                           Narrow(tabletest::Field(b, off + 662, 260))});
        }
        return out;
    }
    std::string UserDir(const std::string& name) const {
        for (const Record& r : Records())
            if (r.name == name) return AppDir() + "/" + r.guid;
        return "";
    }
    /* Folders below the application: exactly one per record, nothing left over. */
    void ExpectNoStrayFolders() const {
        std::vector<std::string> expected{"app.bin"};
        for (const Record& r : Records()) expected.push_back(r.guid);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ListDir(AppDir()), expected) << "no temporary or set-aside folder is left";
    }

    ByteArray secret{Bytes{'s', 'e', 'c', 'r', 'e', 't', 0, 1, 2, 3}};
    ByteArray newSecret{Bytes{'n', 'e', 'w', 9, 9, 9}};
    std::vector<Cred> aliceCreds;
    Cred bobCred{u"b", Pattern(2, 8), Pattern(2, 9), Pattern(2, 10)};
};

} // namespace

TEST_F(ArchiveTest, ArchiveDeleteRestoreBringsEveryCredentialBack) {
    const std::string aliceDir = UserDir("alice");
    std::map<std::string, Bytes> live = Snapshot(aliceDir);
    ASSERT_EQ(Archive(u"alice", "alice.zip"), 0);
    EXPECT_EQ(Snapshot(aliceDir), live) << "the live folder is as it was: no user.backup, no key.backup";

    std::map<std::string, Bytes> packed = ReadZip(Backup("alice.zip"));
    for (auto& [name, data] : live) {
        ASSERT_EQ(packed.count(name), 1u) << name;
        EXPECT_EQ(packed[name], data) << name;
    }
    ASSERT_EQ(packed.count("key.backup"), 1u);
    ASSERT_EQ(packed.count("user.backup"), 1u);
    EXPECT_EQ(packed.size(), live.size() + 2);

    /* user.backup: the length n, then the n bytes of the wrapped secret. */
    const Bytes& ub = packed["user.backup"];
    ASSERT_GE(ub.size(), 4u);
    const uint32_t n = Le32(ub, 0);
    EXPECT_EQ(ub.size(), n + 4u);
    Bytes plain;
    ASSERT_TRUE(Unwrap(Bytes(ub.begin() + 4, ub.end()), "backup pw", plain));
    Bytes secretBytes{'s', 'e', 'c', 'r', 'e', 't', 0, 1, 2, 3};
    EXPECT_EQ(plain, Cat({Le32Bytes(8), Utf16z(u"App"), Le32Bytes((uint32_t)secretBytes.size()), secretBytes}))
        << "the SecretRecord of the application's name and secret, nothing after it";

    ASSERT_EQ(DeleteUser(u"App", secret, u"alice"), 0);
    ASSERT_EQ(Restore(u"alice", "alice.zip", 0), 0);

    BSTR users = nullptr;
    ASSERT_EQ(QueryListOfUsers(u"App", secret, &users), 0);
    EXPECT_EQ(TakeBstr(users), "bob,alice");
    std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].path, Narrow(tabletest::DataFolderView()) + "App\\" + records[1].guid);
    EXPECT_TRUE(tabletest::IsLowerGuid(U(records[1].guid)));
    ExpectCreds(u"alice", aliceCreds);
    ExpectCreds(u"bob", {bobCred}, nullptr, u"bob pw");
    std::vector<std::string> restored = ListDir(UserDir("alice"));
    EXPECT_EQ(std::count(restored.begin(), restored.end(), "user.backup"), 0);
    EXPECT_EQ(std::count(restored.begin(), restored.end(), "key.backup"), 0);
    EXPECT_EQ(restored.size(), live.size());
    ExpectNoStrayFolders();
}

TEST_F(ArchiveTest, RestoreReKeysTheStoreToTheCurrentSecret) {
    ASSERT_EQ(ArchiveUser(u"App", secret, u"alice", u"C:\\backups\\alice.zip", kBackupPw, u""), 0)
        << "a Windows path below the root";
    ASSERT_EQ(UnRegisterApp(u"App", secret), 0);
    ASSERT_EQ(RegisterApp(u"App", newSecret), 0);
    ASSERT_EQ(Restore(u"alice", "alice.zip", 0, kBackupPw, newSecret), 0);

    ExpectCreds(u"alice", aliceCreds, newSecret);
    SAFEARRAY* psa = nullptr;
    EXPECT_EQ(RetrieveCredential(u"App", secret, u"alice", u"alice pw", u"mail", &psa), Error_Bad_App);

    const Bytes oldKey{'s', 'e', 'c', 'r', 'e', 't', 0, 1, 2, 3}, newKey{'n', 'e', 'w', 9, 9, 9};
    Bytes app = ReadFileBytes(AppDir() + "/app.bin");
    EXPECT_TRUE(TrailerVerifies(app, newKey, kAppSalt));
    EXPECT_FALSE(TrailerVerifies(app, oldKey, kAppSalt));
    const std::string dir = UserDir("alice");
    ASSERT_FALSE(dir.empty());
    size_t blobs = 0;
    for (const std::string& name : ListDir(dir)) {
        SCOPED_TRACE(name);
        Bytes file = ReadFileBytes(dir + "/" + name);
        size_t saltOff = name == "user.bin" ? kUserSalt : kBlobSalt;
        blobs += name != "user.bin";
        EXPECT_TRUE(TrailerVerifies(file, newKey, saltOff)) << "sealed under the new secret";
        EXPECT_FALSE(TrailerVerifies(file, oldKey, saltOff)) << "and no longer under the old one";
    }
    EXPECT_EQ(blobs, aliceCreds.size());
    ExpectNoStrayFolders();
}

TEST_F(ArchiveTest, RestoreOnAnotherMachineBringsTheKeyBackFromItsBackup) {
    ASSERT_EQ(Archive(u"alice", "alice.zip"), 0);
    Bytes archive = ReadFileBytes(Backup("alice.zip"));
    {
        FreshRoot other;
        ASSERT_EQ(VaultkeepInitRoot(), 0);
        ASSERT_EQ(RegisterApp(u"App", newSecret), 0);
        WriteFileBytes(other.host("in.zip"), archive);
        ASSERT_EQ(RestoreUser(u"App", newSecret, u"alice", U(other.host("in.zip")).c_str(), kBackupPw, 0), 0);
        ExpectCreds(u"alice", aliceCreds, newSecret);
    }
    ExpectCreds(u"alice", aliceCreds); /* the first machine is untouched */
}

TEST_F(ArchiveTest, OverwriteReplacesTheFolderContentsAndKeepsTheRecord) {
    ASSERT_EQ(Archive(u"alice", "alice.zip"), 0);
    Cred later{u"later", Pattern(1, 11), Pattern(1, 12), Pattern(1, 13)};
    ASSERT_EQ(Store(u"alice", later), 0);
    ASSERT_EQ(DeleteCred(u"App", secret, u"alice", u"mail"), 0);
    const Bytes appBefore = ReadFileBytes(AppDir() + "/app.bin");
    const std::vector<Record> before = Records();

    {
        LogCapture log;
        std::map<std::string, Bytes> all = Snapshot(DataDir());
        EXPECT_EQ(Restore(u"alice", "alice.zip", 0), Error_User_Already_Exists);
        EXPECT_EQ(Snapshot(DataDir()), all) << "nothing changed";
    }

    ASSERT_EQ(Restore(u"alice", "alice.zip", 1), 0);
    EXPECT_EQ(ReadFileBytes(AppDir() + "/app.bin"), appBefore) << "the record's GUID and path stay";
    ASSERT_EQ(Records().size(), before.size());
    ExpectCreds(u"alice", aliceCreds);
    SAFEARRAY* psa = nullptr;
    EXPECT_EQ(RetrieveCredential(u"App", secret, u"alice", u"alice pw", u"later", &psa), Error_Cred_Not_Found);
    std::vector<std::string> names = ListDir(UserDir("alice"));
    EXPECT_EQ(names.size(), aliceCreds.size() + 1) << "user.bin and the archived blobs, nothing else";
    ExpectNoStrayFolders();
}

TEST_F(ArchiveTest, RestoreFailuresReportTheirStatusAndChangeNothing) {
    ASSERT_EQ(Archive(u"alice", "alice.zip"), 0);
    ASSERT_EQ(Archive(u"bob", "bob.zip"), 0);
    struct Case {
        const char* label;
        const char16_t* user;
        const char* file;
        const char16_t* pw;
        LONG status;
        const char* fn;
        const char* line;
    } cases[] = {
        {"wrong backup password", u"alice", "alice.zip", u"not the backup pw", Error_Decrypt_Failed,
         "CAppTable::unwrapsecret", "DecryptWithAES() failed."},
        {"archive of another user", u"carol", "bob.zip", kBackupPw, Error_Bad_Backup, "CUserTable::RestoreVerify",
         "bad"},
        {"archive of another user over an existing one", u"alice", "bob.zip", kBackupPw, Error_Bad_Backup,
         "CUserTable::RestoreVerify", "bad"},
        {"no archive at all", u"alice", "missing.zip", kBackupPw, Error_Invalid_File, "CUserTable::Restore",
         "Error_Invalid_File"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::map<std::string, Bytes> all = Snapshot(DataDir());
        LogCapture log;
        EXPECT_EQ(Restore(c.user, c.file, 1, c.pw), c.status);
        EXPECT_TRUE(LogCapture::Has(log.Take(), Level::Error, c.fn, c.line));
        EXPECT_EQ(Snapshot(DataDir()), all) << "no temporary folder, user and table untouched";
    }
    ExpectCreds(u"alice", aliceCreds);
}

TEST_F(ArchiveTest, WithoutTheZipLibraryArchiveAndRestoreFailAndChangeNothing) {
    const std::string dll = root.host("Program Files/Tarnwick Systems Corp/Aldmoor Client Core/ZipUtil.dll");
    ASSERT_TRUE(FileExists(dll)) << "the root layout placed the zip library";
    ASSERT_TRUE(std::filesystem::remove(dll));
    std::map<std::string, Bytes> all = Snapshot(DataDir());

    LogCapture log;
    EXPECT_EQ(Archive(u"alice", "alice.zip"), Error_Cant_Load_Library);
    EXPECT_TRUE(LogCapture::Has(log.Take(), Level::Error, "CUserTable::Archive", "Error_Cant_Load_Library"));
    EXPECT_FALSE(FileExists(Backup("alice.zip")));
    EXPECT_EQ(Snapshot(DataDir()), all);

    WriteFileBytes(Backup("alice.zip"), Utf8("anything"));
    EXPECT_EQ(Restore(u"alice", "alice.zip", 1), Error_Cant_Load_Library);
    EXPECT_TRUE(LogCapture::Has(log.Take(), Level::Error, "CUserTable::Restore", "Error_Cant_Load_Library"));
    EXPECT_EQ(Snapshot(DataDir()), all);
}

TEST_F(ArchiveTest, AStaleUserBackupFailsTheArchiveAndIsRemovedByIt) {
    const std::string dir = UserDir("alice");
    WriteFileBytes(dir + "/user.backup", Utf8("left by an interrupted archive"));
    LogCapture log;
    EXPECT_EQ(Archive(u"alice", "alice.zip"), Error_Insufficient_Privileges);
    EXPECT_TRUE(LogCapture::Has(log.Take(), Level::Error, "CUserTable::Archive", "Error_Insufficient_Privileges"));
    EXPECT_FALSE(FileExists(dir + "/user.backup"));
    EXPECT_FALSE(FileExists(dir + "/key.backup"));
    EXPECT_EQ(Archive(u"alice", "alice.zip"), 0) << "the next archive succeeds";
}

TEST_F(ArchiveTest, ArchiveStatusesBeforeAnythingIsWritten) {
    ByteArray wrong{Bytes{'w', 'r', 'o', 'n', 'g'}};
    EXPECT_EQ(ArchiveUser(u"App", wrong, u"alice", U(Backup("a.zip")).c_str(), kBackupPw, u""), Error_Bad_App);
    EXPECT_EQ(Archive(u"nobody", "a.zip"), Error_No_User);
    /* A user whose table does not verify: no backup file is made. */
    const std::string dir = UserDir("alice");
    Bytes table = ReadFileBytes(dir + "/user.bin");
    Bytes broken = table;
    broken[100] ^= 1;
    WriteFileBytes(dir + "/user.bin", broken);
    EXPECT_EQ(Archive(u"alice", "a.zip"), Error_No_User);
    EXPECT_FALSE(FileExists(dir + "/user.backup"));
    EXPECT_FALSE(FileExists(Backup("a.zip")));
    WriteFileBytes(dir + "/user.bin", table);
}

TEST_F(ArchiveTest, HostileArchivesFailTheRestoreAndLeaveEverythingAsItWas) {
    ASSERT_EQ(Archive(u"alice", "alice.zip"), 0);
    const std::map<std::string, Bytes> good = ReadZip(Backup("alice.zip"));
    const Bytes wrapped(good.at("user.backup").begin() + 4, good.at("user.backup").end());
    const Bytes secretBytes{'s', 'e', 'c', 'r', 'e', 't', 0, 1, 2, 3};
    const std::string outside = root.host("evil");

    auto with = [&](std::function<void(std::map<std::string, Bytes>&)> change) {
        std::map<std::string, Bytes> m = good;
        change(m);
        return Entries(m);
    };
    auto blobName = [&]() {
        for (auto& [name, data] : good)
            if (name != "user.bin" && name != "user.backup" && name != "key.backup") return name;
        return std::string();
    };

    /* user.bin with one EMD byte changed and its HMAC sealed again under the archived secret:
     * it verifies, but the EMD does not decrypt. */
    Bytes badEmd = good.at("user.bin");
    {
        size_t rec = kFirstRecord, mdlen = Le32(badEmd, rec + 568);
        ASSERT_GT(Le32(badEmd, rec + 572), 0u);
        badEmd[rec + 576 + mdlen] ^= 0x40;
        tabletest::Reseal(badEmd, secretBytes, kUserSalt);
    }

    struct Case {
        const char* label;
        std::vector<Entry> entries;
        LONG status;
    } cases[] = {
        {"absolute path", with([&](auto& m) { m[outside] = Utf8("x"); }), Error_Invalid_File},
        {"parent reference", with([&](auto& m) { m["../evil"] = Utf8("x"); }), Error_Invalid_File},
        {"symbolic link",
         [&] {
             auto e = Entries(good);
             e.push_back({"link", Utf8("/etc/passwd"), ZIP_OPSYS_UNIX, 0120777u << 16});
             return e;
         }(),
         Error_Invalid_File},
        {"device",
         [&] {
             auto e = Entries(good);
             e.push_back({"dev", Bytes{}, ZIP_OPSYS_UNIX, 0020644u << 16});
             return e;
         }(),
         Error_Invalid_File},
        {"too many entries",
         with([&](auto& m) {
             for (int i = 0; m.size() < 259; ++i) m["extra" + std::to_string(i)] = Utf8("x");
         }),
         Error_Invalid_File},
        {"no user.backup", with([&](auto& m) { m.erase("user.backup"); }), Error_Invalid_File},
        {"truncated user.backup",
         with([&](auto& m) { m["user.backup"].resize(m["user.backup"].size() - 5); }), Error_Bad_Backup},
        {"absurd user.backup length",
         with([&](auto& m) { m["user.backup"] = Cat({Le32Bytes(0xFFFFFFFFu), wrapped}); }), Error_Bad_Backup},
        {"SecretRecord lengths past the plaintext",
         with([&](auto& m) {
             Bytes w = Wrap(Cat({Le32Bytes(8), Utf16z(u"App"), Le32Bytes(1000), secretBytes}), "backup pw");
             m["user.backup"] = Cat({Le32Bytes((uint32_t)w.size()), w});
         }),
         Error_Decrypt_Failed},
        {"user.bin changed", with([&](auto& m) { m["user.bin"][700] ^= 1; }), Error_Bad_Backup},
        {"EMD that does not decrypt", with([&](auto& m) { m["user.bin"] = badEmd; }), Error_Bad_Backup},
        {"blob file missing", with([&](auto& m) { m.erase(blobName()); }), Error_Internal},
        {"oversize entry", with([&](auto& m) { m["big"] = Bytes(100000, 'z'); }), Error_Invalid_File},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MakeZip(Backup("hostile.zip"), c.entries);
        if (std::string(c.label) == "oversize entry") DeclareSize(Backup("hostile.zip"), "big", 0x20000000);
        std::map<std::string, Bytes> all = Snapshot(DataDir());
        EXPECT_EQ(Restore(u"alice", "hostile.zip", 1), c.status);
        EXPECT_EQ(Snapshot(DataDir()), all) << "existing user and table untouched, no temporary folder";
        EXPECT_FALSE(FileExists(outside));
        EXPECT_EQ(ListDir(root.host("backups")), (std::vector<std::string>{"alice.zip", "hostile.zip"}));
    }
    /* The same archive as a new user: still nothing added. */
    ASSERT_EQ(DeleteUser(u"App", secret, u"alice"), 0);
    MakeZip(Backup("hostile.zip"), cases[0].entries);
    std::map<std::string, Bytes> all = Snapshot(DataDir());
    EXPECT_EQ(Restore(u"alice", "hostile.zip", 0), Error_Invalid_File);
    EXPECT_EQ(Snapshot(DataDir()), all);
    EXPECT_EQ(Restore(u"alice", "alice.zip", 0), 0) << "the genuine archive still restores";
    ExpectCreds(u"alice", aliceCreds);
}

/* The secret wrapping at the table level, against an independent reading of its layout. */
class SecretWrapTest : public tabletest::TablesTest {
protected:
    Bytes Wrapped(CAppTable& t, const char16_t* pw) {
        BYTE* block = reinterpret_cast<BYTE*>(0x1);
        DWORD len = 77;
        EXPECT_EQ(t.wrapsecret(pw, &block, &len), 0);
        Bytes out(block, block + len);
        free(block);
        return out;
    }
    static Bytes Secret(const CAppTable& t) { return Bytes(t.AppSecret, t.AppSecret + t.AppSecretLen); }
};

TEST_F(SecretWrapTest, TwoWrappingsDifferAndBothUnwrap) {
    CAppTable t(u"App", *secretArray);
    ASSERT_EQ(t.loaded, 1);
    Bytes a = Wrapped(t, u"backup pw"), b = Wrapped(t, u"backup pw");
    EXPECT_NE(Bytes(a.begin(), a.begin() + 32), Bytes(b.begin(), b.begin() + 32)) << "a fresh salt each time";
    EXPECT_NE(a, b);

    const Bytes record = Cat({Le32Bytes(8), Utf16z(u"App"), Le32Bytes((uint32_t)secret.size()), secret});
    for (const Bytes* w : {&a, &b}) {
        Bytes plain;
        ASSERT_TRUE(Unwrap(*w, "backup pw", plain));
        EXPECT_EQ(plain, record) << "the block is sized from the record: no fixed 240 bytes, no trailing bytes";

        CAppTable other(u"App", *otherArray); /* the caller's own (different) secret */
        Bytes callers = Secret(other);
        ASSERT_EQ(other.unwrapsecret(w->data(), (DWORD)w->size(), u"backup pw"), 0);
        EXPECT_EQ(other.AppName, u"App");
        EXPECT_EQ(Secret(other), secret);
        ASSERT_NE(other.SavedSecret, nullptr);
        EXPECT_EQ(Bytes(other.SavedSecret, other.SavedSecret + other.SavedSecretLen), callers);
    }
}

TEST_F(SecretWrapTest, BadPasswordsAndBadRecordsAreRefusedWithTheTableUnchanged) {
    const Bytes good = Cat({Le32Bytes(4), Utf16z(u"A"), Le32Bytes(2), Utf8("xy")});
    struct Case {
        const char* label;
        Bytes block;
        LONG status;
    } cases[] = {
        {"wrong backup password", Wrap(good, "another pw"), Error_Decrypt_Failed},
        {"shorter than its two lengths", Wrap(Bytes{4, 0, 0, 0, 'A', 0, 0}, "pw"), Error_Decrypt_Failed},
        {"namelen past the plaintext", Wrap(Cat({Le32Bytes(1000), Utf16z(u"A"), Le32Bytes(0)}), "pw"),
         Error_Decrypt_Failed},
        {"namelen wrapping around", Wrap(Cat({Le32Bytes(0xFFFFFFFCu), Utf16z(u"A"), Le32Bytes(0)}), "pw"),
         Error_Decrypt_Failed},
        {"secretlen past the plaintext", Wrap(Cat({Le32Bytes(4), Utf16z(u"A"), Le32Bytes(3), Utf8("xy")}), "pw"),
         Error_Decrypt_Failed},
        {"namelen odd", Wrap(Cat({Le32Bytes(3), Bytes{'A', 0, 0}, Le32Bytes(0)}), "pw"), Error_Decrypt_Failed},
        {"namelen zero", Wrap(Cat({Le32Bytes(0), Le32Bytes(0)}), "pw"), Error_Decrypt_Failed},
        {"name without its NUL", Wrap(Cat({Le32Bytes(4), Bytes{'A', 0, 'B', 0}, Le32Bytes(0)}), "pw"),
         Error_Decrypt_Failed},
        {"salt only", Bytes(32, 1), Error_Decrypt_Failed},
        {"damaged ciphertext",
         [&] {
             Bytes w = Wrap(good, "pw");
             w.back() ^= 1;
             return w;
         }(),
         Error_Decrypt_Failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CAppTable t(u"App", *secretArray);
        LogCapture log;
        EXPECT_EQ(t.unwrapsecret(c.block.data(), (DWORD)c.block.size(), u"pw"), c.status);
        EXPECT_EQ(t.AppName, u"App");
        EXPECT_EQ(Secret(t), secret);
        EXPECT_EQ(t.SavedSecret, nullptr);
        EXPECT_EQ(t.SavedSecretLen, 0u);
        auto lines = log.Take();
        EXPECT_TRUE(LogCapture::Has(lines, Level::Error, "CAppTable::unwrapsecret", "DecryptWithAES() failed.") ||
                    LogCapture::Has(lines, Level::Error, "CAppTable::unwrapsecret", "invalid secret record"));
    }

    /* What follows a sound record is ignored. */
    CAppTable t(u"App", *secretArray);
    Bytes trailing = Cat({good, Pattern(64, 3)});
    Bytes block = Wrap(trailing, "pw");
    ASSERT_EQ(t.unwrapsecret(block.data(), (DWORD)block.size(), u"pw"), 0);
    EXPECT_EQ(t.AppName, u"A");
    EXPECT_EQ(Secret(t), Utf8("xy"));
}

TEST_F(SecretWrapTest, RestoreUserSavesUnderTheCallersSecretAndRefusesA256thUser) {
    CAppTable t(u"App", *secretArray);
    ASSERT_EQ(t.loaded, 1);
    Bytes w = Wrap(Cat({Le32Bytes(8), Utf16z(u"App"), Le32Bytes(3), Utf8("old")}), "pw");
    ASSERT_EQ(t.unwrapsecret(w.data(), (DWORD)w.size(), u"pw"), 0);
    EXPECT_EQ(Secret(t), Utf8("old"));
    std::u16string folder = tabletest::DataFolderView() + u"App\\0123abcd-0000-4000-8000-000000000001";
    ASSERT_EQ(t.RestoreUser(u"carol", folder, u"0123abcd-0000-4000-8000-000000000001"), 0);
    EXPECT_EQ(t.SavedSecret, nullptr);
    EXPECT_EQ(Secret(t), secret);
    Bytes app = ReadFileBytes(AppBin());
    EXPECT_TRUE(TrailerVerifies(app, secret, kAppSalt)) << "app.bin under the caller's secret";
    EXPECT_FALSE(TrailerVerifies(app, Utf8("old"), kAppSalt));
    ASSERT_EQ(app.size(), 48u + 1182u + 32u);
    EXPECT_EQ(tabletest::Field(app, 48, 257), u"carol");
    EXPECT_EQ(tabletest::Field(app, 48 + 514, 74), u"0123abcd-0000-4000-8000-000000000001");
    EXPECT_EQ(tabletest::Field(app, 48 + 662, 260), folder);

    /* Fill the table to 255 records in memory: the 256th is refused and nothing is saved. */
    while (t.Users.size() < 255) {
        UserRecord* r = static_cast<UserRecord*>(calloc(1, sizeof(UserRecord)));
        t.Users.push_back(r);
        t.Header.usercount++;
    }
    LogCapture log;
    EXPECT_EQ(t.RestoreUser(u"dave", folder, u"0123abcd-0000-4000-8000-000000000002"), Error_Internal);
    EXPECT_TRUE(LogCapture::Has(log.Take(), Level::Error, "CAppTable::RestoreUser", "> MAXIMUM_NUMBER_OF_USERS"));
    EXPECT_EQ(ReadFileBytes(AppBin()), app);
}
