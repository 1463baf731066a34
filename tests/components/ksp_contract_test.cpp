/* The key storage provider's contract, run once per backend compiled into the module, driven through
 * CryptoAPI as the system drives it. A backend that cannot run on this machine shows as skipped. */
#include "VkSwtpm.h"
#include "VkTest.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
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
#endif

namespace {

using vktest::Bytes;
using namespace vktest::ksp;

constexpr DWORD kSimpleBlobSize = 268;
constexpr DWORD kOverhead = 28; // nonce + tag

/* The backend table as the module reports it; the suite is instantiated over it. */
std::vector<std::string> BackendNames() {
    std::vector<std::string> names;
    if (HMODULE m = LoadLibraryW(vktest::U(ModulePath()).c_str())) {
        using Enum = LONG (*)(DWORD, CHAR*, DWORD);
        char name[64];
        if (auto en =
                reinterpret_cast<Enum>(reinterpret_cast<void*>(GetProcAddress(m, "TpmKspEnumBackends"))))
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
            ASSERT_EQ(vktest::swtpm::DefenceOff(tcti), "");
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
        EXPECT_EQ(KSP_CALL(CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h)), 0u);
        EXPECT_EQ(KSP_CALL(CryptGenKey(p.h, CALG_AES_256, CRYPT_EXPORTABLE, &blob.h)), 0u);
        EXPECT_EQ(KSP_CALL(CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, s.wrapped.data(), &w)),
                  0u);
        EXPECT_EQ(KSP_CALL(CryptEncrypt(blob.h, 0, TRUE, 0, s.cipher.data(), &len,
                                        static_cast<DWORD>(s.cipher.size()))),
                  0u);
        s.wrapped.resize(w);
        s.cipher.resize(len);
        return s;
    }

    static DWORD Open(const WString& name, const std::string& password, const Sealed& s, Bytes& plain) {
        return vktest::ksp::Open(name, &password, s.wrapped, s.cipher, plain);
    }

    vktest::FreshRoot root_;
    vktest::swtpm::ScopedEnv backend_{"VAULTKEEP_KSP_BACKEND", GetParam().c_str()};
    Module module_;
};

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
    EXPECT_EQ(KSP_CALL(CryptGetUserKey(p.h, AT_KEYEXCHANGE, &none.h)), Code(NTE_NO_KEY));
    // A user-protected key needs a password to protect it.
    EXPECT_EQ(KSP_CALL(CryptGenKey(p.h, AT_KEYEXCHANGE, 0x08000003, &none.h)), Code(NTE_BAD_KEY_STATE));
    Prov again;
    EXPECT_EQ(Acquire(again, kUser, kCreate), Code(NTE_EXISTS));
    EXPECT_EQ(Acquire(again, kUser, kDelete), 0u) << "an empty container deletes too";

    // CUtil::GenerateKey for a user whose container exists: the open succeeds and nothing else changes; a
    // second exchange key would orphan every blob wrapped under the first.
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    Prov reopened;
    ASSERT_EQ(Acquire(reopened, kUser, kOpen), 0u);
    EXPECT_EQ(Acquire(again, kUser, kCreate), Code(NTE_EXISTS));
    KeyH signature, second;
    EXPECT_EQ(KSP_CALL(CryptGetUserKey(reopened.h, AT_SIGNATURE, &signature.h)), Code(NTE_NO_KEY));
    ASSERT_EQ(KSP_CALL(CryptSetProvParam(reopened.h, PP_KEYEXCHANGE_PSWD, Pw("another"), 0)), 0u);
    EXPECT_EQ(KSP_CALL(CryptGenKey(reopened.h, AT_KEYEXCHANGE, 0x08000003, &second.h)), Code(NTE_EXISTS));
    Bytes plain;
    EXPECT_EQ(Open(kUser, std::string("another"), s, plain), Code(TPM_E_AUTHFAIL));
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
    EXPECT_EQ(plain, kSecret);
    // The password changes only from the one that opens the key; the key pair stays, so its blobs still open.
    EXPECT_EQ(KSP_CALL(CryptSetProvParam(reopened.h, PP_KEYEXCHANGE_NEW_PSWD, Pw("new pw"), 0)), Code(TPM_E_AUTHFAIL));
    ASSERT_EQ(KSP_CALL(CryptSetProvParam(reopened.h, PP_KEYEXCHANGE_PSWD, Pw(kPassword), 0)), 0u);
    ASSERT_EQ(KSP_CALL(CryptSetProvParam(reopened.h, PP_KEYEXCHANGE_NEW_PSWD, Pw("new pw"), 0)), 0u);
    EXPECT_EQ(Open(kUser, kPassword, s, plain), Code(TPM_E_AUTHFAIL));
    EXPECT_EQ(Open(kUser, std::string("new pw"), s, plain), 0u);
    EXPECT_EQ(plain, kSecret);

    Prov gone;
    EXPECT_EQ(Acquire(gone, kUser, kDelete), 0u);
    EXPECT_EQ(gone.h, 0u);
    EXPECT_EQ(Acquire(gone, kUser, kOpen), Code(NTE_BAD_KEYSET));
    ASSERT_EQ(Acquire(gone, kUser, kCreate), 0u);
    EXPECT_EQ(KSP_CALL(CryptGetUserKey(gone.h, AT_KEYEXCHANGE, &none.h)), Code(NTE_NO_KEY));
}

