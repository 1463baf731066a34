/* CUserTable: user.bin and credential record layouts, blob files, the credential
 * operations, limits and hostile files. Users are of protection type 0 here (no key
 * provider), except where the provider is the point. */
#include "TableFixture.h"

#include <cstdio>
#include <set>

using namespace tabletest;
using vktest::Le32;
using vktest::PutLe32;
using vktest::ReadFileBytes;
using vktest::WriteFileBytes;
using vktest::FileExists;
using vktest::ListDir;

namespace {

class UserTableTest : public TablesTest {
protected:
    void SetUp() override {
        TablesTest::SetUp();
        guid = AddUser(u"alice");
        ASSERT_FALSE(guid.empty());
    }

    std::string UserBin() const { return UserDir(guid) + "/user.bin"; }
    std::unique_ptr<CUserTable> Open(DWORD type = 0, SAFEARRAY* s = nullptr) { return OpenUser(u"alice", guid, type, s); }

    static LONG Store(CUserTable& ut, const std::u16string& id, const Bytes& md, const Bytes& emd, const Bytes& cred,
                      CredentialRecord** ppRec = nullptr) {
        vktest::ByteArray a(md), b(emd), c(cred);
        CredentialRecord* rec = nullptr;
        LONG status = ut.AddCred(id.c_str(), a, b, c, u"pw", &rec);
        if (ppRec) *ppRec = rec;
        return status;
    }

    static std::string BlobName(const Bytes& userBin, size_t recOff) {
        return vktest::Narrow(Field(userBin, recOff + kCrBlobname, 260));
    }

    /* user.bin holding n empty records (len 580) after the current header, resealed. */
    Bytes CraftTable(size_t n) {
        Bytes f = Slice(ReadFileBytes(UserBin()), 0, kUserHeader);
        for (size_t i = 0; i < n; ++i) {
            Bytes r(kCredFixed, 0);
            PutLe32(r, 0, 1);
            PutLe32(r, 4, kCredFixed);
            PutField(r, kCrId, 20, u"c" + vktest::U(std::to_string(i)));
            char name[64];
            snprintf(name, sizeof(name), "00000000-0000-4000-8000-%012zu", i);
            PutField(r, kCrBlobname, 260, vktest::U(name));
            f.insert(f.end(), r.begin(), r.end());
        }
        PutLe32(f, kUtCredCount, static_cast<uint32_t>(n));
        f.resize(f.size() + kMac);
        PutLe32(f, 4, static_cast<uint32_t>(f.size()));
        Reseal(f, secret, kUtSalt);
        return f;
    }

