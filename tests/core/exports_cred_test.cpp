/* The credential exports end to end: round trips, replacement, listing, deletion and every status
 * a caller can meet. */
#include "TableFixture.h"

#include <functional>

using namespace vktest;
using tabletest::Pattern;

namespace {

class CredExports : public RootTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(VaultkeepInitRoot(), 0);
        ASSERT_EQ(RegisterApp(W("App"), secret), 0);
        ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("alice pw")), 0);
    }

    LONG Store(const WCHAR* id, const Bytes& md, const Bytes& emd, const Bytes& cred,
               const WCHAR* user = W("alice"), const WCHAR* password = W("alice pw")) {
        ByteArray a(md), b(emd), c(cred);
        return StoreCredential(W("App"), secret, user, password, id, a, b, c);
    }
    LONG Store(const WCHAR* id, unsigned seed) {
        return Store(id, Pattern(2, seed), Pattern(3, seed), Pattern(4, seed));
    }
    struct Out {
        LONG status;
        Bytes bytes;
        bool null;
    };
    /* 0: the credential, 1: the metadata, 2: the protected metadata. */
    Out Get(int what, const WCHAR* id, const WCHAR* password = W("alice pw")) {
        SAFEARRAY* psa =
            what == 0 ? reinterpret_cast<SAFEARRAY*>(0x4321) : nullptr; // Retrieve clears it first
        LONG st = what == 0   ? RetrieveCredential(W("App"), secret, W("alice"), password, id, &psa)
                  : what == 1 ? RetrieveCredentialMetaData(W("App"), secret, W("alice"), id, &psa)
                              : RetrieveEncryptedCredentialMetaData(W("App"), secret, W("alice"), id, &psa);
        bool null = psa == nullptr;
        return {st, TakeArray(psa), null};
    }
    std::string Ids() {
        BSTR list = nullptr;
        EXPECT_EQ(QueryUserCreds(W("App"), secret, W("alice"), &list), 0);
        return TakeBstr(list);
    }
    std::string UserDir() {
        std::string app = root.host(tabletest::kDataHost + "App");
        for (const std::string& name : ListDir(app))
            if (std::filesystem::is_directory(app + "/" + name)) return app + "/" + name;
        return "";
    }
    size_t BlobCount() { return ListDir(UserDir()).size() - 1; }

    ByteArray secret{Bytes{1, 2, 3, 4, 5, 6, 7, 8}};
    ByteArray wrong{Bytes{1, 2, 3, 4, 5, 6, 7, 9}};
};

} // namespace

TEST_F(CredExports, StoredPiecesComeBackExactlyForEverySize) {
    for (size_t n : {0, 1, 100, 5000}) {
        SCOPED_TRACE(n);
        const WString id = W("id") + U(std::to_string(n));
        const Bytes md(n, 'm'), emd = Pattern(n, 2), cred = Pattern(n, 3);
        ASSERT_EQ(Store(id.c_str(), md, emd, cred), 0);
        for (int what : {0, 1, 2}) {
            Out o = Get(what, id.c_str());
            EXPECT_EQ(o.status, 0);
            EXPECT_FALSE(o.null) << "an empty array, not none";
            EXPECT_EQ(o.bytes, what == 0 ? cred : what == 1 ? md : emd);
        }
    }
    // Neither the credential nor the protected metadata is on disk in plain form.
    const Bytes emd = Pattern(5000, 2), cred = Pattern(5000, 3);
    for (const std::string& name : ListDir(UserDir())) {
        Bytes file = ReadFileBytes(UserDir() + "/" + name);
        for (const Bytes* plain : {&emd, &cred})
            EXPECT_EQ(std::search(file.begin(), file.end(), plain->begin(), plain->begin() + 32), file.end())
                << name;
    }
}

/* Replacement order and the statuses of absent ids, wrong passwords and 20-character ids: also
 * through the tool (ToolVaultTest), and the long id before the lock (frame_lock_test). */
