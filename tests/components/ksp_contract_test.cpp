/*
 * The key storage provider's contract, run once per backend compiled into the
 * module, driven through CryptoAPI as the system drives it. A backend that
 * cannot run on this machine shows as skipped.
 */
#include "VkSwtpm.h"
#include "VkTest.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <wincrypt.h>

#include "diaglog_control.h"
#include "platform/KeyProvider.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace {

using vktest::Bytes;
using vktest::U;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kOpen = CRYPT_MACHINE_KEYSET;
constexpr DWORD kCreate = CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET;
constexpr DWORD kDelete = CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET;
constexpr DWORD kSimpleBlobSize = 268;
constexpr DWORD kOverhead = 28; // nonce + tag
constexpr ALG_ID kCalgAes128 = 0x660E;

DWORD Code(HRESULT hr) {
    return static_cast<DWORD>(hr);
}

std::string ModulePath() {
    if (const char* dir = std::getenv("VK_TEST_BIN_DIR"))
        return std::string(dir) + "/lib/libVaultkeepTpmKsp.so";
    auto exe = std::filesystem::read_symlink("/proc/self/exe");
    return (exe.parent_path().parent_path() / "lib" / "libVaultkeepTpmKsp.so").string();
}

/* The backend table as the module reports it; the suite is instantiated over it. */
std::vector<std::string> BackendNames() {
    std::vector<std::string> names;
    if (void* m = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL)) {
        using Enum = LONG (*)(DWORD, CHAR*, DWORD);
        if (auto en = reinterpret_cast<Enum>(dlsym(m, "TpmKspEnumBackends"))) {
            char name[64];
            for (DWORD i = 0; en(i, name, sizeof(name)) == 0; ++i)
                names.push_back(name);
        }
    }
    if (names.empty()) names.push_back("software"); // SetUp then fails loudly on the missing module
    return names;
}

TcgKeyParams SystemKeyParams() {
    TcgKeyParams p;
    memset(&p, 0, sizeof(p));
    p.dwField0 = 1;
    p.dwField16 = 512;
    p.dwField24 = 3;
    p.dwField28 = 1;
    p.dwField36 = 1;
    return p;
}

const BYTE* Pw(const std::string& s) {
    return reinterpret_cast<const BYTE*>(s.c_str());
}

/* Releases what a test acquired even when an assertion returns early. */
struct Prov {
    HCRYPTPROV h = 0;
    ~Prov() {
        if (h) CryptReleaseContext(h, 0);
    }
};
struct KeyH {
    HCRYPTKEY h = 0;
    ~KeyH() {
        if (h) CryptDestroyKey(h);
    }
};

/* What CUtil::EncryptBlob keeps: the wrapped blob key and the ciphertext. */
struct Sealed {
    Bytes wrapped;
    Bytes cipher;
};

using PFN_Register = HRESULT (*)(void);

