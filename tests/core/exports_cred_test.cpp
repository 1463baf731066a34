/* The credential exports end to end: round trips, replacement, listing,
 * deletion and every status a caller can meet. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include <vaultkeep/vaultkeep.h>

#include <filesystem>
#include <functional>
#include <string>

using namespace vktest;

namespace {

const std::string kData = "ProgramData/Tarnwick Systems Corp/Vaultkeep/";

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + seed * 17 + 1);
    return b;
}

class CredExports : public RootTest {
protected:
    void SetUp() override {
        ASSERT_EQ(VaultkeepInitRoot(), 0);
        ASSERT_EQ(RegisterApp(u"App", secret), 0);
        ASSERT_EQ(AddUser(u"App", secret, u"alice", u"alice pw"), 0);
    }

    LONG Store(const char16_t* id, const Bytes& md, const Bytes& emd, const Bytes& cred,
               const char16_t* user = u"alice", const char16_t* password = u"alice pw") {
        ByteArray a(md), b(emd), c(cred);
        return StoreCredential(u"App", secret, user, password, id, a, b, c);
    }
    struct Out {
        LONG status;
        Bytes bytes;
        bool null;
    };
    Out Retrieve(const char16_t* id, const char16_t* password = u"alice pw", SAFEARRAY* appSecret = nullptr) {
        SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(0x4321);
        LONG st = RetrieveCredential(u"App", appSecret ? appSecret : secret.get(), u"alice", password, id, &psa);
        bool null = psa == nullptr;
        return {st, TakeArray(psa), null};
    }
    Out MetaData(const char16_t* id, bool encrypted, SAFEARRAY* appSecret = nullptr, const char16_t* user = u"alice") {
        SAFEARRAY* psa = nullptr;
        SAFEARRAY* s = appSecret ? appSecret : secret.get();
        LONG st = encrypted ? RetrieveEncryptedCredentialMetaData(u"App", s, user, id, &psa)
                            : RetrieveCredentialMetaData(u"App", s, user, id, &psa);
        bool null = psa == nullptr;
        if (psa) {
            LONG lb = -1;
            SafeArrayGetLBound(psa, 1, &lb);
            EXPECT_EQ(lb, 0);
            EXPECT_EQ(SafeArrayGetDim(psa), 1u);
        }
        return {st, TakeArray(psa), null};
    }
    std::string Ids(LONG expected = 0, SAFEARRAY* appSecret = nullptr, const char16_t* user = u"alice") {
        BSTR list = reinterpret_cast<BSTR>(0x1);
        LONG st = QueryUserCreds(u"App", appSecret ? appSecret : secret.get(), user, &list);
        EXPECT_EQ(st, expected);
        if (st != 0) {
            EXPECT_EQ(list, reinterpret_cast<BSTR>(0x1)) << "not written on failure";
            return "";
        }
        return TakeBstr(list);
    }
    std::string UserDir() {
        std::string app = root.host(kData + "App");
        for (const std::string& name : ListDir(app))
            if (std::filesystem::is_directory(app + "/" + name)) return app + "/" + name;
        return "";
    }
    std::vector<std::string> BlobFiles() {
        std::vector<std::string> out;
        for (const std::string& name : ListDir(UserDir()))
            if (name != "user.bin") out.push_back(name);
        return out;
    }

    ByteArray secret{Bytes{1, 2, 3, 4, 5, 6, 7, 8}};
    ByteArray wrong{Bytes{1, 2, 3, 4, 5, 6, 7, 9}};
};

} // namespace

TEST_F(CredExports, StoredPiecesComeBackExactly) {
    const Bytes md = Pattern(37, 1), emd = Pattern(300, 2), cred = Pattern(1000, 3);
    ASSERT_EQ(Store(u"mail", md, emd, cred), 0);

    Out c = Retrieve(u"mail");
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.bytes, cred);
    Out m = MetaData(u"mail", false);
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(m.bytes, md);
    Out e = MetaData(u"mail", true);
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.bytes, emd);

    /* Neither the credential nor the protected metadata is on disk in plain form. */
    Bytes table = ReadFileBytes(UserDir() + "/user.bin");
    EXPECT_EQ(std::search(table.begin(), table.end(), emd.begin(), emd.begin() + 32), table.end());
    ASSERT_EQ(BlobFiles().size(), 1u);
    Bytes blob = ReadFileBytes(UserDir() + "/" + BlobFiles()[0]);
    EXPECT_EQ(std::search(blob.begin(), blob.end(), cred.begin(), cred.begin() + 32), blob.end());
}

