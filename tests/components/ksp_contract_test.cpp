/* The key storage provider's contract, run once per backend compiled into the module, driven through
 * CryptoAPI as the system drives it. A backend that cannot run on this machine shows as skipped. */
#include "VkSwtpm.h"
#include "VkTest.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <wincrypt.h>

#include "diaglog_control.h"
#include "platform/KeyProvider.h"

#ifndef _WIN32
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#endif

namespace {

using vktest::Bytes;
using namespace vktest::ksp;

constexpr DWORD kSimpleBlobSize = 268;
constexpr DWORD kOverhead = 28; // nonce + tag
constexpr ALG_ID kCalgAes128 = 0x660E;

/* The backend table as the module reports it; the suite is instantiated over it. */
std::vector<std::string> BackendNames() {
    std::vector<std::string> names;
    if (HMODULE m = LoadLibraryW(vktest::U(ModulePath()).c_str())) {
        using Enum = LONG (*)(DWORD, CHAR*, DWORD);
        char name[64];
        if (auto en = reinterpret_cast<Enum>(reinterpret_cast<void*>(GetProcAddress(m, "TpmKspEnumBackends"))))
            for (DWORD i = 0; en(i, name, sizeof(name)) == 0; ++i)
                names.push_back(name);
        FreeLibrary(m);
    }
    if (names.empty()) names.push_back("software"); // SetUp then fails loudly on the missing module
    return names;
}

/* What CUtil::EncryptBlob keeps: the wrapped blob key and the ciphertext. */
struct Sealed {
    Bytes wrapped, cipher;
};

class KspContract : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "tpm2") {
            // Only ever a simulator: the wrong passwords below would count against a real TPM.
            const std::string tcti = vktest::swtpm::SharedTcti();
            if (tcti.empty()) GTEST_SKIP() << "no TPM simulator configured (VAULTKEEP_KSP_TCTI)";
            // Recovery time 0 turns the dictionary-attack defence off for the suite's wrong passwords.
            ASSERT_EQ(vktest::swtpm::SetDictionaryAttack(tcti, 3, 0, 0), "");
        }
        ASSERT_NO_FATAL_FAILURE(module_.Load());
    }

    /* CUtil::EncryptBlob type 1: a fresh blob key, exported under the exchange key. */
    static Sealed Seal(const WString& name, const Bytes& secret) {
        Sealed s{Bytes(512), secret};
        Prov p;
        EXPECT_EQ(Acquire(p, name, kOpen), 0u);
        KeyH exchange, blob;
        DWORD w = 512, len = static_cast<DWORD>(secret.size());
        s.cipher.resize(secret.size() + kOverhead);
        EXPECT_EQ(Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h); }), 0u);
        EXPECT_EQ(Check([&] { return CryptGenKey(p.h, CALG_AES_256, CRYPT_EXPORTABLE, &blob.h); }), 0u);
        EXPECT_EQ(Check([&] {
                      return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, s.wrapped.data(), &w);
                  }),
                  0u);
        EXPECT_EQ(Check([&] {
                      return CryptEncrypt(blob.h, 0, TRUE, 0, s.cipher.data(), &len,
                                          static_cast<DWORD>(s.cipher.size()));
                  }),
                  0u);
        s.wrapped.resize(w);
        s.cipher.resize(len);
        return s;
    }

    static DWORD Open(const WString& name, const std::string& password, const Sealed& s,
                      Bytes& plain) {
        return vktest::ksp::Open(name, &password, s.wrapped, s.cipher, plain);
    }

    std::unique_ptr<vktest::FreshRoot> root_ = std::make_unique<vktest::FreshRoot>();
    vktest::swtpm::ScopedEnv backend_{"VAULTKEEP_KSP_BACKEND", GetParam().c_str()};
    Module module_;
    PFN_TpmKspExportContainer& exportContainer_ = module_.exportContainer;
    PFN_TpmKspImportContainer& importContainer_ = module_.importContainer;
};

std::set<std::string> FilesBelow(const std::string& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) out.insert(it->path().string());
    return out;
}

const WString kUser = W("6f1c2d3e-4a5b-4c6d-8e7f-901a2b3c4d5e");
const WString kOther = W("0a1b2c3d-0000-4000-8000-0000000000e0");
const std::string kPassword = "correct horse";
const Bytes kSecret = {'s', '3', 'c', 'r', 'e', 't', 0, 0xff, 0x80};

