/*
 * The software backend reads a container once per context: the calls the
 * system makes on one context (open, get the exchange key, wrap or unwrap)
 * share that one read, what a context writes is not read back, and every new
 * context reads the container as it is now.
 */
#include "VkTest.h"
#include "platform/Wide.h"

#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include <wincrypt.h>

#include "internal/syscalls.h"
#include "platform/KeyProvider.h"

namespace {

using vktest::Bytes;
using vktest::U;

constexpr DWORD kOpen = CRYPT_MACHINE_KEYSET;
constexpr DWORD kCreate = CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET;
constexpr DWORD kDelete = CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET;
const WString kName = W("5d1e0c2a-7a3b-4c55-9f00-00000000c0de");
const std::string kNameNarrow = "5d1e0c2a-7a3b-4c55-9f00-00000000c0de";

std::string ModulePath() {
    if (const char* dir = std::getenv("VK_TEST_BIN_DIR")) return std::string(dir) + "/lib/libVaultkeepTpmKsp.so";
    auto exe = std::filesystem::read_symlink("/proc/self/exe");
    return (exe.parent_path().parent_path() / "lib" / "libVaultkeepTpmKsp.so").string();
}

/* Reads of the container file, counted at the PAL's open. */
unsigned g_reads = 0;
int (*g_realOpen)(const char*, int, mode_t) = nullptr;
int CountingOpen(const char* path, int flags, mode_t mode) {
    if ((flags & O_ACCMODE) == O_RDONLY && strstr(path, kNameNarrow.c_str()) != nullptr) ++g_reads;
    return g_realOpen(path, flags, mode);
}

struct Ctx {
    HCRYPTPROV h = 0;
    DWORD Acquire(DWORD flags) {
        h = 0;
        return CryptAcquireContextW(&h, kName.c_str(), TPM_KSP_PROVIDER_NAME, PROV_RSA_FULL, flags) ? 0
                                                                                                     : GetLastError();
    }
    ~Ctx() {
        if (h) CryptReleaseContext(h, 0);
    }
};

const BYTE* Pw(const char* s) { return reinterpret_cast<const BYTE*>(s); }

class KspContainerReads : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::make_unique<vktest::FreshRoot>();
        setenv("VAULTKEEP_KSP_BACKEND", "software", 1);
        module_ = LoadLibraryW(U(ModulePath()).c_str());
        ASSERT_NE(module_, nullptr);
        using PFN_Register = HRESULT (*)(void);
        auto reg =
            reinterpret_cast<PFN_Register>(reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
        ASSERT_NE(reg, nullptr);
        ASSERT_EQ(reg(), S_OK);
        g_realOpen = PalTestSyscallTable()->open;
        PalTestSyscallTable()->open = CountingOpen;
    }
    void TearDown() override {
        PalTestResetSyscalls();
        unsetenv("VAULTKEEP_KSP_BACKEND");
        if (module_) FreeLibrary(module_);
        root_.reset();
    }

    /* CUtil::GenerateKey's calls: create, key parameters, password, key pair. */
    static void MakeKey(const char* password) {
        Ctx c;
        ASSERT_EQ(c.Acquire(kCreate), 0u);
        TcgKeyParams p;
        memset(&p, 0, sizeof p);
        p.dwField0 = 1;
        p.dwField16 = 512;
        p.dwField24 = 3;
        p.dwField28 = 1;
        p.dwField36 = 1;
        ASSERT_TRUE(CryptSetProvParam(c.h, PP_TCG_KEYPARAM, reinterpret_cast<const BYTE*>(&p), 1));
        ASSERT_TRUE(CryptSetProvParam(c.h, PP_KEYEXCHANGE_PSWD, Pw(password), 0));
        HCRYPTKEY k = 0;
        ASSERT_TRUE(CryptGenKey(c.h, AT_KEYEXCHANGE, 0x08000003, &k));
        CryptDestroyKey(k);
    }

