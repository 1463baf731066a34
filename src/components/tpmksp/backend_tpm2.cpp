/*
 * The TPM 2.0 backend: exchange keys live in a TPM reached through the TSS
 * (ESAPI over the TCTI named by the settings), and the container file keeps
 * only what the TPM gave back, wrapped under its own storage key.
 *
 * Keys. The storage key is a primary key of the owner hierarchy made from a
 * fixed template (ECC NIST P-256, restricted decrypt, AES-128-CFB, noDA), so
 * TPM2_CreatePrimary gives the same key on the same TPM every time and nothing
 * is ever made persistent. Each container's exchange key is an RSA-2048
 * (e = 65537) decrypt key created under it: fixedTPM and fixedParent, so it
 * can never leave this TPM; scheme OAEP with SHA-256; userWithAuth with the key
 * password as authorization value (its SHA-256 when longer than the 32 bytes a
 * SHA-256 name allows; trailing zero bytes dropped, as the TPM drops them);
 * subject to the TPM's dictionary-attack defence. Its authPolicy holds a
 * digest of the container name and flags that no policy session can reach, so
 * the TPM-protected public area names its container.
 *
 * Transport. Every command that carries a secret runs in an HMAC session
 * salted with the storage key, with command and response parameter encryption:
 * the password (TPM2_Create) and the unwrapped AES key (TPM2_RSA_Decrypt) never
 * cross the TCTI in clear, and the password is only ever an HMAC key.
 *
 * Container file, integers little-endian:
 *
 *   0   4   magic "TKST"
 *   4   4   format version, 1
 *   8   4   flags: 1 keyed, 2 exportable
 *   12  4   N: byte length of the name (UTF-16LE, no terminator)
 *   16  4   S: byte length of the storage key's name (0 when not keyed)
 *   20  4   U: byte length of the key's public area (0 when not keyed)
 *   24  4   R: byte length of the key's private area (0 when not keyed)
 *   28  N   container name
 *   ..  S   TPM name of the storage key the key was created under
 *           (nameAlg || SHA-256 of its public area)
 *   ..  U   TPM2B_PUBLIC of the key, marshalled
 *   ..  R   TPM2B_PRIVATE of the key, marshalled (sealed by the TPM)
 *   end 32  SHA-256 of all bytes before it: damage is found at open time and
 *           told apart from a wrong password.
 *
 * A key made on another TPM (or before this one was cleared) shows as a
 * storage key name that is not this TPM's: NTE_DEVICE_NOT_FOUND on open, use
 * and import, with a log line saying so.
 */
#include "backend.h"
#include "tcti_names.h"
#include "container_store.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>

#include "DiagLog.h"

namespace tpmksp {

namespace {

constexpr BYTE kMagic[4] = {'T', 'K', 'S', 'T'};
constexpr uint32_t kFlagKeyed = kContainerFlagKeyed;
constexpr uint32_t kFlagExportable = kContainerFlagExportable;
constexpr size_t kHeaderSize = 28;
constexpr size_t kMaxStorageName = sizeof(TPMU_NAME);
constexpr size_t kMaxPublic = sizeof(TPM2B_PUBLIC);
constexpr size_t kMaxPrivate = sizeof(TPM2B_PRIVATE);
constexpr size_t kMaxFileSize =
    kHeaderSize + 2 * kMaxContainerName + kMaxStorageName + kMaxPublic + kMaxPrivate + kSha256Size;

constexpr size_t kMaxAuth = kSha256Size; /* the SHA-256 name algorithm's digest size */

/* A TPM without a resource manager has a few object and session slots for
 * every client together; a call that finds them taken waits and starts over. */
constexpr int kMaxAttempts = 100;
constexpr DWORD kRetryDelayMs = 20; /* plus up to 63 ms of jitter, so waiting clients do not march in step */
/* Internal only: the TPM had no room for this call yet. */
constexpr DWORD kTpmBusy = 0xE0DA0001u;

const char kLogName[] = "TpmKsp::Tpm2Backend";

constexpr TPMA_OBJECT kKeyAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                       TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                                       TPMA_OBJECT_DECRYPT;
constexpr TPMA_OBJECT kStorageAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                           TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                                           TPMA_OBJECT_NODA | TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT;

/* Talks to the TPM one conversation at a time per process: the threads of a
 * process would otherwise only compete for the same few TPM slots. */
std::mutex g_tpmLock;

struct Container {
    WString name;
    uint32_t flags = 0;
    Bytes storageName;
    TPM2B_PUBLIC pub = {};
    TPM2B_PRIVATE priv = {};
    Bytes raw; /* the whole file as read */

    bool keyed() const { return (flags & kFlagKeyed) != 0; }
};

/* ---- settings -------------------------------------------------------------- */

/* VAULTKEEP_KSP_TCTI wins (the caller's own choice, ignored in a privileged
 * process), then the registry value "TCTI", then the kernel's
 * resource-managed device. */
DWORD ConfiguredTcti(std::string& tcti) {
    const char* env = secure_getenv("VAULTKEEP_KSP_TCTI");
    if (env && *env) {
        tcti = env;
    } else {
        tcti = kDefaultTcti;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TPM_KSP_SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) ==
            ERROR_SUCCESS) {
            WCHAR value[kMaxTcti + 2] = {};
            DWORD type = 0;
            DWORD cb = sizeof(value) - sizeof(WCHAR);
            LSTATUS st =
                RegQueryValueExW(key, W("TCTI"), nullptr, &type, reinterpret_cast<LPBYTE>(value), &cb);
            RegCloseKey(key);
            if (st == ERROR_SUCCESS && type == REG_SZ) {
                value[cb / sizeof(WCHAR)] = 0;
                std::string narrow;
                for (size_t i = 0; value[i]; ++i)
                    narrow.push_back(value[i] < 0x80 ? static_cast<char>(value[i]) : '\x01');
                if (!narrow.empty()) tcti = narrow;
            } else if (st != ERROR_FILE_NOT_FOUND) {
                _PrintError(kLogName, __LINE__, "the TCTI setting is unreadable (%u, type %u)", (unsigned)st,
                            (unsigned)type);
                return kBackendUnavailable;
            }
        }
    }
    if (!AcceptableTcti(tcti, env && *env)) {
        _PrintError(kLogName, __LINE__, "the TCTI setting names no known transport (device:/dev/tpm*, swtpm, mssim, tabrmd)");
        return kBackendUnavailable;
    }
    return ERROR_SUCCESS;
}