class KspContract : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        root_ = std::make_unique<vktest::FreshRoot>();
        setenv("VAULTKEEP_KSP_BACKEND", GetParam().c_str(), 1);
        if (GetParam() == "tpm2") {
            // Only ever a simulator: the wrong passwords below would count against a real TPM.
            const std::string tcti = vktest::swtpm::SharedTcti();
            if (tcti.empty()) GTEST_SKIP() << "no TPM simulator configured (VAULTKEEP_KSP_TCTI)";
            // Recovery time 0 turns the dictionary-attack defence off for the suite's wrong passwords.
            ASSERT_EQ(vktest::swtpm::SetDictionaryAttack(tcti, 3, 0, 0), "");
        }
        module_ = LoadLibraryW(U(ModulePath()).c_str());
        ASSERT_NE(module_, nullptr) << "cannot load " << ModulePath();
        exportContainer_ = reinterpret_cast<PFN_TpmKspExportContainer>(
            reinterpret_cast<void*>(GetProcAddress(module_, "TpmKspExportContainer")));
        importContainer_ = reinterpret_cast<PFN_TpmKspImportContainer>(
            reinterpret_cast<void*>(GetProcAddress(module_, "TpmKspImportContainer")));
        ASSERT_TRUE(exportContainer_ && importContainer_);
        Register();
        if (HasFatalFailure()) return;

        HCRYPTPROV h = 0;
        if (!CryptAcquireContextW(&h, nullptr, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
            const DWORD err = GetLastError();
            if (err == Code(TBS_E_SERVICE_NOT_RUNNING) && GetParam() != "software")
                GTEST_SKIP() << "backend " << GetParam() << " is not available on this machine";
            FAIL() << "verify context of backend " << GetParam() << " failed: 0x" << std::hex << err;
        }
        CryptReleaseContext(h, 0);
    }

    void TearDown() override {
        unsetenv("VAULTKEEP_KSP_BACKEND");
        if (module_) FreeLibrary(module_);
        root_.reset();
    }

    /* Registers the provider in whichever root is current. */
    void Register() {
        auto reg = reinterpret_cast<PFN_Register>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
        ASSERT_NE(reg, nullptr);
        HRESULT hr = reg();
        if (hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)) {
            // The module learns its HMODULE from DLL_PROCESS_ATTACH, which Windows delivers on load. Where
            // the loader does not (yet), deliver it here as the loader would, once, and say so.
            static bool warned = false;
            if (!warned)
                std::cerr << "note: LoadLibraryW did not call the provider's DllMain; calling it here\n";
            warned = true;
            using PFN_DllMain = BOOL (*)(HINSTANCE, DWORD, LPVOID);
            auto entry =
                reinterpret_cast<PFN_DllMain>(reinterpret_cast<void*>(GetProcAddress(module_, "DllMain")));
            ASSERT_NE(entry, nullptr);
            entry(module_, DLL_PROCESS_ATTACH, nullptr);
            hr = reg();
        }
        ASSERT_EQ(hr, S_OK);
    }

    /* 0 or the last error of a failed acquire; *h is 0 after a failure. */
    static DWORD Acquire(Prov& p, const std::u16string& name, DWORD flags) {
        SetLastError(kSentinel);
        p.h = 0;
        if (CryptAcquireContextW(&p.h, name.c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, flags)) return 0;
        EXPECT_EQ(p.h, 0u);
        return GetLastError();
    }

    template <class F> static DWORD Check(F&& call) {
        SetLastError(kSentinel);
        if (call()) return 0;
        const DWORD err = GetLastError();
        EXPECT_NE(err, kSentinel) << "failure without a last error";
        EXPECT_NE(err, 0u) << "failure with ERROR_SUCCESS";
        return err;
    }

    /* CUtil::GenerateKey, step by step. */
    static void MakeKey(const std::u16string& name, const std::string& password,
                        DWORD keyFlags = 0x08000003) {
        Prov p;
        ASSERT_EQ(Acquire(p, name, kCreate), 0u);
        const TcgKeyParams params = SystemKeyParams();
        ASSERT_EQ(Check([&] {
                      return CryptSetProvParam(p.h, PP_TCG_KEYPARAM, reinterpret_cast<const BYTE*>(&params),
                                               1);
                  }),
                  0u);
        ASSERT_EQ(Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(password), 0); }), 0u);
        KeyH k;
        ASSERT_EQ(Check([&] { return CryptGenKey(p.h, AT_KEYEXCHANGE, keyFlags, &k.h); }), 0u);
    }

    /* CUtil::EncryptBlob type 1: a fresh blob key, exported under the exchange key. */
    static Sealed Seal(const std::u16string& name, const Bytes& secret) {
        Sealed s;
        Prov p;
        EXPECT_EQ(Acquire(p, name, kOpen), 0u);
        KeyH exchange, blob;
        EXPECT_EQ(Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h); }), 0u);
        EXPECT_EQ(Check([&] { return CryptGenKey(p.h, CALG_AES_256, CRYPT_EXPORTABLE, &blob.h); }), 0u);
        s.wrapped.assign(512, 0);
        DWORD w = 512;
        EXPECT_EQ(Check([&] {
                      return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, s.wrapped.data(), &w);
                  }),
                  0u);
        s.wrapped.resize(w);
        Bytes buf(secret);
        buf.resize(secret.size() + 768);
        DWORD len = static_cast<DWORD>(secret.size());
        EXPECT_EQ(Check([&] {
                      return CryptEncrypt(blob.h, 0, TRUE, 0, buf.data(), &len,
                                          static_cast<DWORD>(buf.size()));
                  }),
                  0u);
        buf.resize(len);
        s.cipher = buf;
        return s;
    }

    /* CUtil::DecryptBlob type 1: 0 and the plaintext, or the code of the failing step. */
    static DWORD Open(const std::u16string& name, const std::string* password, const Sealed& s,
                      Bytes& plain) {
        Prov p;
        DWORD err = Acquire(p, name, kOpen);
        if (err) return err;
        if (password &&
            (err = Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(*password), 0); })))
            return err;
        KeyH exchange, blob;
        if ((err = Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h); }))) return err;
        if ((err = Check([&] {
                 return CryptImportKey(p.h, s.wrapped.data(), static_cast<DWORD>(s.wrapped.size()),
                                       exchange.h, CRYPT_OAEP, &blob.h);
             })))
            return err;
        Bytes buf = s.cipher;
        DWORD len = static_cast<DWORD>(buf.size());
        if ((err = Check([&] { return CryptDecrypt(blob.h, 0, TRUE, 0, buf.data(), &len); }))) return err;
        buf.resize(len);
        plain = buf;
        return 0;
    }

    static DWORD Open(const std::u16string& name, const std::string& password, const Sealed& s,
                      Bytes& plain) {
        return Open(name, &password, s, plain);
    }

    std::unique_ptr<vktest::FreshRoot> root_;
    HMODULE module_ = nullptr;
    PFN_TpmKspExportContainer exportContainer_ = nullptr;
    PFN_TpmKspImportContainer importContainer_ = nullptr;
};

std::set<std::string> FilesBelow(const std::string& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) out.insert(it->path().string());
    return out;
}

const std::u16string kUser = u"6f1c2d3e-4a5b-4c6d-8e7f-901a2b3c4d5e";
const std::string kPassword = "correct horse";
const Bytes kSecret = {'s', '3', 'c', 'r', 'e', 't', 0, 0xff, 0x80};

TEST_P(KspContract, ContainerLifecycle) {
    Prov p;
    EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET));
    EXPECT_EQ(Acquire(p, kUser, kDelete), Code(NTE_BAD_KEYSET));

    ASSERT_EQ(Acquire(p, kUser, kCreate), 0u);
    KeyH none;
    EXPECT_EQ(Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &none.h); }), Code(NTE_NO_KEY));
    Prov again;
    EXPECT_EQ(Acquire(again, kUser, kCreate), Code(NTE_EXISTS));
    CryptReleaseContext(p.h, 0);
    p.h = 0;

    {
        ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
        const TcgKeyParams params = SystemKeyParams();
        ASSERT_EQ(Check([&] {
                      return CryptSetProvParam(p.h, PP_TCG_KEYPARAM, reinterpret_cast<const BYTE*>(&params),
                                               1);
                  }),
                  0u);
        ASSERT_EQ(Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(kPassword), 0); }), 0u);
        KeyH k, k2;
        ASSERT_EQ(Check([&] { return CryptGenKey(p.h, AT_KEYEXCHANGE, 0x08000003, &k.h); }), 0u);
        EXPECT_NE(k.h, 0u);
        // A second exchange key would orphan every blob wrapped under the first.
        EXPECT_EQ(Check([&] { return CryptGenKey(p.h, AT_KEYEXCHANGE, 0x08000003, &k2.h); }),
                  Code(NTE_EXISTS));
    }

    Prov reopened;
    ASSERT_EQ(Acquire(reopened, kUser, kOpen), 0u);
    KeyH exchange;
    EXPECT_EQ(Check([&] { return CryptGetUserKey(reopened.h, AT_KEYEXCHANGE, &exchange.h); }), 0u);
    KeyH signature;
    EXPECT_EQ(Check([&] { return CryptGetUserKey(reopened.h, AT_SIGNATURE, &signature.h); }),
              Code(NTE_NO_KEY));

    Prov gone;
    EXPECT_EQ(Acquire(gone, kUser, kDelete), 0u);
    EXPECT_EQ(gone.h, 0u);
    EXPECT_EQ(Acquire(gone, kUser, kOpen), Code(NTE_BAD_KEYSET));
    ASSERT_EQ(Acquire(gone, kUser, kCreate), 0u);
    EXPECT_EQ(Check([&] { return CryptGetUserKey(gone.h, AT_KEYEXCHANGE, &none.h); }), Code(NTE_NO_KEY));
}