    /* CUtil::EncryptBlob's calls: a fresh blob key wrapped under the exchange key; the secret sealed. */
    static void Seal(Bytes& wrapped, Bytes& cipher, const Bytes& secret) {
        Ctx c;
        ASSERT_EQ(c.Acquire(kOpen), 0u);
        HCRYPTKEY x = 0, b = 0;
        ASSERT_TRUE(CryptGetUserKey(c.h, AT_KEYEXCHANGE, &x));
        ASSERT_TRUE(CryptGenKey(c.h, CALG_AES_256, CRYPT_EXPORTABLE, &b));
        wrapped.assign(512, 0);
        DWORD w = 512;
        ASSERT_TRUE(CryptExportKey(b, x, SIMPLEBLOB, CRYPT_OAEP, wrapped.data(), &w));
        wrapped.resize(w);
        cipher = secret;
        cipher.resize(secret.size() + 64);
        DWORD len = static_cast<DWORD>(secret.size());
        ASSERT_TRUE(CryptEncrypt(b, 0, TRUE, 0, cipher.data(), &len, static_cast<DWORD>(cipher.size())));
        cipher.resize(len);
        CryptDestroyKey(b);
        CryptDestroyKey(x);
    }

    /* CUtil::DecryptBlob's calls; 0 and the plaintext, or the failing call's error. */
    static DWORD Unseal(const char* password, const Bytes& wrapped, const Bytes& cipher, Bytes& plain) {
        Ctx c;
        DWORD err = c.Acquire(kOpen);
        if (err) return err;
        HCRYPTKEY x = 0, b = 0;
        if (!CryptSetProvParam(c.h, PP_KEYEXCHANGE_PSWD, Pw(password), 0)) return GetLastError();
        if (!CryptGetUserKey(c.h, AT_KEYEXCHANGE, &x)) return GetLastError();
        if (!CryptImportKey(c.h, wrapped.data(), static_cast<DWORD>(wrapped.size()), x, CRYPT_OAEP, &b)) {
            err = GetLastError();
            CryptDestroyKey(x);
            return err;
        }
        plain = cipher;
        DWORD len = static_cast<DWORD>(plain.size());
        if (!CryptDecrypt(b, 0, TRUE, 0, plain.data(), &len)) err = GetLastError();
        plain.resize(len);
        CryptDestroyKey(b);
        CryptDestroyKey(x);
        return err;
    }

    std::unique_ptr<vktest::FreshRoot> root_;
    HMODULE module_ = nullptr;
};

TEST_F(KspContainerReads, OneReadPerContextAndNoneOfWhatItWrote) {
    const Bytes secret(100, 0x5a);
    Bytes wrapped, cipher, plain;
    struct Case {
        const char* what;
        std::function<void()> calls;
        unsigned reads;
    } cases[] = {
        {"create and generate the key pair", [] { MakeKey("pw one"); }, 0},
        {"open, exchange key, blob key, wrap, encrypt", [&] { Seal(wrapped, cipher, secret); }, 1},
        {"open, password, exchange key, unwrap, decrypt",
         [&] { ASSERT_EQ(Unseal("pw one", wrapped, cipher, plain), 0u); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_reads = 0;
        c.calls();
        EXPECT_EQ(g_reads, c.reads);
    }
    EXPECT_EQ(plain, secret);
}

TEST_F(KspContainerReads, EachContextSeesTheContainerAsItIsNow) {
    const Bytes secret(40, 0x33);
    MakeKey("pw one");
    Bytes wrapped, cipher, plain;
    Seal(wrapped, cipher, secret);
    ASSERT_EQ(Unseal("pw one", wrapped, cipher, plain), 0u);

    // Another context replaces the container with a new key pair under another password.
    {
        Ctx d;
        EXPECT_EQ(d.Acquire(kDelete), 0u);
    }
    {
        Ctx gone;
        EXPECT_EQ(gone.Acquire(kOpen), static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    MakeKey("pw two");
    EXPECT_NE(Unseal("pw one", wrapped, cipher, plain), 0u) << "the old key pair is gone";
    Bytes wrapped2, cipher2;
    Seal(wrapped2, cipher2, secret);
    EXPECT_EQ(Unseal("pw two", wrapped2, cipher2, plain), 0u);
    EXPECT_EQ(plain, secret);

    // A container damaged on disk after a context read it is refused by the next context.
    const std::string file = root_->host(
        "ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/MachineKeys/" + kNameNarrow);
    Bytes bytes = vktest::ReadFileBytes(file);
    ASSERT_GT(bytes.size(), 200u);
    bytes[bytes.size() / 2] ^= 0x40;
    vktest::WriteFileBytes(file, bytes);
    Ctx damaged;
    EXPECT_EQ(damaged.Acquire(kOpen), static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD));
}

} // namespace
