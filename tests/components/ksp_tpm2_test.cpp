/* What the TPM 2.0 backend promises beyond the provider contract, each case on a private simulator: the
 * container holds only what the TPM wrapped, a key works only with its own TPM (also after a restart), no
 * secret crosses the transport in clear, lockout has its own status, ownership is the TPM's answer. */
#include "VkSwtpm.h"
#include "VkTest.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <wincrypt.h>

#include "diaglog_control.h"
#include "platform/KeyProvider.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#ifdef VK_TEST_HAVE_TSS2
#include <tss2/tss2_mu.h>
#endif

namespace {

using vktest::Bytes;
using vktest::U;
using namespace vktest::ksp;
namespace swtpm = vktest::swtpm;

#ifdef VK_TEST_HAVE_TSS2

constexpr DWORD kDeviceNotFound = 0x80090035; // NTE_DEVICE_NOT_FOUND
const WString kUser = W("6f1c2d3e-4a5b-4c6d-8e7f-901a2b3c4d5e");
const std::string kPassword = "Tr0ub4dor&3-horse";
const Bytes kSecret = {'t', 'p', 'm', ' ', 's', 'e', 'c', 'r', 'e', 't', 0, 0xfe};
const std::string kStore = "ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/Tpm2Keys/";

Bytes Of(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Sha256(const Bytes& b) {
    Bytes d(32);
    unsigned int len = 0;
    EVP_Digest(b.data(), b.size(), d.data(), &len, EVP_sha256(), nullptr);
    return d;
}

bool Contains(const Bytes& hay, const Bytes& needle) {
    return !needle.empty() && std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

/* The container file by its documented layout. */
struct ContainerFile {
    uint32_t flags = 0;
    Bytes name, storageName, publicArea, privateArea;
    TPM2B_PUBLIC pub = {};
};

bool ParseContainer(const Bytes& f, ContainerFile& c) {
    if (f.size() < 28 + 32 || f[0] != 'T' || f[1] != 'K' || f[2] != 'S' || f[3] != 'T' ||
        vktest::Le32(f, 4) != 1)
        return false;
    c.flags = vktest::Le32(f, 8);
    const size_t n = vktest::Le32(f, 12), s = vktest::Le32(f, 16), u = vktest::Le32(f, 20),
                 r = vktest::Le32(f, 24);
    if (f.size() != 28 + n + s + u + r + 32) return false;
    auto at = f.begin() + 28;
    c.name.assign(at, at + n);
    c.storageName.assign(at + n, at + n + s);
    c.publicArea.assign(at + n + s, at + n + s + u);
    c.privateArea.assign(at + n + s + u, at + n + s + u + r);
    if (Bytes(f.end() - 32, f.end()) != Sha256(Bytes(f.begin(), f.end() - 32))) return false;
    size_t off = 0;
    return u == 0 || (Tss2_MU_TPM2B_PUBLIC_Unmarshal(c.publicArea.data(), u, &off, &c.pub) == 0 && off == u);
}

void FixTrailer(Bytes& f) {
    const Bytes d = Sha256(Bytes(f.begin(), f.end() - 32));
    std::copy(d.begin(), d.end(), f.end() - 32);
}

/* RSA-OAEP (SHA-256, MGF1-SHA-256, no label) under a modulus with e = 65537, by OpenSSL alone. */
Bytes OaepUnder(const TPM2B_PUBLIC_KEY_RSA& modulus, const Bytes& plain) {
    BIGNUM* n = BN_bin2bn(modulus.buffer, modulus.size, nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, 65537);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* fromData = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(fromData);
    EVP_PKEY_fromdata(fromData, &key, EVP_PKEY_PUBLIC_KEY, params);
    Bytes out(256);
    size_t len = out.size();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    const bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) == 1 &&
                    EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) == 1 &&
                    EVP_PKEY_encrypt(ctx, out.data(), &len, plain.data(), plain.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(fromData);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(e);
    BN_free(n);
    if (!ok) return {};
    out.resize(len);
    return out;
}

/* nonce || AES-256-GCM ciphertext || tag, the provider's CryptEncrypt form, by OpenSSL alone. */
Bytes GcmSeal(const Bytes& key, const Bytes& plain) {
    const Bytes nonce(12, 0xa0);
    Bytes out = nonce;
    out.resize(12 + plain.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nonce.data());
    EVP_EncryptUpdate(ctx, out.data() + 12, &len, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + 12 + len, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + 12 + plain.size());
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

class KspTpm2 : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!swtpm::Installed()) GTEST_SKIP() << "swtpm is not installed: no private TPM simulator";
        setenv("TSS2_LOG", "all+none", 0); // expected TPM errors need no stderr lines
        ASSERT_NO_FATAL_FAILURE(module_.Load());
    }