    std::u16string guid;
};

TEST_F(UserTableTest, NewUserTableIs668BytesVerifiedUnderTheSecret) {
    Bytes f = ReadFileBytes(UserBin());
    ASSERT_EQ(f.size(), 668u);
    EXPECT_EQ(Le32(f, 0), 1u);
    EXPECT_EQ(Le32(f, 4), 668u);
    EXPECT_EQ(Field(f, kUtUsername, 257), u"alice");
    EXPECT_TRUE(ZeroAfterNul(f, kUtUsername, 257));
    EXPECT_NE(Slice(f, kUtSalt, 32), Bytes(32, 0));
    EXPECT_EQ(Slice(f, kUtPadding, 2), Bytes(2, 0));
    EXPECT_EQ(Le32(f, kUtCredCount), 0u);
    EXPECT_EQ(Slice(f, kUtUuid, 76), Bytes(76, 0));  // type 0: no key, no container name
    EXPECT_TRUE(TrailerVerifies(f, secret, kUtSalt));

    auto ut = Open();
    EXPECT_EQ(ut->UserExists, 1);
    EXPECT_TRUE(ut->Creds.empty());
    EXPECT_EQ(std::u16string(ut->Header.username), u"alice");

    // Another user draws another salt; type 0 logs that it made no key.
    LogCapture log;
    std::u16string other = AddUser(u"bob");
    EXPECT_TRUE(LogCapture::Has(log.Take(), diaglog::Level::Error, "CUserTable::AddUser", "NOT SUPPORTED"));
    Bytes g = ReadFileBytes(UserDir(other) + "/user.bin");
    EXPECT_NE(Slice(g, kUtSalt, 32), Slice(f, kUtSalt, 32));
}

TEST_F(UserTableTest, CredentialRecordAndBlobFileLayouts) {
    const Bytes md = Pattern(10, 1), emd = Pattern(48, 2), cred = Pattern(100, 3);
    {
        auto ut = Open();
        ASSERT_EQ(ut->UserExists, 1);
        CredentialRecord* rec = nullptr;
        ASSERT_EQ(Store(*ut, u"mail", md, emd, cred, &rec), 0);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(ut->Header.credcount, 1u);
    }
    Bytes f = ReadFileBytes(UserBin());
    const size_t r = kUserHeader;
    ASSERT_GE(f.size(), 668u + kCredFixed);
    uint32_t len = Le32(f, r + 4), mdlen = Le32(f, r + kCrMdlen), emdlen = Le32(f, r + kCrEmdlen);
    EXPECT_EQ(Le32(f, r), 1u);
    EXPECT_EQ(mdlen, 10u);
    EXPECT_GT(emdlen, 0u);
    EXPECT_EQ(len, 580 + mdlen + emdlen);
    EXPECT_EQ(f.size(), 668u + len);
    EXPECT_EQ(Le32(f, 4), f.size());
    EXPECT_EQ(Le32(f, kUtCredCount), 1u);
    EXPECT_EQ(Field(f, r + kCrId, 20), u"mail");
    EXPECT_TRUE(ZeroAfterNul(f, r + kCrId, 20));
    EXPECT_TRUE(IsLowerGuid(Field(f, r + kCrBlobname, 260)));
    EXPECT_TRUE(ZeroAfterNul(f, r + kCrBlobname, 260));
    EXPECT_EQ(Slice(f, r + kCrData, 10), md);
    EXPECT_EQ(Slice(f, r + kCrData + mdlen + emdlen, 4), Bytes(4, 0));  // the tail
    EXPECT_TRUE(TrailerVerifies(f, secret, kUtSalt));

    // EMD is stored encrypted under the table key (PBKDF2 of the secret and the table salt).
    Bytes stored = Slice(f, r + kCrData + mdlen, emdlen);
    EXPECT_EQ(std::search(stored.begin(), stored.end(), emd.begin(), emd.begin() + 16), stored.end());
    Bytes key = Pbkdf2(secret, f.data() + kUtSalt);
    DWORD plainLen = emdlen;
    BYTE* plain = nullptr;
    ASSERT_EQ(CUtil::DecryptWithAES(key.data(), 32, stored.data(), &plainLen, &plain), 0);
    EXPECT_EQ(Bytes(plain, plain + plainLen), emd);
    free(plain);

    // The blob file: its own salt, len + 72 bytes, HMAC over header and data.
    Bytes blob = ReadFileBytes(UserDir(guid) + "/" + BlobName(f, r));
    ASSERT_GE(blob.size(), 72u);
    EXPECT_EQ(Le32(blob, 0), 1u);
    EXPECT_EQ(blob.size(), Le32(blob, 4) + 72u);
    EXPECT_NE(Slice(blob, kBlobSaltOff, 32), Slice(f, kUtSalt, 32));
    EXPECT_TRUE(TrailerVerifies(blob, secret, kBlobSaltOff));
    EXPECT_EQ(std::search(blob.begin(), blob.end(), cred.begin(), cred.begin() + 16), blob.end());

    // And it opens again to the very bytes.
    auto ut = Open();
    CredentialRecord* rec = nullptr;
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(ut->FindCredInUserTable(u"mail", u"pw", &rec, &out), 0);
    EXPECT_EQ(vktest::TakeArray(out), cred);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->len, len);