TEST_P(KspContract, SimpleBlobLayoutAndSizeQueries) {
    MakeKey(kUser, kPassword);
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    KeyH exchange, blob;
    ASSERT_EQ(Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h); }), 0u);
    ASSERT_EQ(Check([&] { return CryptGenKey(p.h, CALG_AES_256, CRYPT_EXPORTABLE, &blob.h); }), 0u);

    DWORD len = 0;
    EXPECT_EQ(
        Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, nullptr, &len); }), 0u);
    EXPECT_EQ(len, kSimpleBlobSize);
    Bytes small(267, 0xbd);
    len = 267;
    EXPECT_EQ(
        Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, small.data(), &len); }),
        static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(len, kSimpleBlobSize);
    EXPECT_EQ(small, Bytes(267, 0xbd));

    Bytes a(512, 0xbd), b(512, 0xbd);
    DWORD la = 512, lb = 512;
    ASSERT_EQ(
        Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, a.data(), &la); }), 0u);
    ASSERT_EQ(
        Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, b.data(), &lb); }), 0u);
    ASSERT_EQ(la, kSimpleBlobSize);
    const Bytes header = {0x01, 0x02, 0x00, 0x00, 0x10, 0x66, 0x00, 0x00, 0x00, 0xa4, 0x00, 0x00};
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 12), header);
    EXPECT_EQ(Bytes(a.begin() + la, a.end()), Bytes(512 - la, 0xbd)) << "wrote past the blob";
    EXPECT_NE(Bytes(a.begin() + 12, a.begin() + la), Bytes(b.begin() + 12, b.begin() + lb))
        << "OAEP is randomised";

    // Both wrappings carry the same key.
    Bytes buf(kSecret);
    buf.resize(kSecret.size() + kOverhead);
    DWORD n = static_cast<DWORD>(kSecret.size());
    ASSERT_EQ(Check([&] {
                  return CryptEncrypt(blob.h, 0, TRUE, 0, buf.data(), &n, static_cast<DWORD>(buf.size()));
              }),
              0u);
    for (const Bytes* w : {&a, &b}) {
        Sealed s{Bytes(w->begin(), w->begin() + kSimpleBlobSize), Bytes(buf.begin(), buf.begin() + n)};
        Bytes plain;
        EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
        EXPECT_EQ(plain, kSecret);
    }

    // Wrong blob type, missing OAEP, no exchange key, a non-exportable blob key.
    len = 512;
    EXPECT_EQ(
        Check([&] { return CryptExportKey(blob.h, exchange.h, PUBLICKEYBLOB, CRYPT_OAEP, a.data(), &len); }),
        Code(NTE_BAD_TYPE));
    EXPECT_EQ(Check([&] { return CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, 0, a.data(), &len); }),
              Code(NTE_BAD_FLAGS));
    EXPECT_EQ(Check([&] { return CryptExportKey(blob.h, 0, SIMPLEBLOB, CRYPT_OAEP, a.data(), &len); }),
              Code(NTE_BAD_KEY));
    KeyH fixedKey;
    ASSERT_EQ(Check([&] { return CryptGenKey(p.h, CALG_AES_256, 0, &fixedKey.h); }), 0u);
    EXPECT_EQ(
        Check([&] { return CryptExportKey(fixedKey.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, a.data(), &len); }),
        Code(NTE_BAD_KEY_STATE));
}

TEST_P(KspContract, BlobKeyRoundTripsForEveryLength) {
    MakeKey(kUser, kPassword);
    for (size_t size : {0, 1, 15, 16, 17, 500, 4096}) {
        SCOPED_TRACE(size);
        Bytes secret(size);
        for (size_t i = 0; i < size; ++i)
            secret[i] = static_cast<BYTE>(i * 7 + 3);

        Prov p;
        ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
        KeyH blob;
        ASSERT_EQ(Check([&] { return CryptGenKey(p.h, CALG_AES_256, CRYPT_EXPORTABLE, &blob.h); }), 0u);
        DWORD len = static_cast<DWORD>(size);
        EXPECT_EQ(Check([&] { return CryptEncrypt(blob.h, 0, TRUE, 0, nullptr, &len, 0); }), 0u);
        EXPECT_EQ(len, size + kOverhead);
        // One byte short: the needed length comes back, the buffer stays as it was.
        Bytes buf(secret);
        buf.resize(size + kOverhead - 1, 0xbd);
        const Bytes before = buf;
        len = static_cast<DWORD>(size);
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
        Bytes plain;
        EXPECT_EQ(Open(kUser, kPassword, one, plain), 0u);
        EXPECT_EQ(plain, secret);
        EXPECT_EQ(Open(kUser, kPassword, two, plain), 0u);
        EXPECT_EQ(plain, secret);
    }
}