    /* Starts sim and points the backend at it; the dictionary-attack defence off unless asked for. */
    static void StartOn(swtpm::Simulator& sim, bool defendAgainstDictionary = false) {
        ASSERT_EQ(sim.Start(), "");
        setenv("VAULTKEEP_KSP_TCTI", sim.tcti().c_str(), 1);
        if (!defendAgainstDictionary) {
            ASSERT_EQ(swtpm::SetDictionaryAttack(sim.tcti(), 3, 0, 0), "");
        }
    }

    std::string ContainerPath(const WString& name) const {
        return root_.host(kStore + vktest::Narrow(name));
    }

    static DWORD Open(const WString& name, const std::string& password, const Bytes& wrapped,
                      const Bytes& cipher, Bytes& plain) {
        return vktest::ksp::Open(name, &password, wrapped, cipher, plain);
    }

    /* A blob key the test knows, wrapped by OpenSSL under the public area in the container file. */
    Bytes WrapKnownKey(const WString& name, const Bytes& aes) const {
        ContainerFile c;
        EXPECT_TRUE(ParseContainer(vktest::ReadFileBytes(ContainerPath(name)), c));
        Bytes blob = {0x01, 0x02, 0x00, 0x00, 0x10, 0x66, 0x00, 0x00, 0x00, 0xa4, 0x00, 0x00};
        const Bytes rsa = OaepUnder(c.pub.publicArea.unique.rsa, aes);
        EXPECT_EQ(rsa.size(), 256u);
        blob.insert(blob.end(), rsa.begin(), rsa.end());
        return blob;
    }

    vktest::FreshRoot root_;
    swtpm::ScopedEnv backend_{"VAULTKEEP_KSP_BACKEND", "tpm2"};
    swtpm::ScopedEnv tcti_{"VAULTKEEP_KSP_TCTI", nullptr};
    Module module_;
};

TEST_F(KspTpm2, ContainerHoldsOnlyTheTpmsWrappedKey) {
    swtpm::Simulator sim;
    StartOn(sim);
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Bytes file = vktest::ReadFileBytes(ContainerPath(kUser));
    ContainerFile c;
    ASSERT_TRUE(ParseContainer(file, c)) << "not the documented layout";
    EXPECT_EQ(c.flags, 3u) << "keyed, exportable";
    EXPECT_EQ(c.name.size(), kUser.size() * 2);
    EXPECT_EQ(c.name[0], kUser[0]);
    EXPECT_EQ(c.storageName.size(), 34u) << "a SHA-256 name";

    const TPMT_PUBLIC& p = c.pub.publicArea;
    EXPECT_EQ(p.type, TPM2_ALG_RSA);
    EXPECT_EQ(p.nameAlg, TPM2_ALG_SHA256);
    // fixedTPM 0x2, fixedParent 0x10, sensitiveDataOrigin 0x20, userWithAuth 0x40, decrypt 0x20000; no
    // noDA (the dictionary-attack defence guards the password), not restricted, no signing.
    EXPECT_EQ(p.objectAttributes, 0x00020072u);
    EXPECT_EQ(p.parameters.rsaDetail.keyBits, 2048);
    EXPECT_EQ(p.parameters.rsaDetail.scheme.scheme, TPM2_ALG_OAEP);
    EXPECT_EQ(p.parameters.rsaDetail.scheme.details.oaep.hashAlg, TPM2_ALG_SHA256);
    EXPECT_EQ(p.unique.rsa.size, 256);

    // The password is an authorization the TPM holds; it is nowhere in the store.
    for (const auto& f : std::filesystem::recursive_directory_iterator(root_.path()))
        if (f.is_regular_file()) {
            const Bytes bytes = vktest::ReadFileBytes(f.path().string());
            EXPECT_FALSE(Contains(bytes, Bytes(kPassword.begin(), kPassword.end()))) << f.path();
            EXPECT_FALSE(Contains(bytes, Sha256(Bytes(kPassword.begin(), kPassword.end())))) << f.path();
        }

    // A blob key wrapped by OpenSSL under the file's public area comes back out of the TPM: the software
    // wrap and TPM2_RSA_Decrypt agree on OAEP, SHA-256 and the empty label.
    const Bytes aes(32, 0x5c);
    const Bytes wrapped = WrapKnownKey(kUser, aes);
    Bytes plain;
    EXPECT_EQ(Open(kUser, kPassword, wrapped, GcmSeal(aes, kSecret), plain), 0u);
    EXPECT_EQ(plain, kSecret);

    // Deliberate edits that keep the checksum right: the TPM-protected public area still names the
    // container and its flags.
    struct Edit {
        const char* what;
        WString as;
        void (*change)(Bytes&);
    };
    const Edit edits[] = {
        {"made non-exportable", kUser, [](Bytes& f) { vktest::PutLe32(f, 8, 1); }},
        {"renamed in the header and on disk", W("0f1c2d3e-4a5b-4c6d-8e7f-901a2b3c4d5e"),
         [](Bytes& f) { f[28] = '0'; }}, // the name's first character, UTF-16LE
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.what);
        Bytes f = file;
        e.change(f);
        FixTrailer(f);
        vktest::WriteFileBytes(ContainerPath(e.as), f);
        Prov pv;
        EXPECT_EQ(Acquire(pv, e.as, kOpen), Code(NTE_KEYSET_ENTRY_BAD));
    }
}