/* The SIMPLEBLOB the system stores, its size query, and the blob key's round trip for any payload length
 * and only under the key password. */
TEST_P(KspContract, BlobKeysRoundTripUnderTheKeyPasswordOnly) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    KeyH exchange, blob, fixedKey;
    ASSERT_EQ(KSP_CALL(CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h)), 0u);
    ASSERT_EQ(KSP_CALL(CryptGenKey(p.h, CALG_AES_256, CRYPT_EXPORTABLE, &blob.h)), 0u);
    ASSERT_EQ(KSP_CALL(CryptGenKey(p.h, CALG_AES_256, 0, &fixedKey.h)), 0u);
    Bytes a(512, 0xbd);
    for (DWORD room : {DWORD(0), kSimpleBlobSize - 1}) { // a size query, then one byte short
        DWORD len = room;
        EXPECT_EQ(KSP_CALL(CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP,
                                          room ? a.data() : nullptr, &len)),
                  room ? static_cast<DWORD>(ERROR_MORE_DATA) : 0u);
        EXPECT_EQ(len, kSimpleBlobSize);
    }
    EXPECT_EQ(a, Bytes(512, 0xbd));
    DWORD len = 512;
    ASSERT_EQ(KSP_CALL(CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, a.data(), &len)), 0u);
    ASSERT_EQ(len, kSimpleBlobSize);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 12),
              (Bytes{0x01, 0x02, 0x00, 0x00, 0x10, 0x66, 0x00, 0x00, 0x00, 0xa4, 0x00, 0x00}));
    EXPECT_EQ(Bytes(a.begin() + len, a.end()), Bytes(512 - len, 0xbd)) << "wrote past the blob";
    EXPECT_EQ(KSP_CALL(CryptExportKey(blob.h, exchange.h, SIMPLEBLOB, 0, a.data(), &len)),
              Code(NTE_BAD_FLAGS));
    EXPECT_EQ(KSP_CALL(CryptExportKey(fixedKey.h, exchange.h, SIMPLEBLOB, CRYPT_OAEP, a.data(), &len)),
              Code(NTE_BAD_KEY_STATE));

    for (size_t size : {0, 1, 17, 4096}) {
        SCOPED_TRACE(size);
        Bytes secret(size);
        for (size_t i = 0; i < size; ++i)
            secret[i] = static_cast<BYTE>(i * 7 + 3);
        // One byte short: the needed length comes back, the buffer stays as it was.
        Bytes buf(secret);
        buf.resize(size + kOverhead - 1, 0xbd);
        const Bytes before = buf;
        len = static_cast<DWORD>(size);
        EXPECT_EQ(
            KSP_CALL(CryptEncrypt(blob.h, 0, TRUE, 0, buf.data(), &len, static_cast<DWORD>(buf.size()))),
            static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(len, size + kOverhead);
        EXPECT_EQ(buf, before);

        const Sealed one = Seal(kUser, secret), two = Seal(kUser, secret);
        EXPECT_EQ(one.cipher.size(), size + kOverhead);
        EXPECT_NE(one.cipher, two.cipher) << "fresh key and nonce each time";
        for (const Sealed* s : {&one, &two}) {
            Bytes plain;
            EXPECT_EQ(Open(kUser, kPassword, *s, plain), 0u);
            EXPECT_EQ(plain, secret);
        }
    }
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
}

