/* What the TPM 2.0 backend promises beyond the provider contract, each case on a private simulator: the
 * key is the TPM's and works only with its own TPM (also after a restart), no secret crosses the transport
 * in clear, ownership and reach are the TPM's answer. Lockout and the move to
 * another TPM through the exports are in the integration suite. */
#include "VkSwtpm.h"
#include "VkTest.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "diaglog_control.h"

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

const WString kUser = W("6f1c2d3e-4a5b-4c6d-8e7f-901a2b3c4d5e");
const std::string kPassword = "Tr0ub4dor&3-horse";
const std::string kStore = "ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/Tpm2Keys/";
const Bytes kSecret = {'t', 'p', 'm', ' ', 's', 'e', 'c', 'r', 'e', 't', 0, 0xfe};

Bytes Of(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Sha256(const Bytes& b) {
    Bytes d(32);
    EVP_Digest(b.data(), b.size(), d.data(), nullptr, EVP_sha256(), nullptr);
    return d;
}

bool Contains(const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

/* The container file: "TKST", version, flags, then the lengths of the name, the storage key's name, the
 * marshalled TPM2B_PUBLIC and TPM2B_PRIVATE, those fields, a SHA-256 trailer. */
TPMT_PUBLIC PublicArea(const Bytes& f) {
    TPM2B_PUBLIC pub = {};
    size_t off = 28 + vktest::Le32(f, 12) + vktest::Le32(f, 16);
    EXPECT_EQ(Tss2_MU_TPM2B_PUBLIC_Unmarshal(f.data(), f.size(), &off, &pub), 0u);
    return pub.publicArea;
}

/* RSA-OAEP (SHA-256, MGF1-SHA-256, no label) under a modulus with e = 65537, by OpenSSL alone. */
Bytes OaepUnder(const TPM2B_PUBLIC_KEY_RSA& modulus, const Bytes& plain) {
    BIGNUM* n = BN_bin2bn(modulus.buffer, modulus.size, nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_uint32(bld, OSSL_PKEY_PARAM_RSA_E, 65537);
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
    BN_free(n);
    out.resize(ok ? len : 0);
    return out;
}

/* nonce || AES-256-GCM ciphertext || tag, the provider's CryptEncrypt form, by OpenSSL alone. */
Bytes GcmSeal(const Bytes& key, const Bytes& plain) {
    Bytes out(12, 0xa0);
    out.resize(12 + plain.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), out.data());
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

    /* Starts sim with its dictionary-attack defence off and points the backend at it. */
    static void StartOn(swtpm::Simulator& sim) {
        ASSERT_EQ(sim.Start(), "");
        setenv("VAULTKEEP_KSP_TCTI", sim.tcti().c_str(), 1);
        ASSERT_EQ(swtpm::DefenceOff(sim.tcti()), "");
    }

    std::string ContainerPath(const WString& name) const { return root_.host(kStore + vktest::Narrow(name)); }

    /* Opens a blob key the test knows, wrapped by OpenSSL under the container's public area. */
    DWORD OpenKnown(const WString& name, const std::string& password, const Bytes& aes, Bytes& plain) const {
        Bytes blob = {0x01, 0x02, 0x00, 0x00, 0x10, 0x66, 0x00, 0x00, 0x00, 0xa4, 0x00, 0x00};
        const Bytes rsa = OaepUnder(PublicArea(vktest::ReadFileBytes(ContainerPath(name))).unique.rsa, aes);
        EXPECT_EQ(rsa.size(), 256u);
        blob.insert(blob.end(), rsa.begin(), rsa.end());
        plain.clear();
        return Open(name, &password, blob, GcmSeal(aes, kSecret), plain);
    }

    vktest::FreshRoot root_;
    swtpm::ScopedEnv backend_{"VAULTKEEP_KSP_BACKEND", "tpm2"};
    swtpm::ScopedEnv tcti_{"VAULTKEEP_KSP_TCTI", nullptr};
    Module module_;
};

TEST_F(KspTpm2, NeitherPasswordNorBlobKeyCrossesTheTransportInClear) {
    swtpm::Simulator sim;
    StartOn(sim);
    const std::string capture = root_.host("tpm.pcap"), pcapTcti = "pcap:" + sim.tcti();
    swtpm::ScopedEnv file("TCTI_PCAP_FILE", capture.c_str());
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
    EXPECT_EQ(OpenKnown(kUser, shortPw, aes, plain), 0u);
    EXPECT_EQ(plain, kSecret);
    EXPECT_EQ(OpenKnown(second, longPw, aes, plain), Code(TPM_E_AUTHFAIL)) << "a long password counts whole";
    EXPECT_EQ(OpenKnown(second, longPw + "!", aes, plain), 0u);
    EXPECT_EQ(plain, kSecret);
    // A password change sends the new authorization encrypted too.
    const std::string changedPw = "changed-Pa55word";
    Prov p;
    ASSERT_EQ(Acquire(p, kUser, kOpen), 0u);
    ASSERT_EQ(KSP_CALL(CryptSetProvParam(p.h, PP_KEYEXCHANGE_PSWD, Pw(shortPw), 0)), 0u);
    ASSERT_EQ(KSP_CALL(CryptSetProvParam(p.h, PP_KEYEXCHANGE_NEW_PSWD, Pw(changedPw), 0)), 0u);
    EXPECT_EQ(OpenKnown(kUser, changedPw, aes, plain), 0u);

    const Bytes traffic = vktest::ReadFileBytes(capture);
    const TPM2B_PUBLIC_KEY_RSA modulus = PublicArea(vktest::ReadFileBytes(ContainerPath(kUser))).unique.rsa;
    ASSERT_TRUE(Contains(traffic, Bytes(modulus.buffer, modulus.buffer + modulus.size)))
        << "the capture does not show the public area TPM2_Load sends, so it shows nothing";
    for (const Bytes& secret : {Of(shortPw), Of(longPw), Sha256(Of(longPw + "!")), Of(changedPw),
                                Bytes(aes.begin(), aes.begin() + 16), Bytes(aes.begin() + 16, aes.end())})
        EXPECT_FALSE(Contains(traffic, secret));
}

/* Deliberate edits of the container file, and that the password is stored nowhere, are the contract's
 * (ksp_contract_test) for both backends; the escrow record on another TPM is the integration suite's. */
TEST_F(KspTpm2, KeyIsTheTpmsAndWorksOnlyWithTheTpmThatMadeIt) {
    swtpm::Simulator first;
    StartOn(first);
    ASSERT_EQ(MakeKey(kUser, kPassword), 0u);
    const TPMT_PUBLIC p = PublicArea(vktest::ReadFileBytes(ContainerPath(kUser)));
    // fixedTPM 0x2, fixedParent 0x10, sensitiveDataOrigin 0x20, userWithAuth 0x40, decrypt 0x20000; no
    // noDA (the dictionary-attack defence guards the password), not restricted, no signing.
    EXPECT_EQ(p.objectAttributes, 0x00020072u);
    EXPECT_EQ(p.parameters.rsaDetail.keyBits, 2048);
    {
        // Another TPM (a fresh simulator state): refused at open with its own status and a line that says
        // why.
        swtpm::Simulator other;
        StartOn(other);
        diaglog::SetCapture(true);
        diaglog::TakeCaptured();
        Prov pv;
        EXPECT_EQ(Acquire(pv, kUser, kOpen), 0x80090035u); // NTE_DEVICE_NOT_FOUND
        EXPECT_TRUE(LoggedError("another TPM"));
    }
    // The same TPM after a restart: same storage key, same key; OpenSSL's wrap under the file's public area
    // and TPM2_RSA_Decrypt agree on OAEP, SHA-256 and the empty label.
    first.Stop();
    StartOn(first);
    Bytes plain;
    EXPECT_EQ(OpenKnown(kUser, kPassword, Bytes(32, 0x77), plain), 0u);
    EXPECT_EQ(plain, kSecret);
}

TEST_F(KspTpm2, OwnershipAndReachAreTheTpmsAnswer) {
    swtpm::Simulator sim;
    StartOn(sim);
    Prov live;
    ASSERT_EQ(Acquire(live, W(""), CRYPT_VERIFYCONTEXT), 0u);
    auto owned = [](const Prov& v) {
        DWORD value = kSentinel, len = 4;
        EXPECT_EQ(KSP_CALL(CryptGetProvParam(v.h, PP_TPM_OWNED, reinterpret_cast<BYTE*>(&value), &len, 0)),
                  0u);
        return value;
    };
    EXPECT_EQ(owned(live), 1u) << "fresh TPM, empty owner authorization";
    EXPECT_EQ(MakeKey(W("owned-0"), kPassword), 0u);

    // The environment's TPM wins over the registry's (which serves alone in the integration suite).
    SetSetting(W("TCTI"), U(sim.tcti()));
    {
        swtpm::ScopedEnv tcti("VAULTKEEP_KSP_TCTI", "swtpm:host=127.0.0.1,port=1");
        Prov v;
        EXPECT_EQ(Acquire(v, W(""), CRYPT_VERIFYCONTEXT), Code(TBS_E_SERVICE_NOT_RUNNING));
    }
    // A setting names a transport, never a library the TSS loader would load: each of these
    // reaches the same simulator, yet is refused; so are devices that are not a TPM's.
    const std::string conf = sim.tcti().substr(sim.tcti().find(':'));
    for (const std::string& bad : {"libtss2-tcti-swtpm.so.0" + conf, "/usr/lib/x86_64-linux-gnu/libtss2-tcti-swtpm.so" + conf,
                                   "pcap:" + sim.tcti(), std::string("device:/dev/tpm0/../../tmp/x"), std::string("device:/tmp/tpm")}) {
        SetSetting(W("TCTI"), U(bad));
        swtpm::ScopedEnv settingOnly("VAULTKEEP_KSP_TCTI", nullptr);
        Prov v;
        EXPECT_EQ(Acquire(v, W(""), CRYPT_VERIFYCONTEXT), Code(TBS_E_SERVICE_NOT_RUNNING)) << bad;
    }
    SetSetting(W("TCTI"), U(sim.tcti()));

    ASSERT_EQ(swtpm::SetOwnerPassword(sim.tcti(), "owner-Secret"), "");
    EXPECT_EQ(owned(live), 0u) << "owner password set";
    EXPECT_EQ(MakeKey(W("owned-1"), kPassword), Code(NTE_PERM));

    // The TPM goes away under a live context: not owned, and new contexts say the TPM is missing.
    sim.Stop();
    EXPECT_EQ(owned(live), 0u);
    Prov gone;
    EXPECT_EQ(Acquire(gone, W(""), CRYPT_VERIFYCONTEXT), Code(TBS_E_SERVICE_NOT_RUNNING));
}

#endif // built without the TSS there is no TPM 2.0 backend to test

} // namespace
