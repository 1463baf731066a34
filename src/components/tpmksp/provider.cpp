/*
 * Tarnwick TPM Key Storage Provider: the CryptoAPI face of the module.
 *
 * Contexts open one container of the machine key set (or none, for
 * CRYPT_VERIFYCONTEXT) on the backend the machine is configured for. Keys are
 * either the container's RSA exchange key, which stays in the backend, or
 * AES-256 blob keys, which live in this process only:
 *
 *   SIMPLEBLOB (268 bytes with the 2048-bit exchange key):
 *     0   8    BLOBHEADER { SIMPLEBLOB, 2, 0, CALG_AES_256 }
 *     8   4    ALG_ID CALG_RSA_KEYX
 *     12  256  RSA-OAEP (SHA-256, MGF1-SHA-256) of the 32-byte AES key, big-endian
 *
 *   CryptEncrypt output (final block only): nonce(12) || AES-256-GCM ciphertext || tag(16)
 *
 * Every entry validates its arguments, runs a worker that returns a Win32 or
 * NTE_* code, and leaves through one exit that sets the last error; no C++
 * exception leaves the module.
 */
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>


#include "pal/csp.h"

#include "DiagLog.h"
#include "KeyProvider.h"
#include "backend.h"

#define TPMKSP_EXPORT extern "C" PAL_EXPORT

namespace tpmksp {

namespace {

constexpr DWORD kSimpleBlobHeader = sizeof(BLOBHEADER) + sizeof(ALG_ID);
constexpr DWORD kSimpleBlobSize = kSimpleBlobHeader + kRsaBytes;
constexpr DWORD kCipherOverhead = kGcmNonceSize + kGcmTagSize;
constexpr size_t kMaxPassword = 4096;
constexpr DWORD kAcquireFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

static_assert(sizeof(BLOBHEADER) == 8, "BLOBHEADER layout");
static_assert(kSimpleBlobSize == 268, "SIMPLEBLOB of a 2048-bit exchange key");

/* TcgKeyParams fields this provider gives a meaning to. */
constexpr DWORD kTcgParamsVersion = 1; /* dwField0 */
constexpr DWORD kTcgSchemeOaep = 3;    /* dwField24: key encryption scheme */
constexpr DWORD kTcgNoSignature = 1;   /* dwField28: signature scheme none */
constexpr DWORD kTcgAuthAlways = 1;    /* dwField36: password on every use */

struct Context {
    std::mutex mu;
    bool verify = false;
    WString container;
    std::unique_ptr<Backend> backend;
    SecureBytes password;
    bool hasPassword = false;
    /* PP_ENUMCONTAINERS: the names taken at CRYPT_FIRST, and how many were handed out. */
    std::vector<WString> listing;
    size_t listed = 0;
    bool listingTaken = false;
};

struct Key {
    enum class Kind { Exchange, Blob } kind;
    std::shared_ptr<Context> ctx; /* exchange key: the context of its container */
    SecureBytes aes;              /* blob key */
    bool exportable = false;
};

/* Provider handles are counters, never addresses and never reused, so a stale
 * or foreign value is refused rather than followed. */
class HandleTable {
  public:
    PAL_CSP_PROV AddContext(std::shared_ptr<Context> c) {
        std::lock_guard<std::mutex> lock(m_mu);
        PAL_CSP_PROV h = NextLocked();
        m_contexts.emplace(h, std::move(c));
        return h;
    }
    PAL_CSP_KEY AddKey(std::shared_ptr<Key> k) {
        std::lock_guard<std::mutex> lock(m_mu);
        PAL_CSP_KEY h = NextLocked();
        m_keys.emplace(h, std::move(k));
        return h;
    }
    std::shared_ptr<Context> GetContext(PAL_CSP_PROV h) {
        std::lock_guard<std::mutex> lock(m_mu);
        auto it = m_contexts.find(h);
        return it == m_contexts.end() ? nullptr : it->second;
    }
    std::shared_ptr<Key> GetKey(PAL_CSP_KEY h) {
        std::lock_guard<std::mutex> lock(m_mu);
        auto it = m_keys.find(h);
        return it == m_keys.end() ? nullptr : it->second;
    }
    std::shared_ptr<Context> TakeContext(PAL_CSP_PROV h) {
        std::lock_guard<std::mutex> lock(m_mu);
        auto it = m_contexts.find(h);
        if (it == m_contexts.end()) return nullptr;
        auto c = std::move(it->second);
        m_contexts.erase(it);
        return c;
    }
    std::shared_ptr<Key> TakeKey(PAL_CSP_KEY h) {
        std::lock_guard<std::mutex> lock(m_mu);
        auto it = m_keys.find(h);
        if (it == m_keys.end()) return nullptr;
        auto k = std::move(it->second);
        m_keys.erase(it);
        return k;
    }