TEST_P(KspContract, DamagedBlobsAndCiphertextsAreRefused) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    std::vector<Bytes> ciphers = {Bytes(s.cipher.begin(), s.cipher.end() - 1), // one byte short
                                  Bytes(s.cipher.begin(), s.cipher.begin() + kOverhead - 1), Bytes()};
    for (size_t at : {size_t(0), size_t(12), s.cipher.size() - 1}) { // nonce, ciphertext, tag
        ciphers.push_back(s.cipher);
        ciphers.back()[at] ^= 0x01;
    }
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    ASSERT_EQ(KSP_CALL(CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(kPassword), 0)), 0u);
    KeyH exchange, blob;
    ASSERT_EQ(KSP_CALL(CryptGetUserKey(p.h, AT_KEYEXCHANGE, &exchange.h)), 0u);
    ASSERT_EQ(
        KSP_CALL(CryptImportKey(p.h, s.wrapped.data(), kSimpleBlobSize, exchange.h, CRYPT_OAEP, &blob.h)),
        0u);
    for (const Bytes& cipher : ciphers) {
        SCOPED_TRACE(&cipher - ciphers.data());
        Bytes buf = cipher;
        buf.push_back(0xbd);
        DWORD len = static_cast<DWORD>(cipher.size());
        EXPECT_EQ(KSP_CALL(CryptDecrypt(blob.h, 0, TRUE, 0, buf.data(), &len)), Code(NTE_BAD_DATA));
        EXPECT_EQ(len, cipher.size());
        EXPECT_EQ(Bytes(buf.begin(), buf.end() - 1), cipher) << "no partial plaintext";
    }
    for (const auto& r : vktest::DataRows("ksp_contract.tsv", "blob")) {
        SCOPED_TRACE(r[0]);
        const size_t at = vktest::Num(r[1]);
        Bytes w = s.wrapped;
        w[at] = static_cast<BYTE>(at == 100 ? w[at] ^ vktest::Num(r[2]) : vktest::Num(r[2]));
        KeyH damaged;
        EXPECT_EQ(KSP_CALL(CryptImportKey(p.h, w.data(), vktest::Num(r[3]), exchange.h, vktest::Num(r[4]),
                                          &damaged.h)),
                  vktest::Num(r[5]));
        EXPECT_EQ(damaged.h, 0u);
    }
    Bytes buf = s.cipher;
    DWORD len = static_cast<DWORD>(buf.size());
    EXPECT_EQ(KSP_CALL(CryptDecrypt(blob.h, 0, FALSE, 0, buf.data(), &len)),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(KSP_CALL(CryptDecrypt(blob.h, 0, TRUE, 0, buf.data(), &len)), 0u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + len), kSecret);
}

TEST_P(KspContract, ContainerNamesMustBePlainFileNames) {
    std::vector<WString> bad = {WString(161, W('a'))};
    for (const char* name :
         {"", "a\\b", "a/b", "..", ".", "C:x", "x*y", "dot.", ".hidden", ".~pal-0", "trail ", "tab\there"})
        bad.push_back(vktest::U(name));
    const auto before = vktest::Snapshot(root_.host("ProgramData"));
    for (const auto& name : bad) {
        SCOPED_TRACE(vktest::Narrow(name));
        Prov p;
        for (DWORD flags : {kOpen, kCreate, kDelete})
            EXPECT_EQ(Acquire(p, name, flags), Code(NTE_BAD_KEYSET_PARAM));
        BYTE* blob = reinterpret_cast<BYTE*>(0x1);
        DWORD cb = 7;
        EXPECT_EQ(static_cast<DWORD>(module_.exportContainer(name.c_str(), W("pw"), &blob, &cb)),
                  Code(NTE_BAD_KEYSET_PARAM));
        EXPECT_EQ(blob, nullptr);
        EXPECT_EQ(cb, 0u);
    }
    EXPECT_EQ(vktest::Snapshot(root_.host("ProgramData")), before) << "a refused name touched the store";

    // Not user mode: only the machine key set exists.
    Prov p;
    EXPECT_EQ(Acquire(p, kUser, CRYPT_NEWKEYSET), Code(NTE_BAD_FLAGS));
    EXPECT_EQ(Acquire(p, WString(160, W('k')), kCreate), 0u);
}