TEST_P(KspContract, ContainerLifecycle) {
    Prov p;
    EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET));
    EXPECT_EQ(Acquire(p, kUser, kDelete), Code(NTE_BAD_KEYSET));
    ASSERT_EQ(Acquire(p, kUser, kCreate), 0u);
    KeyH none;
    EXPECT_EQ(Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &none.h); }), Code(NTE_NO_KEY));
    // A user-protected key needs a password to protect it.
    EXPECT_EQ(Check([&] { return CryptGenKey(p.h, AT_KEYEXCHANGE, 0x08000003, &none.h); }),
              Code(NTE_BAD_KEY_STATE));
    Prov again;
    EXPECT_EQ(Acquire(again, kUser, kCreate), Code(NTE_EXISTS));
    EXPECT_EQ(Acquire(again, kUser, kDelete), 0u) << "an empty container deletes too";

    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    Prov reopened;
    ASSERT_EQ(Acquire(reopened, kUser, kOpen), 0u);
    KeyH exchange, signature;
    EXPECT_EQ(Check([&] { return CryptGetUserKey(reopened.h, AT_KEYEXCHANGE, &exchange.h); }), 0u);
    EXPECT_EQ(Check([&] { return CryptGetUserKey(reopened.h, AT_SIGNATURE, &signature.h); }),
              Code(NTE_NO_KEY));

    Prov gone;
    EXPECT_EQ(Acquire(gone, kUser, kDelete), 0u);
    EXPECT_EQ(gone.h, 0u);
    EXPECT_EQ(Acquire(gone, kUser, kOpen), Code(NTE_BAD_KEYSET));
    ASSERT_EQ(Acquire(gone, kUser, kCreate), 0u);
    EXPECT_EQ(Check([&] { return CryptGetUserKey(gone.h, AT_KEYEXCHANGE, &none.h); }), Code(NTE_NO_KEY));
}

/* CUtil::GenerateKey for a user whose container exists: the open succeeds and nothing else happens. */
TEST_P(KspContract, ExistingContainerIsLeftAlone) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    Prov p, again;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    EXPECT_EQ(Acquire(again, kUser, kCreate), Code(NTE_EXISTS));
    ASSERT_EQ(Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw("another"), 0); }), 0u);
    KeyH k;
    // A second exchange key would orphan every blob wrapped under the first.
    EXPECT_EQ(Check([&] { return CryptGenKey(p.h, AT_KEYEXCHANGE, 0x08000003, &k.h); }), Code(NTE_EXISTS));
    Bytes plain;
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
    EXPECT_EQ(plain, kSecret);
    EXPECT_EQ(Open(kUser, std::string("another"), s, plain), Code(TPM_E_AUTHFAIL));
}

TEST_P(KspContract, SimpleBlobLayoutAndSizeQuery) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    KeyH exchange, blob, fixedKey;
    ASSERT_EQ(Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h); }), 0u);
    ASSERT_EQ(Check([&] { return CryptGenKey(p.h, CALG_AES_256, CRYPT_EXPORTABLE, &blob.h); }), 0u);
    ASSERT_EQ(Check([&] { return CryptGenKey(p.h, CALG_AES_256, 0, &fixedKey.h); }), 0u);

    DWORD len = 0;
    EXPECT_EQ(
        Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, nullptr, &len); }), 0u);
    EXPECT_EQ(len, kSimpleBlobSize);
    Bytes a(512, 0xbd);
    len = kSimpleBlobSize - 1;
    EXPECT_EQ(
        Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, a.data(), &len); }),
        static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(len, kSimpleBlobSize);
    EXPECT_EQ(a, Bytes(512, 0xbd));
    len = 512;
    ASSERT_EQ(
        Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, a.data(), &len); }),
        0u);
    ASSERT_EQ(len, kSimpleBlobSize);
    const Bytes header = {0x01, 0x02, 0x00, 0x00, 0x10, 0x66, 0x00, 0x00, 0x00, 0xa4, 0x00, 0x00};
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 12), header);
    EXPECT_EQ(Bytes(a.begin() + len, a.end()), Bytes(512 - len, 0xbd)) << "wrote past the blob";

    len = 512;
    EXPECT_EQ(Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, 0, a.data(), &len); }),
              Code(NTE_BAD_FLAGS));
    EXPECT_EQ(
        Check([&] { return CryptExportKey(fixedKey.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, a.data(), &len); }),
        Code(NTE_BAD_KEY_STATE));
}