    // An empty MD and EMD still make a well-formed record.
    ASSERT_EQ(Store(*ut, u"empty", {}, {}, Pattern(1, 4)), 0);
    Bytes g = ReadFileBytes(UserBin());
    size_t r2 = kUserHeader + len;
    EXPECT_EQ(Le32(g, r2 + kCrMdlen), 0u);
    EXPECT_EQ(Le32(g, r2 + 4), 580u + Le32(g, r2 + kCrEmdlen));
    EXPECT_EQ(g.size(), 668u + len + Le32(g, r2 + 4));
}

TEST_F(UserTableTest, EveryBlobWriteDrawsItsOwnSaltAndHmac) {
    auto ut = Open();
    std::u16string path = DataFolderView() + u"App\\" + guid + u"\\blob-test";
    std::string host = UserDir(guid) + "/blob-test";
    Bytes data = Pattern(120, 9);
    ASSERT_EQ(ut->SaveBlob(path.c_str(), 120, data.data()), 0);
    Bytes first = ReadFileBytes(host);
    ASSERT_EQ(ut->SaveBlob(path.c_str(), 120, data.data()), 0);
    Bytes second = ReadFileBytes(host);
    ASSERT_EQ(first.size(), 192u);  // 120 + 72
    ASSERT_EQ(second.size(), 192u);
    EXPECT_EQ(Le32(first, 4), 120u);
    EXPECT_NE(Slice(first, kBlobSaltOff, 32), Slice(second, kBlobSaltOff, 32));
    EXPECT_NE(Slice(first, 160, 32), Slice(second, 160, 32));
    EXPECT_EQ(Slice(first, 40, 120), data);
    EXPECT_EQ(Slice(second, 40, 120), data);
    EXPECT_TRUE(TrailerVerifies(first, secret, kBlobSaltOff));
    EXPECT_TRUE(TrailerVerifies(second, secret, kBlobSaltOff));

    DWORD len = 0;
    BYTE* got = nullptr;
    ASSERT_EQ(ut->ReadBlob(path.c_str(), &len, &got), 0);
    EXPECT_EQ(Bytes(got, got + len), data);
    free(got);
}

TEST_F(UserTableTest, ListingAndDeletingKeepTableOrder) {
    auto ut = Open();
    WString list = u"sentinel";
    EXPECT_EQ(ut->ListCreds(list), -5);
    EXPECT_EQ(list, u"");
    for (auto id : {u"a", u"b", u"c"}) ASSERT_EQ(Store(*ut, id, Pattern(3, 1), Pattern(5, 2), Pattern(7, 3)), 0);
    EXPECT_EQ(ut->ListCreds(list), 0);
    EXPECT_EQ(list, u"a,b,c");

    Bytes before = ReadFileBytes(UserBin());
    size_t lenA = Le32(before, kUserHeader + 4), lenB = Le32(before, kUserHeader + lenA + 4);
    std::string blobA = BlobName(before, kUserHeader), blobB = BlobName(before, kUserHeader + lenA),
                blobC = BlobName(before, kUserHeader + lenA + lenB);
    EXPECT_EQ(ut->DeleteCred(u"B"), -5);
    EXPECT_EQ(ut->DeleteCred(u"b"), 0);
    Bytes after = ReadFileBytes(UserBin());
    EXPECT_EQ(after.size(), before.size() - lenB);
    EXPECT_EQ(Le32(after, kUtCredCount), 2u);
    EXPECT_EQ(Slice(after, kUserHeader, lenA), Slice(before, kUserHeader, lenA));
    EXPECT_TRUE(TrailerVerifies(after, secret, kUtSalt));
    EXPECT_FALSE(FileExists(UserDir(guid) + "/" + blobB));
    EXPECT_TRUE(FileExists(UserDir(guid) + "/" + blobA));
    EXPECT_TRUE(FileExists(UserDir(guid) + "/" + blobC));

    auto again = Open();
    ASSERT_EQ(again->UserExists, 1);
    EXPECT_EQ(again->ListCreds(list), 0);
    EXPECT_EQ(list, u"a,c");
    EXPECT_EQ(again->DeleteCred(u"c"), 0);
    EXPECT_EQ(again->ListCreds(list), 0);
    EXPECT_EQ(list, u"a");
    EXPECT_EQ(again->DeleteCred(u"a"), 0);
    EXPECT_EQ(again->ListCreds(list), -5);
    EXPECT_EQ(ReadFileBytes(UserBin()).size(), 668u);
    EXPECT_EQ(ListDir(UserDir(guid)), std::vector<std::string>{"user.bin"});
}