TEST_P(KspContract, HostileContainerFilesFailCleanly) {
    const auto before = vktest::Snapshot(root_.host("ProgramData"));
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    std::vector<std::string> added;
    for (const auto& [f, content] : vktest::Snapshot(root_.host("ProgramData")))
        if (!before.count(f) && std::filesystem::is_regular_file(root_.host("ProgramData/" + f)))
            added.push_back(root_.host("ProgramData/" + f));
    ASSERT_EQ(added.size(), 1u) << "one file per container";
    const std::string file = added[0];
    const Bytes good = vktest::ReadFileBytes(file);
    ASSERT_GT(good.size(), 100u);
    const Sealed s = Seal(kUser, kSecret);

    // Damage is refused at open (NTE_KEYSET_ENTRY_BAD: the software store checks every file whole), a
    // deliberate edit that keeps the SHA-256 trailer right at open or when the key is used.
    auto expectRefused = [&](const WString& name, const std::string& what, bool damage) {
        SCOPED_TRACE(what);
        Bytes plain;
        const DWORD err = Open(name, kPassword, s, plain);
        EXPECT_NE(err, 0u);
        EXPECT_TRUE(!damage || GetParam() != "software" || err == Code(NTE_KEYSET_ENTRY_BAD))
            << std::hex << err;
        EXPECT_TRUE(plain.empty());
    };
    std::vector<std::pair<std::string, Bytes>> damaged;
    for (size_t len : {size_t(0), size_t(40), good.size() / 2, good.size() - 1})
        damaged.push_back({"truncated to " + std::to_string(len), Bytes(good.begin(), good.begin() + len)});
    damaged.push_back({"one byte appended", good});
    damaged.back().second.push_back(0);
    for (size_t at = 0; at < good.size(); at += (at < 96 ? 1 : 13)) {
        damaged.push_back({"byte " + std::to_string(at) + " flipped", good});
        damaged.back().second[at] ^= 0x80;
    }
    for (const auto& [what, bytes] : damaged) {
        vktest::WriteFileBytes(file, bytes);
        expectRefused(kUser, what, true);
    }
#ifndef _WIN32
    for (size_t at = 0; at + 32 < good.size(); at += (at < 96 ? 8 : 193)) {
        Bytes b = good;
        b[at] ^= 0x80;
        EVP_Digest(b.data(), b.size() - 32, b.data() + b.size() - 32, nullptr, EVP_sha256(), nullptr);
        vktest::WriteFileBytes(file, b);
        expectRefused(kUser, "byte " + std::to_string(at) + " edited, trailer right", false);
    }
    if (GetParam() == "software") {
        // A modulus made even still decodes as a 2048-bit key but can wrap nothing: refused when the
        // container is read, before anything is wrapped under it. The exponent 02 03 01 00 01 follows it.
        const Bytes e = {0x02, 0x03, 0x01, 0x00, 0x01};
        Bytes b = good;
        const auto at = std::search(b.begin(), b.end(), e.begin(), e.end());
        ASSERT_NE(at, b.end());
        *(at - 1) &= 0xfe;
        EVP_Digest(b.data(), b.size() - 32, b.data() + b.size() - 32, nullptr, EVP_sha256(), nullptr);
        vktest::WriteFileBytes(file, b);
        Prov p;
        EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_KEYSET_ENTRY_BAD));
    }
#endif
    // The intact file still works, so the cases above damaged the real thing.
    vktest::WriteFileBytes(file, good);
    Bytes plain;
    ASSERT_EQ(Open(kUser, kPassword, s, plain), 0u);

    // A container file copied under another name.
    vktest::WriteFileBytes(std::filesystem::path(file).replace_filename(vktest::Narrow(kOther)).string(),
                           good);
    expectRefused(kOther, "copied under another name", false);

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
    EXPECT_EQ(KSP_CALL(CryptGenRandom(v.h, 63, r.data())), 0u);
    EXPECT_EQ(r[63], 0xbd) << "wrote past the length";
    EXPECT_NE(Bytes(r.begin(), r.begin() + 63), Bytes(63, 0xbd));
    KeyH k;
    EXPECT_EQ(KSP_CALL(CryptGenKey(v.h, CALG_AES_256, CRYPT_EXPORTABLE, &k.h)), Code(NTE_PERM));
    DWORD owned = kSentinel, len = 4;
    EXPECT_EQ(KSP_CALL(CryptGetProvParam(v.h, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&owned), &len, 0)), 0u);
    EXPECT_EQ(owned, 1u);
    Prov named;
    EXPECT_EQ(Acquire(named, kUser, CRYPT_VERIFYCONTEXT), Code(NTE_BAD_FLAGS));
}