/* Export then import gives the same blob key, for any payload length. */
TEST_P(KspContract, BlobKeyRoundTripsForEveryLength) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    for (size_t size : {0, 1, 16, 17, 4096}) {
        SCOPED_TRACE(size);
        Bytes secret(size);
        for (size_t i = 0; i < size; ++i)
            secret[i] = static_cast<BYTE>(i * 7 + 3);

        Prov p;
        ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
        KeyH blob;
        ASSERT_EQ(Check([&] { return CryptGenKey(p.h, CALG_AES_256, CRYPT_EXPORTABLE, &blob.h); }), 0u);
        // One byte short: the needed length comes back, the buffer stays as it was.
        Bytes buf(secret);
        buf.resize(size + kOverhead - 1, 0xbd);
        const Bytes before = buf;
        DWORD len = static_cast<DWORD>(size);
        EXPECT_EQ(Check([&] {
                      return CryptEncrypt(blob.h, 0, TRUE, 0, buf.data(), &len,
                                          static_cast<DWORD>(buf.size()));
                  }),
                  static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(len, size + kOverhead);
        EXPECT_EQ(buf, before);

        const Sealed one = Seal(kUser, secret), two = Seal(kUser, secret);
        EXPECT_EQ(one.wrapped.size(), kSimpleBlobSize);
        EXPECT_EQ(one.cipher.size(), size + kOverhead);
        EXPECT_NE(one.cipher, two.cipher) << "fresh key and nonce each time";
        for (const Sealed* s : {&one, &two}) {
            Bytes plain;
            EXPECT_EQ(Open(kUser, kPassword, *s, plain), 0u);
            EXPECT_EQ(plain, secret);
        }
    }
}

TEST_P(KspContract, WrongPasswordFailsTheImport) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    for (const std::string& pw : {std::string(), std::string("correct hors"), std::string("Correct horse")}) {
        SCOPED_TRACE(pw);
        Bytes plain;
        EXPECT_EQ(Open(kUser, pw, s, plain), Code(TPM_E_AUTHFAIL));
        EXPECT_TRUE(plain.empty());
    }
    Bytes plain;
    EXPECT_EQ(vktest::ksp::Open(kUser, nullptr, s.wrapped, s.cipher, plain), Code(TPM_E_AUTHFAIL))
        << "no password set";
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
    EXPECT_EQ(plain, kSecret);
}

TEST_P(KspContract, DamagedBlobsAndCiphertextsAreRefused) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    std::vector<std::pair<const char*, Bytes>> cases;
    for (size_t at : {size_t(0), size_t(12), s.cipher.size() - 1}) { // nonce, ciphertext, tag
        Bytes c = s.cipher;
        c[at] ^= 0x01;
        cases.push_back({"flipped byte", c});
    }
    cases.push_back({"one byte short", Bytes(s.cipher.begin(), s.cipher.end() - 1)});
    cases.push_back(
        {"shorter than nonce and tag", Bytes(s.cipher.begin(), s.cipher.begin() + kOverhead - 1)});
    cases.push_back({"empty", Bytes()});

    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    ASSERT_EQ(Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(kPassword), 0); }), 0u);
    KeyH exchange, blob;
    ASSERT_EQ(Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h); }), 0u);
    ASSERT_EQ(Check([&] {
                  return CryptImportKey(p.h, s.wrapped.data(), kSimpleBlobSize, exchange.h, CRYPT_OAEP,
                                        &blob.h);
              }),
              0u);
    for (const auto& [what, cipher] : cases) {
        SCOPED_TRACE(what);
        Bytes buf = cipher;
        buf.push_back(0xbd);
        DWORD len = static_cast<DWORD>(cipher.size());
        EXPECT_EQ(Check([&] { return CryptDecrypt(blob.h, 0, TRUE, 0, buf.data(), &len); }),
                  Code(NTE_BAD_DATA));
        EXPECT_EQ(len, cipher.size());
        EXPECT_EQ(Bytes(buf.begin(), buf.end() - 1), cipher) << "no partial plaintext";
    }
    struct Case {
        const char* what;
        size_t at;
        BYTE value;
        DWORD length, flags, expected;
    };
    const Case blobs[] = {
        {"blob type", 0, PUBLICKEYBLOB, kSimpleBlobSize, CRYPT_OAEP, Code(NTE_BAD_TYPE)},
        {"blob version", 1, 3, kSimpleBlobSize, CRYPT_OAEP, Code(NTE_BAD_DATA)},
        {"reserved", 2, 1, kSimpleBlobSize, CRYPT_OAEP, Code(NTE_BAD_DATA)},
        {"key algorithm", 4, static_cast<BYTE>(kCalgAes128 & 0xff), kSimpleBlobSize, CRYPT_OAEP,
         Code(NTE_BAD_ALGID)},
        {"wrapping algorithm", 9, 0x24, kSimpleBlobSize, CRYPT_OAEP, Code(NTE_BAD_ALGID)},
        {"RSA bytes", 100, 0x5a, kSimpleBlobSize, CRYPT_OAEP, Code(NTE_BAD_DATA)},
        {"one byte short", 0, SIMPLEBLOB, kSimpleBlobSize - 1, CRYPT_OAEP, Code(NTE_BAD_LEN)},
        {"header only", 0, SIMPLEBLOB, 11, CRYPT_OAEP, Code(NTE_BAD_LEN)},
        {"without OAEP", 0, SIMPLEBLOB, kSimpleBlobSize, 0, Code(NTE_BAD_FLAGS)},
    };
    for (const Case& c : blobs) {
        SCOPED_TRACE(c.what);
        Bytes w = s.wrapped;
        w[c.at] = c.at == 100 ? static_cast<BYTE>(w[c.at] ^ c.value) : c.value;
        KeyH damaged;
        EXPECT_EQ(
            Check([&] { return CryptImportKey(p.h, w.data(), c.length, exchange.h, c.flags, &damaged.h); }),
            c.expected);
        EXPECT_EQ(damaged.h, 0u);
    }
    Bytes buf = s.cipher;
    DWORD len = static_cast<DWORD>(buf.size());
    EXPECT_EQ(Check([&] { return CryptDecrypt(blob.h, 0, FALSE, 0, buf.data(), &len); }),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(Check([&] { return CryptDecrypt(blob.h, 0, TRUE, 0, buf.data(), &len); }), 0u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + len), kSecret);
}