  private:
    ULONG_PTR NextLocked() {
        m_next += 4;
        return m_next;
    }
    std::mutex m_mu;
    ULONG_PTR m_next = 0x10000;
    std::map<PAL_CSP_PROV, std::shared_ptr<Context>> m_contexts;
    std::map<PAL_CSP_KEY, std::shared_ptr<Key>> m_keys;
};

HandleTable& Handles() {
    static HandleTable table;
    return table;
}

/* Results a caller expects in normal use; everything else is logged. */
bool Quiet(DWORD err) {
    return err == Nte(NTE_BAD_KEYSET) || err == ERROR_MORE_DATA;
}

template <class Worker> BOOL Run(const char* function, int line, Worker&& worker) {
    DWORD err;
    try {
        err = worker();
    } catch (const std::bad_alloc&) {
        err = Nte(NTE_NO_MEMORY);
    } catch (...) {
        err = Nte(NTE_FAIL);
    }
    if (err != ERROR_SUCCESS && !Quiet(err)) _PrintError(function, line, "failed 0x%08x", err);
    SetLastError(err);
    return err == ERROR_SUCCESS ? TRUE : FALSE;
}

template <class Worker> LONG RunStatus(const char* function, int line, Worker&& worker) {
    DWORD err;
    try {
        err = worker();
    } catch (const std::bad_alloc&) {
        err = Nte(NTE_NO_MEMORY);
    } catch (...) {
        err = Nte(NTE_FAIL);
    }
    if (err != ERROR_SUCCESS) _PrintError(function, line, "failed 0x%08x", err);
    SetLastError(err);
    return static_cast<LONG>(err);
}

/* A context that holds a container (not verify-only). */
DWORD ContainerContext(PAL_CSP_PROV hProv, std::shared_ptr<Context>& ctx) {
    ctx = Handles().GetContext(hProv);
    if (!ctx) return Nte(NTE_BAD_UID);
    return ctx->verify ? Nte(NTE_PERM) : ERROR_SUCCESS;
}

DWORD KeyOfKind(PAL_CSP_KEY hKey, Key::Kind kind, std::shared_ptr<Key>& key) {
    key = Handles().GetKey(hKey);
    return key && key->kind == kind ? ERROR_SUCCESS : Nte(NTE_BAD_KEY);
}

void PutLe32(BYTE* p, uint32_t v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

uint32_t GetLe32(const BYTE* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

/* ---- contexts --------------------------------------------------------------- */

BOOL CPAcquireContext(PAL_CSP_PROV* phProv, LPCWSTR szContainer, DWORD dwFlags) {
    return Run("TpmKsp::AcquireContext", __LINE__, [&]() -> DWORD {
        if (!phProv) return ERROR_INVALID_PARAMETER;
        *phProv = 0;
        if (dwFlags & ~kAcquireFlags) return Nte(NTE_BAD_FLAGS);
        const bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
        const bool create = (dwFlags & CRYPT_NEWKEYSET) != 0;
        const bool remove = (dwFlags & CRYPT_DELETEKEYSET) != 0;
        const bool hasName = szContainer && szContainer[0];
        if (verify) {
            if (create || remove || hasName) return Nte(NTE_BAD_FLAGS);
        } else {
            // Only the machine key set exists; a per-user one is never created by accident.
            if ((dwFlags & CRYPT_VERIFYCONTEXT) != 0 || !(dwFlags & CRYPT_MACHINE_KEYSET) ||
                (create && remove))
                return Nte(NTE_BAD_FLAGS);
            if (!IsValidContainerName(szContainer)) return Nte(NTE_BAD_KEYSET_PARAM);
        }

        auto ctx = std::make_shared<Context>();
        ctx->verify = verify;
        DWORD err = CreateConfiguredBackend(ctx->backend, nullptr);
        if (err != ERROR_SUCCESS) return err;
        if (!verify) {
            ctx->container = szContainer;
            if (remove) return ctx->backend->DeleteContainer(ctx->container);
            err = create ? ctx->backend->CreateContainer(ctx->container)
                         : ctx->backend->OpenContainer(ctx->container);
            if (err != ERROR_SUCCESS) return err;
        }
        *phProv = Handles().AddContext(std::move(ctx));
        return ERROR_SUCCESS;
    });
}

BOOL CPReleaseContext(PAL_CSP_PROV hProv, DWORD dwFlags) {
    return Run("TpmKsp::ReleaseContext", __LINE__, [&]() -> DWORD {
        if (dwFlags != 0) return Nte(NTE_BAD_FLAGS);
        auto ctx = Handles().TakeContext(hProv);
        if (!ctx) return Nte(NTE_BAD_UID);
        // Keys may outlive their context; the password must not.
        std::lock_guard<std::mutex> lock(ctx->mu);
        ctx->password.clear();
        ctx->hasPassword = false;
        return ERROR_SUCCESS;
    });
}

BOOL CPGenRandom(PAL_CSP_PROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    return Run("TpmKsp::GenRandom", __LINE__, [&]() -> DWORD {
        if (!Handles().GetContext(hProv)) return Nte(NTE_BAD_UID);
        if (dwLen && !pbBuffer) return ERROR_INVALID_PARAMETER;
        return RandomBytes(pbBuffer, dwLen);
    });
}

DWORD SetKeyParams(const BYTE* pbData) {
    TcgKeyParams params;
    memcpy(&params, pbData, sizeof(params));
    if (params.dwField0 != kTcgParamsVersion || params.dwField36 != kTcgAuthAlways) return Nte(NTE_BAD_DATA);
    if (params.dwField24 != kTcgSchemeOaep || params.dwField28 != kTcgNoSignature) return Nte(NTE_BAD_ALGID);
    // Every value accepted describes the only key this provider makes, so nothing is kept.
    return ERROR_SUCCESS;
}

/* A password parameter: NUL-terminated, at most kMaxPassword bytes. */
DWORD PasswordParam(const BYTE* pbData, SecureBytes& password) {
    const size_t len = strnlen(reinterpret_cast<const char*>(pbData), kMaxPassword + 1);
    if (len > kMaxPassword) return Nte(NTE_BAD_LEN);
    password.assign(pbData, len);
    return ERROR_SUCCESS;
}

DWORD SetPassword(Context& ctx, const BYTE* pbData) {
    SecureBytes password;
    DWORD err = PasswordParam(pbData, password);
    if (err != ERROR_SUCCESS) return err;
    std::lock_guard<std::mutex> lock(ctx.mu);
    ctx.password = std::move(password);
    ctx.hasPassword = true;
    return ERROR_SUCCESS;
}

/* The key's password changes from the one the context holds to pbData's. */
DWORD ChangePassword(Context& ctx, const BYTE* pbData) {
    SecureBytes password;
    DWORD err = PasswordParam(pbData, password);
    if (err != ERROR_SUCCESS) return err;
    std::lock_guard<std::mutex> lock(ctx.mu);
    if (!ctx.hasPassword) return Nte(NTE_BAD_KEY_STATE);
    err = ctx.backend->ChangePassword(ctx.container, ctx.password, password);
    if (err == ERROR_SUCCESS) ctx.password = std::move(password);
    return err;
}

BOOL CPSetProvParam(PAL_CSP_PROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return Run("TpmKsp::SetProvParam", __LINE__, [&]() -> DWORD {
        std::shared_ptr<Context> ctx;
        DWORD err = ContainerContext(hProv, ctx);
        if (err != ERROR_SUCCESS) return err;
        if (!pbData) return ERROR_INVALID_PARAMETER;
        switch (dwParam) {
        case PP_TCG_KEYPARAM:
            if (dwFlags > 1) return Nte(NTE_BAD_FLAGS);
            return SetKeyParams(pbData);
        case PP_KEYEXCHANGE_PSWD:
            if (dwFlags != 0) return Nte(NTE_BAD_FLAGS);
            return SetPassword(*ctx, pbData);
        case PP_KEYEXCHANGE_NEW_PSWD:
            if (dwFlags != 0) return Nte(NTE_BAD_FLAGS);
            return ChangePassword(*ctx, pbData);
        default:
            return Nte(NTE_BAD_TYPE);
        }
    });
}

/* One container name per call, as the ANSI string CryptoAPI hands out: CRYPT_FIRST
 * takes the store's names afresh, later calls go on through them, and
 * ERROR_NO_MORE_ITEMS ends the walk. A query without a buffer, or a buffer too
 * small for the next name, hands out nothing. */
DWORD EnumContainers(Context& ctx, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    if (dwFlags & ~(CRYPT_FIRST | CRYPT_NEXT)) return Nte(NTE_BAD_FLAGS);
    std::lock_guard<std::mutex> lock(ctx.mu);
    if ((dwFlags & CRYPT_FIRST) || !ctx.listingTaken) {
        std::vector<WString> names;
        DWORD err = ctx.backend->ListContainers(names);
        if (err != ERROR_SUCCESS) return err;
        ctx.listing = std::move(names);
        ctx.listed = 0;
        ctx.listingTaken = true;
    }
    if (!pbData) {
        *pdwDataLen = static_cast<DWORD>(kMaxContainerName * 3 + 1); /* any name, UTF-8 included */
        return ERROR_SUCCESS;
    }
    if (ctx.listed >= ctx.listing.size()) return ERROR_NO_MORE_ITEMS;
    SecureBytes name;
    DWORD err = WideToAnsi(ctx.listing[ctx.listed].c_str(), name);
    if (err != ERROR_SUCCESS) return err;
    const DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (*pdwDataLen < needed) {
        *pdwDataLen = needed;
        return ERROR_MORE_DATA;
    }
    memcpy(pbData, name.data(), name.size());
    pbData[name.size()] = 0;
    *pdwDataLen = needed;
    ++ctx.listed;
    return ERROR_SUCCESS;
}

BOOL CPGetProvParam(PAL_CSP_PROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return Run("TpmKsp::GetProvParam", __LINE__, [&]() -> DWORD {
        auto ctx = Handles().GetContext(hProv);
        if (!ctx) return Nte(NTE_BAD_UID);
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        if (dwParam == PP_ENUMCONTAINERS) return EnumContainers(*ctx, pbData, pdwDataLen, dwFlags);
        if (dwFlags != 0) return Nte(NTE_BAD_FLAGS);
        if (dwParam != PP_TPM_OWNED) return Nte(NTE_BAD_TYPE);
        if (!pbData) {
            *pdwDataLen = sizeof(DWORD);
            return ERROR_SUCCESS;
        }
        if (*pdwDataLen < sizeof(DWORD)) {
            *pdwDataLen = sizeof(DWORD);
            return ERROR_MORE_DATA;
        }
        BOOL owned = FALSE;
        DWORD err = ctx->backend->QueryOwned(&owned);
        if (err != ERROR_SUCCESS) return err;
        PutLe32(pbData, owned ? 1u : 0u);
        *pdwDataLen = sizeof(DWORD);
        return ERROR_SUCCESS;
    });
}

/* ---- keys ----------------------------------------------------------------- */

DWORD GenExchangeKey(const std::shared_ptr<Context>& ctx, DWORD dwFlags, PAL_CSP_KEY* phKey) {
    const DWORD bits = dwFlags >> 16;
    if ((bits != 0 && bits != kRsaBits) || (dwFlags & 0xFFFF & ~(CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED)))
        return Nte(NTE_BAD_FLAGS);
    DWORD err;
    {
        std::lock_guard<std::mutex> lock(ctx->mu);
        // A user-protected key needs a password to protect it; otherwise the empty one seals it.
        if ((dwFlags & CRYPT_USER_PROTECTED) && !ctx->hasPassword) return Nte(NTE_BAD_KEY_STATE);
        KeyGenParams params;
        params.exportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
        err = ctx->backend->GenerateExchangeKey(ctx->container, params, ctx->password);
    }
    if (err != ERROR_SUCCESS) return err;
    auto key = std::make_shared<Key>();
    key->kind = Key::Kind::Exchange;
    key->ctx = ctx;
    *phKey = Handles().AddKey(std::move(key));
    return ERROR_SUCCESS;
}

DWORD GenBlobKey(DWORD dwFlags, PAL_CSP_KEY* phKey) {
    const DWORD bits = dwFlags >> 16;
    if ((bits != 0 && bits != 256) || (dwFlags & 0xFFFF & ~CRYPT_EXPORTABLE)) return Nte(NTE_BAD_FLAGS);
    auto key = std::make_shared<Key>();
    key->kind = Key::Kind::Blob;
    key->exportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
    key->aes = SecureBytes(kAesKeySize);
    DWORD err = RandomBytes(key->aes.data(), key->aes.size());
    if (err != ERROR_SUCCESS) return err;
    *phKey = Handles().AddKey(std::move(key));
    return ERROR_SUCCESS;
}

BOOL CPGenKey(PAL_CSP_PROV hProv, ALG_ID Algid, DWORD dwFlags, PAL_CSP_KEY* phKey) {
    return Run("TpmKsp::GenKey", __LINE__, [&]() -> DWORD {
        if (!phKey) return ERROR_INVALID_PARAMETER;
        *phKey = 0;
        std::shared_ptr<Context> ctx;
        DWORD err = ContainerContext(hProv, ctx);
        if (err != ERROR_SUCCESS) return err;
        switch (Algid) {
        case AT_KEYEXCHANGE:
            return GenExchangeKey(ctx, dwFlags, phKey);
        case CALG_AES_256:
            return GenBlobKey(dwFlags, phKey);
        default:
            return Nte(NTE_BAD_ALGID);
        }
    });
}

BOOL CPGetUserKey(PAL_CSP_PROV hProv, DWORD dwKeySpec, PAL_CSP_KEY* phUserKey) {
    return Run("TpmKsp::GetUserKey", __LINE__, [&]() -> DWORD {
        if (!phUserKey) return ERROR_INVALID_PARAMETER;
        *phUserKey = 0;
        std::shared_ptr<Context> ctx;
        DWORD err = ContainerContext(hProv, ctx);
        if (err != ERROR_SUCCESS) return err;
        if (dwKeySpec == AT_SIGNATURE) return Nte(NTE_NO_KEY); // containers hold no signature key
        if (dwKeySpec != AT_KEYEXCHANGE) return Nte(NTE_BAD_KEY);
        Bytes publicKey;
        if ((err = ctx->backend->GetExchangePublicKey(ctx->container, publicKey)) != ERROR_SUCCESS)
            return err;
        auto key = std::make_shared<Key>();
        key->kind = Key::Kind::Exchange;
        key->ctx = ctx;
        *phUserKey = Handles().AddKey(std::move(key));
        return ERROR_SUCCESS;
    });
}

BOOL CPExportKey(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey, PAL_CSP_KEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                 BYTE* pbData, DWORD* pdwDataLen) {
    return Run("TpmKsp::ExportKey", __LINE__, [&]() -> DWORD {
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        if (!Handles().GetContext(hProv)) return Nte(NTE_BAD_UID);
        if (dwBlobType != SIMPLEBLOB) return Nte(NTE_BAD_TYPE);
        if (dwFlags != CRYPT_OAEP) return Nte(NTE_BAD_FLAGS);
        std::shared_ptr<Key> blobKey, exchangeKey;
        DWORD err = KeyOfKind(hKey, Key::Kind::Blob, blobKey);
        if (err == ERROR_SUCCESS) err = KeyOfKind(hExpKey, Key::Kind::Exchange, exchangeKey);
        if (err != ERROR_SUCCESS) return err;
        if (!blobKey->exportable) return Nte(NTE_BAD_KEY_STATE);
        if (!pbData) {
            *pdwDataLen = kSimpleBlobSize;
            return ERROR_SUCCESS;
        }
        if (*pdwDataLen < kSimpleBlobSize) {
            *pdwDataLen = kSimpleBlobSize;
            return ERROR_MORE_DATA;
        }
        Bytes wrapped;
        const Context& owner = *exchangeKey->ctx;
        err = owner.backend->WrapKey(owner.container, blobKey->aes.data(), blobKey->aes.size(), wrapped);
        if (err != ERROR_SUCCESS) return err;
        if (wrapped.size() != kRsaBytes) return Nte(NTE_FAIL);
        pbData[0] = SIMPLEBLOB;
        pbData[1] = CUR_BLOB_VERSION;
        pbData[2] = pbData[3] = 0;
        PutLe32(pbData + 4, CALG_AES_256);
        PutLe32(pbData + 8, CALG_RSA_KEYX);
        memcpy(pbData + kSimpleBlobHeader, wrapped.data(), wrapped.size());
        *pdwDataLen = kSimpleBlobSize;
        return ERROR_SUCCESS;
    });
}

BOOL CPImportKey(PAL_CSP_PROV hProv, const BYTE* pbData, DWORD dwDataLen, PAL_CSP_KEY hPubKey, DWORD dwFlags,
                 PAL_CSP_KEY* phKey) {
    return Run("TpmKsp::ImportKey", __LINE__, [&]() -> DWORD {
        if (!phKey || !pbData) return ERROR_INVALID_PARAMETER;
        *phKey = 0;
        std::shared_ptr<Context> ctx;
        DWORD err = ContainerContext(hProv, ctx);
        if (err != ERROR_SUCCESS) return err;
        if (!(dwFlags & CRYPT_OAEP) || (dwFlags & ~(CRYPT_OAEP | CRYPT_EXPORTABLE)))
            return Nte(NTE_BAD_FLAGS);
        std::shared_ptr<Key> exchangeKey;
        if ((err = KeyOfKind(hPubKey, Key::Kind::Exchange, exchangeKey)) != ERROR_SUCCESS) return err;
        if (dwDataLen < kSimpleBlobHeader) return Nte(NTE_BAD_LEN);
        if (pbData[0] != SIMPLEBLOB) return Nte(NTE_BAD_TYPE);
        if (pbData[1] != CUR_BLOB_VERSION || pbData[2] != 0 || pbData[3] != 0) return Nte(NTE_BAD_DATA);
        if (GetLe32(pbData + 4) != CALG_AES_256 || GetLe32(pbData + 8) != CALG_RSA_KEYX)
            return Nte(NTE_BAD_ALGID);
        if (dwDataLen != kSimpleBlobSize) return Nte(NTE_BAD_LEN);

        // The exchange key's own container context holds the password that unlocks it.
        Context& owner = *exchangeKey->ctx;
        SecureBytes aes;
        {
            std::lock_guard<std::mutex> lock(owner.mu);
            err = owner.backend->UnwrapKey(owner.container, owner.password, pbData + kSimpleBlobHeader,
                                           kRsaBytes, aes);
        }
        if (err != ERROR_SUCCESS) return err;
        if (aes.size() != kAesKeySize) return Nte(NTE_BAD_DATA);
        auto key = std::make_shared<Key>();
        key->kind = Key::Kind::Blob;
        key->aes = std::move(aes);
        key->exportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
        *phKey = Handles().AddKey(std::move(key));
        return ERROR_SUCCESS;
    });
}

/* ---- data ------------------------------------------------------------------ */

DWORD CheckCipherCall(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey, BOOL Final, DWORD dwFlags, DWORD* pdwDataLen,
                      std::shared_ptr<Key>& key) {
    if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
    if (!Handles().GetContext(hProv)) return Nte(NTE_BAD_UID);
    DWORD err = KeyOfKind(hKey, Key::Kind::Blob, key);
    if (err != ERROR_SUCCESS) return err;
    if (dwFlags != 0) return Nte(NTE_BAD_FLAGS);
    // Authenticated encryption is one-shot: the tag covers the whole message.
    if (!Final) return ERROR_NOT_SUPPORTED;
    return ERROR_SUCCESS;
}

BOOL CPEncrypt(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey, BOOL Final, DWORD dwFlags, BYTE* pbData,
               DWORD* pdwDataLen, DWORD dwBufLen) {
    return Run("TpmKsp::Encrypt", __LINE__, [&]() -> DWORD {
        std::shared_ptr<Key> key;
        DWORD err = CheckCipherCall(hProv, hKey, Final, dwFlags, pdwDataLen, key);
        if (err != ERROR_SUCCESS) return err;
        const DWORD plainSize = *pdwDataLen;
        if (plainSize > 0xFFFFFFFFu - kCipherOverhead) return Nte(NTE_BAD_LEN);
        const DWORD needed = plainSize + kCipherOverhead;
        if (!pbData) {
            *pdwDataLen = needed;
            return ERROR_SUCCESS;
        }
        if (dwBufLen < needed) {
            *pdwDataLen = needed;
            return ERROR_MORE_DATA;
        }
        SecureBytes plain(pbData, plainSize);
        BYTE nonce[kGcmNonceSize];
        if ((err = RandomBytes(nonce, sizeof(nonce))) != ERROR_SUCCESS) return err;
        if ((err = GcmSeal(key->aes, nonce, nullptr, 0, plain.data(), plain.size(),
                           pbData + kGcmNonceSize)) != ERROR_SUCCESS) {
            Cleanse(pbData, needed);
            return err;
        }
        memcpy(pbData, nonce, sizeof(nonce));
        *pdwDataLen = needed;
        return ERROR_SUCCESS;
    });
}

BOOL CPDecrypt(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey, BOOL Final, DWORD dwFlags, BYTE* pbData,
               DWORD* pdwDataLen) {
    return Run("TpmKsp::Decrypt", __LINE__, [&]() -> DWORD {
        std::shared_ptr<Key> key;
        DWORD err = CheckCipherCall(hProv, hKey, Final, dwFlags, pdwDataLen, key);
        if (err != ERROR_SUCCESS) return err;
        if (!pbData) return ERROR_INVALID_PARAMETER;
        const DWORD size = *pdwDataLen;
        if (size < kCipherOverhead) return Nte(NTE_BAD_DATA);
        SecureBytes plain;
        // Nothing is written back unless the tag verifies.
        if ((err = GcmOpen(key->aes, pbData, nullptr, 0, pbData + kGcmNonceSize, size - kGcmNonceSize,
                           plain)) != ERROR_SUCCESS)
            return err == Nte(NTE_BAD_DATA) ? err : Nte(NTE_FAIL);
        if (!plain.empty()) memcpy(pbData, plain.data(), plain.size());
        *pdwDataLen = static_cast<DWORD>(plain.size());
        return ERROR_SUCCESS;
    });
}

BOOL CPDestroyKey(PAL_CSP_PROV hProv, PAL_CSP_KEY hKey) {
    return Run("TpmKsp::DestroyKey", __LINE__,
               [&]() -> DWORD { return Handles().TakeKey(hKey) ? ERROR_SUCCESS : Nte(NTE_BAD_KEY); });
}

const PAL_CSP_TABLE kProviderTable = {
    .dwMagic = PAL_CSP_MAGIC,
    .dwVersion = PAL_CSP_VERSION,
    .cbSize = sizeof(PAL_CSP_TABLE),
    .dwProvType = PROV_RSA_FULL,
    .AcquireContext = CPAcquireContext,
    .ReleaseContext = CPReleaseContext,
    .GenRandom = CPGenRandom,
    .SetProvParam = CPSetProvParam,
    .GetProvParam = CPGetProvParam,
    .GenKey = CPGenKey,
    .GetUserKey = CPGetUserKey,
    .ExportKey = CPExportKey,
    .ImportKey = CPImportKey,
    .Encrypt = CPEncrypt,
    .Decrypt = CPDecrypt,
    .DestroyKey = CPDestroyKey,
};

/* ---- escrow ------------------------------------------------------------------
 *
 * The blob handed to the key-archive server, integers little-endian:
 *
 *   0   4   magic "TKSE"
 *   4   4   format version, 1
 *   8   4   N: byte length of the container name (UTF-16LE, no terminator)
 *   12  4   B: byte length of the backend name (ASCII)
 *   16  4   S: byte length of the sealed record
 *   20  12  scrypt log2(N), r, p
 *   32  32  scrypt salt
 *   64  12  AES-GCM nonce
 *   76  N   container name
 *   ..  B   backend name
 *   ..  S   the backend's container record, AES-256-GCM under the scrypt key of
 *           the backup password, every byte before it as associated data
 *   end 32  SHA-256 of all bytes before it (damage, told apart from a wrong password)
 *
 * The record keeps the private key sealed under its key password as well, so
 * the backup password alone never exposes it.
 */

constexpr BYTE kEscrowMagic[4] = {'T', 'K', 'S', 'E'};
constexpr uint32_t kEscrowVersion = 1;
constexpr size_t kEscrowHeader = 76;
constexpr size_t kMaxEscrowRecord = 32 * 1024;
constexpr size_t kMaxEscrowBlob = 64 * 1024;
constexpr size_t kMaxBackendNameBytes = 64;

DWORD ExportEscrow(LPCWSTR container, LPCWSTR backupPassword, BYTE** ppBlob, DWORD* pcbBlob) {
    if (!ppBlob || !pcbBlob || !backupPassword) return ERROR_INVALID_PARAMETER;
    *ppBlob = nullptr;
    *pcbBlob = 0;
    if (!IsValidContainerName(container)) return Nte(NTE_BAD_KEYSET_PARAM);
    const WString name = container;

    std::unique_ptr<Backend> backend;
    const char* backendName = nullptr;
    DWORD err = CreateConfiguredBackend(backend, &backendName);
    if (err != ERROR_SUCCESS) return err;
    Bytes record;
    if ((err = backend->ExportContainer(name, record)) != ERROR_SUCCESS) return err;
    if (record.size() > kMaxEscrowRecord) return Nte(NTE_FAIL);

    SecureBytes password, key;
    BYTE salt[kSaltSize], nonce[kGcmNonceSize];
    if ((err = WideToAnsi(backupPassword, password)) != ERROR_SUCCESS ||
        (err = RandomBytes(salt, sizeof(salt))) != ERROR_SUCCESS ||
        (err = RandomBytes(nonce, sizeof(nonce))) != ERROR_SUCCESS ||
        (err = DeriveKey(password, salt, sizeof(salt), kDefaultKdf, key)) != ERROR_SUCCESS)
        return err;

    const Bytes nameBytes = NameBytes(name);
    const size_t backendLen = strlen(backendName);
    const size_t sealedSize = record.size() + kGcmTagSize;
    Writer w;
    w.Raw(kEscrowMagic, sizeof(kEscrowMagic));
    w.U32(kEscrowVersion);
    w.U32(static_cast<uint32_t>(nameBytes.size()));
    w.U32(static_cast<uint32_t>(backendLen));
    w.U32(static_cast<uint32_t>(sealedSize));
    w.U32(kDefaultKdf.log2N);
    w.U32(kDefaultKdf.r);
    w.U32(kDefaultKdf.p);
    w.Raw(salt, sizeof(salt));
    w.Raw(nonce, sizeof(nonce));
    w.Raw(nameBytes);
    w.Raw(reinterpret_cast<const BYTE*>(backendName), backendLen);
    Bytes& blob = w.bytes();
    const size_t aadSize = blob.size();
    blob.resize(aadSize + sealedSize);
    if ((err = GcmSeal(key, nonce, blob.data(), aadSize, record.data(), record.size(),
                       blob.data() + aadSize)) != ERROR_SUCCESS)
        return err;
    BYTE digest[kSha256Size];
    Sha256(blob.data(), blob.size(), digest);
    blob.insert(blob.end(), digest, digest + kSha256Size);

    BYTE* out = static_cast<BYTE*>(malloc(blob.size()));
    if (!out) return Nte(NTE_NO_MEMORY);
    memcpy(out, blob.data(), blob.size());
    *ppBlob = out;
    *pcbBlob = static_cast<DWORD>(blob.size());
    return ERROR_SUCCESS;
}

DWORD ImportEscrow(const BYTE* pBlob, DWORD cbBlob, LPCWSTR backupPassword, WCHAR* containerOut,
                   DWORD cchContainerOut, LPCWSTR expected = nullptr) {
    if (!pBlob || !backupPassword || (containerOut && cchContainerOut == 0)) return ERROR_INVALID_PARAMETER;
    if (cbBlob < kEscrowHeader + kSha256Size || cbBlob > kMaxEscrowBlob) return Nte(NTE_BAD_DATA);
    BYTE digest[kSha256Size];
    Sha256(pBlob, cbBlob - kSha256Size, digest);
    if (!ConstantTimeEqual(digest, pBlob + cbBlob - kSha256Size, kSha256Size)) return Nte(NTE_BAD_DATA);

    Reader r(pBlob, cbBlob - kSha256Size);
    const BYTE *magic = nullptr, *salt = nullptr, *nonce = nullptr, *nameBytes = nullptr,
               *backendBytes = nullptr, *sealed = nullptr;
    uint32_t version = 0, cbName = 0, cbBackend = 0, cbSealed = 0;
    KdfParams kdf = {};
    if (!r.Take(4, magic) || memcmp(magic, kEscrowMagic, 4) != 0 || !r.U32(version) ||
        version != kEscrowVersion || !r.U32(cbName) || !r.U32(cbBackend) || !r.U32(cbSealed) ||
        !r.U32(kdf.log2N) || !r.U32(kdf.r) || !r.U32(kdf.p) || !r.Take(kSaltSize, salt) ||
        !r.Take(kGcmNonceSize, nonce))
        return Nte(NTE_BAD_DATA);
    if (cbBackend > kMaxBackendNameBytes || cbSealed < kGcmTagSize ||
        static_cast<size_t>(cbName) + cbBackend + cbSealed != r.remaining())
        return Nte(NTE_BAD_DATA);
    WString name;
    if (!r.Take(cbName, nameBytes) || !NameFromBytes(nameBytes, cbName, name) ||
        !r.Take(cbBackend, backendBytes))
        return Nte(NTE_BAD_DATA);
    const size_t aadSize = r.offset();
    r.Take(cbSealed, sealed);
    if (!KdfParamsAcceptable(kdf)) return Nte(NTE_BAD_DATA);
    if (containerOut && cchContainerOut < name.size() + 1) return ERROR_INSUFFICIENT_BUFFER;
    // A caller that names the container expects exactly that one back: a backup of
    // another user's key must never land over it (nor anywhere else).
    if (expected) {
        if (WString(expected) != name) {
            _PrintError("TpmKsp::ImportContainer", __LINE__, "the backup holds another container than the one expected");
            return Nte(NTE_BAD_KEYSET_PARAM);
        }
    }

    std::unique_ptr<Backend> backend;
    const char* backendName = nullptr;
    DWORD err = CreateConfiguredBackend(backend, &backendName);
    if (err != ERROR_SUCCESS) return err;
    if (strlen(backendName) != cbBackend || memcmp(backendName, backendBytes, cbBackend) != 0) {
        _PrintError("TpmKsp::ImportContainer", __LINE__, "the backup was made by another backend");
        return Nte(NTE_BAD_TYPE);
    }

    SecureBytes password, key, record;
    if ((err = WideToAnsi(backupPassword, password)) != ERROR_SUCCESS ||
        (err = DeriveKey(password, salt, kSaltSize, kdf, key)) != ERROR_SUCCESS)
        return err;
    err = GcmOpen(key, nonce, pBlob, aadSize, sealed, cbSealed, record);
    if (err == Nte(NTE_BAD_DATA)) return Nte(TPM_E_AUTHFAIL);
    if (err != ERROR_SUCCESS) return err;
    if ((err = backend->ImportContainer(name, record.data(), record.size())) != ERROR_SUCCESS) return err;
    if (containerOut) memcpy(containerOut, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return ERROR_SUCCESS;
}

/* Set by the loader's DLL_PROCESS_ATTACH, as on Windows. */
HMODULE g_module = nullptr;

/* The module's own path, for its registration. */
DWORD ModulePath(WString& path) {
    if (!g_module) return ERROR_MOD_NOT_FOUND;
    HMODULE self = g_module;
    WString buf(4096, 0);
    DWORD n = GetModuleFileNameW(self, &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0) return GetLastError() ? GetLastError() : ERROR_MOD_NOT_FOUND;
    if (n >= buf.size()) return ERROR_FILENAME_EXCED_RANGE;
    buf.resize(n);
    path = std::move(buf);
    return ERROR_SUCCESS;
}

DWORD Register() {
    WString path;
    DWORD err = ModulePath(path);
    if (err != ERROR_SUCCESS) return err;
    HKEY key = nullptr;
    err = static_cast<DWORD>(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                        W("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") TPM_KSP_PROVIDER_NAME, 0,
                        nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr));
    if (err != ERROR_SUCCESS) return err;
    const DWORD type = PROV_RSA_FULL;
    err = static_cast<DWORD>(RegSetValueExW(key, W("Image Path"), 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(path.c_str()),
                                            static_cast<DWORD>((path.size() + 1) * sizeof(WCHAR))));
    if (err == ERROR_SUCCESS)
        err = static_cast<DWORD>(
            RegSetValueExW(key, W("Type"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof(type)));
    RegCloseKey(key);
    return err;
}

} // namespace
} // namespace tpmksp

using namespace tpmksp;

TPMKSP_EXPORT BOOL DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
    if (fdwReason == DLL_PROCESS_ATTACH) {
        g_module = hinstDLL;
        DisableThreadLibraryCalls(hinstDLL);
    }
    return TRUE;
}

TPMKSP_EXPORT const PAL_CSP_TABLE* CPGetProviderTable(void) {
    return &kProviderTable;
}

/* Registers the module as the provider "Tarnwick TPM Key Storage Provider" of
 * the current machine root. */
TPMKSP_EXPORT HRESULT DllRegisterServer(void) {
    LONG status = RunStatus("TpmKsp::DllRegisterServer", __LINE__, [&]() -> DWORD { return Register(); });
    return status == 0 ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

TPMKSP_EXPORT LONG TpmKspExportContainer(LPCWSTR container, LPCWSTR backupPassword, BYTE** ppBlob,
                                         DWORD* pcbBlob) {
    return RunStatus("TpmKsp::ExportContainer", __LINE__,
                     [&]() -> DWORD { return ExportEscrow(container, backupPassword, ppBlob, pcbBlob); });
}

TPMKSP_EXPORT LONG TpmKspImportContainerAs(const BYTE* pBlob, DWORD cbBlob, LPCWSTR backupPassword,
                                           LPCWSTR container) {
    return RunStatus("TpmKsp::ImportContainer", __LINE__, [&]() -> DWORD {
        if (!container) return ERROR_INVALID_PARAMETER;
        return ImportEscrow(pBlob, cbBlob, backupPassword, nullptr, 0, container);
    });
}

TPMKSP_EXPORT LONG TpmKspImportContainer(const BYTE* pBlob, DWORD cbBlob, LPCWSTR backupPassword,
                                         WCHAR* containerOut, DWORD cchContainerOut) {
    return RunStatus("TpmKsp::ImportContainer", __LINE__, [&]() -> DWORD {
        return ImportEscrow(pBlob, cbBlob, backupPassword, containerOut, cchContainerOut);
    });
}

/* Lists the backends compiled in, for administrators and the contract tests:
 * 0 with the index-th name, ERROR_NO_MORE_ITEMS past the end, ERROR_MORE_DATA
 * when cchName is too small. */
TPMKSP_EXPORT LONG TpmKspEnumBackends(DWORD index, CHAR* name, DWORD cchName) {
    size_t count = 0;
    const BackendEntry* table = BackendTable(&count);
    if (index >= count) return ERROR_NO_MORE_ITEMS;
    const size_t len = strlen(table[index].name);
    if (!name || cchName < len + 1) return ERROR_MORE_DATA;
    memcpy(name, table[index].name, len + 1);
    return ERROR_SUCCESS;
}