/* ---- response codes ---------------------------------------------------------- */

/* The TPM's own code without layer, handle/session/parameter number. */
TSS2_RC TpmCode(TSS2_RC rc) {
    const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
    if (layer != TSS2_TPM_RC_LAYER && layer != TSS2_RESMGR_TPM_RC_LAYER) return rc;
    rc &= 0xFFFF;
    if (rc & TPM2_RC_FMT1) return rc & (TPM2_RC_FMT1 | 0x3F);
    return rc;
}

bool FromTpm(TSS2_RC rc) {
    const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
    return layer == TSS2_TPM_RC_LAYER || layer == TSS2_RESMGR_TPM_RC_LAYER;
}

bool IsBusy(TSS2_RC rc) {
    if (!FromTpm(rc)) return (rc & 0xFFFF) == TSS2_BASE_RC_TRY_AGAIN;
    switch (TpmCode(rc)) {
    case TPM2_RC_OBJECT_MEMORY:
    case TPM2_RC_SESSION_MEMORY:
    case TPM2_RC_MEMORY:
    case TPM2_RC_SESSION_HANDLES:
    case TPM2_RC_OBJECT_HANDLES:
    case TPM2_RC_RETRY:
    case TPM2_RC_YIELDED:
    case TPM2_RC_TESTING:
    case TPM2_RC_CONTEXT_GAP:
        return true;
    default:
        return false;
    }
}

bool IsAuthFailure(TSS2_RC rc) {
    return FromTpm(rc) && (TpmCode(rc) == TPM2_RC_AUTH_FAIL || TpmCode(rc) == TPM2_RC_BAD_AUTH);
}

bool IsLockout(TSS2_RC rc) {
    return FromTpm(rc) && TpmCode(rc) == TPM2_RC_LOCKOUT;
}

/* Failures of the transport itself: the TPM went away. */
bool IsUnreachable(TSS2_RC rc) {
    const TSS2_RC layer = rc & TSS2_RC_LAYER_MASK;
    const TSS2_RC base = rc & 0xFFFF;
    if (layer == TSS2_TCTI_RC_LAYER) return true;
    return layer == TSS2_ESAPI_RC_LAYER &&
           (base == TSS2_BASE_RC_IO_ERROR || base == TSS2_BASE_RC_NO_CONNECTION);
}

/* The code for a TPM call with no more particular meaning, logged. */
DWORD Generic(const char* call, TSS2_RC rc, int line) {
    if (IsBusy(rc)) {
        _Print(kLogName, "%s: the TPM has no room yet (0x%x); starting over", call, (unsigned)rc);
        return kTpmBusy;
    }
    if (IsUnreachable(rc)) {
        _PrintError(kLogName, line, "%s: the TPM is not reachable (0x%x)", call, (unsigned)rc);
        return kBackendUnavailable;
    }
    if (IsLockout(rc)) {
        _PrintError(kLogName, line, "%s: the TPM is locked out by its dictionary-attack defence", call);
        return Nte(TPM_E_DEFEND_LOCK_RUNNING);
    }
    _PrintError(kLogName, line, "%s failed 0x%x: %s", call, (unsigned)rc, Tss2_RC_Decode(rc));
    return Nte(NTE_FAIL);
}

/* ---- keys and templates -------------------------------------------------------- */

TPM2B_PUBLIC StorageTemplate() {
    TPM2B_PUBLIC t = {};
    TPMT_PUBLIC& p = t.publicArea;
    p.type = TPM2_ALG_ECC;
    p.nameAlg = TPM2_ALG_SHA256;
    p.objectAttributes = kStorageAttributes;
    TPMS_ECC_PARMS& e = p.parameters.eccDetail;
    e.symmetric.algorithm = TPM2_ALG_AES;
    e.symmetric.keyBits.aes = 128;
    e.symmetric.mode.aes = TPM2_ALG_CFB;
    e.scheme.scheme = TPM2_ALG_NULL;
    e.curveID = TPM2_ECC_NIST_P256;
    e.kdf.scheme = TPM2_ALG_NULL;
    return t;
}

/* A digest of the container name and flags: names the container inside the
 * TPM-protected public area, and no sequence of policy commands can reach it. */
void ContainerPolicy(const WString& name, uint32_t flags, TPM2B_DIGEST& out) {
    static const char kLabel[] = "Vaultkeep TPM key container v1";
    Writer w;
    w.Raw(reinterpret_cast<const BYTE*>(kLabel), sizeof(kLabel));
    w.U32(flags);
    w.Raw(NameBytes(name));
    out.size = kSha256Size;
    Sha256(w.bytes().data(), w.bytes().size(), out.buffer);
}