TEST_F(KspTpm2, NeitherPasswordNorBlobKeyCrossesTheTransportInClear) {
    swtpm::Simulator sim;
    StartOn(sim);
    const std::string capture = root_.host("tpm.pcap");
    swtpm::ScopedEnv file("TCTI_PCAP_FILE", capture.c_str());
    const std::string pcapTcti = "pcap:" + sim.tcti();
    swtpm::ScopedEnv tcti("VAULTKEEP_KSP_TCTI", pcapTcti.c_str());

    // One password used as the authorization itself, one long enough to be hashed into it.
    const std::string shortPw = "short-Pa55word", longPw(77, 'L');
    const WString second = W("0a1b2c3d-0000-4000-8000-0000000000c3");
    ASSERT_EQ(MakeKey(kUser, shortPw), 0u);
    ASSERT_EQ(MakeKey(second, longPw + "!"), 0u);
    const Bytes aes = {0x3a, 0x91, 0x7c, 0x05, 0xe2, 0x48, 0xd6, 0x1f, 0xb3, 0x60, 0x2e,
                       0x99, 0x04, 0xcd, 0x7a, 0x58, 0x11, 0xf0, 0x6b, 0xa7, 0x3c, 0x82,
                       0x5e, 0xd9, 0x27, 0x94, 0x4b, 0xe8, 0x0f, 0x76, 0xc1, 0x3d};
    Bytes plain;
    EXPECT_EQ(Open(kUser, shortPw, WrapKnownKey(kUser, aes), GcmSeal(aes, kSecret), plain), 0u);
    EXPECT_EQ(plain, kSecret);
    EXPECT_EQ(Open(second, longPw + "!", WrapKnownKey(second, aes), GcmSeal(aes, kSecret), plain), 0u);
    EXPECT_EQ(Open(second, longPw, WrapKnownKey(second, aes), GcmSeal(aes, kSecret), plain),
              Code(TPM_E_AUTHFAIL))
        << "a long password counts whole";
    EXPECT_EQ(plain, kSecret);

    const Bytes traffic = vktest::ReadFileBytes(capture);
    ContainerFile c;
    ASSERT_TRUE(ParseContainer(vktest::ReadFileBytes(ContainerPath(kUser)), c));
    const TPM2B_PUBLIC_KEY_RSA& modulus = c.pub.publicArea.unique.rsa;
    ASSERT_TRUE(Contains(traffic, Bytes(modulus.buffer, modulus.buffer + modulus.size)))
        << "the capture does not show the public area TPM2_Load sends, so it shows nothing";
    EXPECT_FALSE(Contains(traffic, Of(shortPw)));
    EXPECT_FALSE(Contains(traffic, Of(longPw)));
    EXPECT_FALSE(Contains(traffic, Sha256(Of(longPw + "!"))));
    EXPECT_FALSE(Contains(traffic, Bytes(aes.begin(), aes.begin() + 16)));
    EXPECT_FALSE(Contains(traffic, Bytes(aes.begin() + 16, aes.end())));
}