TEST_F(CredExports, ReplacingAndDeletingTakeTheBlobFileAlongAndStatusesGiveNoArray) {
    ASSERT_EQ(Store(W("x"), 1), 0);
    // A credential whose blob file is gone is replaced, not duplicated.
    for (const std::string& name : ListDir(UserDir()))
        if (name != "user.bin") std::filesystem::remove(UserDir() + "/" + name);
    EXPECT_EQ(Get(0, W("x")).status, Error_Invalid_Cred);
    ASSERT_EQ(Store(W("x"), 2), 0);
    EXPECT_EQ(Ids(), "x");
    const WString id19(19, W('i'));
    ASSERT_EQ(Store(id19.c_str(), 1), 0);
    ASSERT_EQ(Store(W("x"), Pattern(9, 5), Pattern(9, 6), Pattern(9, 7)), 0);
    EXPECT_EQ(Ids(), Narrow(id19) + ",x");
    EXPECT_EQ(BlobCount(), 2u) << "the old blob file went with its record";
    EXPECT_EQ(Get(2, W("x")).bytes, Pattern(9, 6));
    EXPECT_EQ(Get(1, W("X")).status, Error_Invalid_ID) << "ids compare exactly";
    for (const WCHAR* pw : {W("alice pw"), static_cast<const WCHAR*>(nullptr)}) {
        Out c = Get(0, W("absent"), pw);
        EXPECT_EQ(c.status, Error_Cred_Not_Found);
        EXPECT_TRUE(c.null);
    }
    Out found = Get(0, W("x"), nullptr);
    EXPECT_EQ(found.status, 0);
    EXPECT_TRUE(found.null) << "no password, no credential";
    Out wrongPw = Get(0, W("x"), W("not alice pw"));
    EXPECT_EQ(wrongPw.status, Error_Decrypt_Failed);
    EXPECT_TRUE(wrongPw.null);

    EXPECT_EQ(DeleteCred(W("App"), secret, W("alice"), W("absent")), Error_Invalid_ID);
    ASSERT_EQ(DeleteCred(W("App"), secret, W("alice"), W("x")), 0);
    EXPECT_EQ(BlobCount(), 1u);
    EXPECT_EQ(Ids(), Narrow(id19));
    EXPECT_EQ(Get(0, id19.c_str()).bytes, Pattern(4, 1));
}

TEST_F(CredExports, WrongSecretUnknownAppAndUnknownUserChangeNothing) {
    ASSERT_EQ(Store(W("c"), 1), 0);
    SAFEARRAY* psa = nullptr;
    BSTR list = nullptr;
    ByteArray d(Pattern(2, 9));
    const std::tuple<const WCHAR*, const WCHAR*, SAFEARRAY*, LONG> cases[] = {
        {W("App"), W("alice"), wrong, Error_Bad_App},
        {W("Nope"), W("alice"), secret, Error_Bad_App},
        {W("App"), W("mallory"), secret, Error_No_User}};
    for (const auto& c : cases) {
        // Named copies, not a structured binding: the calls below capture them.
        const WCHAR* app = std::get<0>(c);
        const WCHAR* user = std::get<1>(c);
        SAFEARRAY* s = std::get<2>(c);
        const LONG status = std::get<3>(c);
        const std::vector<std::function<LONG()>> calls = {
            [&] { return StoreCredential(app, s, user, W("alice pw"), W("c"), d, d, d); },
            [&] { return RetrieveCredential(app, s, user, W("alice pw"), W("c"), &psa); },
            [&] { return RetrieveCredentialMetaData(app, s, user, W("c"), &psa); },
            [&] { return RetrieveEncryptedCredentialMetaData(app, s, user, W("c"), &psa); },
            [&] { return QueryUserCreds(app, s, user, &list); },
            [&] { return DeleteCred(app, s, user, W("c")); }};
        for (size_t i = 0; i < calls.size(); ++i) {
            SCOPED_TRACE(testing::Message() << Narrow(app) << " " << Narrow(user) << " call " << i);
            // StoreCredential creates an unknown user, so it is not refused with Error_No_User.
            if (status == Error_No_User && i == 0) continue;
            EXPECT_EQ(calls[i](), status);
            EXPECT_EQ(psa, nullptr);
            EXPECT_EQ(list, nullptr);
        }
    }
    EXPECT_EQ(Ids(), "c");
    EXPECT_EQ(Get(0, W("c")).bytes, Pattern(4, 1));
}