TEST_P(KspContract, WrongPasswordFailsTheImport) {
    MakeKey(kUser, kPassword);
    const Sealed s = Seal(kUser, kSecret);
    const std::string wrong[] = {"", "correct hors", "correct horse ", "Correct horse", "x"};
    for (const std::string& pw : wrong) {
        SCOPED_TRACE(pw);
        Bytes plain;
        EXPECT_EQ(Open(kUser, pw, s, plain), Code(TPM_E_AUTHFAIL));
        EXPECT_TRUE(plain.empty());
    }
    Bytes plain;
    EXPECT_EQ(Open(kUser, nullptr, s, plain), Code(TPM_E_AUTHFAIL)) << "no password set";
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
    EXPECT_EQ(plain, kSecret);

    // Non-ASCII passwords are bytes like any other.
    const std::u16string other = u"0a1b2c3d-0000-4000-8000-000000000001";
    const std::string utf8 = "p\xc3\xa4sswo\xcc\x88rd";
    MakeKey(other, utf8);
    const Sealed t = Seal(other, kSecret);
    EXPECT_EQ(Open(other, utf8, t, plain), 0u);
    EXPECT_EQ(Open(other, "p\xc3\xa4ssw\xc3\xb6rd", t, plain), Code(TPM_E_AUTHFAIL));
}

TEST_P(KspContract, TamperedCiphertextIsRefusedAndLeftAsItWas) {
    MakeKey(kUser, kPassword);
    const Sealed s = Seal(kUser, kSecret);
    ASSERT_EQ(s.cipher.size(), kSecret.size() + kOverhead);

    struct Case {
        const char* what;
        Bytes cipher;
    };
    std::vector<Case> cases;
    for (size_t at : {size_t(0), size_t(11), size_t(12), s.cipher.size() - 17, s.cipher.size() - 16,
                      s.cipher.size() - 1}) {
        Bytes c = s.cipher;
        c[at] ^= 0x01;
        cases.push_back({"flipped byte", c});
    }
    cases.push_back({"one byte short", Bytes(s.cipher.begin(), s.cipher.end() - 1)});
    cases.push_back({"one byte long", [&] {
                         Bytes c = s.cipher;
                         c.push_back(0);
                         return c;
                     }()});
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes buf = c.cipher;
        buf.push_back(0xbd);
        DWORD len = static_cast<DWORD>(c.cipher.size());
        EXPECT_EQ(Check([&] { return CryptDecrypt(blob.h, 0, TRUE, 0, buf.data(), &len); }),
                  Code(NTE_BAD_DATA));
        EXPECT_EQ(len, c.cipher.size());
        EXPECT_EQ(Bytes(buf.begin(), buf.end() - 1), c.cipher) << "no partial plaintext";
    }
    Bytes buf = s.cipher;
    DWORD len = static_cast<DWORD>(buf.size());
    EXPECT_EQ(Check([&] { return CryptDecrypt(blob.h, 0, FALSE, 0, buf.data(), &len); }),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(Check([&] { return CryptDecrypt(blob.h, 0, TRUE, 0, buf.data(), &len); }), 0u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + len), kSecret);
}

TEST_P(KspContract, DamagedSimpleBlobIsRefused) {
    MakeKey(kUser, kPassword);
    const Sealed s = Seal(kUser, kSecret);
    struct Case {
        const char* what;
        size_t at;
        BYTE value;
        DWORD length;
        DWORD flags;
        DWORD expected;
    };
    const Case cases[] = {
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
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    ASSERT_EQ(Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(kPassword), 0); }), 0u);
    KeyH exchange;
    ASSERT_EQ(Check([&] { return CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h); }), 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes w = s.wrapped;
        w[c.at] = c.at == 100 ? static_cast<BYTE>(w[c.at] ^ c.value) : c.value;
        KeyH blob;
        EXPECT_EQ(
            Check([&] { return CryptImportKey(p.h, w.data(), c.length, exchange.h, c.flags, &blob.h); }),
            c.expected);
        EXPECT_EQ(blob.h, 0u);
    }
}

TEST_P(KspContract, ExistingContainerIsLeftAlone) {
    MakeKey(kUser, kPassword);
    const Sealed s = Seal(kUser, kSecret);

    // CUtil::GenerateKey for a user whose container exists: the open succeeds and nothing else happens.
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    Prov again;
    EXPECT_EQ(Acquire(again, kUser, kCreate), Code(NTE_EXISTS));
    ASSERT_EQ(
        Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(std::string("another")), 0); }),
        0u);
    KeyH k;
    EXPECT_EQ(Check([&] { return CryptGenKey(p.h, AT_KEYEXCHANGE, 0x08000003, &k.h); }), Code(NTE_EXISTS));

    Bytes plain;
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
    EXPECT_EQ(plain, kSecret);
    EXPECT_EQ(Open(kUser, std::string("another"), s, plain), Code(TPM_E_AUTHFAIL));
}

TEST_P(KspContract, ContainerNamesMustBePlainFileNames) {
    const std::u16string bad[] = {
        u"",        u"a\\b",    u"a/b",   u"..",     u".",         u"C:x",
        u"x*y",     u"q?",      u"a|b",   u"<a>",    u"\"q\"",     u"dot.",
        u".hidden", u".~pal-0", u" lead", u"trail ", u"tab\there", std::u16string(161, u'a')};
    const auto before = FilesBelow(root_->path());
    for (const auto& name : bad) {
        SCOPED_TRACE(vktest::Narrow(name));
        Prov p;
        for (DWORD flags : {kOpen, kCreate, kDelete})
            EXPECT_EQ(Acquire(p, name, flags), Code(NTE_BAD_KEYSET_PARAM));
        BYTE* blob = reinterpret_cast<BYTE*>(0x1);
        DWORD cb = 7;
        EXPECT_EQ(static_cast<DWORD>(exportContainer_(name.c_str(), u"pw", &blob, &cb)),
                  Code(NTE_BAD_KEYSET_PARAM));
        EXPECT_EQ(blob, nullptr);
        EXPECT_EQ(cb, 0u);
    }
    EXPECT_EQ(FilesBelow(root_->path()), before) << "a refused name touched the store";

    // Not user mode: only the machine key set exists.
    Prov p;
    EXPECT_EQ(Acquire(p, kUser, CRYPT_NEWKEYSET), Code(NTE_BAD_FLAGS));
    const std::u16string longest(160, u'k');
    EXPECT_EQ(Acquire(p, longest, kCreate), 0u);
}