TEST_F(KspTpm2, KeyWorksOnlyWithTheTpmThatMadeIt) {
    swtpm::Simulator first;
    StartOn(first);
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Bytes aes(32, 0x77);
    const Bytes wrapped = WrapKnownKey(kUser, aes), cipher = GcmSeal(aes, kSecret);
    BYTE* blob = nullptr;
    DWORD cb = 0;
    ASSERT_EQ(module_.exportContainer(kUser.c_str(), W("backup"), &blob, &cb), 0);
    const Bytes escrow(blob, blob + cb);
    free(blob);

    // Another TPM (a fresh simulator state): the container is refused at open with its own status and a
    // line that says why, and the escrow record does not restore.
    {
        swtpm::Simulator other;
        StartOn(other);
        diaglog::SetCapture(true);
        diaglog::TakeCaptured();
        Prov p;
        EXPECT_EQ(Acquire(p, kUser, kOpen), kDeviceNotFound);
        const auto lines = diaglog::TakeCaptured();
        diaglog::SetCapture(false);
        bool said = false;
        for (const auto& l : lines)
            said |= l.level == diaglog::Level::Error && l.text.find("another TPM") != std::string::npos;
        EXPECT_TRUE(said) << "no log line names the other TPM";

        vktest::FreshRoot elsewhere;
        module_.Register();
        EXPECT_EQ(static_cast<DWORD>(module_.importContainer(escrow.data(), static_cast<DWORD>(escrow.size()),
                                                             W("backup"), nullptr, 0)),
                  kDeviceNotFound);
        EXPECT_FALSE(vktest::FileExists(elsewhere.host(kStore + vktest::Narrow(kUser))))
            << "a refused restore wrote the container";
    }
    module_.Register(); // back in the first root

    // The same TPM after a restart: same storage key, same key.
    const std::string state = first.stateDir();
    first.Stop();
    swtpm::Simulator again(state);
    StartOn(again);
    Bytes plain;
    EXPECT_EQ(Open(kUser, kPassword, wrapped, cipher, plain), 0u);
    EXPECT_EQ(plain, kSecret);

    // And its escrow record restores into another root on this TPM.
    vktest::FreshRoot elsewhere;
    module_.Register();
    WCHAR name[64] = {};
    ASSERT_EQ(module_.importContainer(escrow.data(), static_cast<DWORD>(escrow.size()), W("backup"), name, 64),
              0);
    EXPECT_EQ(WString(name), kUser);
    plain.clear();
    EXPECT_EQ(Open(kUser, kPassword, wrapped, cipher, plain), 0u);
    EXPECT_EQ(plain, kSecret);
}

TEST_F(KspTpm2, WrongPasswordsLockTheTpmOut) {
    swtpm::Simulator sim;
    StartOn(sim, true); // the simulator's own defence: 3 failures, 1000 s
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const Bytes aes(32, 0x42);
    const Bytes wrapped = WrapKnownKey(kUser, aes), cipher = GcmSeal(aes, kSecret);
    Bytes plain;
    ASSERT_EQ(Open(kUser, kPassword, wrapped, cipher, plain), 0u);

    diaglog::SetCapture(true);
    diaglog::TakeCaptured();
    for (const char* wrong : {"guess-1", "guess-2", "guess-3"}) {
        SCOPED_TRACE(wrong);
        EXPECT_EQ(Open(kUser, wrong, wrapped, cipher, plain), Code(TPM_E_AUTHFAIL));
    }
    // Now even the right password is refused, with the lockout's own code.
    EXPECT_EQ(Open(kUser, kPassword, wrapped, cipher, plain), Code(TPM_E_DEFEND_LOCK_RUNNING));
    EXPECT_EQ(Open(kUser, "guess-4", wrapped, cipher, plain), Code(TPM_E_DEFEND_LOCK_RUNNING));
    const auto lines = diaglog::TakeCaptured();
    diaglog::SetCapture(false);
    int lockoutLines = 0, importFailures = 0;
    for (const auto& l : lines) {
        if (l.level != diaglog::Level::Error) continue;
        lockoutLines += l.text.find("locked out") != std::string::npos;
        importFailures +=
            l.function == "TpmKsp::ImportKey" && l.text.find("failed 0x80280803") != std::string::npos;
        EXPECT_EQ(l.text.find(kPassword), std::string::npos);
    }
    EXPECT_EQ(lockoutLines, 2);
    EXPECT_EQ(importFailures, 2);
    // Opening the container and the other key-free calls still work: only the key's use is locked.
    Prov p;
    EXPECT_EQ(Acquire(p, kUser, kOpen), 0u);
}