TEST_P(KspContract, ContainerNamesMustBePlainFileNames) {
    std::vector<WString> bad = {W(""),    W("a\\b"), W("a/b"),     W(".."),      W("."),      W("C:x"),
                                       W("x*y"), W("dot."), W(".hidden"), W(".~pal-0"), W("trail "), W("tab\there")};
    bad.push_back(WString(161, W('a')));
    const auto before = FilesBelow(root_->host("ProgramData"));
    for (const auto& name : bad) {
        SCOPED_TRACE(vktest::Narrow(name));
        Prov p;
        for (DWORD flags : {kOpen, kCreate, kDelete})
            EXPECT_EQ(Acquire(p, name, flags), Code(NTE_BAD_KEYSET_PARAM));
        BYTE* blob = reinterpret_cast<BYTE*>(0x1);
        DWORD cb = 7;
        EXPECT_EQ(static_cast<DWORD>(exportContainer_(name.c_str(), W("pw"), &blob, &cb)),
                  Code(NTE_BAD_KEYSET_PARAM));
        EXPECT_EQ(blob, nullptr);
        EXPECT_EQ(cb, 0u);
    }
    EXPECT_EQ(FilesBelow(root_->host("ProgramData")), before) << "a refused name touched the store";

    // Not user mode: only the machine key set exists.
    Prov p;
    EXPECT_EQ(Acquire(p, kUser, CRYPT_NEWKEYSET), Code(NTE_BAD_FLAGS));
    EXPECT_EQ(Acquire(p, WString(160, W('k')), kCreate), 0u);
}

TEST_P(KspContract, HostileContainerFilesFailCleanly) {
    const auto before = FilesBelow(root_->host("ProgramData"));
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    std::vector<std::string> added;
    for (const auto& f : FilesBelow(root_->host("ProgramData")))
        if (!before.count(f)) added.push_back(f);
    ASSERT_EQ(added.size(), 1u) << "one file per container";
    const std::string file = added[0];
    const Bytes good = vktest::ReadFileBytes(file);
    ASSERT_GT(good.size(), 100u);
    const Sealed s = Seal(kUser, kSecret);

    // Refused at open (NTE_KEYSET_ENTRY_BAD; the software store checks every file whole), or when the key is
    // used.
    auto expectRefused = [&](const WString& name, const std::string& what) {
        SCOPED_TRACE(what);
        Bytes plain;
        const DWORD err = Open(name, kPassword, s, plain);
        EXPECT_NE(err, 0u);
        EXPECT_TRUE(GetParam() != "software" || err == Code(NTE_KEYSET_ENTRY_BAD)) << std::hex << err;
        EXPECT_TRUE(plain.empty());
    };
    std::vector<std::pair<std::string, Bytes>> damaged;
    for (size_t len : {size_t(0), size_t(40), good.size() / 2, good.size() - 1})
        damaged.push_back({"truncated to " + std::to_string(len), Bytes(good.begin(), good.begin() + len)});
    Bytes longer = good;
    longer.push_back(0);
    damaged.push_back({"one byte appended", longer});
    for (size_t at = 0; at < good.size(); at += (at < 96 ? 1 : 13)) {
        Bytes b = good;
        b[at] ^= 0x80;
        damaged.push_back({"byte " + std::to_string(at) + " flipped", b});
    }
    for (const auto& [what, bytes] : damaged) {
        vktest::WriteFileBytes(file, bytes);
        expectRefused(kUser, what);
    }
    // The intact file still works, so the cases above damaged the real thing.
    vktest::WriteFileBytes(file, good);
    Bytes plain;
    ASSERT_EQ(Open(kUser, kPassword, s, plain), 0u);

    // A container file copied under another name.
    vktest::WriteFileBytes(std::filesystem::path(file).replace_filename(vktest::Narrow(kOther)).string(),
                           good);
    expectRefused(kOther, "copied under another name");

    // A damaged container can still be deleted and made again.
    vktest::WriteFileBytes(file, Bytes(good.begin(), good.begin() + 10));
    Prov p;
    EXPECT_EQ(Acquire(p, kUser, kDelete), 0u);
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    EXPECT_EQ(Open(kUser, kPassword, Seal(kUser, kSecret), plain), 0u);
}

