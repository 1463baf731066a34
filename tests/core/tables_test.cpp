/* The tables of protection type 0: limits, versions and application names; the layouts of user.bin,
 * credential records and blob files; every byte of every file kind flipped in turn (the version and
 * count checks reporting their own overflow, every other change failing the HMAC) and hostile files
 * that verify, from tests/data/core_hostile_tables.tsv. The layout of app.bin and removal are
 * tested through the exports: exports_app_test. */
#include "TableFixture.h"

#include <cstdio>
#include <map>
#include <sstream>

using namespace tabletest;

namespace {

/* A fresh root with the application "App" registered under `secret`, its user alice of protection
 * type 0 (no key provider) holding the credential "mail". */
class TablesTest : public vktest::RootTest {
  protected:
    void SetUp() override {
        VaultkeepInitRoot();
        std::filesystem::create_directories(root.host("ProgramData"));
        secretArray = std::make_unique<vktest::ByteArray>(secret);
        otherArray = std::make_unique<vktest::ByteArray>(Bytes{'o', 't', 'h', 'e', 'r'});
        ASSERT_EQ(Register(W("App")), 0);
        SetType(W("App"), 0);
        guid = AddUser(W("alice"));
        auto user = Open(); // the record belongs to the table: read it while it lives
        CredentialRecord* rec = nullptr;
        ASSERT_EQ(Store(*user, W("mail"), md, emd, cred, &rec), 0);
        blobName = vktest::Narrow(WString(rec->blobname));
    }

    LONG Register(const WCHAR* name) {
        CAppTable t(name, *secretArray);
        return t.loaded ? -2 : t.AddApp();
    }

    static void SetType(const WCHAR* app, DWORD type) {
        SetValue(kAppKeyPrefix + app, W("Type"), REG_DWORD, &type, 4);
    }