TPM2B_PUBLIC KeyTemplate(const WString& name, uint32_t flags) {
    TPM2B_PUBLIC t = {};
    TPMT_PUBLIC& p = t.publicArea;
    p.type = TPM2_ALG_RSA;
    p.nameAlg = TPM2_ALG_SHA256;
    p.objectAttributes = kKeyAttributes;
    ContainerPolicy(name, flags, p.authPolicy);
    TPMS_RSA_PARMS& r = p.parameters.rsaDetail;
    r.symmetric.algorithm = TPM2_ALG_NULL;
    r.scheme.scheme = TPM2_ALG_OAEP;
    r.scheme.details.oaep.hashAlg = TPM2_ALG_SHA256;
    r.keyBits = kRsaBits;
    r.exponent = 0; /* 65537 */
    return t;
}

/* Whether a public area read from a file is one this backend made for this
 * container: any other template is damage, not a different key type. */
bool IsOurKey(const TPM2B_PUBLIC& pub, const WString& name, uint32_t flags) {
    const TPMT_PUBLIC& p = pub.publicArea;
    const TPMS_RSA_PARMS& r = p.parameters.rsaDetail;
    TPM2B_DIGEST policy = {};
    ContainerPolicy(name, flags, policy);
    return p.type == TPM2_ALG_RSA && p.nameAlg == TPM2_ALG_SHA256 && p.objectAttributes == kKeyAttributes &&
           p.authPolicy.size == policy.size &&
           ConstantTimeEqual(p.authPolicy.buffer, policy.buffer, policy.size) &&
           r.symmetric.algorithm == TPM2_ALG_NULL && r.scheme.scheme == TPM2_ALG_OAEP &&
           r.scheme.details.oaep.hashAlg == TPM2_ALG_SHA256 && r.keyBits == kRsaBits &&
           (r.exponent == 0 || r.exponent == 65537) && p.unique.rsa.size == kRsaBytes;
}

/* The public key as OpenSSL sees it, for wrapping and for DER. */
DWORD PublicKeyOf(const TPM2B_PUBLIC& pub, PkeyPtr& key) {
    struct BldFree {
        void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    };
    struct ParamFree {
        void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    };
    struct BnFree {
        void operator()(BIGNUM* p) const { BN_free(p); }
    };
    struct CtxFree {
        void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    };
    const TPM2B_PUBLIC_KEY_RSA& modulus = pub.publicArea.unique.rsa;
    std::unique_ptr<BIGNUM, BnFree> n(BN_bin2bn(modulus.buffer, modulus.size, nullptr));
    std::unique_ptr<BIGNUM, BnFree> e(BN_new());
    std::unique_ptr<OSSL_PARAM_BLD, BldFree> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !bld || BN_set_word(e.get(), 65537) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
        return Nte(NTE_NO_MEMORY);
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return Nte(NTE_BAD_PUBLIC_KEY);
    key.reset(raw);
    if (EVP_PKEY_get_bits(raw) != static_cast<int>(kRsaBits)) return Nte(NTE_BAD_PUBLIC_KEY);
    return ERROR_SUCCESS;
}

/* The authorization value for a password: the bytes themselves up to the
 * digest size, else their SHA-256; trailing zeros dropped as the TPM does. */
void AuthFromPassword(const SecureBytes& password, TPM2B_AUTH& auth) {
    Cleanse(&auth, sizeof(auth));
    if (password.size() <= kMaxAuth) {
        if (!password.empty()) memcpy(auth.buffer, password.data(), password.size());
        auth.size = static_cast<UINT16>(password.size());
    } else {
        Sha256(password.data(), password.size(), auth.buffer);
        auth.size = kSha256Size;
    }
    while (auth.size > 0 && auth.buffer[auth.size - 1] == 0)
        --auth.size;
}

/* ---- one conversation with the TPM ------------------------------------------- */

/* A connection for the length of one backend call. Every transient object and
 * session it made is flushed when it ends, since a TPM without a resource
 * manager keeps them for everybody. */
class Tpm {
  public:
    Tpm() = default;
    ~Tpm() { Close(); }
    Tpm(const Tpm&) = delete;
    Tpm& operator=(const Tpm&) = delete;

    DWORD Open(const std::string& tcti) {
        TSS2_RC rc = Tss2_TctiLdr_Initialize(tcti.c_str(), &m_tcti);
        if (rc == TSS2_RC_SUCCESS) rc = Esys_Initialize(&m_esys, m_tcti, nullptr);
        if (rc != TSS2_RC_SUCCESS) {
            _PrintError(kLogName, __LINE__, "no TPM reachable through the configured TCTI (0x%x)",
                        (unsigned)rc);
            Close();
            return kBackendUnavailable;
        }
        return ERROR_SUCCESS;
    }

    ESYS_CONTEXT* esys() { return m_esys; }

    void Track(ESYS_TR handle) { m_handles.push_back(handle); }

    void Flush(ESYS_TR handle) {
        for (auto it = m_handles.begin(); it != m_handles.end(); ++it) {
            if (*it == handle) {
                m_handles.erase(it);
                Esys_FlushContext(m_esys, handle);
                return;
            }
        }
    }