TEST_P(KspContract, VerifyContextGivesRandomAndOwnershipOnly) {
    Prov v;
    ASSERT_EQ(Acquire(v, W(""), CRYPT_VERIFYCONTEXT), 0u);
    Bytes r(64, 0xbd);
    EXPECT_EQ(Check([&] { return CryptGenRandom(v.h, 63, r.data()); }), 0u);
    EXPECT_EQ(r[63], 0xbd) << "wrote past the length";
    EXPECT_NE(Bytes(r.begin(), r.begin() + 63), Bytes(63, 0xbd));
    KeyH k;
    EXPECT_EQ(Check([&] { return CryptGenKey(v.h, CALG_AES_256, CRYPT_EXPORTABLE, &k.h); }), Code(NTE_PERM));
    Prov named;
    EXPECT_EQ(Acquire(named, kUser, CRYPT_VERIFYCONTEXT), Code(NTE_BAD_FLAGS));

    auto owned = [&] {
        DWORD value = kSentinel, len = 4;
        EXPECT_EQ(Check([&] {
                      return CryptGetProvParam(v.h, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&value), &len, 0);
                  }),
                  0u);
        return value;
    };
    if (GetParam() != "software") return; // the setting below is the software backend's
    EXPECT_EQ(owned(), 1u) << "owned unless an administrator says otherwise";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              W("SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider"), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (BYTE setting : {0, 7}) {
        const Bytes value = {setting, 0, 0, 0};
        ASSERT_EQ(RegSetValueExW(key, W("SoftwareTpmOwned"), 0, REG_DWORD, value.data(), 4), ERROR_SUCCESS);
        EXPECT_EQ(owned(), setting ? 1u : 0u) << int(setting);
    }
    RegCloseKey(key);
}

TEST_P(KspContract, ParametersAndFlagsAreChecked) {
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kCreate), 0u);
    const TcgKeyParams good = SystemKeyParams();
    TcgKeyParams version2 = good, scheme2 = good;
    version2.dwField0 = 2;
    scheme2.dwField24 = 2;
    struct ParamCase {
        DWORD param;
        const void* value;
        DWORD flags, expected;
    };
    const std::string tooLong(5000, 'p');
    const ParamCase params[] = {
        {PP_TCG_KEYPARAM, &good, 1, 0},
        {PP_TCG_KEYPARAM, &good, 2, Code(NTE_BAD_FLAGS)},
        {PP_TCG_KEYPARAM, &version2, 1, Code(NTE_BAD_DATA)},
        {PP_TCG_KEYPARAM, &scheme2, 1, Code(NTE_BAD_ALGID)},
        {PP_KEYEXCHANGE_PSWD, "pw", 1, Code(NTE_BAD_FLAGS)},
        {PP_KEYEXCHANGE_PSWD, tooLong.c_str(), 0, Code(NTE_BAD_LEN)},
        {0x105, "pw", 0, Code(NTE_BAD_TYPE)},
    };
    // Wine's advapi32 reads dwFlags 1 as PP_CLIENT_HWND and answers those calls itself.
#ifdef _WIN32
    const bool wine = GetProcAddress(GetModuleHandleW(W("ntdll.dll")), "wine_get_version") != nullptr;
#else
    const bool wine = false;
#endif
    for (const ParamCase& c : params) {
        SCOPED_TRACE(&c - params);
        if (wine && c.flags == 1) continue;
        EXPECT_EQ(Check([&] {
                      return CryptSetProvParam(p.h, c.param, static_cast<const BYTE*>(c.value), c.flags);
                  }),
                  c.expected);
    }
    struct GenCase {
        ALG_ID alg;
        DWORD flags, expected;
    };
    const GenCase gens[] = {
        {AT_KEYEXCHANGE, 0x04000003, Code(NTE_BAD_FLAGS)}, // 1024 bits
        {AT_SIGNATURE, 0x08000003, Code(NTE_BAD_ALGID)},
        {kCalgAes128, CRYPT_EXPORTABLE, Code(NTE_BAD_ALGID)},
        {CALG_AES_256, 0x00800001, Code(NTE_BAD_FLAGS)}, // 128 bits
        {CALG_AES_256, 0x01000001, 0},                   // 256 bits, said out loud
    };
    for (const GenCase& g : gens) {
        SCOPED_TRACE(g.flags);
        KeyH k;
        EXPECT_EQ(Check([&] { return CryptGenKey(p.h, g.alg, g.flags, &k.h); }), g.expected);
    }
}