TEST_F(UserTableTest, LookupsAreExactAndBlobFailuresAreReported) {
    {
        auto ut = Open();
        ASSERT_EQ(Store(*ut, u"Token", Pattern(4, 1), Pattern(4, 2), Pattern(40, 3)), 0);
        ASSERT_EQ(Store(*ut, u"other", Pattern(4, 1), Pattern(4, 2), Pattern(40, 4)), 0);
        CredentialRecord* rec = nullptr;
        EXPECT_EQ(ut->FindCredInUserTable(u"token", nullptr, &rec, nullptr), -5);
        EXPECT_EQ(rec, nullptr);
        EXPECT_EQ(ut->FindCredInUserTable(u"Token", nullptr, &rec, nullptr), 0);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(std::u16string(rec->id), u"Token");
        SAFEARRAY* out = nullptr;
        EXPECT_EQ(ut->FindCredInUserTable(u"Token", nullptr, &rec, &out), 0);
        EXPECT_EQ(out, nullptr);  // no password: the record only
    }
    Bytes f = ReadFileBytes(UserBin());
    std::string blob = UserDir(guid) + "/" + BlobName(f, kUserHeader);
    Bytes good = ReadFileBytes(blob);

    Bytes bad = good;
    bad[50] ^= 0x20;
    WriteFileBytes(blob, bad);
    {
        auto ut = Open();
        ASSERT_EQ(ut->UserExists, 1);
        CredentialRecord* rec = nullptr;
        SAFEARRAY* out = nullptr;
        EXPECT_EQ(ut->FindCredInUserTable(u"Token", u"pw", &rec, &out), -3);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(ut->UserExists, 0);
    }

    ASSERT_EQ(std::remove(blob.c_str()), 0);
    auto ut = Open();
    CredentialRecord* rec = nullptr;
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(ut->FindCredInUserTable(u"Token", u"pw", &rec, &out), -8);
    EXPECT_EQ(out, nullptr);
    WString list;
    EXPECT_EQ(ut->ListCreds(list), 0);
    EXPECT_EQ(list, u"Token,other");
    EXPECT_EQ(ut->FindCredInUserTable(u"other", u"pw", &rec, &out), 0);
    EXPECT_EQ(vktest::TakeArray(out), Pattern(40, 4));
}

TEST_F(UserTableTest, RefusedCredentialsLeaveEveryFileAsItWas) {
    Bytes before = ReadFileBytes(UserBin());
    {
        // Protection type 2 has no blob encryption: no result, so no blob and no record.
        auto ut = Open(2);
        ASSERT_EQ(ut->UserExists, 1);
        CredentialRecord* rec = reinterpret_cast<CredentialRecord*>(1);
        EXPECT_NE(Store(*ut, u"x", Pattern(4, 1), Pattern(4, 2), Pattern(40, 3), &rec), 0);
        EXPECT_EQ(rec, nullptr);
        EXPECT_TRUE(ut->Creds.empty());
        EXPECT_EQ(ut->Header.credcount, 0u);
    }
    EXPECT_EQ(ReadFileBytes(UserBin()), before);
    EXPECT_EQ(ListDir(UserDir(guid)), std::vector<std::string>{"user.bin"});

    // The 256th credential.
    Bytes full = CraftTable(255);
    WriteFileBytes(UserBin(), full);
    auto ut = Open();
    ASSERT_EQ(ut->UserExists, 1);
    ASSERT_EQ(ut->Creds.size(), 255u);
    EXPECT_EQ(Store(*ut, u"x", Pattern(4, 1), Pattern(4, 2), Pattern(40, 3)), -8);
    EXPECT_EQ(ut->Creds.size(), 255u);
    EXPECT_EQ(ReadFileBytes(UserBin()), full);
    EXPECT_EQ(ListDir(UserDir(guid)), std::vector<std::string>{"user.bin"});
}