TEST_P(KspContract, HostileContainerFilesFailCleanly) {
    const auto before = FilesBelow(root_->path());
    MakeKey(kUser, kPassword);
    std::vector<std::string> added;
    for (const auto& f : FilesBelow(root_->path()))
        if (!before.count(f)) added.push_back(f);
    if (added.size() != 1) GTEST_SKIP() << "backend " << GetParam() << " keeps no single file per container";
    const std::string file = added[0];
    const Bytes good = vktest::ReadFileBytes(file);
    ASSERT_GT(good.size(), 100u);
    const Sealed s = Seal(kUser, kSecret);

    // Each damaged file must be refused at open (NTE_KEYSET_ENTRY_BAD) or at the latest when the key is used.
    auto expectRefused = [&](const std::u16string& name, const char* what) {
        SCOPED_TRACE(what);
        Bytes plain;
        const DWORD err = Open(name, kPassword, s, plain);
        EXPECT_NE(err, 0u);
        // The software store checks every file whole when it is opened.
        if (GetParam() == "software") {
            EXPECT_EQ(err, Code(NTE_KEYSET_ENTRY_BAD));
        }
        if (err == Code(NTE_KEYSET_ENTRY_BAD)) return;
        EXPECT_TRUE(plain.empty());
    };

    std::vector<std::pair<std::string, Bytes>> damaged;
    for (size_t len :
         {size_t(0), size_t(1), size_t(40), size_t(80), good.size() / 2, good.size() - 32, good.size() - 1})
        damaged.push_back({"truncated to " + std::to_string(len), Bytes(good.begin(), good.begin() + len)});
    damaged.push_back({"one byte appended", [&] {
                           Bytes b = good;
                           b.push_back(0);
                           return b;
                       }()});
    for (size_t at = 0; at < good.size(); at += (at < 96 ? 1 : 13)) {
        Bytes b = good;
        b[at] ^= 0x80;
        damaged.push_back({"byte " + std::to_string(at) + " flipped", b});
    }
    for (const auto& [what, bytes] : damaged) {
        vktest::WriteFileBytes(file, bytes);
        expectRefused(kUser, what.c_str());
    }

    // The intact file still works, so the cases above damaged the real thing.
    vktest::WriteFileBytes(file, good);
    Bytes plain;
    ASSERT_EQ(Open(kUser, kPassword, s, plain), 0u);

    // A container file copied under another name, or over another container.
    const std::u16string copy = u"0a1b2c3d-0000-4000-8000-0000000000c0";
    const std::string copyFile = std::filesystem::path(file).replace_filename(vktest::Narrow(copy)).string();
    vktest::WriteFileBytes(copyFile, good);
    expectRefused(copy, "copied under another name");
    const std::u16string victim = u"0a1b2c3d-0000-4000-8000-0000000000c1";
    MakeKey(victim, kPassword);
    const std::string victimFile =
        std::filesystem::path(file).replace_filename(vktest::Narrow(victim)).string();
    ASSERT_TRUE(vktest::FileExists(victimFile));
    vktest::WriteFileBytes(victimFile, good);
    expectRefused(victim, "copied over another container");

    // A damaged container can still be deleted and made again.
    vktest::WriteFileBytes(file, Bytes(good.begin(), good.begin() + 10));
    Prov p;
    EXPECT_EQ(Acquire(p, kUser, kCreate), Code(NTE_EXISTS));
    EXPECT_EQ(Acquire(p, kUser, kDelete), 0u);
    MakeKey(kUser, kPassword);
    const Sealed t = Seal(kUser, kSecret);
    EXPECT_EQ(Open(kUser, kPassword, t, plain), 0u);
}