    /* Makes the storage key; name gets its TPM name. */
    DWORD StorageKey(ESYS_TR& primary, Bytes& name) {
        TPM2B_SENSITIVE_CREATE sensitive = {};
        TPM2B_PUBLIC inPublic = StorageTemplate();
        TPM2B_DATA outside = {};
        TPML_PCR_SELECTION pcrs = {};
        TSS2_RC rc = Esys_CreatePrimary(m_esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                        ESYS_TR_NONE, &sensitive, &inPublic, &outside, &pcrs, &primary,
                                        nullptr, nullptr, nullptr, nullptr);
        if (rc != TSS2_RC_SUCCESS) {
            if (IsAuthFailure(rc) || (FromTpm(rc) && TpmCode(rc) == TPM2_RC_HIERARCHY)) {
                _PrintError(kLogName, __LINE__,
                            "the TPM's owner hierarchy is disabled or has a password; the storage key "
                            "cannot be made (0x%x)",
                            (unsigned)rc);
                return Nte(NTE_PERM);
            }
            return Generic("TPM2_CreatePrimary", rc, __LINE__);
        }
        Track(primary);
        TPM2B_NAME* tpmName = nullptr;
        rc = Esys_TR_GetName(m_esys, primary, &tpmName);
        if (rc != TSS2_RC_SUCCESS) return Generic("Esys_TR_GetName", rc, __LINE__);
        name.assign(tpmName->name, tpmName->name + tpmName->size);
        Esys_Free(tpmName);
        return ERROR_SUCCESS;
    }

    /* An HMAC session salted with the storage key, encrypting the first
     * command and response parameter. */
    DWORD SaltedSession(ESYS_TR primary, ESYS_TR& session) {
        TPMT_SYM_DEF symmetric = {};
        symmetric.algorithm = TPM2_ALG_AES;
        symmetric.keyBits.aes = 128;
        symmetric.mode.aes = TPM2_ALG_CFB;
        TSS2_RC rc =
            Esys_StartAuthSession(m_esys, primary, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                  nullptr, TPM2_SE_HMAC, &symmetric, TPM2_ALG_SHA256, &session);
        if (rc != TSS2_RC_SUCCESS) return Generic("TPM2_StartAuthSession", rc, __LINE__);
        Track(session);
        const TPMA_SESSION attributes =
            TPMA_SESSION_DECRYPT | TPMA_SESSION_ENCRYPT | TPMA_SESSION_CONTINUESESSION;
        rc = Esys_TRSess_SetAttributes(m_esys, session, attributes, 0xFF);
        if (rc != TSS2_RC_SUCCESS) return Generic("Esys_TRSess_SetAttributes", rc, __LINE__);
        return ERROR_SUCCESS;
    }

  private:
    void Close() {
        if (m_esys) {
            for (ESYS_TR h : m_handles)
                Esys_FlushContext(m_esys, h);
            m_handles.clear();
            Esys_Finalize(&m_esys);
        }
        if (m_tcti) Tss2_TctiLdr_Finalize(&m_tcti);
        m_esys = nullptr;
        m_tcti = nullptr;
    }

    TSS2_TCTI_CONTEXT* m_tcti = nullptr;
    ESYS_CONTEXT* m_esys = nullptr;
    std::vector<ESYS_TR> m_handles;
};

/* Runs one conversation, starting it over while the TPM has no room. */
template <class Body> DWORD Converse(const std::string& tcti, Body&& body) {
    std::lock_guard<std::mutex> lock(g_tpmLock);
    for (int attempt = 1;; ++attempt) {
        DWORD err;
        {
            Tpm tpm;
            err = tpm.Open(tcti);
            if (err == ERROR_SUCCESS) err = body(tpm);
        }
        if (err != kTpmBusy) return err;
        if (attempt == kMaxAttempts) {
            _PrintError(
                kLogName, __LINE__,
                "the TPM had no free object or session slot in %d attempts; another program holds them",
                kMaxAttempts);
            return Nte(NTE_FAIL);
        }
        BYTE jitter = 0;
        RandomBytes(&jitter, 1);
        Sleep(kRetryDelayMs + (jitter & 0x3F));
    }
}

/* ---- container files ----------------------------------------------------------- */

Bytes Serialize(const Container& c) {
    Bytes pub(kMaxPublic), priv(kMaxPrivate);
    size_t pubSize = 0, privSize = 0;
    if (c.keyed()) {
        if (Tss2_MU_TPM2B_PUBLIC_Marshal(&c.pub, pub.data(), pub.size(), &pubSize) != TSS2_RC_SUCCESS ||
            Tss2_MU_TPM2B_PRIVATE_Marshal(&c.priv, priv.data(), priv.size(), &privSize) != TSS2_RC_SUCCESS)
            return Bytes();
    }
    const Bytes name = NameBytes(c.name);
    Writer w;
    w.Raw(kMagic, sizeof(kMagic));
    w.U32(kContainerVersion);
    w.U32(c.flags);
    w.U32(static_cast<uint32_t>(name.size()));
    w.U32(static_cast<uint32_t>(c.storageName.size()));
    w.U32(static_cast<uint32_t>(pubSize));
    w.U32(static_cast<uint32_t>(privSize));
    w.Raw(name);
    w.Raw(c.storageName);
    w.Raw(pub.data(), pubSize);
    w.Raw(priv.data(), privSize);
    Bytes& file = w.bytes();
    AppendChecksum(file);
    return std::move(file);
}