TEST_F(UserTableTest, VersionAndCredCountAreCheckedBeforeTheHmac) {
    struct Case {
        const char* what;
        uint32_t version;
        size_t records;
        uint32_t count;
        LONG status;
        const char* error;
    } cases[] = {
        {"version 0", 0, 2, 2, 0, nullptr},
        {"version 2", 2, 0, 0, -4, "Error_Non_Supported_Version"},
        {"255 creds", 1, 255, 255, 0, nullptr},
        {"256 creds", 1, 255, 256, -8, "> MAXIMUM_NUMBER_OF_CREDS"},
    };
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = CraftTable(c.records);
        PutLe32(f, 0, c.version);
        PutLe32(f, kUtCredCount, c.count);
        Reseal(f, secret, kUtSalt);
        WriteFileBytes(UserBin(), f);
        auto ut = Open();
        EXPECT_EQ(ut->ReadUserTable(), c.status);
        auto lines = log.Take();
        EXPECT_EQ(ut->UserExists, c.status == 0 ? 1 : 0);
        if (c.status == 0) {
            EXPECT_EQ(ut->Creds.size(), c.records);
        } else {
            EXPECT_TRUE(ut->Creds.empty());
            EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CUserTable::ReadUserTable", c.error));
            EXPECT_FALSE(LogCapture::HasText(lines, "file corrupted"));
        }
    }

    // A save after reading version 0 writes version 1 and the true total size.
    Bytes f = CraftTable(1);
    PutLe32(f, 0, 0);
    PutLe32(f, 4, 4);
    Reseal(f, secret, kUtSalt);
    WriteFileBytes(UserBin(), f);
    {
        auto ut = Open();
        ASSERT_EQ(ut->UserExists, 1);
        EXPECT_EQ(ut->DeleteCred(u"c0"), 0);
    }
    Bytes saved = ReadFileBytes(UserBin());
    EXPECT_EQ(Le32(saved, 0), 1u);
    EXPECT_EQ(Le32(saved, 4), saved.size());
    EXPECT_EQ(saved.size(), 668u);
}

TEST_F(UserTableTest, HostileUserTablesAreRefused) {
    {
        auto ut = Open();
        ASSERT_EQ(Store(*ut, u"k", Pattern(6, 1), Pattern(6, 2), Pattern(20, 3)), 0);
    }
    const Bytes base = ReadFileBytes(UserBin());
    const size_t r = kUserHeader;

    struct Case {
        std::string what;
        Bytes file;
        LONG status;
    };
    std::vector<Case> cases;
    for (size_t n : {0, 31}) cases.push_back({"truncated to " + std::to_string(n), Slice(base, 0, n), -6});
    for (size_t n : {32, 100, 559, 667}) cases.push_back({"truncated to " + std::to_string(n), Slice(base, 0, n), -3});
    auto resealed = [&](const std::string& what, auto edit) {
        Bytes f = base;
        edit(f);
        Reseal(f, secret, kUtSalt);
        cases.push_back({what, f, -3});
    };
    resealed("len below 580", [&](Bytes& f) { PutLe32(f, r + 4, 579); });
    resealed("len beside its parts", [&](Bytes& f) { PutLe32(f, r + 4, Le32(f, r + 4) + 4); });
    resealed("mdlen beside len", [&](Bytes& f) { PutLe32(f, r + kCrMdlen, Le32(f, r + kCrMdlen) + 1); });
    resealed("record past the body", [&](Bytes& f) {
        PutLe32(f, r + 4, Le32(f, r + 4) + 1000);
        PutLe32(f, r + kCrEmdlen, Le32(f, r + kCrEmdlen) + 1000);
    });
    resealed("count beyond the records", [&](Bytes& f) { PutLe32(f, kUtCredCount, 2); });
    resealed("bytes after the records", [&](Bytes& f) { f.insert(f.end() - kMac, 8, 0); });
    resealed("huge mdlen", [&](Bytes& f) {
        PutLe32(f, r + kCrMdlen, 0xFFFFFFF0u);
        PutLe32(f, r + 4, 580u + 0xFFFFFFF0u + Le32(f, r + kCrEmdlen));  // wraps in 32 bits
    });
    resealed("blob name leaving the folder",
             [&](Bytes& f) { PutField(f, r + kCrBlobname, 260, u"..\\..\\..\\App\\app.bin"); });
    resealed("unterminated id", [&](Bytes& f) { PutField(f, r + kCrId, 20, std::u16string(20, u'i')); });
    resealed("unterminated user name", [&](Bytes& f) { PutField(f, kUtUsername, 257, std::u16string(257, u'u')); });
    resealed("unterminated uuid", [&](Bytes& f) { PutField(f, kUtUuid, 38, std::u16string(38, u'0')); });

    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(UserBin(), c.file);
        log.Take();
        auto ut = Open();
        EXPECT_EQ(ut->UserExists, 0);
        EXPECT_EQ(ut->ReadUserTable(), c.status);
        EXPECT_EQ(ut->UserExists, 0);
        EXPECT_TRUE(ut->Creds.empty());
        auto lines = log.Take();
        if (c.status == -3) {
            EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CUserTable::ReadUserTable", "file corrupted"));
        }
        EXPECT_EQ(ReadFileBytes(UserBin()), c.file);
    }

    // Another secret cannot read the table.
    WriteFileBytes(UserBin(), base);
    auto other = Open(0, *otherArray);
    EXPECT_EQ(other->UserExists, 0);
    EXPECT_EQ(other->ReadUserTable(), -3);

    // A user folder without user.bin: an empty file is created and the read fails.
    ASSERT_EQ(std::remove(UserBin().c_str()), 0);
    auto missing = Open();
    EXPECT_EQ(missing->UserExists, 0);
    EXPECT_TRUE(FileExists(UserBin()));
    EXPECT_EQ(ReadFileBytes(UserBin()).size(), 0u);
    EXPECT_EQ(missing->ReadUserTable(), -6);
}