TEST_P(KspContract, VerifyContextGivesRandomAndOwnershipOnly) {
    Prov v;
    ASSERT_TRUE(
        CryptAcquireContextW(&v.h, nullptr, TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Bytes r1(64, 0xbd), r2(64, 0xbd);
    EXPECT_EQ(Check([&] { return CryptGenRandom(v.h, 63, r1.data()); }), 0u);
    EXPECT_EQ(r1[63], 0xbd) << "wrote past the length";
    EXPECT_EQ(Check([&] { return CryptGenRandom(v.h, 64, r2.data()); }), 0u);
    EXPECT_NE(Bytes(r1.begin(), r1.begin() + 63), Bytes(r2.begin(), r2.begin() + 63));

    DWORD owned = kSentinel, len = 0;
    EXPECT_EQ(Check([&] { return CryptGetProvParam(v.h, PP_TPM_OWNED, nullptr, &len, 0); }), 0u);
    EXPECT_EQ(len, 4u);
    len = 3;
    EXPECT_EQ(
        Check([&] { return CryptGetProvParam(v.h, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&owned), &len, 0); }),
        static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(owned, kSentinel);
    EXPECT_EQ(Check([&] { return CryptGetProvParam(v.h, 0x1002, reinterpret_cast<BYTE*>(&owned), &len, 0); }),
              Code(NTE_BAD_TYPE));

    // Nothing that needs a container.
    const std::string pw = "pw";
    KeyH k;
    EXPECT_EQ(Check([&] { return CryptSetProvParam(v.h, PP_KEYEXCHANGE_PSWD, Pw(pw), 0); }), Code(NTE_PERM));
    EXPECT_EQ(Check([&] { return CryptGenKey(v.h, CALG_AES_256, CRYPT_EXPORTABLE, &k.h); }), Code(NTE_PERM));
    EXPECT_EQ(Check([&] { return CryptGetUserKey(v.h, AT_KEYEXCHANGE, &k.h); }), Code(NTE_PERM));
    Prov named;
    EXPECT_EQ(Acquire(named, kUser, CRYPT_VERIFYCONTEXT), Code(NTE_BAD_FLAGS));

    len = 4;
    ASSERT_EQ(
        Check([&] { return CryptGetProvParam(v.h, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&owned), &len, 0); }),
        0u);
    if (GetParam() != "software") return; // the setting below is the software backend's
    EXPECT_EQ(owned, 1u) << "owned unless an administrator says otherwise";

    struct Setting {
        DWORD type;
        Bytes value;
        DWORD expected;
    };
    const Setting settings[] = {
        {REG_DWORD, {0, 0, 0, 0}, 0},
        {REG_DWORD, {1, 0, 0, 0}, 1},
        {REG_DWORD, {7, 0, 0, 0}, 1},
        {REG_SZ, {'0', 0, 0, 0}, 1},
    };
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              u"SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const Setting& s : settings) {
        ASSERT_EQ(RegSetValueExW(key, u"SoftwareTpmOwned", 0, s.type, s.value.data(),
                                 static_cast<DWORD>(s.value.size())),
                  ERROR_SUCCESS);
        owned = kSentinel;
        len = 4;
        EXPECT_EQ(Check([&] {
                      return CryptGetProvParam(v.h, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&owned), &len, 0);
                  }),
                  0u);
        EXPECT_EQ(owned, s.expected) << "type " << s.type << " value " << int(s.value[0]);
    }
    RegCloseKey(key);
}

TEST_P(KspContract, ParametersAndFlagsAreChecked) {
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kCreate), 0u);
    struct ParamCase {
        const char* what;
        void (*change)(TcgKeyParams&);
        DWORD flags;
        DWORD expected;
    };
    const ParamCase params[] = {
        {"as the system sends it", [](TcgKeyParams&) {}, 1, 0},
        {"flags 0", [](TcgKeyParams&) {}, 0, 0},
        {"flags 2", [](TcgKeyParams&) {}, 2, Code(NTE_BAD_FLAGS)},
        {"record version 2", [](TcgKeyParams& t) { t.dwField0 = 2; }, 1, Code(NTE_BAD_DATA)},
        {"encryption scheme 2", [](TcgKeyParams& t) { t.dwField24 = 2; }, 1, Code(NTE_BAD_ALGID)},
        {"signature scheme 2", [](TcgKeyParams& t) { t.dwField28 = 2; }, 1, Code(NTE_BAD_ALGID)},
        {"no password use", [](TcgKeyParams& t) { t.dwField36 = 0; }, 1, Code(NTE_BAD_DATA)},
    };
    for (const ParamCase& c : params) {
        SCOPED_TRACE(c.what);
        TcgKeyParams t = SystemKeyParams();
        c.change(t);
        EXPECT_EQ(Check([&] {
                      return CryptSetProvParam(p.h, PP_TCG_KEYPARAM, reinterpret_cast<const BYTE*>(&t),
                                               c.flags);
                  }),
                  c.expected);
    }
    const std::string pw = "pw";
    EXPECT_EQ(Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(pw), 1); }),
              Code(NTE_BAD_FLAGS));
    EXPECT_EQ(Check([&] { return CryptSetProvParam(p.h, 0x105, Pw(pw), 0); }), Code(NTE_BAD_TYPE));
    const std::string tooLong(5000, 'p');
    EXPECT_EQ(Check([&] { return CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(tooLong), 0); }),
              Code(NTE_BAD_LEN));

    struct GenCase {
        ALG_ID alg;
        DWORD flags;
        DWORD expected;
    };
    const GenCase gens[] = {
        {AT_KEYEXCHANGE, 0x04000003, Code(NTE_BAD_FLAGS)}, // 1024 bits
        {AT_KEYEXCHANGE, 0x08000103, Code(NTE_BAD_FLAGS)},
        {AT_SIGNATURE, 0x08000003, Code(NTE_BAD_ALGID)},
        {kCalgAes128, CRYPT_EXPORTABLE, Code(NTE_BAD_ALGID)},
        {CALG_AES_256, 0x00800001, Code(NTE_BAD_FLAGS)}, // 128 bits
        {CALG_AES_256, 0x01000001, 0},                   // 256 bits, said out loud
        {CALG_AES_256, CRYPT_USER_PROTECTED, Code(NTE_BAD_FLAGS)},
    };
    for (const GenCase& g : gens) {
        SCOPED_TRACE(g.alg);
        SCOPED_TRACE(g.flags);
        KeyH k;
        EXPECT_EQ(Check([&] { return CryptGenKey(p.h, g.alg, g.flags, &k.h); }), g.expected);
    }
    // A user-protected key needs a password to protect it.
    KeyH k;
    EXPECT_EQ(Check([&] { return CryptGenKey(p.h, AT_KEYEXCHANGE, 0x08000003, &k.h); }),
              Code(NTE_BAD_KEY_STATE));
}