    std::string DataDir() const { return root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep"); }
    std::string AppDir(const std::string& app = "App") const { return DataDir() + "/" + app; }
    std::string AppBin() const { return AppDir() + "/app.bin"; }
    std::string UserDir(const WString& g) const { return AppDir() + "/" + vktest::Narrow(g); }

    /* Adds a user through the application table; returns its GUID. */
    WString AddUser(const WString& name, const WCHAR* password = W("pw")) {
        CAppTable t(W("App"), *secretArray);
        EXPECT_EQ(t.loaded, 1);
        UserRecord* rec = nullptr;
        EXPECT_EQ(t.AddUser(name.c_str(), password, &rec), 0);
        return rec ? WString(rec->guid) : WString();
    }

    /* alice's table, read under another secret if given. */
    std::unique_ptr<CUserTable> Open(DWORD type = 0, SAFEARRAY* otherSecret = nullptr) {
        const WString folder = kDataView + W("App\\") + guid;
        return std::make_unique<CUserTable>(type, W("App"), otherSecret ? otherSecret : secretArray->get(),
                                            W("alice"), guid.c_str(), folder.c_str());
    }

    /* A table image of n records cloned from the first record of `base`, each named apart, resealed. */
    Bytes CraftAppTable(const Bytes& base, size_t n, uint32_t version = 1) {
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
    /* user.bin holding n empty records (len 580) after the current header, resealed. */
    Bytes CraftUserTable(size_t n, uint32_t version = 1) {
        Bytes f = Slice(ReadFileBytes(UserBin()), 0, kUserHeader);
        for (size_t i = 0; i < n; ++i) {
            Bytes r(kCredFixed, 0);
            PutLe32(r, 0, 1);
            PutLe32(r, 4, kCredFixed);
            PutField(r, kCrId, 20, W("c") + vktest::U(std::to_string(i)));
            char name[64];
            snprintf(name, sizeof(name), "00000000-0000-4000-8000-%012zu", i);
            PutField(r, kCrBlobname, 260, vktest::U(name));
            f.insert(f.end(), r.begin(), r.end());
        }
        f.resize(f.size() + kMac);
        PutLe32(f, 0, version);
        PutLe32(f, 4, static_cast<uint32_t>(f.size()));
        PutLe32(f, kUtCredCount, static_cast<uint32_t>(n));
        Reseal(f, secret, kUtSalt);
        return f;
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

    std::string UserBin() const { return UserDir(guid) + "/user.bin"; }
    std::string BlobPath(const Bytes& userBin, size_t recOff) const {
        return UserDir(guid) + "/" + vktest::Narrow(Field(userBin, recOff + kCrBlobname, 260));
    }
    static LONG Store(CUserTable& ut, const WString& id, const Bytes& md, const Bytes& emd,
                      const Bytes& cred, CredentialRecord** ppRec = nullptr) {
        vktest::ByteArray a(md), b(emd), c(cred);
        CredentialRecord* rec = nullptr;
        LONG status = ut.AddCred(id.c_str(), a, b, c, W("pw"), &rec);
        if (ppRec) *ppRec = rec;
        return status;
    }
    LONG Find(const WCHAR* id, SAFEARRAY** out) {
        CredentialRecord* rec = nullptr;
        return Open()->FindCredInUserTable(id, W("pw"), &rec, out);
    }

    Bytes secret{'a', 'p', 'p', '-', 's', 'e', 'c', 'r', 'e', 't', 0, 7, 0xff};
    std::unique_ptr<vktest::ByteArray> secretArray;
    std::unique_ptr<vktest::ByteArray> otherArray;
    const Bytes md = Pattern(10, 1), emd = Pattern(48, 2), cred = Pattern(64, 3);
    WString guid;
    std::string blobName;
};

/* Versions above 1 and counts above 255 are refused with their own lines: EveryByteOfEveryFileKind. */
TEST_F(TablesTest, VersionZeroLoadsAndAnySaveWritesVersionOneAndTheTrueSize) {
    Bytes f = CraftAppTable(ReadFileBytes(AppBin()), 1, 0);
    PutLe32(f, 4, 12345);
    Reseal(f, secret, kAppSaltOff);
    WriteFileBytes(AppBin(), f);
    EXPECT_EQ(CAppTable(W("App"), *secretArray).DeleteUserInAppTable(W("user0")), 0);
    Bytes saved = ReadFileBytes(AppBin());
    EXPECT_EQ(Le32(saved, 0), 1u);
    EXPECT_EQ(Le32(saved, 4), saved.size());

    WriteFileBytes(UserBin(), CraftUserTable(2, 0));
    EXPECT_EQ(Open()->ReadUserTable(), 0);
    EXPECT_EQ(Open()->Creds.size(), 2u);
}

TEST_F(TablesTest, The256thUserAndOverlongNamesAreRefusedBeforeAnythingIsWritten) {
    WString longest(256, W('n'));
    const WString g = AddUser(longest);
    Bytes f = ReadFileBytes(AppBin());
    EXPECT_EQ(Field(f, kAppHeader + kUserRecord + kRecUsername, 257), longest);
    EXPECT_EQ(Field(ReadFileBytes(UserDir(g) + "/user.bin"), kUtUsername, 257), longest);
    auto folders = ListDir(AppDir());
    UserRecord* rec = nullptr;
    EXPECT_EQ(CAppTable(W("App"), *secretArray).AddUser(WString(257, W('n')).c_str(), W("pw"), &rec), -3);
    EXPECT_EQ(ReadFileBytes(AppBin()), f);
    EXPECT_EQ(ListDir(AppDir()), folders);

    Bytes full = CraftAppTable(f, 255);
    WriteFileBytes(AppBin(), full);
    CAppTable t(W("App"), *secretArray);
    ASSERT_EQ(t.Users.size(), 255u);
    EXPECT_EQ(t.AddUser(W("one-too-many"), W("pw"), &rec), -6);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(t.Users.size(), 255u);
    EXPECT_EQ(ReadFileBytes(AppBin()), full);
    EXPECT_EQ(ListDir(AppDir()), folders);
}

TEST_F(TablesTest, ApplicationNamesMustNameOneFolderAndOneKey) {
    // A blob path is the data folder (47 characters), the name, "\" + GUID twice: it must fit in 259.
    const size_t longest = 259 - kDataView.size() - 74;
    ASSERT_EQ(longest, 138u);
    std::vector<WString> names = {W(""),          W("."),         W(".."),      W("a\\b"), W("..\\escape"),
                                         W("a/b"),       W("tab\there"), W("del\x7f"), W("a:b"),  W("star*"),
                                         W("trailing."), W("trailing "), W("\xD800x")};
    names.push_back(WString(longest + 1, W('L')));
    names.push_back(WString(259 - 42 + 1, W('K'))); // past the registry's 259 for the key path too
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

TEST_F(TablesTest, CredentialRecordAndBlobFileLayouts) {
    Bytes f = ReadFileBytes(UserBin());
    const size_t r = kUserHeader;
    ASSERT_GE(f.size(), 668u + kCredFixed);
    uint32_t len = Le32(f, r + 4), mdlen = Le32(f, r + kCrMdlen), emdlen = Le32(f, r + kCrEmdlen);
    EXPECT_EQ(Le32(f, r), 1u);
    EXPECT_EQ(mdlen, 10u);
    EXPECT_EQ(len, 580 + mdlen + emdlen);
    EXPECT_EQ(f.size(), 668u + len);
    EXPECT_EQ(Le32(f, 4), f.size());
    EXPECT_EQ(Le32(f, kUtCredCount), 1u);
    EXPECT_EQ(Field(f, r + kCrId, 20), W("mail"));
    EXPECT_TRUE(ZeroAfterNul(f, r + kCrId, 20));
    EXPECT_TRUE(IsLowerGuid(Field(f, r + kCrBlobname, 260)));
    EXPECT_TRUE(ZeroAfterNul(f, r + kCrBlobname, 260));
    EXPECT_EQ(Slice(f, r + kCrData, 10), md);
    EXPECT_EQ(Slice(f, r + kCrData + mdlen + emdlen, 4), Bytes(4, 0)); // the tail
    EXPECT_TRUE(TrailerVerifies(f, secret, kUtSalt));

    // EMD is stored encrypted under the table key (PBKDF2 of the secret and the table salt).
    Bytes stored = Slice(f, r + kCrData + mdlen, emdlen), key = Pbkdf2(secret, f.data() + kUtSalt);
    DWORD plainLen = emdlen;
    BYTE* plain = nullptr;
    ASSERT_EQ(CUtil::DecryptWithAES(key.data(), 32, stored.data(), &plainLen, &plain), 0);
    EXPECT_EQ(Bytes(plain, plain + plainLen), emd);
    free(plain);

    // The blob file: its own salt, len + 72 bytes, HMAC over header and data, not the plain bytes.
    Bytes blob = ReadFileBytes(BlobPath(f, r));
    ASSERT_GE(blob.size(), 72u);
    EXPECT_EQ(Le32(blob, 0), 1u);
    EXPECT_EQ(blob.size(), Le32(blob, 4) + 72u);
    EXPECT_NE(Slice(blob, kBlobSaltOff, 32), Slice(f, kUtSalt, 32));
    EXPECT_TRUE(TrailerVerifies(blob, secret, kBlobSaltOff));
    EXPECT_EQ(std::search(blob.begin(), blob.end(), cred.begin(), cred.begin() + 16), blob.end());
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(Find(W("mail"), &out), 0);
    EXPECT_EQ(vktest::TakeArray(out), cred);
    // The same bytes stored again draw another salt, so another HMAC.
    ASSERT_EQ(Store(*Open(), W("again"), md, emd, cred), 0);
    Bytes again = ReadFileBytes(BlobPath(ReadFileBytes(UserBin()), r + len));
    EXPECT_NE(Slice(again, kBlobSaltOff, 32), Slice(blob, kBlobSaltOff, 32));
    EXPECT_NE(Slice(again, again.size() - kMac, kMac), Slice(blob, blob.size() - kMac, kMac));
}

TEST_F(TablesTest, RefusedCredentialsLeaveEveryFileAsItWas) {
    const Bytes before = ReadFileBytes(UserBin());
    const auto files = ListDir(UserDir(guid));
    {
        // Protection type 2 has no blob encryption: no result, so no blob and no record.
        auto ut = Open(2);
        CredentialRecord* rec = reinterpret_cast<CredentialRecord*>(1);
        EXPECT_NE(Store(*ut, W("x"), Pattern(4, 1), Pattern(4, 2), Pattern(40, 3), &rec), 0);
        EXPECT_EQ(rec, nullptr);
        EXPECT_EQ(ut->Creds.size(), 1u) << "mail only";
    }
    EXPECT_EQ(ReadFileBytes(UserBin()), before);
    EXPECT_EQ(ListDir(UserDir(guid)), files);

    // The 256th credential.
    Bytes full = CraftUserTable(255);
    WriteFileBytes(UserBin(), full);
    auto ut = Open();
    ASSERT_EQ(ut->Creds.size(), 255u);
    EXPECT_EQ(Store(*ut, W("x"), Pattern(4, 1), Pattern(4, 2), Pattern(40, 3)), -8);
    EXPECT_EQ(ut->Creds.size(), 255u);
    EXPECT_EQ(ReadFileBytes(UserBin()), full);
    EXPECT_EQ(ListDir(UserDir(guid)), files);
}

TEST_F(TablesTest, EveryByteOfEveryFileKind) {
    ASSERT_EQ(ReadFileBytes(AppBin()).size(), 1262u);
    FlipEach(AppBin(), [&](const Bytes& f, LogCapture& log) {
        CAppTable t(W("App"), *secretArray);
        EXPECT_EQ(t.loaded, 0);
        const char* expected = Le32(f, 0) > 1      ? ">MAXIMUM_SUPPORTED_VERSION"
                               : Le32(f, 40) > 255 ? "> MAXIMUM_NUMBER_OF_USERS"
                                                   : "loaded=false";
        EXPECT_TRUE(LogCapture::Has(log.Take(), diaglog::Level::Error, "CAppTable::CAppTable", expected));
    });
    FlipEach(UserBin(), [&](const Bytes& f, LogCapture& log) {
        auto ut = Open();
        EXPECT_EQ(ut->UserExists, 0);
        const LONG expected = Le32(f, 0) > 1 ? -4 : Le32(f, kUtCredCount) > 255 ? -8 : -3;
        EXPECT_EQ(ut->ReadUserTable(), expected);
        EXPECT_TRUE(expected != -3 || LogCapture::Has(log.Take(), diaglog::Level::Error,
                                                      "CUserTable::ReadUserTable", "file corrupted"));
    });
    FlipEach(UserDir(guid) + "/" + blobName, [&](const Bytes&, LogCapture&) {
        SAFEARRAY* out = nullptr;
        EXPECT_EQ(Find(W("mail"), &out), -3);
        EXPECT_EQ(out, nullptr);
    });
    // The intact files are whole again.
    EXPECT_EQ(CAppTable(W("App"), *secretArray).loaded, 1);
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(Find(W("mail"), &out), 0);
    EXPECT_EQ(vktest::TakeArray(out), cred);
}

TEST_F(TablesTest, HostileFilesAreRefusedWithoutReadingPastThem) {
    const std::map<std::string, std::pair<std::string, size_t>> files = { // path, salt offset
        {"app", {AppBin(), kAppSaltOff}},
        {"user", {UserBin(), kUtSalt}},
        {"blob", {UserDir(guid) + "/" + blobName, kBlobSaltOff}}};
    for (auto [kind, size] : {std::pair{"app", 1262u}, {"user", 1322u}, {"blob", 152u}})
        ASSERT_EQ(ReadFileBytes(files.at(kind).first).size(), size) << "the offsets in the table";
    LogCapture log;
    int rows = 0;
    for (auto col : vktest::DataRows("core_hostile_tables.tsv", "hostile")) {
        col.resize(5);
        SCOPED_TRACE(col[0]);
        const auto& [path, saltOff] = files.at(col[1]);
        const Bytes good = ReadFileBytes(path);
        Bytes f = good;
        std::istringstream edits(col[2]);
        for (std::string e; edits >> e;) {
            const size_t at = e.find('@'), slash = e.find('/'), eq = e.find('=');
            const std::string op = e.substr(0, std::min(at, eq)), arg = eq == e.npos ? "" : e.substr(eq + 1);
            const size_t off = at == e.npos ? 0 : std::stoul(e.substr(at + 1)),
                         units = slash == e.npos ? 0 : std::stoul(e.substr(slash + 1));
            if (op == "trunc") f.resize(std::stoul(arg));
            else if (op == "pad") f.insert(f.end() - kMac, std::stoul(arg), 0);
            else if (op == "put32") PutLe32(f, off, static_cast<uint32_t>(std::stoul(arg)));
            else if (op == "fill") PutField(f, off, units, WString(units, static_cast<WCHAR>(arg.at(0))));
            else if (op == "text") PutField(f, off, units, vktest::U(arg));
            else if (op == "reseal") Reseal(f, secret, saltOff);
            else ASSERT_EQ(op, "remove");
        }
        if (col[2] == "remove") std::filesystem::remove(path);
        else WriteFileBytes(path, f);
        log.Take();
        LONG status;
        std::string fn;
        if (col[1] == "app") {
            CAppTable t(W("App"), *secretArray);
            status = t.loaded, fn = "CAppTable::CAppTable";
            EXPECT_TRUE(t.Users.empty());
        } else if (col[1] == "user") {
            auto ut = Open();
            status = ut->ReadUserTable(), fn = "CUserTable::ReadUserTable";
            EXPECT_EQ(ut->UserExists, 0);
            EXPECT_TRUE(ut->Creds.empty());
        } else {
            SAFEARRAY* out = nullptr;
            status = Find(W("mail"), &out);
            EXPECT_EQ(out, nullptr);
        }
        EXPECT_EQ(std::to_string(status), col[3]);
        EXPECT_TRUE(col[4].empty() || LogCapture::Has(log.Take(), diaglog::Level::Error, fn, col[4]));
        EXPECT_EQ(FileExists(path) ? ReadFileBytes(path) : Bytes{}, col[2] == "remove" ? Bytes{} : f)
            << "left as it was";
        WriteFileBytes(path, good);
        ++rows;
    }
    EXPECT_EQ(rows, 29);
    EXPECT_EQ(Open(0, *otherArray)->ReadUserTable(), -3) << "another secret";
}

} // namespace