TEST_P(KspContract, EscrowMovesAContainerToAnotherRoot) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    BYTE* blob = nullptr;
    DWORD cb = 0;
    EXPECT_EQ(static_cast<DWORD>(exportContainer_(kOther.c_str(), W("backup"), &blob, &cb)),
              Code(NTE_BAD_KEYSET));
    ASSERT_EQ(exportContainer_(kUser.c_str(), W("backup"), &blob, &cb), 0);
    ASSERT_NE(blob, nullptr);
    const Bytes escrow(blob, blob + cb);
    free(blob);
    const std::string text(escrow.begin(), escrow.end());
    EXPECT_EQ(text.find(kPassword), std::string::npos);
    EXPECT_EQ(text.find("backup"), std::string::npos);

    // A key made non-exportable stays put.
    ASSERT_EQ(MakeKey(kOther, kPassword, 0x08000002), 0u);
    EXPECT_EQ(static_cast<DWORD>(exportContainer_(kOther.c_str(), W("backup"), &blob, &cb)),
              Code(NTE_BAD_KEY_STATE));

    vktest::FreshRoot other;
    module_.Register();
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET));
    WCHAR name[64];
    std::vector<std::tuple<const char*, Bytes, const WCHAR*, DWORD>> bad = {
        {"wrong backup password", escrow, W("Backup"), Code(TPM_E_AUTHFAIL)},
        {"truncated", Bytes(escrow.begin(), escrow.end() - 1), W("backup"), Code(NTE_BAD_DATA)},
        {"header only", Bytes(escrow.begin(), escrow.begin() + 40), W("backup"), Code(NTE_BAD_DATA)},
        {"empty", Bytes(), W("backup"), Code(NTE_BAD_DATA)},
    };
    for (size_t at : {size_t(0), size_t(8), escrow.size() / 2, escrow.size() - 1}) {
        Bytes b = escrow;
        b[at] ^= 0x04;
        bad.push_back({"flipped byte", b, W("backup"), Code(NTE_BAD_DATA)});
    }
    for (const auto& [what, bytes, password, expected] : bad) {
        SCOPED_TRACE(what);
        const BYTE* data = bytes.empty() ? escrow.data() : bytes.data(); // a real pointer with no bytes
        EXPECT_EQ(
            static_cast<DWORD>(importContainer_(data, static_cast<DWORD>(bytes.size()), password, name, 64)),
            expected);
        EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET)) << "a refused import wrote the container";
    }
    EXPECT_EQ(static_cast<DWORD>(
                  importContainer_(escrow.data(), static_cast<DWORD>(escrow.size()), W("backup"), name, 36)),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // A backup of one container never lands under, or over, another name.
    EXPECT_EQ(static_cast<DWORD>(module_.importContainerAs(escrow.data(), static_cast<DWORD>(escrow.size()),
                                                           W("backup"), W("someone-else"))),
              Code(NTE_BAD_KEYSET_PARAM));
    EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET));
    EXPECT_EQ(Acquire(p, W("someone-else"), kOpen), Code(NTE_BAD_KEYSET));

    ASSERT_EQ(importContainer_(escrow.data(), static_cast<DWORD>(escrow.size()), W("backup"), name, 64), 0);
    EXPECT_EQ(WString(name), kUser);
    Bytes plain;
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
    EXPECT_EQ(plain, kSecret);
    EXPECT_EQ(Open(kUser, std::string("backup"), s, plain), Code(TPM_E_AUTHFAIL))
        << "the key password guards it";
}