TEST_P(KspContract, EscrowMovesAContainerToAnotherRoot) {
    MakeKey(kUser, kPassword);
    const Sealed s = Seal(kUser, kSecret);

    BYTE* blob = nullptr;
    DWORD cb = 0;
    EXPECT_EQ(
        static_cast<DWORD>(exportContainer_(u"0a1b2c3d-0000-4000-8000-00000000dead", u"backup", &blob, &cb)),
        Code(NTE_BAD_KEYSET));
    ASSERT_EQ(exportContainer_(kUser.c_str(), u"backup", &blob, &cb), 0);
    ASSERT_NE(blob, nullptr);
    const Bytes escrow(blob, blob + cb);
    free(blob);
    // Neither password may be readable in the blob.
    const std::string text(escrow.begin(), escrow.end());
    EXPECT_EQ(text.find(kPassword), std::string::npos);
    EXPECT_EQ(text.find("backup"), std::string::npos);

    // An empty container has nothing to escrow; a key made non-exportable stays put.
    const std::u16string empty = u"0a1b2c3d-0000-4000-8000-0000000000e0";
    {
        Prov p;
        ASSERT_EQ(Acquire(p, empty, kCreate), 0u);
    }
    EXPECT_EQ(static_cast<DWORD>(exportContainer_(empty.c_str(), u"backup", &blob, &cb)), Code(NTE_NO_KEY));
    const std::u16string pinned = u"0a1b2c3d-0000-4000-8000-0000000000e1";
    MakeKey(pinned, kPassword, 0x08000002);
    EXPECT_EQ(static_cast<DWORD>(exportContainer_(pinned.c_str(), u"backup", &blob, &cb)),
              Code(NTE_BAD_KEY_STATE));

    vktest::FreshRoot other;
    Register();
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET));

    WCHAR name[64];
    struct Bad {
        const char* what;
        Bytes blob;
        const char16_t* password;
        DWORD expected;
    };
    std::vector<Bad> bad = {
        {"wrong backup password", escrow, u"Backup", Code(TPM_E_AUTHFAIL)},
        {"empty backup password", escrow, u"", Code(TPM_E_AUTHFAIL)},
        {"truncated", Bytes(escrow.begin(), escrow.end() - 1), u"backup", Code(NTE_BAD_DATA)},
        {"header only", Bytes(escrow.begin(), escrow.begin() + 40), u"backup", Code(NTE_BAD_DATA)},
        {"empty", Bytes(), u"backup", Code(NTE_BAD_DATA)},
    };
    for (size_t at : {size_t(0), size_t(8), size_t(80), escrow.size() / 2, escrow.size() - 1}) {
        Bytes b = escrow;
        b[at] ^= 0x04;
        bad.push_back({"flipped byte", b, u"backup", Code(NTE_BAD_DATA)});
    }
    for (const Bad& c : bad) {
        SCOPED_TRACE(c.what);
        const BYTE* data = c.blob.empty() ? escrow.data() : c.blob.data(); // a real pointer with no bytes
        EXPECT_EQ(static_cast<DWORD>(
                      importContainer_(data, static_cast<DWORD>(c.blob.size()), c.password, name, 64)),
                  c.expected);
        EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET)) << "a refused import wrote the container";
    }
    EXPECT_EQ(static_cast<DWORD>(
                  importContainer_(escrow.data(), static_cast<DWORD>(escrow.size()), u"backup", name, 36)),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET));

    ASSERT_EQ(importContainer_(escrow.data(), static_cast<DWORD>(escrow.size()), u"backup", name, 64), 0);
    EXPECT_EQ(std::u16string(name), kUser);
    Bytes plain;
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
    EXPECT_EQ(plain, kSecret);
    EXPECT_EQ(Open(kUser, std::string("backup"), s, plain), Code(TPM_E_AUTHFAIL))
        << "the key password still guards it";
    // Importing again replaces the container with the same one; no name buffer is fine.
    EXPECT_EQ(importContainer_(escrow.data(), static_cast<DWORD>(escrow.size()), u"backup", nullptr, 0), 0);
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
}

TEST_P(KspContract, FailuresAreLoggedAndSecretsAreNot) {
    const std::string wrong = "wr0ng-Pa55";
    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    MakeKey(kUser, kPassword);
    const Sealed s = Seal(kUser, kSecret);
    Bytes plain;
    EXPECT_EQ(Open(kUser, wrong, s, plain), Code(TPM_E_AUTHFAIL));
    Prov p;
    EXPECT_EQ(Acquire(p, u"a\\b", kOpen), Code(NTE_BAD_KEYSET_PARAM));
    EXPECT_EQ(Acquire(p, u"0a1b2c3d-0000-4000-8000-00000000dead", kOpen), Code(NTE_BAD_KEYSET));
    BYTE* blob = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(exportContainer_(kUser.c_str(), u"backup-Secret", &blob, &cb), 0);
    EXPECT_EQ(importContainer_(blob, cb, u"not-the-backup", nullptr, 0), static_cast<LONG>(TPM_E_AUTHFAIL));
    free(blob);
    const auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);

    auto count = [&](const std::string& function, const std::string& text) {
        int n = 0;
        for (const auto& l : lines)
            if (l.level == diaglog::Level::Error && l.function == function &&
                l.text.find(text) != std::string::npos)
                ++n;
        return n;
    };
    EXPECT_EQ(count("TpmKsp::ImportKey", "failed 0x80280001"), 1);
    EXPECT_EQ(count("TpmKsp::AcquireContext", "failed 0x8009001f"), 1);
    EXPECT_EQ(count("TpmKsp::ImportContainer", "failed 0x80280001"), 1);
    EXPECT_EQ(count("TpmKsp::AcquireContext", "0x80090016"), 0)
        << "an absent container is an answer, not an error";
    for (const auto& l : lines) {
        if (l.level == diaglog::Level::Error) {
            EXPECT_GT(l.line, 0) << l.function;
        }
        for (const std::string& secret :
             {kPassword, wrong, std::string("backup-Secret"), std::string("not-the-backup")})
            EXPECT_EQ(l.text.find(secret), std::string::npos) << l.function << ": " << l.text;
    }
}

TEST_P(KspContract, ThreadsWorkOnTheirOwnContainers) {
    constexpr int kThreads = 3;
    std::vector<std::thread> threads;
    std::vector<DWORD> results(kThreads, kSentinel);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::u16string name = u"thread-" + std::u16string(1, static_cast<char16_t>(u'0' + i));
            const std::string pw = "pw" + std::to_string(i);
            MakeKey(name, pw);
            const Sealed s = Seal(name, kSecret);
            Bytes plain;
            results[i] = Open(name, pw, s, plain);
            if (results[i] == 0 && plain != kSecret) results[i] = 1;
        });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(results[i], 0u) << "thread " << i;
}