/* Parses a hostile file. expected: the name it must carry. */
DWORD Parse(const Bytes& file, const WString& expected, Container& out) {
    const char* why = nullptr;
    Container c;
    Reader r(file.data(), file.size());
    uint32_t cbName = 0, cbStorage = 0, cbPublic = 0, cbPrivate = 0;
    const BYTE *storage = nullptr, *pub = nullptr, *priv = nullptr;
    size_t offset = 0;

    why = CheckEnvelope(file, kHeaderSize, kMaxFileSize, kMagic, "not a TPM container file", r, c.flags);
    if (why) goto bad;
    if (!r.U32(cbName) || !r.U32(cbStorage) || !r.U32(cbPublic) || !r.U32(cbPrivate)) {
        why = "short header";
        goto bad;
    }
    if (cbName > 2 * kMaxContainerName || cbStorage > kMaxStorageName || cbPublic > kMaxPublic ||
        cbPrivate > kMaxPrivate ||
        static_cast<size_t>(cbName) + cbStorage + cbPublic + cbPrivate != r.remaining() - kSha256Size) {
        why = "lengths do not match the file";
        goto bad;
    }
    if ((why = TakeName(r, cbName, expected, c.name)) != nullptr) goto bad;
    r.Take(cbStorage, storage);
    r.Take(cbPublic, pub);
    r.Take(cbPrivate, priv);
    if (!c.keyed()) {
        if (cbStorage != 0 || cbPublic != 0 || cbPrivate != 0 || c.flags != 0) {
            why = "key material in an empty container";
            goto bad;
        }
    } else {
        // The storage key's name: a SHA-256 name algorithm and digest.
        if (cbStorage != 2 + kSha256Size || storage[0] != 0x00 || storage[1] != 0x0B) {
            why = "bad storage key name";
            goto bad;
        }
        offset = 0;
        if (Tss2_MU_TPM2B_PUBLIC_Unmarshal(pub, cbPublic, &offset, &c.pub) != TSS2_RC_SUCCESS ||
            offset != cbPublic) {
            why = "unreadable public area";
            goto bad;
        }
        offset = 0;
        if (Tss2_MU_TPM2B_PRIVATE_Unmarshal(priv, cbPrivate, &offset, &c.priv) != TSS2_RC_SUCCESS ||
            offset != cbPrivate || c.priv.size == 0) {
            why = "unreadable private area";
            goto bad;
        }
        if (!IsOurKey(c.pub, c.name, c.flags)) {
            why = "not a key this provider makes for this container";
            goto bad;
        }
        c.storageName.assign(storage, storage + cbStorage);
    }
    c.raw = file;
    out = std::move(c);
    return ERROR_SUCCESS;

bad:
    _PrintError(kLogName, __LINE__, "container %S is damaged: %s", expected.c_str(), why);
    return Nte(NTE_KEYSET_ENTRY_BAD);
}

class Tpm2Backend final : public Backend {
  public:
    explicit Tpm2Backend(std::string tcti) : m_tcti(std::move(tcti)) {}

    DWORD QueryOwned(BOOL* owned) override;
    DWORD CreateContainer(const WString& name) override;
    DWORD OpenContainer(const WString& name) override;
    DWORD DeleteContainer(const WString& name) override;
    DWORD GenerateExchangeKey(const WString& name, const KeyGenParams& params,
                              const SecureBytes& password) override;
    DWORD GetExchangePublicKey(const WString& name, Bytes& publicKey) override;
    DWORD WrapKey(const WString& name, const BYTE* key, size_t keySize, Bytes& wrapped) override;
    DWORD UnwrapKey(const WString& name, const SecureBytes& password, const BYTE* wrapped, size_t wrappedSize,
                    SecureBytes& key) override;
    DWORD ChangePassword(const WString& name, const SecureBytes& oldPassword,
                         const SecureBytes& newPassword) override;
    DWORD ExportContainer(const WString& name, Bytes& record) override;
    DWORD ImportContainer(const WString& name, const BYTE* record, size_t recordSize) override;
    DWORD ListContainers(std::vector<WString>& names) override { return ListContainerFiles(W("Tpm2Keys"), names); }

  private:
    static DWORD PathOf(const WString& name, WString& path, bool createFolder);
    static DWORD LoadKey(Tpm& tpm, const Container& c, const SecureBytes& password, ESYS_TR& primary,
                         ESYS_TR& session, ESYS_TR& loaded);
    static DWORD ReadContainer(const WString& name, Container& c);
    static DWORD WriteContainer(const WString& path, const Bytes& file, DWORD disposition);
    static DWORD ReadKeyed(const WString& name, Container& c);
    /* The storage key of this TPM, checked against the one c was made under. */
    static DWORD MatchingStorageKey(Tpm& tpm, const Container& c, ESYS_TR& primary);
    DWORD CheckSameTpm(const Container& c);

    std::string m_tcti;
};

/* Beside the software backend's store, never in it: the two formats must not
 * meet when an administrator switches backends. */
DWORD Tpm2Backend::PathOf(const WString& name, WString& path, bool createFolder) {
    return ContainerPath(W("Tpm2Keys"), false, name, path, createFolder);
}

DWORD Tpm2Backend::ReadContainer(const WString& name, Container& c) {
    WString path;
    DWORD err = PathOf(name, path, false);
    if (err != ERROR_SUCCESS) return err;
    Bytes file;
    if ((err = ReadContainerFile(path, kMaxFileSize, file)) != ERROR_SUCCESS) return err;
    return Parse(file, name, c);
}

DWORD Tpm2Backend::WriteContainer(const WString& path, const Bytes& file, DWORD disposition) {
    if (file.empty()) return Nte(NTE_FAIL);
    return WriteContainerFile(kLogName, path, file, disposition);
}

DWORD Tpm2Backend::ReadKeyed(const WString& name, Container& c) {
    return RequireKey(ReadContainer(name, c), c);
}

DWORD Tpm2Backend::MatchingStorageKey(Tpm& tpm, const Container& c, ESYS_TR& primary) {
    Bytes name;
    DWORD err = tpm.StorageKey(primary, name);
    if (err != ERROR_SUCCESS) return err;
    if (name.size() != c.storageName.size() ||
        !ConstantTimeEqual(name.data(), c.storageName.data(), name.size())) {
        _PrintError(kLogName, __LINE__,
                    "the key of container %S was made by another TPM, or this TPM was cleared since; it "
                    "cannot be used here",
                    c.name.c_str());
        return Nte(NTE_DEVICE_NOT_FOUND);
    }
    return ERROR_SUCCESS;
}