TEST_F(KspTpm2, OwnershipIsTheTpmsAnswer) {
    swtpm::Simulator sim;
    StartOn(sim);
    Prov live;
    ASSERT_EQ(Acquire(live, W(""), CRYPT_VERIFYCONTEXT), 0u);
    auto owned = [](const Prov& v) {
        DWORD value = kSentinel, len = 4;
        EXPECT_EQ(Check([&] {
                      return CryptGetProvParam(v.h, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&value), &len, 0);
                  }),
                  0u);
        return value;
    };
    EXPECT_EQ(owned(live), 1u) << "fresh TPM, empty owner authorization";
    EXPECT_EQ(MakeKey(W("owned-0"), kPassword), 0u);
    ASSERT_EQ(swtpm::SetOwnerPassword(sim.tcti(), "owner-Secret"), "");
    EXPECT_EQ(owned(live), 0u) << "owner password set";
    EXPECT_EQ(MakeKey(W("owned-1"), kPassword), Code(NTE_PERM));

    // The TPM goes away under a live context: not owned, and new contexts say the TPM is missing.
    sim.Stop();
    EXPECT_EQ(owned(live), 0u);
    Prov gone;
    EXPECT_EQ(Acquire(gone, W(""), CRYPT_VERIFYCONTEXT), Code(TBS_E_SERVICE_NOT_RUNNING));
}

TEST_F(KspTpm2, SettingsChooseTheBackendAndTheTpm) {
    swtpm::Simulator sim;
    StartOn(sim);
    const std::string live = sim.tcti();
    swtpm::Simulator stopped;
    ASSERT_EQ(stopped.Start(), "");
    const std::string dead = stopped.tcti();
    stopped.Stop();

    swtpm::ScopedEnv noBackend("VAULTKEEP_KSP_BACKEND", nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              W("SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider"), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    auto setSz = [&](const WCHAR* name, const WString& value) {
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * 2)),
                  ERROR_SUCCESS);
    };
    setSz(W("Backend"), W("tpm2"));

    struct Case {
        const char* what;
        WString registry; // the "TCTI" value; empty: none
        const char* env;         // VAULTKEEP_KSP_TCTI
        DWORD expected;
    };
    const Case cases[] = {
        {"registry names the simulator", U(live), nullptr, 0},
        {"registry names a TPM that is not there", U(dead), nullptr, Code(TBS_E_SERVICE_NOT_RUNNING)},
        {"environment wins over the registry", U(dead), live.c_str(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setSz(W("TCTI"), c.registry);
        swtpm::ScopedEnv env("VAULTKEEP_KSP_TCTI", c.env);
        Prov v;
        EXPECT_EQ(Acquire(v, W(""), CRYPT_VERIFYCONTEXT), c.expected);
    }
    // The registry alone selects the TPM backend: its containers live in its own store.
    setSz(W("TCTI"), U(live));
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    EXPECT_TRUE(vktest::FileExists(ContainerPath(kUser)));
    EXPECT_FALSE(vktest::FileExists(root_.host(
        "ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/MachineKeys/" + vktest::Narrow(kUser))));
    RegCloseKey(key);
}

#else

TEST(KspTpm2, NeedsTheTss) {
    GTEST_SKIP() << "built without the TSS: no TPM 2.0 backend";
}

#endif

} // namespace
