/*
 * The software backend: one file per container in the provider's store,
 * C:\ProgramData\Tarnwick Systems Corp\TPM Key Storage Provider\MachineKeys\<name>,
 * reached only through the PAL's file calls.
 *
 * Container file, integers little-endian:
 *
 *   0   4   magic "TKSC"
 *   4   4   format version, 1
 *   8   4   flags: 1 keyed, 2 exportable
 *   12  4   N: byte length of the name (UTF-16LE, no terminator)
 *   16  4   P: byte length of the public key (0 when not keyed)
 *   20  4   S: byte length of the sealed private key (0 when not keyed)
 *   24  12  scrypt log2(N), r, p (zero when not keyed)
 *   36  32  scrypt salt
 *   68  12  AES-GCM nonce
 *   80  N   container name
 *   ..  P   public key, DER SubjectPublicKeyInfo
 *   ..  S   private key (DER PKCS#8) sealed with AES-256-GCM under the scrypt key
 *           of the key password: ciphertext || 16-byte tag. The associated data
 *           is every byte before it, so the name, flags, KDF parameters and
 *           public key cannot be changed or swapped without the unseal failing.
 *   end 32  SHA-256 of all bytes before it. Catches damage at open time, so a
 *           damaged file is told apart from a wrong password; it is no defence
 *           against a deliberate edit, which the seal catches.
 */
#include "backend.h"
#include "container_store.h"

#include <cstring>
#include <mutex>


#include "DiagLog.h"
#include "KeyProvider.h"

namespace tpmksp {

namespace {

constexpr BYTE kMagic[4] = {'T', 'K', 'S', 'C'};
constexpr uint32_t kFlagKeyed = kContainerFlagKeyed;
constexpr uint32_t kFlagExportable = kContainerFlagExportable;
constexpr size_t kHeaderSize = 80;
constexpr size_t kMaxPublicKey = 2048;
constexpr size_t kMaxSealed = 8192;
constexpr size_t kMaxFileSize =
    kHeaderSize + 2 * kMaxContainerName + kMaxPublicKey + kMaxSealed + kSha256Size;

const char kLogName[] = "TpmKsp::SoftwareBackend";

struct Container {
    WString name;
    uint32_t flags = 0;
    Bytes publicKey;
    KdfParams kdf = {0, 0, 0};
    BYTE salt[kSaltSize] = {};
    BYTE nonce[kGcmNonceSize] = {};
    Bytes sealed;
    Bytes raw;          /* the whole file as read */
    size_t aadSize = 0; /* bytes of raw covered as associated data */

    bool keyed() const { return (flags & kFlagKeyed) != 0; }
};

/* Everything up to and including the public key: the associated data. */
Bytes SerializeHead(const Container& c, size_t sealedSize) {
    Writer w;
    w.Raw(kMagic, sizeof(kMagic));
    w.U32(kContainerVersion);
    w.U32(c.flags);
    const Bytes name = NameBytes(c.name);
    w.U32(static_cast<uint32_t>(name.size()));
    w.U32(static_cast<uint32_t>(c.publicKey.size()));
    w.U32(static_cast<uint32_t>(sealedSize));
    w.U32(c.kdf.log2N);
    w.U32(c.kdf.r);
    w.U32(c.kdf.p);
    w.Raw(c.salt, sizeof(c.salt));
    w.Raw(c.nonce, sizeof(c.nonce));
    w.Raw(name);
    w.Raw(c.publicKey);
    return std::move(w.bytes());
}

/* Parses a hostile file. expected: the name it must carry. */
DWORD Parse(const Bytes& file, const WString& expected, Container& out) {
    const char* why = nullptr;
    Container c;
    Reader r(file.data(), file.size());
    uint32_t cbName = 0, cbPublic = 0, cbSealed = 0;
    const BYTE *pub = nullptr, *sealed = nullptr, *salt = nullptr, *nonce = nullptr;

    why = CheckEnvelope(file, kHeaderSize, kMaxFileSize, kMagic, "not a container file", r, c.flags);
    if (why) goto bad;
    if (!r.U32(cbName) || !r.U32(cbPublic) || !r.U32(cbSealed) || !r.U32(c.kdf.log2N) || !r.U32(c.kdf.r) ||
        !r.U32(c.kdf.p) || !r.Take(kSaltSize, salt) || !r.Take(kGcmNonceSize, nonce)) {
        why = "short header";
        goto bad;
    }
    if (cbName > 2 * kMaxContainerName || cbPublic > kMaxPublicKey || cbSealed > kMaxSealed ||
        static_cast<size_t>(cbName) + cbPublic + cbSealed != r.remaining() - kSha256Size) {
        why = "lengths do not match the file";
        goto bad;
    }
    if ((why = TakeName(r, cbName, expected, c.name)) != nullptr) goto bad;
    r.Take(cbPublic, pub);
    c.aadSize = r.offset();
    r.Take(cbSealed, sealed);
    if (c.keyed()) {
        PkeyPtr key;
        if (cbPublic == 0 || cbSealed < kGcmTagSize + 1 || !KdfParamsAcceptable(c.kdf) ||
            DecodePublicKey(pub, cbPublic, key) != ERROR_SUCCESS) {
            why = "bad key material";
            goto bad;
        }
    } else if (cbPublic != 0 || cbSealed != 0 || (c.flags & kFlagExportable) != 0) {
        why = "key material in an empty container";
        goto bad;
    }
    c.publicKey.assign(pub, pub + cbPublic);
    c.sealed.assign(sealed, sealed + cbSealed);
    memcpy(c.salt, salt, kSaltSize);
    memcpy(c.nonce, nonce, kGcmNonceSize);
    c.raw = file;
    out = std::move(c);
    return ERROR_SUCCESS;

bad:
    _PrintError(kLogName, __LINE__, "container %S is damaged: %s", expected.c_str(), why);
    return Nte(NTE_KEYSET_ENTRY_BAD);
}

class SoftwareBackend final : public Backend {
  public:
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
    DWORD ListContainers(std::vector<WString>& names) override { return ListContainerFiles(W("MachineKeys"), names); }