TEST_P(KspContract, ParametersAndFlagsAreChecked) {
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kCreate), 0u);
    const TcgKeyParams good = SystemKeyParams();
    TcgKeyParams version2 = good, scheme2 = good;
    version2.dwField0 = 2;
    scheme2.dwField24 = 2;
    const std::string tooLong(5000, 'p');
    const std::map<std::string, const void*> values = {{"good", &good},
                                                       {"version2", &version2},
                                                       {"scheme2", &scheme2},
                                                       {"pw", "pw"},
                                                       {"long", tooLong.c_str()}};
    // Wine's advapi32 reads dwFlags 1 as PP_CLIENT_HWND and answers those calls itself.
#ifdef _WIN32
    const bool wine = GetProcAddress(GetModuleHandleW(W("ntdll.dll")), "wine_get_version") != nullptr;
#else
    const bool wine = false;
#endif
    for (const auto& r : vktest::DataRows("ksp_contract.tsv", "param")) {
        SCOPED_TRACE(r[0]);
        const DWORD flags = vktest::Num(r[3]);
        if (wine && flags == 1) continue;
        EXPECT_EQ(KSP_CALL(CryptSetProvParam(p.h, vktest::Num(r[1]),
                                             static_cast<const BYTE*>(values.at(r[2])), flags)),
                  vktest::Num(r[4]));
    }
    for (const auto& r : vktest::DataRows("ksp_contract.tsv", "gen")) {
        SCOPED_TRACE(r[0]);
        KeyH k;
        EXPECT_EQ(KSP_CALL(CryptGenKey(p.h, vktest::Num(r[1]), vktest::Num(r[2]), &k.h)), vktest::Num(r[3]));
    }
}

TEST_P(KspContract, EscrowMovesAContainerToAnotherRoot) {
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Sealed s = Seal(kUser, kSecret);
    BYTE* blob = nullptr;
    DWORD cb = 0;
    EXPECT_EQ(static_cast<DWORD>(module_.exportContainer(kOther.c_str(), W("backup"), &blob, &cb)),
              Code(NTE_BAD_KEYSET));
    ASSERT_EQ(module_.exportContainer(kUser.c_str(), W("backup"), &blob, &cb), 0);
    ASSERT_NE(blob, nullptr);
    const Bytes escrow(blob, blob + cb);
    free(blob);
    const std::string text(escrow.begin(), escrow.end());
    EXPECT_EQ(text.find(kPassword), std::string::npos);
    EXPECT_EQ(text.find("backup"), std::string::npos);

    // A key made non-exportable stays put.
    ASSERT_EQ(MakeKey(kOther, kPassword, 0x08000002), 0u);
    EXPECT_EQ(static_cast<DWORD>(module_.exportContainer(kOther.c_str(), W("backup"), &blob, &cb)),
              Code(NTE_BAD_KEY_STATE));

    vktest::FreshRoot other;
    module_.Register();
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET));
    WCHAR name[64];
    std::vector<std::tuple<Bytes, const WCHAR*, DWORD>> bad = {
        {escrow, W("Backup"), Code(TPM_E_AUTHFAIL)},
        {Bytes(escrow.begin(), escrow.end() - 1), W("backup"), Code(NTE_BAD_DATA)},
        {Bytes(escrow.begin(), escrow.begin() + 40), W("backup"), Code(NTE_BAD_DATA)},
        {Bytes(), W("backup"), Code(NTE_BAD_DATA)},
    };
    for (size_t at : {size_t(0), size_t(8), escrow.size() / 2, escrow.size() - 1}) {
        bad.push_back({escrow, W("backup"), Code(NTE_BAD_DATA)});
        std::get<0>(bad.back())[at] ^= 0x04;
    }
    for (const auto& [bytes, password, expected] : bad) {
        SCOPED_TRACE(&bytes - &std::get<0>(bad[0]));
        const BYTE* data = bytes.empty() ? escrow.data() : bytes.data(); // a real pointer with no bytes
        EXPECT_EQ(static_cast<DWORD>(
                      module_.importContainer(data, static_cast<DWORD>(bytes.size()), password, name, 64)),
                  expected);
        EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET)) << "a refused import wrote the container";
    }
    EXPECT_EQ(static_cast<DWORD>(module_.importContainer(escrow.data(), static_cast<DWORD>(escrow.size()),
                                                         W("backup"), name, 36)),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // A backup of one container never lands under, or over, another name.
    EXPECT_EQ(static_cast<DWORD>(module_.importContainerAs(escrow.data(), static_cast<DWORD>(escrow.size()),
                                                           W("backup"), W("someone-else"))),
              Code(NTE_BAD_KEYSET_PARAM));
    EXPECT_EQ(Acquire(p, kUser, kOpen), Code(NTE_BAD_KEYSET));
    EXPECT_EQ(Acquire(p, W("someone-else"), kOpen), Code(NTE_BAD_KEYSET));

    ASSERT_EQ(
        module_.importContainer(escrow.data(), static_cast<DWORD>(escrow.size()), W("backup"), name, 64), 0);
    EXPECT_EQ(WString(name), kUser);
    Bytes plain;
    EXPECT_EQ(Open(kUser, std::string("backup"), s, plain), Code(TPM_E_AUTHFAIL))
        << "the key password guards it";
    EXPECT_EQ(Open(kUser, kPassword, s, plain), 0u);
    EXPECT_EQ(plain, kSecret);
}