TEST_P(KspContract, FailuresAreLoggedAndSecretsAreNot) {
    const std::string wrong = "wr0ng-Pa55";
    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    Bytes plain;
    EXPECT_EQ(Open(kUser, wrong, s, plain), Code(TPM_E_AUTHFAIL));
    Prov p;
    EXPECT_EQ(Acquire(p, W("a\\b"), kOpen), Code(NTE_BAD_KEYSET_PARAM));
    EXPECT_EQ(Acquire(p, kOther, kOpen), Code(NTE_BAD_KEYSET));
    BYTE* blob = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(exportContainer_(kUser.c_str(), W("backup-Secret"), &blob, &cb), 0);
    EXPECT_EQ(importContainer_(blob, cb, W("not-the-backup"), nullptr, 0), static_cast<LONG>(TPM_E_AUTHFAIL));
    free(blob);
    const auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);

    auto count = [&](const std::string& function, const std::string& text) {
        int n = 0;
        for (const auto& l : lines)
            n += l.level == diaglog::Level::Error && l.function == function &&
                 l.text.find(text) != std::string::npos;
        return n;
    };
    EXPECT_EQ(count("TpmKsp::ImportKey", "failed 0x80280001"), 1);
    EXPECT_EQ(count("TpmKsp::AcquireContext", "failed 0x8009001f"), 1);
    EXPECT_EQ(count("TpmKsp::ImportContainer", "failed 0x80280001"), 1);
    EXPECT_EQ(count("TpmKsp::AcquireContext", "0x80090016"), 0)
        << "an absent container is an answer, not an error";
    for (const auto& l : lines)
        for (const std::string& secret :
             {kPassword, wrong, std::string("backup-Secret"), std::string("not-the-backup")})
            EXPECT_EQ(l.text.find(secret), std::string::npos) << l.function << ": " << l.text;
}

TEST_P(KspContract, ThreadsWorkOnTheirOwnContainers) {
    constexpr int kThreads = 3;
    std::vector<std::thread> threads;
    std::vector<DWORD> results(kThreads, kSentinel);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const WString name = W("thread-") + WString(1, static_cast<WCHAR>(W('0') + i));
            const std::string pw = "pw" + std::to_string(i);
            ASSERT_EQ(MakeKey(name, pw), 0u);
            Bytes plain;
            results[i] = Open(name, pw, Seal(name, kSecret), plain);
            if (results[i] == 0 && plain != kSecret) results[i] = 1;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(results, std::vector<DWORD>(kThreads, 0u));
}

auto ParamName = [](const ::testing::TestParamInfo<std::string>& info) { return info.param; };

#ifndef _WIN32 // the Windows build keeps its keys in libgcrypt's encoding instead
/* The software backend's files, read back with OpenSSL alone by their documented layout. */
class KspSoftwareStore : public KspContract {};

Bytes Slice(const Bytes& b, size_t off, size_t n) {
    EXPECT_LE(off + n, b.size());
    return off + n <= b.size() ? Bytes(b.begin() + off, b.begin() + off + n) : Bytes();
}

Bytes Sha256Of(const Bytes& b, size_t n) {
    Bytes d(32);
    unsigned int len = 0;
    EVP_Digest(b.data(), n, d.data(), &len, EVP_sha256(), nullptr);
    return d;
}

/* scrypt(password, salt) as the key, then AES-256-GCM open of sealed (ciphertext || tag). */
Bytes GcmOpenRef(const Bytes& key, const Bytes& nonce, const Bytes& aad, const Bytes& sealed) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(sealed.size() - 16);
    int len = 0;
    bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()) == 1 &&
              (aad.empty() ||
               EVP_DecryptUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1) &&
              (out.empty() ||
               EVP_DecryptUpdate(ctx, out.data(), &len, sealed.data(), static_cast<int>(out.size())) == 1) &&
              EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16,
                                  const_cast<BYTE*>(sealed.data() + out.size())) == 1 &&
              EVP_DecryptFinal_ex(ctx, out.data() + out.size(), &len) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? out : Bytes{0xde, 0xad};
}

Bytes ScryptRef(const std::string& password, const Bytes& salt) {
    Bytes key(32);
    EXPECT_EQ(EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), 16384, 8, 1,
                             64ull << 20, key.data(), key.size()),
              1);
    return key;
}