TEST_F(CredExports, EmptyPiecesRoundTrip) {
    ASSERT_EQ(Store(u"empty", Bytes{}, Bytes{}, Bytes{}), 0);
    Out m = MetaData(u"empty", false);
    EXPECT_EQ(m.status, 0);
    EXPECT_FALSE(m.null) << "an empty array, not none";
    EXPECT_TRUE(m.bytes.empty());
    Out e = MetaData(u"empty", true);
    EXPECT_EQ(e.status, 0);
    EXPECT_TRUE(e.bytes.empty());
    Out c = Retrieve(u"empty");
    EXPECT_EQ(c.status, 0);
    EXPECT_TRUE(c.bytes.empty());
}

TEST_F(CredExports, StoreForAnUnknownUserCreatesTheUser) {
    ASSERT_EQ(Store(u"id", Pattern(3, 1), Pattern(3, 2), Pattern(3, 3), u"bob", u"bob pw"), 0);
    BSTR list = nullptr;
    ASSERT_EQ(QueryListOfUsers(u"App", secret, &list), 0);
    EXPECT_EQ(TakeBstr(list), "alice,bob");
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(RetrieveCredential(u"App", secret, u"bob", u"bob pw", u"id", &psa), 0);
    EXPECT_EQ(TakeArray(psa), Pattern(3, 3));
}

TEST_F(CredExports, StoringAnIdAgainReplacesItAtTheEnd) {
    ASSERT_EQ(Store(u"x", Pattern(4, 1), Pattern(4, 1), Pattern(4, 1)), 0);
    ASSERT_EQ(Store(u"y", Pattern(4, 2), Pattern(4, 2), Pattern(4, 2)), 0);
    EXPECT_EQ(Ids(), "x,y");
    ASSERT_EQ(Store(u"x", Pattern(9, 5), Pattern(9, 6), Pattern(9, 7)), 0);
    EXPECT_EQ(Ids(), "y,x");
    EXPECT_EQ(BlobFiles().size(), 2u) << "the old blob file went with its record";
    EXPECT_EQ(Retrieve(u"x").bytes, Pattern(9, 7));
    EXPECT_EQ(MetaData(u"x", false).bytes, Pattern(9, 5));
    EXPECT_EQ(MetaData(u"x", true).bytes, Pattern(9, 6));
}

TEST_F(CredExports, ACredentialWithItsBlobFileGoneIsReplacedNotDuplicated) {
    ASSERT_EQ(Store(u"x", Pattern(4, 1), Pattern(4, 1), Pattern(4, 1)), 0);
    ASSERT_EQ(BlobFiles().size(), 1u);
    std::filesystem::remove(UserDir() + "/" + BlobFiles()[0]);
    EXPECT_EQ(Retrieve(u"x").status, Error_Invalid_Cred);
    ASSERT_EQ(Store(u"x", Pattern(5, 2), Pattern(5, 2), Pattern(5, 2)), 0);
    EXPECT_EQ(Ids(), "x");
    EXPECT_EQ(Retrieve(u"x").bytes, Pattern(5, 2));
}

TEST_F(CredExports, IdLengthLimit) {
    const std::u16string id19(19, u'i'), id20(20, u'i');
    EXPECT_EQ(Store(id19.c_str(), Pattern(1, 1), Pattern(1, 1), Pattern(1, 1)), 0);
    Bytes table = ReadFileBytes(UserDir() + "/user.bin");
    EXPECT_EQ(Store(id20.c_str(), Pattern(1, 2), Pattern(1, 2), Pattern(1, 2)), Error_Invalid_ID);
    EXPECT_EQ(ReadFileBytes(UserDir() + "/user.bin"), table);
    EXPECT_EQ(Ids(), Narrow(id19));
}

TEST_F(CredExports, AbsentIdsAndNullPassword) {
    ASSERT_EQ(Store(u"there", Pattern(2, 1), Pattern(2, 1), Pattern(2, 1)), 0);
    Out m = MetaData(u"absent", false);
    EXPECT_EQ(m.status, Error_Invalid_ID);
    EXPECT_TRUE(m.null);
    EXPECT_EQ(MetaData(u"absent", true).status, Error_Invalid_ID);
    Out c = Retrieve(u"absent");
    EXPECT_EQ(c.status, Error_Cred_Not_Found);
    EXPECT_TRUE(c.null);
    EXPECT_EQ(DeleteCred(u"App", secret, u"alice", u"absent"), Error_Invalid_ID);
    EXPECT_EQ(MetaData(u"THERE", false).status, Error_Invalid_ID) << "ids compare exactly";

    Out found = Retrieve(u"there", nullptr);
    EXPECT_EQ(found.status, 0);
    EXPECT_TRUE(found.null);
    Out absent = Retrieve(u"absent", nullptr);
    EXPECT_EQ(absent.status, Error_Cred_Not_Found);
    EXPECT_TRUE(absent.null);
}