/* Failures are logged; the passwords are in no log line and, in clear or hashed, in no file of the store. */
TEST_P(KspContract, FailuresAreLoggedAndSecretsAreNot) {
    const std::string wrong = "wr0ng-Pa55", backup = "backup-Secret", notBackup = "not-the-backup";
    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    Bytes plain;
    EXPECT_EQ(Open(kUser, wrong, Seal(kUser, kSecret), plain), Code(TPM_E_AUTHFAIL));
    Prov p;
    EXPECT_EQ(Acquire(p, W("a\\b"), kOpen), Code(NTE_BAD_KEYSET_PARAM));
    EXPECT_EQ(Acquire(p, kOther, kOpen), Code(NTE_BAD_KEYSET));
    BYTE* blob = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(module_.exportContainer(kUser.c_str(), vktest::U(backup).c_str(), &blob, &cb), 0);
    EXPECT_EQ(module_.importContainer(blob, cb, vktest::U(notBackup).c_str(), nullptr, 0),
              LONG(TPM_E_AUTHFAIL));
    free(blob);
    const auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);

    std::vector<std::string> said;
    for (const auto& l : lines) {
        if (l.level == diaglog::Level::Error) said.push_back(l.function + " " + l.text);
        for (const std::string& secret : {kPassword, wrong, backup, notBackup})
            EXPECT_EQ(l.text.find(secret), std::string::npos) << l.function << ": " << l.text;
    }
    auto count = [&](const std::string& line) { return std::count(said.begin(), said.end(), line); };
    EXPECT_EQ(count("TpmKsp::ImportKey failed 0x80280001"), 1);
    EXPECT_EQ(count("TpmKsp::AcquireContext failed 0x8009001f"), 1);
    EXPECT_EQ(count("TpmKsp::ImportContainer failed 0x80280001"), 1);
    EXPECT_EQ(count("TpmKsp::AcquireContext failed 0x80090016"), 0)
        << "an absent container is an answer, not an error";

    std::vector<Bytes> secrets = {Bytes(kPassword.begin(), kPassword.end())};
#ifndef _WIN32
    secrets.push_back(Bytes(32));
    EVP_Digest(kPassword.data(), kPassword.size(), secrets.back().data(), nullptr, EVP_sha256(), nullptr);
#endif
    for (const auto& [f, content] : vktest::Snapshot(root_.path()))
        for (const Bytes& s : secrets)
            EXPECT_EQ(std::search(content.first.begin(), content.first.end(), s.begin(), s.end()),
                      content.first.end())
                << f;
}

TEST_P(KspContract, ThreadsWorkOnTheirOwnContainers) {
    std::vector<std::thread> threads;
    std::vector<DWORD> results(3, kSentinel);
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            const WString name = W("thread-") + WString(1, static_cast<WCHAR>(W('0') + i));
            const std::string pw = "pw" + std::to_string(i);
            ASSERT_EQ(MakeKey(name, pw), 0u);
            Bytes plain;
            results[i] = Open(name, pw, Seal(name, kSecret), plain);
            if (results[i] == 0 && plain != kSecret) results[i] = 1;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(results, std::vector<DWORD>(3, 0u));
}

auto ParamName = [](const ::testing::TestParamInfo<std::string>& info) { return info.param; };
INSTANTIATE_TEST_SUITE_P(Backends, KspContract, ::testing::ValuesIn(BackendNames()), ParamName);

} // namespace