TEST_F(UserTableTest, HostileBlobFilesAreRefused) {
    {
        auto ut = Open();
        ASSERT_EQ(Store(*ut, u"k", Pattern(6, 1), Pattern(6, 2), Pattern(20, 3)), 0);
    }
    Bytes f = ReadFileBytes(UserBin());
    std::string blob = UserDir(guid) + "/" + BlobName(f, kUserHeader);
    const Bytes good = ReadFileBytes(blob);

    std::vector<std::pair<std::string, Bytes>> cases;
    for (size_t n : {0, 31, 40, 71}) cases.push_back({"truncated to " + std::to_string(n), Slice(good, 0, n)});
    for (int32_t delta : {-1, 1, 1000, -static_cast<int32_t>(Le32(good, 4)) - 1}) {
        Bytes b = good;
        PutLe32(b, 4, Le32(good, 4) + static_cast<uint32_t>(delta));
        Reseal(b, secret, kBlobSaltOff);
        cases.push_back({"len off by " + std::to_string(delta), b});
    }
    {
        Bytes b = good;
        b.insert(b.end() - kMac, 5, 0);  // data longer than len says
        Reseal(b, secret, kBlobSaltOff);
        cases.push_back({"extra data", b});
    }
    for (auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        WriteFileBytes(blob, bytes);
        auto ut = Open();
        ASSERT_EQ(ut->UserExists, 1);
        CredentialRecord* rec = nullptr;
        SAFEARRAY* out = nullptr;
        EXPECT_EQ(ut->FindCredInUserTable(u"k", u"pw", &rec, &out), -3);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(ut->UserExists, 0);
    }
}

TEST_F(UserTableTest, DeleteUserRemovesTheFolderEvenWhenAlreadyGone) {
    auto ut = Open();
    ASSERT_EQ(Store(*ut, u"k", Pattern(6, 1), Pattern(6, 2), Pattern(20, 3)), 0);
    EXPECT_EQ(ut->DeleteUser(), 0);
    EXPECT_FALSE(FileExists(UserDir(guid)));
    EXPECT_EQ(ut->DeleteUser(), 0);
}

} // namespace