/* The software backend's files, read back with OpenSSL alone by their documented layout. */
class KspSoftwareStore : public KspContract {};

uint32_t Le32At(const Bytes& b, size_t off) {
    return vktest::Le32(b, off);
}

Bytes Slice(const Bytes& b, size_t off, size_t n) {
    EXPECT_LE(off + n, b.size());
    return Bytes(b.begin() + off, b.begin() + off + n);
}

Bytes Sha256Of(const Bytes& b, size_t n) {
    Bytes d(32);
    unsigned int len = 0;
    EVP_Digest(b.data(), n, d.data(), &len, EVP_sha256(), nullptr);
    return d;
}

Bytes GcmOpenRef(const Bytes& key, const Bytes& nonce, const Bytes& aad, const Bytes& sealed) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(sealed.size() - 16);
    int len = 0;
    bool ok =
        EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) == 1 &&
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, key.data(), nonce.data()) == 1 &&
        (aad.empty() ||
         EVP_DecryptUpdate(ctx, nullptr, &len, aad.data(), static_cast<int>(aad.size())) == 1) &&
        (out.empty() ||
         EVP_DecryptUpdate(ctx, out.data(), &len, sealed.data(), static_cast<int>(out.size())) == 1) &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<BYTE*>(sealed.data() + out.size())) ==
            1 &&
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

Bytes Utf16Le(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<BYTE>(c & 0xff));
        b.push_back(static_cast<BYTE>(c >> 8));
    }
    return b;
}

TEST_P(KspSoftwareStore, FilesFollowTheDocumentedLayout) {
    const std::string folder =
        root_->host("ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/MachineKeys/");
    const Bytes secret = {'p', 'a', 'y', 'l', 'o', 'a', 'd'};
    MakeKey(kUser, kPassword);
    const Sealed s = Seal(kUser, secret);
    const Bytes file = vktest::ReadFileBytes(folder + vktest::Narrow(kUser));
    ASSERT_GT(file.size(), 112u);

    const Bytes name = Utf16Le(kUser);
    EXPECT_EQ(Slice(file, 0, 4), (Bytes{'T', 'K', 'S', 'C'}));
    EXPECT_EQ(Le32At(file, 4), 1u);
    EXPECT_EQ(Le32At(file, 8), 3u) << "keyed, exportable";
    const uint32_t n = Le32At(file, 12), p = Le32At(file, 16), sealedLen = Le32At(file, 20);
    EXPECT_EQ(n, name.size());
    EXPECT_EQ((std::vector<uint32_t>{Le32At(file, 24), Le32At(file, 28), Le32At(file, 32)}),
              (std::vector<uint32_t>{14, 8, 1}));
    ASSERT_EQ(file.size(), 80u + n + p + sealedLen + 32);
    EXPECT_EQ(Slice(file, 80, n), name);
    EXPECT_EQ(Slice(file, file.size() - 32, 32), Sha256Of(file, file.size() - 32));

    // Unseal the private key by hand: scrypt(password, salt), AES-256-GCM, everything before as associated
    // data.
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
    EXPECT_EQ(GcmOpenRef(aes, Slice(s.cipher, 0, 12), {}, Slice(s.cipher, 12, s.cipher.size() - 12)), secret);

    // An empty container: header, name, trailer. A key made without CRYPT_EXPORTABLE says so.
    const std::u16string empty = u"0a1b2c3d-0000-4000-8000-0000000000e0";
    {
        Prov pv;
        ASSERT_EQ(Acquire(pv, empty, kCreate), 0u);
    }
    const Bytes emptyFile = vktest::ReadFileBytes(folder + vktest::Narrow(empty));
    ASSERT_EQ(emptyFile.size(), 80u + 72 + 32);
    EXPECT_EQ(Le32At(emptyFile, 8), 0u);
    const std::u16string pinned = u"0a1b2c3d-0000-4000-8000-0000000000e1";
    MakeKey(pinned, kPassword, 0x08000002);
    EXPECT_EQ(Le32At(vktest::ReadFileBytes(folder + vktest::Narrow(pinned)), 8), 1u);

    // The escrow blob: the container file itself, sealed under the backup password.
    BYTE* blob = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(exportContainer_(kUser.c_str(), u"backup", &blob, &cb), 0);
    const Bytes escrow(blob, blob + cb);
    free(blob);
    EXPECT_EQ(Slice(escrow, 0, 4), (Bytes{'T', 'K', 'S', 'E'}));
    EXPECT_EQ(Le32At(escrow, 4), 1u);
    const uint32_t en = Le32At(escrow, 8), eb = Le32At(escrow, 12), es = Le32At(escrow, 16);
    ASSERT_EQ(escrow.size(), 76u + en + eb + es + 32);
    EXPECT_EQ(Slice(escrow, 76, en), name);
    EXPECT_EQ(Slice(escrow, 76 + en, eb), (Bytes{'s', 'o', 'f', 't', 'w', 'a', 'r', 'e'}));
    EXPECT_EQ(Slice(escrow, escrow.size() - 32, 32), Sha256Of(escrow, escrow.size() - 32));
    EXPECT_EQ(GcmOpenRef(ScryptRef("backup", Slice(escrow, 32, 32)), Slice(escrow, 64, 12),
                         Slice(escrow, 0, 76 + en + eb), Slice(escrow, 76 + en + eb, es)),
              file);
}

INSTANTIATE_TEST_SUITE_P(Software, KspSoftwareStore, ::testing::Values(std::string("software")),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

INSTANTIATE_TEST_SUITE_P(Backends, KspContract, ::testing::ValuesIn(BackendNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

} // namespace