TEST_F(CredExports, WrongPasswordDoesNotOpenTheCredential) {
    ASSERT_EQ(Store(u"c", Pattern(2, 1), Pattern(2, 1), Pattern(50, 1)), 0);
    Out c = Retrieve(u"c", u"not alice pw");
    EXPECT_EQ(c.status, Error_Decrypt_Failed);
    EXPECT_TRUE(c.null);
    EXPECT_EQ(Retrieve(u"c").bytes, Pattern(50, 1));
}

TEST_F(CredExports, ListingInStoreOrder) {
    EXPECT_EQ(Ids(), "");
    for (const char16_t* id : {u"x", u"y", u"z"}) ASSERT_EQ(Store(id, Pattern(1, 1), Pattern(1, 1), Pattern(1, 1)), 0);
    EXPECT_EQ(Ids(), "x,y,z");
}

TEST_F(CredExports, DeleteRemovesTheRecordAndItsBlobFile) {
    for (const char16_t* id : {u"a", u"b", u"c"}) ASSERT_EQ(Store(id, Pattern(1, 1), Pattern(1, 1), Pattern(1, 1)), 0);
    auto before = BlobFiles();
    ASSERT_EQ(before.size(), 3u);
    ASSERT_EQ(DeleteCred(u"App", secret, u"alice", u"b"), 0);
    EXPECT_EQ(Ids(), "a,c");
    EXPECT_EQ(BlobFiles().size(), 2u);
    EXPECT_EQ(Retrieve(u"b").status, Error_Cred_Not_Found);
    EXPECT_EQ(Retrieve(u"c").bytes, Pattern(1, 1));
}

TEST_F(CredExports, WrongSecretUnknownAppAndUnknownUser) {
    ASSERT_EQ(Store(u"c", Pattern(2, 1), Pattern(2, 1), Pattern(2, 1)), 0);
    struct Case {
        const char* what;
        std::function<LONG()> call;
        LONG status;
    };
    SAFEARRAY* psa = nullptr;
    BSTR list = nullptr;
    ByteArray d(Pattern(2, 9));
    const std::vector<Case> cases = {
        {"store, wrong secret", [&] { return StoreCredential(u"App", wrong, u"alice", u"alice pw", u"c", d, d, d); },
         Error_Bad_App},
        {"retrieve, wrong secret", [&] { return RetrieveCredential(u"App", wrong, u"alice", u"alice pw", u"c", &psa); },
         Error_Bad_App},
        {"metadata, wrong secret", [&] { return RetrieveCredentialMetaData(u"App", wrong, u"alice", u"c", &psa); },
         Error_Bad_App},
        {"enc metadata, wrong secret",
         [&] { return RetrieveEncryptedCredentialMetaData(u"App", wrong, u"alice", u"c", &psa); }, Error_Bad_App},
        {"list, wrong secret", [&] { return QueryUserCreds(u"App", wrong, u"alice", &list); }, Error_Bad_App},
        {"delete, wrong secret", [&] { return DeleteCred(u"App", wrong, u"alice", u"c"); }, Error_Bad_App},
        {"store, unknown app", [&] { return StoreCredential(u"Nope", secret, u"alice", u"pw", u"c", d, d, d); },
         Error_Bad_App},
        {"retrieve, unknown user",
         [&] { return RetrieveCredential(u"App", secret, u"mallory", u"pw", u"c", &psa); }, Error_No_User},
        {"metadata, unknown user", [&] { return RetrieveCredentialMetaData(u"App", secret, u"mallory", u"c", &psa); },
         Error_No_User},
        {"enc metadata, unknown user",
         [&] { return RetrieveEncryptedCredentialMetaData(u"App", secret, u"mallory", u"c", &psa); }, Error_No_User},
        {"list, unknown user", [&] { return QueryUserCreds(u"App", secret, u"mallory", &list); }, Error_No_User},
        {"delete, unknown user", [&] { return DeleteCred(u"App", secret, u"mallory", u"c"); }, Error_No_User},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.status);
        EXPECT_EQ(psa, nullptr);
        EXPECT_EQ(list, nullptr);
    }
    /* Nothing was changed by any of them. */
    EXPECT_EQ(Ids(), "c");
    EXPECT_EQ(Retrieve(u"c").bytes, Pattern(2, 1));
}