TEST_P(KspSoftwareStore, FilesFollowTheDocumentedLayout) {
    const std::string folder =
        root_->host("ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/MachineKeys/");
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    const Bytes file = vktest::ReadFileBytes(folder + vktest::Narrow(kUser));
    ASSERT_GT(file.size(), 112u);

    Bytes name; // UTF-16LE
    for (WCHAR c : kUser)
        name.insert(name.end(), {static_cast<BYTE>(c & 0xff), static_cast<BYTE>(c >> 8)});
    using vktest::Le32;
    EXPECT_EQ(Slice(file, 0, 4), (Bytes{'T', 'K', 'S', 'C'}));
    EXPECT_EQ(Le32(file, 4), 1u);
    EXPECT_EQ(Le32(file, 8), 3u) << "keyed, exportable";
    const uint32_t n = Le32(file, 12), p = Le32(file, 16), sealedLen = Le32(file, 20);
    EXPECT_EQ(n, name.size());
    EXPECT_EQ((std::vector<uint32_t>{Le32(file, 24), Le32(file, 28), Le32(file, 32)}),
              (std::vector<uint32_t>{14, 8, 1}));
    ASSERT_EQ(file.size(), 80u + n + p + sealedLen + 32);
    EXPECT_EQ(Slice(file, 80, n), name);
    EXPECT_EQ(Slice(file, file.size() - 32, 32), Sha256Of(file, file.size() - 32));

    // The private key unseals by hand, everything before it as associated data.
    const Bytes pkcs8 = GcmOpenRef(ScryptRef(kPassword, Slice(file, 36, 32)), Slice(file, 68, 12),
                                   Slice(file, 0, 80 + n + p), Slice(file, 80 + n + p, sealedLen));
    const BYTE* q = pkcs8.data();
    EVP_PKEY* priv = d2i_AutoPrivateKey(nullptr, &q, static_cast<long>(pkcs8.size()));
    ASSERT_NE(priv, nullptr) << "the private key did not unseal as documented";
    EXPECT_EQ(EVP_PKEY_get_bits(priv), 2048);
    unsigned char* pub = nullptr;
    const int pubLen = i2d_PUBKEY(priv, &pub);
    EXPECT_EQ(Bytes(pub, pub + pubLen), Slice(file, 80 + n, p)) << "stored public key is the key pair's";
    OPENSSL_free(pub);

    // The SIMPLEBLOB is RSA-OAEP(SHA-256, MGF1-SHA-256) of the blob key; the ciphertext is nonce || GCM ||
    // tag.
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(priv, nullptr);
    Bytes aes(256);
    size_t aesLen = aes.size();
    ASSERT_TRUE(EVP_PKEY_decrypt_init(ctx) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
                EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) == 1 &&
                EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) == 1 &&
                EVP_PKEY_decrypt(ctx, aes.data(), &aesLen, s.wrapped.data() + 12, 256) == 1);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(priv);
    aes.resize(aesLen);
    ASSERT_EQ(aes.size(), 32u);
    EXPECT_EQ(GcmOpenRef(aes, Slice(s.cipher, 0, 12), {}, Slice(s.cipher, 12, s.cipher.size() - 12)),
              kSecret);

    // The escrow blob: the container file itself, sealed under the backup password.
    BYTE* blob = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(exportContainer_(kUser.c_str(), W("backup"), &blob, &cb), 0);
    const Bytes escrow(blob, blob + cb);
    free(blob);
    EXPECT_EQ(Slice(escrow, 0, 4), (Bytes{'T', 'K', 'S', 'E'}));
    EXPECT_EQ(Le32(escrow, 4), 1u);
    const uint32_t en = Le32(escrow, 8), eb = Le32(escrow, 12), es = Le32(escrow, 16);
    ASSERT_EQ(escrow.size(), 76u + en + eb + es + 32);
    EXPECT_EQ(Slice(escrow, 76, en), name);
    EXPECT_EQ(Slice(escrow, 76 + en, eb), (Bytes{'s', 'o', 'f', 't', 'w', 'a', 'r', 'e'}));
    EXPECT_EQ(Slice(escrow, escrow.size() - 32, 32), Sha256Of(escrow, escrow.size() - 32));
    EXPECT_EQ(GcmOpenRef(ScryptRef("backup", Slice(escrow, 32, 32)), Slice(escrow, 64, 12),
                         Slice(escrow, 0, 76 + en + eb), Slice(escrow, 76 + en + eb, es)),
              file);
}

/* The checksum is no key: whoever can write the file can make one that sums. A modulus made even
 * still decodes as a 2048-bit key but can wrap nothing; it is refused when the container is read. */
TEST_P(KspSoftwareStore, AnUnusablePublicKeyIsRefusedAtOpen) {
    const std::string path = root_->host("ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/MachineKeys/") +
                             vktest::Narrow(kUser);
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    Bytes file = vktest::ReadFileBytes(path);
    const uint32_t n = vktest::Le32(file, 12), p = vktest::Le32(file, 16);
    // The SubjectPublicKeyInfo ends with the modulus, then the exponent 65537 (02 03 01 00 01).
    ASSERT_EQ(Slice(file, 80 + n + p - 5, 5), (Bytes{0x02, 0x03, 0x01, 0x00, 0x01}));
    file[80 + n + p - 6] &= 0xfe;
    const Bytes sum = Sha256Of(file, file.size() - 32);
    std::copy(sum.begin(), sum.end(), file.end() - 32);
    vktest::WriteFileBytes(path, file);

    Prov prov;
    EXPECT_EQ(Acquire(prov, kUser, kOpen), Code(NTE_KEYSET_ENTRY_BAD));
}

INSTANTIATE_TEST_SUITE_P(Software, KspSoftwareStore, ::testing::Values(std::string("software")), ParamName);
#endif
INSTANTIATE_TEST_SUITE_P(Backends, KspContract, ::testing::ValuesIn(BackendNames()), ParamName);

} // namespace