  private:
    static DWORD PathOf(const WString& name, WString& path, bool createFolder);
    static DWORD Unseal(const WString& name, const Container& c, const SecureBytes& password,
                        SecureBytes& privateDer, PkeyPtr& priv);
    DWORD SealAndWrite(const WString& name, Container& c, const SecureBytes& privateDer,
                       const SecureBytes& password);
    static DWORD LoadContainer(const WString& name, Container& c);
    DWORD ReadContainer(const WString& name, Container& c);
    DWORD WriteContainer(const WString& name, const WString& path, const Bytes& file, DWORD disposition);
    DWORD ReadKeyed(const WString& name, Container& c);
    void Forget();

    /* The container this object read or wrote last. The provider makes one
     * backend object per context, and a context's calls (open, get the key,
     * wrap or unwrap, or create and generate) all need the same container: it
     * is read and checked once, not once per call, and what this object writes
     * is not read back. A delete, or a write that fails, drops it. */
    std::mutex m_lastLock;
    bool m_haveLast = false;
    Container m_last;
};

/* createBase: the software store has always made the application data folder too. */
DWORD SoftwareBackend::PathOf(const WString& name, WString& path, bool createFolder) {
    return ContainerPath(W("MachineKeys"), true, name, path, createFolder);
}

void SoftwareBackend::Forget() {
    std::lock_guard<std::mutex> lock(m_lastLock);
    m_haveLast = false;
    m_last = Container();
}

DWORD SoftwareBackend::ReadContainer(const WString& name, Container& c) {
    {
        std::lock_guard<std::mutex> lock(m_lastLock);
        if (m_haveLast && m_last.name == name) {
            c = m_last;
            return ERROR_SUCCESS;
        }
    }
    DWORD err = LoadContainer(name, c);
    if (err == ERROR_SUCCESS) {
        std::lock_guard<std::mutex> lock(m_lastLock);
        m_last = c;
        m_haveLast = true;
    }
    return err;
}

DWORD SoftwareBackend::LoadContainer(const WString& name, Container& c) {
    WString path;
    DWORD err = PathOf(name, path, false);
    if (err != ERROR_SUCCESS) return err;
    Bytes file;
    if ((err = ReadContainerFile(path, kMaxFileSize, file)) != ERROR_SUCCESS) return err;
    return Parse(file, name, c);
}

DWORD SoftwareBackend::WriteContainer(const WString& name, const WString& path, const Bytes& file,
                                      DWORD disposition) {
    Forget();
    DWORD err = WriteContainerFile(kLogName, path, file, disposition);
    if (err != ERROR_SUCCESS) return err;
    Container written;
    if (Parse(file, name, written) == ERROR_SUCCESS) {
        std::lock_guard<std::mutex> lock(m_lastLock);
        m_last = std::move(written);
        m_haveLast = true;
    }
    return ERROR_SUCCESS;
}

DWORD SoftwareBackend::ReadKeyed(const WString& name, Container& c) {
    return RequireKey(ReadContainer(name, c), c);
}

/* "SoftwareTpmOwned" (REG_DWORD) under the provider's settings key stands in
 * for TPM ownership: absent, or any value but a DWORD 0, means owned. */
DWORD SoftwareBackend::QueryOwned(BOOL* owned) {
    *owned = TRUE;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TPM_KSP_SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    DWORD type = 0, value = 1, cb = sizeof(value);
    LSTATUS st =
        RegQueryValueExW(key, W("SoftwareTpmOwned"), nullptr, &type, reinterpret_cast<LPBYTE>(&value), &cb);
    RegCloseKey(key);
    if (st == ERROR_SUCCESS && type == REG_DWORD && cb == sizeof(value) && value == 0) *owned = FALSE;
    return ERROR_SUCCESS;
}

DWORD SoftwareBackend::CreateContainer(const WString& name) {
    WString path;
    DWORD err = PathOf(name, path, true);
    if (err != ERROR_SUCCESS) return err;
    Container c;
    c.name = name;
    Bytes file = SerializeHead(c, 0);
    AppendChecksum(file);
    return WriteContainer(name, path, file, CREATE_NEW);
}

DWORD SoftwareBackend::OpenContainer(const WString& name) {
    Container c;
    return ReadContainer(name, c);
}

DWORD SoftwareBackend::DeleteContainer(const WString& name) {
    Forget();
    WString path;
    DWORD err = PathOf(name, path, false);
    if (err != ERROR_SUCCESS) return err;
    return DeleteContainerFile(path);
}

DWORD SoftwareBackend::GenerateExchangeKey(const WString& name, const KeyGenParams& params,
                                           const SecureBytes& password) {
    Container c;
    DWORD err = ReadContainer(name, c);
    if (err != ERROR_SUCCESS) return err;
    if (c.keyed()) return Nte(NTE_EXISTS);

    PkeyPtr key;
    SecureBytes privateDer;
    if ((err = GenerateRsaKey(key)) != ERROR_SUCCESS ||
        (err = EncodePublicKey(key.get(), c.publicKey)) != ERROR_SUCCESS ||
        (err = EncodePrivateKey(key.get(), privateDer)) != ERROR_SUCCESS)
        return err;
    if (c.publicKey.size() > kMaxPublicKey || privateDer.size() + kGcmTagSize > kMaxSealed)
        return Nte(NTE_FAIL);

    c.flags = kFlagKeyed | (params.exportable ? kFlagExportable : 0);
    return SealAndWrite(name, c, privateDer, password);
}

/* The container file with the private key sealed under password (a fresh salt
 * and nonce), replacing the one of that name whole. */
DWORD SoftwareBackend::SealAndWrite(const WString& name, Container& c, const SecureBytes& privateDer,
                                    const SecureBytes& password) {
    SecureBytes sealKey;
    c.kdf = kDefaultKdf;
    DWORD err;
    if ((err = RandomBytes(c.salt, sizeof(c.salt))) != ERROR_SUCCESS ||
        (err = RandomBytes(c.nonce, sizeof(c.nonce))) != ERROR_SUCCESS ||
        (err = DeriveKey(password, c.salt, sizeof(c.salt), c.kdf, sealKey)) != ERROR_SUCCESS)
        return err;

    const size_t sealedSize = privateDer.size() + kGcmTagSize;
    Bytes file = SerializeHead(c, sealedSize);
    const size_t aadSize = file.size();
    file.resize(aadSize + sealedSize);
    if ((err = GcmSeal(sealKey, c.nonce, file.data(), aadSize, privateDer.data(), privateDer.size(),
                       file.data() + aadSize)) != ERROR_SUCCESS)
        return err;
    AppendChecksum(file);

    WString path;
    if ((err = PathOf(name, path, true)) != ERROR_SUCCESS) return err;
    return WriteContainer(name, path, file, CREATE_ALWAYS);
}

DWORD SoftwareBackend::GetExchangePublicKey(const WString& name, Bytes& publicKey) {
    Container c;
    DWORD err = ReadKeyed(name, c);
    if (err != ERROR_SUCCESS) return err;
    publicKey = std::move(c.publicKey);
    return ERROR_SUCCESS;
}

DWORD SoftwareBackend::WrapKey(const WString& name, const BYTE* key, size_t keySize, Bytes& wrapped) {
    Container c;
    DWORD err = ReadKeyed(name, c);
    if (err != ERROR_SUCCESS) return err;
    PkeyPtr pub;
    if ((err = DecodePublicKey(c.publicKey.data(), c.publicKey.size(), pub)) != ERROR_SUCCESS)
        return Nte(NTE_KEYSET_ENTRY_BAD);
    return OaepEncrypt(pub.get(), key, keySize, wrapped);
}

/* The private key of a keyed container, unsealed with password and checked against its public half. */
DWORD SoftwareBackend::Unseal(const WString& name, const Container& c, const SecureBytes& password,
                              SecureBytes& privateDer, PkeyPtr& priv) {
    SecureBytes sealKey;
    DWORD err = DeriveKey(password, c.salt, sizeof(c.salt), c.kdf, sealKey);
    if (err != ERROR_SUCCESS) return err;
    err = GcmOpen(sealKey, c.nonce, c.raw.data(), c.aadSize, c.sealed.data(), c.sealed.size(), privateDer);
    if (err == Nte(NTE_BAD_DATA)) {
        _PrintError(kLogName, __LINE__, "the password does not unlock the key of container %S", name.c_str());
        return Nte(TPM_E_AUTHFAIL);
    }
    if (err != ERROR_SUCCESS) return err;

    PkeyPtr pub;
    if (DecodePrivateKey(privateDer, priv) != ERROR_SUCCESS ||
        DecodePublicKey(c.publicKey.data(), c.publicKey.size(), pub) != ERROR_SUCCESS ||
        !SameKeyPair(priv.get(), pub.get())) {
        _PrintError(kLogName, __LINE__, "container %S holds a key pair that does not match", name.c_str());
        return Nte(NTE_KEYSET_ENTRY_BAD);
    }
    return ERROR_SUCCESS;
}

DWORD SoftwareBackend::UnwrapKey(const WString& name, const SecureBytes& password, const BYTE* wrapped,
                                 size_t wrappedSize, SecureBytes& key) {
    Container c;
    SecureBytes privateDer;
    PkeyPtr priv;
    DWORD err = ReadKeyed(name, c);
    if (err == ERROR_SUCCESS) err = Unseal(name, c, password, privateDer, priv);
    if (err != ERROR_SUCCESS) return err;
    return OaepDecrypt(priv.get(), wrapped, wrappedSize, key);
}

DWORD SoftwareBackend::ChangePassword(const WString& name, const SecureBytes& oldPassword,
                                      const SecureBytes& newPassword) {
    Container c;
    SecureBytes privateDer;
    PkeyPtr priv;
    DWORD err = ReadKeyed(name, c);
    if (err == ERROR_SUCCESS) err = Unseal(name, c, oldPassword, privateDer, priv);
    if (err != ERROR_SUCCESS) return err;
    return SealAndWrite(name, c, privateDer, newPassword);
}

DWORD SoftwareBackend::ExportContainer(const WString& name, Bytes& record) {
    Container c;
    DWORD err = ReadKeyed(name, c);
    if (err != ERROR_SUCCESS) return err;
    if ((c.flags & kFlagExportable) == 0) return Nte(NTE_BAD_KEY_STATE);
    record = std::move(c.raw);
    return ERROR_SUCCESS;
}

DWORD SoftwareBackend::ImportContainer(const WString& name, const BYTE* record, size_t recordSize) {
    if (!IsValidContainerName(name.c_str())) return Nte(NTE_BAD_KEYSET_PARAM);
    if (recordSize > kMaxFileSize) return Nte(NTE_BAD_DATA);
    Container c;
    const Bytes file(record, record + recordSize);
    if (Parse(file, name, c) != ERROR_SUCCESS || !c.keyed()) return Nte(NTE_BAD_DATA);
    WString path;
    DWORD err = PathOf(name, path, true);
    if (err != ERROR_SUCCESS) return err;
    return WriteContainer(name, path, file, CREATE_ALWAYS);
}

} // namespace

DWORD CreateSoftwareBackend(std::unique_ptr<Backend>& out) {
    out.reset(new SoftwareBackend());
    return ERROR_SUCCESS;
}

} // namespace tpmksp