DWORD Tpm2Backend::CheckSameTpm(const Container& c) {
    return Converse(m_tcti, [&](Tpm& tpm) -> DWORD {
        ESYS_TR primary = ESYS_TR_NONE;
        return MatchingStorageKey(tpm, c, primary);
    });
}

/* Owned here means ready to hold this provider's keys: reachable, the storage
 * hierarchy enabled, and its owner authorization the empty one the provider
 * uses to make its storage key. A TPM in dictionary-attack lockout is still
 * owned; its keys fail with their own status. */
DWORD Tpm2Backend::QueryOwned(BOOL* owned) {
    *owned = FALSE;
    DWORD err = Converse(m_tcti, [&](Tpm& tpm) -> DWORD {
        UINT32 permanent = 0, startup = 0;
        for (TPM2_PT property : {TPM2_PT_PERMANENT, TPM2_PT_STARTUP_CLEAR}) {
            TPMS_CAPABILITY_DATA* data = nullptr;
            TPMI_YES_NO more = TPM2_NO;
            TSS2_RC rc = Esys_GetCapability(tpm.esys(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                            TPM2_CAP_TPM_PROPERTIES, property, 1, &more, &data);
            if (rc != TSS2_RC_SUCCESS) return Generic("TPM2_GetCapability", rc, __LINE__);
            const TPML_TAGGED_TPM_PROPERTY& list = data->data.tpmProperties;
            const bool found = data->capability == TPM2_CAP_TPM_PROPERTIES && list.count >= 1 &&
                               list.tpmProperty[0].property == property;
            const UINT32 value = found ? list.tpmProperty[0].value : 0;
            Esys_Free(data);
            if (!found) {
                _PrintError(kLogName, __LINE__, "the TPM did not report property 0x%x", (unsigned)property);
                return Nte(NTE_FAIL);
            }
            (property == TPM2_PT_PERMANENT ? permanent : startup) = value;
        }
        if (!(startup & TPMA_STARTUP_CLEAR_SHENABLE)) {
            _PrintError(kLogName, __LINE__, "the TPM's storage hierarchy is disabled: not owned");
        } else if (permanent & TPMA_PERMANENT_OWNERAUTHSET) {
            _PrintError(kLogName, __LINE__,
                        "the TPM's owner hierarchy has a password, so the provider cannot make its "
                        "storage key: not owned");
        } else {
            *owned = TRUE;
        }
        return ERROR_SUCCESS;
    });
    // An unreachable TPM is an answer here: not owned.
    if (err == kBackendUnavailable) {
        *owned = FALSE;
        return ERROR_SUCCESS;
    }
    return err;
}

DWORD Tpm2Backend::CreateContainer(const WString& name) {
    WString path;
    DWORD err = PathOf(name, path, true);
    if (err != ERROR_SUCCESS) return err;
    Container c;
    c.name = name;
    return WriteContainer(path, Serialize(c), CREATE_NEW);
}

DWORD Tpm2Backend::OpenContainer(const WString& name) {
    Container c;
    DWORD err = ReadContainer(name, c);
    if (err != ERROR_SUCCESS || !c.keyed()) return err;
    // A key this TPM cannot use is refused before anything is wrapped under it.
    return CheckSameTpm(c);
}

DWORD Tpm2Backend::DeleteContainer(const WString& name) {
    WString path;
    DWORD err = PathOf(name, path, false);
    if (err != ERROR_SUCCESS) return err;
    return DeleteContainerFile(path);
}

DWORD Tpm2Backend::GenerateExchangeKey(const WString& name, const KeyGenParams& params,
                                       const SecureBytes& password) {
    Container c;
    DWORD err = ReadContainer(name, c);
    if (err != ERROR_SUCCESS) return err;
    if (c.keyed()) return Nte(NTE_EXISTS);
    c.flags = kFlagKeyed | (params.exportable ? kFlagExportable : 0);

    err = Converse(m_tcti, [&](Tpm& tpm) -> DWORD {
        ESYS_TR primary = ESYS_TR_NONE, session = ESYS_TR_NONE;
        DWORD e = tpm.StorageKey(primary, c.storageName);
        if (e == ERROR_SUCCESS) e = tpm.SaltedSession(primary, session);
        if (e != ERROR_SUCCESS) return e;

        TPM2B_SENSITIVE_CREATE sensitive = {};
        AuthFromPassword(password, sensitive.sensitive.userAuth);
        TPM2B_PUBLIC inPublic = KeyTemplate(c.name, c.flags);
        TPM2B_DATA outside = {};
        TPML_PCR_SELECTION pcrs = {};
        TPM2B_PRIVATE* outPrivate = nullptr;
        TPM2B_PUBLIC* outPublic = nullptr;
        // inSensitive, the password, is the first parameter: the session encrypts it.
        TSS2_RC rc =
            Esys_Create(tpm.esys(), primary, session, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &inPublic,
                        &outside, &pcrs, &outPrivate, &outPublic, nullptr, nullptr, nullptr);
        Cleanse(&sensitive, sizeof(sensitive));
        if (rc != TSS2_RC_SUCCESS) return Generic("TPM2_Create", rc, __LINE__);
        c.pub = *outPublic;
        c.priv = *outPrivate;
        Esys_Free(outPublic);
        Esys_Free(outPrivate);
        return ERROR_SUCCESS;
    });
    if (err != ERROR_SUCCESS) return err;
    if (!IsOurKey(c.pub, c.name, c.flags)) {
        _PrintError(kLogName, __LINE__, "the TPM made a key other than the one asked for");
        return Nte(NTE_FAIL);
    }
    WString path;
    if ((err = PathOf(name, path, true)) != ERROR_SUCCESS) return err;
    return WriteContainer(path, Serialize(c), CREATE_ALWAYS);
}

DWORD Tpm2Backend::GetExchangePublicKey(const WString& name, Bytes& publicKey) {
    Container c;
    DWORD err = ReadKeyed(name, c);
    if (err != ERROR_SUCCESS) return err;
    PkeyPtr key;
    if ((err = PublicKeyOf(c.pub, key)) != ERROR_SUCCESS) return Nte(NTE_KEYSET_ENTRY_BAD);
    return EncodePublicKey(key.get(), publicKey);
}

/* In software: OAEP under the TPM key's public half is exactly what
 * TPM2_RSA_Decrypt with OAEP, SHA-256 and an empty label takes back. */
DWORD Tpm2Backend::WrapKey(const WString& name, const BYTE* key, size_t keySize, Bytes& wrapped) {
    Container c;
    DWORD err = ReadKeyed(name, c);
    if (err != ERROR_SUCCESS) return err;
    PkeyPtr pub;
    if ((err = PublicKeyOf(c.pub, pub)) != ERROR_SUCCESS) return Nte(NTE_KEYSET_ENTRY_BAD);
    return OaepEncrypt(pub.get(), key, keySize, wrapped);
}

/* The container's key loaded under the storage key in a salted session, its
 * authorization the password's; primary stays loaded for the caller. */
DWORD Tpm2Backend::LoadKey(Tpm& tpm, const Container& c, const SecureBytes& password, ESYS_TR& primary,
                           ESYS_TR& session, ESYS_TR& loaded) {
    DWORD e = MatchingStorageKey(tpm, c, primary);
    if (e == ERROR_SUCCESS) e = tpm.SaltedSession(primary, session);
    if (e != ERROR_SUCCESS) return e;
    TSS2_RC rc = Esys_Load(tpm.esys(), primary, session, ESYS_TR_NONE, ESYS_TR_NONE, &c.priv, &c.pub, &loaded);
    if (rc != TSS2_RC_SUCCESS) {
        if (IsBusy(rc) || IsUnreachable(rc)) return Generic("TPM2_Load", rc, __LINE__);
        _PrintError(kLogName, __LINE__, "the key of container %S does not load into this TPM (0x%x)",
                    c.name.c_str(), (unsigned)rc);
        return Nte(NTE_KEYSET_ENTRY_BAD);
    }
    tpm.Track(loaded);
    TPM2B_AUTH auth = {};
    AuthFromPassword(password, auth);
    rc = Esys_TR_SetAuth(tpm.esys(), loaded, &auth);
    Cleanse(&auth, sizeof(auth));
    if (rc != TSS2_RC_SUCCESS) return Generic("Esys_TR_SetAuth", rc, __LINE__);
    return ERROR_SUCCESS;
}

/* A command authorized by the key's password failed: a wrong password, a
 * lockout or a TPM that is busy or gone; 0 for anything else. */
DWORD AuthorizedFailure(const char* call, TSS2_RC rc, const WString& name) {
    if (IsAuthFailure(rc)) {
        _PrintError(kLogName, __LINE__, "the password does not unlock the key of container %S", name.c_str());
        return Nte(TPM_E_AUTHFAIL);
    }
    if (IsLockout(rc)) {
        _PrintError(kLogName, __LINE__,
                    "the TPM is locked out by its dictionary-attack defence after repeated wrong "
                    "passwords; no key can be used until the lockout ends");
        return Nte(TPM_E_DEFEND_LOCK_RUNNING);
    }
    if (IsBusy(rc) || IsUnreachable(rc)) return Generic(call, rc, __LINE__);
    return ERROR_SUCCESS;
}

DWORD Tpm2Backend::UnwrapKey(const WString& name, const SecureBytes& password, const BYTE* wrapped,
                             size_t wrappedSize, SecureBytes& key) {
    Container c;
    DWORD err = ReadKeyed(name, c);
    if (err != ERROR_SUCCESS) return err;
    if (wrappedSize != kRsaBytes) return Nte(NTE_BAD_DATA);

    return Converse(m_tcti, [&](Tpm& tpm) -> DWORD {
        ESYS_TR primary = ESYS_TR_NONE, session = ESYS_TR_NONE, loaded = ESYS_TR_NONE;
        DWORD e = LoadKey(tpm, c, password, primary, session, loaded);
        if (e != ERROR_SUCCESS) return e;
        tpm.Flush(primary); // frees a slot; the session keeps its salt

        TPM2B_PUBLIC_KEY_RSA cipher = {};
        cipher.size = static_cast<UINT16>(wrappedSize);
        memcpy(cipher.buffer, wrapped, wrappedSize);
        TPMT_RSA_DECRYPT scheme = {};
        scheme.scheme = TPM2_ALG_OAEP;
        scheme.details.oaep.hashAlg = TPM2_ALG_SHA256;
        TPM2B_DATA label = {};
        TPM2B_PUBLIC_KEY_RSA* message = nullptr;
        // The message is the first response parameter: the session encrypts it.
        TSS2_RC rc = Esys_RSA_Decrypt(tpm.esys(), loaded, session, ESYS_TR_NONE, ESYS_TR_NONE, &cipher, &scheme,
                                      &label, &message);
        const TPM2B_AUTH none = {};
        Esys_TR_SetAuth(tpm.esys(), loaded, &none);
        if (rc != TSS2_RC_SUCCESS) {
            if ((e = AuthorizedFailure("TPM2_RSA_Decrypt", rc, name)) != ERROR_SUCCESS) return e;
            // The authorization held, so the bytes are at fault: a real TPM says
            // TPM_RC_VALUE or TPM_RC_SIZE, the simulator TPM_RC_FAILURE.
            return Nte(NTE_BAD_DATA);
        }
        key.assign(message->buffer, message->size);
        Cleanse(message, sizeof(*message));
        Esys_Free(message);
        return ERROR_SUCCESS;
    });
}

/* TPM2_ObjectChangeAuth authorized by the old password (a wrong one counts
 * against the dictionary-attack defence as any use does) gives the key's
 * private area under the new one; the file is then replaced whole. A copy of
 * the old file would still load with the old password: the TPM keeps no state
 * of its own for a key that is not persistent. */
DWORD Tpm2Backend::ChangePassword(const WString& name, const SecureBytes& oldPassword,
                                  const SecureBytes& newPassword) {
    Container c;
    DWORD err = ReadKeyed(name, c);
    if (err != ERROR_SUCCESS) return err;
    err = Converse(m_tcti, [&](Tpm& tpm) -> DWORD {
        ESYS_TR primary = ESYS_TR_NONE, session = ESYS_TR_NONE, loaded = ESYS_TR_NONE;
        DWORD e = LoadKey(tpm, c, oldPassword, primary, session, loaded);
        if (e != ERROR_SUCCESS) return e;
        TPM2B_AUTH newAuth = {};
        AuthFromPassword(newPassword, newAuth);
        TPM2B_PRIVATE* outPrivate = nullptr;
        // newAuth is the first command parameter: the session encrypts it.
        TSS2_RC rc = Esys_ObjectChangeAuth(tpm.esys(), loaded, primary, session, ESYS_TR_NONE, ESYS_TR_NONE,
                                           &newAuth, &outPrivate);
        Cleanse(&newAuth, sizeof(newAuth));
        const TPM2B_AUTH none = {};
        Esys_TR_SetAuth(tpm.esys(), loaded, &none);
        if (rc != TSS2_RC_SUCCESS) {
            if ((e = AuthorizedFailure("TPM2_ObjectChangeAuth", rc, name)) != ERROR_SUCCESS) return e;
            return Generic("TPM2_ObjectChangeAuth", rc, __LINE__);
        }
        c.priv = *outPrivate;
        Esys_Free(outPrivate);
        return ERROR_SUCCESS;
    });
    if (err != ERROR_SUCCESS) return err;
    WString path;
    if ((err = PathOf(name, path, true)) != ERROR_SUCCESS) return err;
    return WriteContainer(path, Serialize(c), CREATE_ALWAYS);
}

DWORD Tpm2Backend::ExportContainer(const WString& name, Bytes& record) {
    Container c;
    DWORD err = ReadKeyed(name, c);
    if (err != ERROR_SUCCESS) return err;
    if ((c.flags & kFlagExportable) == 0) return Nte(NTE_BAD_KEY_STATE);
    // The record is the container itself: the key inside stays sealed to this TPM.
    record = std::move(c.raw);
    return ERROR_SUCCESS;
}

DWORD Tpm2Backend::ImportContainer(const WString& name, const BYTE* record, size_t recordSize) {
    if (!IsValidContainerName(name.c_str())) return Nte(NTE_BAD_KEYSET_PARAM);
    if (recordSize > kMaxFileSize) return Nte(NTE_BAD_DATA);
    Container c;
    const Bytes file(record, record + recordSize);
    if (Parse(file, name, c) != ERROR_SUCCESS || !c.keyed()) return Nte(NTE_BAD_DATA);

    // Only the TPM that made the key can take it back; make sure before writing.
    DWORD err = Converse(m_tcti, [&](Tpm& tpm) -> DWORD {
        ESYS_TR primary = ESYS_TR_NONE, loaded = ESYS_TR_NONE;
        DWORD e = MatchingStorageKey(tpm, c, primary);
        if (e != ERROR_SUCCESS) return e;
        TSS2_RC rc = Esys_Load(tpm.esys(), primary, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &c.priv,
                               &c.pub, &loaded);
        if (rc != TSS2_RC_SUCCESS) {
            if (IsBusy(rc) || IsUnreachable(rc)) return Generic("TPM2_Load", rc, __LINE__);
            _PrintError(kLogName, __LINE__,
                        "the restored key of container %S does not load into this TPM (0x%x)", name.c_str(),
                        (unsigned)rc);
            return Nte(NTE_BAD_DATA);
        }
        tpm.Track(loaded);
        return ERROR_SUCCESS;
    });
    if (err != ERROR_SUCCESS) return err;
    WString path;
    if ((err = PathOf(name, path, true)) != ERROR_SUCCESS) return err;
    return WriteContainer(path, file, CREATE_ALWAYS);
}

} // namespace

/* Cheap, as the provider asks for one per context: the TCTI is opened and
 * closed once to tell a missing TPM from a present one. */
DWORD CreateTpm2Backend(std::unique_ptr<Backend>& out) {
    std::string tcti;
    DWORD err = ConfiguredTcti(tcti);
    if (err != ERROR_SUCCESS) return err;
    TSS2_TCTI_CONTEXT* probe = nullptr;
    if (Tss2_TctiLdr_Initialize(tcti.c_str(), &probe) != TSS2_RC_SUCCESS) return kBackendUnavailable;
    Tss2_TctiLdr_Finalize(&probe);
    out.reset(new Tpm2Backend(std::move(tcti)));
    return ERROR_SUCCESS;
}

} // namespace tpmksp
