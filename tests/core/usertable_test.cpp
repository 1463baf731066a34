/* CUserTable: user.bin and credential record layouts, blob files, the credential operations,
 * limits and hostile files. Users are of protection type 0 here (no key provider). */
#include "TableFixture.h"

#include <cstdio>

using namespace tabletest;

namespace {

class UserTableTest : public TablesTest {
  protected:
    void SetUp() override {
        TablesTest::SetUp();
        guid = AddUser(W("alice"));
        ASSERT_FALSE(guid.empty());
    }

    std::string UserBin() const { return UserDir(guid) + "/user.bin"; }
    std::unique_ptr<CUserTable> Open(DWORD type = 0) { return OpenUser(W("alice"), guid, type); }
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

    /* user.bin holding n empty records (len 580) after the current header, resealed. */
    Bytes CraftTable(size_t n, uint32_t version = 1, uint32_t count = ~0u) {
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
        PutLe32(f, kUtCredCount, count == ~0u ? static_cast<uint32_t>(n) : count);
        Reseal(f, secret, kUtSalt);
        return f;
    }

    WString guid;
};

TEST_F(UserTableTest, NewUserTableIs668BytesVerifiedUnderTheSecret) {
    Bytes f = ReadFileBytes(UserBin());
    ASSERT_EQ(f.size(), 668u);
    EXPECT_EQ(Le32(f, 0), 1u);
    EXPECT_EQ(Le32(f, 4), 668u);
    EXPECT_EQ(Field(f, kUtUsername, 257), W("alice"));
    EXPECT_TRUE(ZeroAfterNul(f, kUtUsername, 257));
    EXPECT_EQ(Slice(f, kUtSalt + 32, 2), Bytes(2, 0)); // padding
    EXPECT_EQ(Le32(f, kUtCredCount), 0u);
    EXPECT_EQ(Slice(f, kUtUuid, 76), Bytes(76, 0)); // type 0: no key, no container name
    EXPECT_TRUE(TrailerVerifies(f, secret, kUtSalt));

    // Another user draws another salt; type 0 logs that it made no key.
    LogCapture log;
    WString other = AddUser(W("bob"));
    EXPECT_TRUE(LogCapture::Has(log.Take(), diaglog::Level::Error, "CUserTable::AddUser", "NOT SUPPORTED"));
    EXPECT_NE(Slice(ReadFileBytes(UserDir(other) + "/user.bin"), kUtSalt, 32), Slice(f, kUtSalt, 32));
}

TEST_F(UserTableTest, CredentialRecordAndBlobFileLayouts) {
    const Bytes md = Pattern(10, 1), emd = Pattern(48, 2), cred = Pattern(100, 3);
    ASSERT_EQ(Store(*Open(), W("mail"), md, emd, cred), 0);
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

TEST_F(UserTableTest, RefusedCredentialsLeaveEveryFileAsItWas) {
    Bytes before = ReadFileBytes(UserBin());
    {
        // Protection type 2 has no blob encryption: no result, so no blob and no record.
        auto ut = Open(2);
        CredentialRecord* rec = reinterpret_cast<CredentialRecord*>(1);
        EXPECT_NE(Store(*ut, W("x"), Pattern(4, 1), Pattern(4, 2), Pattern(40, 3), &rec), 0);
        EXPECT_EQ(rec, nullptr);
        EXPECT_TRUE(ut->Creds.empty());
    }
    EXPECT_EQ(ReadFileBytes(UserBin()), before);
    EXPECT_EQ(ListDir(UserDir(guid)), std::vector<std::string>{"user.bin"});

    // The 256th credential.
    Bytes full = CraftTable(255);
    WriteFileBytes(UserBin(), full);
    auto ut = Open();
    ASSERT_EQ(ut->Creds.size(), 255u);
    EXPECT_EQ(Store(*ut, W("x"), Pattern(4, 1), Pattern(4, 2), Pattern(40, 3)), -8);
    EXPECT_EQ(ut->Creds.size(), 255u);
    EXPECT_EQ(ReadFileBytes(UserBin()), full);
    EXPECT_EQ(ListDir(UserDir(guid)), std::vector<std::string>{"user.bin"});
}

TEST_F(UserTableTest, VersionZeroLoadsAndTheHmacComesAfterTheCredCount) {
    // Versions above 1 and larger counts are refused with their own statuses: tamper_test.
    WriteFileBytes(UserBin(), CraftTable(2, 0));
    EXPECT_EQ(Open()->ReadUserTable(), 0);
    EXPECT_EQ(Open()->Creds.size(), 2u);
    LogCapture log;
    WriteFileBytes(UserBin(), CraftTable(255, 1, 256));
    auto ut = Open();
    EXPECT_EQ(ut->ReadUserTable(), -8);
    EXPECT_EQ(ut->UserExists, 0);
    EXPECT_TRUE(ut->Creds.empty());
    auto lines = log.Take();
    EXPECT_TRUE(LogCapture::Has(lines, diaglog::Level::Error, "CUserTable::ReadUserTable", "> MAXIMUM_NUMBER_OF_CREDS"));
    EXPECT_FALSE(LogCapture::HasText(lines, "file corrupted"));
}

TEST_F(UserTableTest, HostileUserTablesAreRefused) {
    ASSERT_EQ(Store(*Open(), W("k"), Pattern(6, 1), Pattern(6, 2), Pattern(20, 3)), 0);
    const Bytes base = ReadFileBytes(UserBin());
    const size_t r = kUserHeader;
    std::vector<std::pair<std::string, Bytes>> cases;
    for (size_t n : {0, 31, 32, 667})
        cases.push_back({"truncated to " + std::to_string(n), Slice(base, 0, n)});
    auto resealed = [&](const std::string& what, auto edit) {
        Bytes f = base;
        edit(f);
        Reseal(f, secret, kUtSalt);
        cases.push_back({what, f});
    };
    resealed("len below 580", [&](Bytes& f) { PutLe32(f, r + 4, 579); });
    resealed("mdlen beside len", [&](Bytes& f) { PutLe32(f, r + kCrMdlen, Le32(f, r + kCrMdlen) + 1); });
    resealed("record past the body", [&](Bytes& f) {
        PutLe32(f, r + 4, Le32(f, r + 4) + 1000);
        PutLe32(f, r + kCrEmdlen, Le32(f, r + kCrEmdlen) + 1000);
    });
    resealed("count beyond the records", [&](Bytes& f) { PutLe32(f, kUtCredCount, 2); });
    resealed("bytes after the records", [&](Bytes& f) { f.insert(f.end() - kMac, 8, 0); });
    resealed("huge mdlen", [&](Bytes& f) {
        PutLe32(f, r + kCrMdlen, 0xFFFFFFF0u);
        PutLe32(f, r + 4, 580u + 0xFFFFFFF0u + Le32(f, r + kCrEmdlen)); // wraps in 32 bits
    });
    resealed("blob name leaving the folder",
             [&](Bytes& f) { PutField(f, r + kCrBlobname, 260, W("..\\..\\..\\App\\app.bin")); });
    resealed("unterminated id", [&](Bytes& f) { PutField(f, r + kCrId, 20, WString(20, W('i'))); });

    LogCapture log;
    for (const auto& [what, file] : cases) {
        SCOPED_TRACE(what);
        WriteFileBytes(UserBin(), file);
        log.Take();
        auto ut = Open();
        EXPECT_EQ(ut->ReadUserTable(), file.size() < 32 ? -6 : -3);
        EXPECT_EQ(ut->UserExists, 0);
        EXPECT_TRUE(ut->Creds.empty());
        EXPECT_TRUE(file.size() < 32 || LogCapture::Has(log.Take(), diaglog::Level::Error,
                                                        "CUserTable::ReadUserTable", "file corrupted"));
        EXPECT_EQ(ReadFileBytes(UserBin()), file);
    }
    WriteFileBytes(UserBin(), base);
    EXPECT_EQ(OpenUser(W("alice"), guid, 0, *otherArray)->ReadUserTable(), -3) << "another secret";
}

TEST_F(UserTableTest, HostileBlobFilesAreRefused) {
    ASSERT_EQ(Store(*Open(), W("k"), Pattern(6, 1), Pattern(6, 2), Pattern(20, 3)), 0);
    const std::string blob = BlobPath(ReadFileBytes(UserBin()), kUserHeader);
    const Bytes good = ReadFileBytes(blob);
    std::vector<std::pair<std::string, Bytes>> cases;
    for (size_t n : {0, 31, 40, 71})
        cases.push_back({"truncated to " + std::to_string(n), Slice(good, 0, n)});
    for (int32_t delta : {-1, 1, -static_cast<int32_t>(Le32(good, 4)) - 1}) {
        Bytes b = good;
        PutLe32(b, 4, Le32(good, 4) + static_cast<uint32_t>(delta));
        Reseal(b, secret, kBlobSaltOff);
        cases.push_back({"len off by " + std::to_string(delta), b});
    }
    for (auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        WriteFileBytes(blob, bytes);
        SAFEARRAY* out = nullptr;
        EXPECT_EQ(Find(W("k"), &out), -3);
        EXPECT_EQ(out, nullptr);
    }
    std::remove(blob.c_str());
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(Find(W("k"), &out), -8) << "a removed blob file";
    EXPECT_EQ(out, nullptr);
}

} // namespace
