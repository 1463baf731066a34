/*
 * The seam between the CryptoAPI-facing provider and where keys actually live.
 *
 * A backend keeps named key containers, each holding at most one RSA-2048
 * exchange key pair whose private half can only be used with the password it
 * was generated under. The provider (provider.cpp) owns everything CryptoAPI:
 * handles, flags, blob layouts, AES blob keys, the password held by a context,
 * and the backup-password layer of escrow. A backend owns key custody only.
 *
 * Container lifecycle, per name:
 *
 *     absent --Create--> empty --GenerateExchangeKey--> keyed
 *        ^                  |                             |
 *        +------Delete------+-------------Delete----------+
 *     ImportContainer takes any state to keyed.
 *
 * A container that exists but cannot be read back intact (truncated, changed,
 * stored under another name, unknown format) is "damaged".
 *
 * Results by state (ERROR_SUCCESS = 0):
 *
 *   operation             absent          empty           keyed            damaged
 *   CreateContainer       0 -> empty      NTE_EXISTS      NTE_EXISTS       NTE_EXISTS
 *   OpenContainer         NTE_BAD_KEYSET  0               0                NTE_KEYSET_ENTRY_BAD
 *   DeleteContainer       NTE_BAD_KEYSET  0 -> absent     0 -> absent      0 -> absent
 *   GenerateExchangeKey   NTE_BAD_KEYSET  0 -> keyed      NTE_EXISTS       NTE_KEYSET_ENTRY_BAD
 *   GetExchangePublicKey  NTE_BAD_KEYSET  NTE_NO_KEY      0                NTE_KEYSET_ENTRY_BAD
 *   WrapKey               NTE_BAD_KEYSET  NTE_NO_KEY      0                NTE_KEYSET_ENTRY_BAD
 *   UnwrapKey             NTE_BAD_KEYSET  NTE_NO_KEY      0 (see below)    NTE_KEYSET_ENTRY_BAD
 *   ExportContainer       NTE_BAD_KEYSET  NTE_NO_KEY      0 (see below)    NTE_KEYSET_ENTRY_BAD
 *   ChangePassword        NTE_BAD_KEYSET  NTE_NO_KEY      0 (see below)    NTE_KEYSET_ENTRY_BAD
 *   ImportContainer       0 -> keyed      0 -> keyed      0 -> keyed       0 -> keyed
 *   ListContainers        (names every container that is not absent)
 *
 *   - Every operation taking a name answers NTE_BAD_KEYSET_PARAM for a name
 *     that IsValidContainerName refuses, before touching any state.
 *   - UnwrapKey: TPM_E_AUTHFAIL when the password does not unlock the private
 *     key (nothing is retried or cached); NTE_BAD_DATA when the wrapped bytes
 *     do not decrypt to a key under it.
 *   - ChangePassword: TPM_E_AUTHFAIL when the old password does not unlock
 *     the private key (a device counts it as UnwrapKey's); the container is
 *     replaced whole, the key pair and its public half unchanged.
 *   - ExportContainer: NTE_BAD_KEY_STATE when the key was generated without
 *     KeyGenParams::exportable.
 *   - ImportContainer: NTE_BAD_DATA when the record is not one this backend
 *     made, is damaged, or names another container; the state is then unchanged.
 *   - A backend whose keys are bound to a device (tpm2) also answers
 *     NTE_DEVICE_NOT_FOUND from OpenContainer, UnwrapKey and ImportContainer
 *     for a key that another device made (or this one before it was reset),
 *     TPM_E_DEFEND_LOCK_RUNNING from UnwrapKey while the device refuses
 *     passwords after too many wrong ones, and kBackendUnavailable from any
 *     call when the device stops answering.
 *   - Any operation may also fail with a Win32 error of the store (disk full,
 *     access denied, ...) or NTE_NO_MEMORY / NTE_FAIL; the state is then
 *     unchanged. No operation leaves a container half-written.
 *
 * Ownership: arguments are borrowed for the duration of the call. Outputs are
 * caller-owned and written only on success. Secrets (passwords, unwrapped keys)
 * are SecureBytes, cleansed by their owner; a backend keeps no secret beyond
 * the call that received it.
 *
 * Threads and processes: one Backend object may be called from several threads
 * at once. Calls on different containers never interfere. Calls on the same
 * container are serialised by the caller (the system holds its machine-wide
 * lock around all of them); without that, each call still sees either the old
 * or the new whole state of a container, never a torn one.
 *
 * Selection: backends.cpp keeps the table of backends compiled in; the one in
 * use comes from the registry value "Backend" (REG_SZ) under
 * HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwick Systems Corp.\TPM Key Storage Provider,
 * default "software", or from the environment variable VAULTKEEP_KSP_BACKEND,
 * which wins (for tests). A factory that finds its device missing on this
 * machine answers kBackendUnavailable, and nothing else does. The provider asks
 * the factory for a fresh Backend for every context and every escrow call (the
 * machine root may change between them), so a factory should be cheap; a
 * backend may share a device connection behind its objects.
 */
#pragma once
#include <windows.h>

#include <memory>
#include <vector>

#include "ksp_crypto.h"

namespace tpmksp {

/* What PP_TCG_KEYPARAM and the CryptGenKey flags ask of the next key. */
struct KeyGenParams {
    bool exportable = true; /* may leave through ExportContainer */
};

class Backend {
  public:
    virtual ~Backend() = default;

    /* Whether the key store is present and ready for use (a TPM with an owner).
     * Writes TRUE or FALSE to *owned. */
    virtual DWORD QueryOwned(BOOL* owned) = 0;

    virtual DWORD CreateContainer(const WString& name) = 0;
    /* Confirms the container exists and reads back intact. */
    virtual DWORD OpenContainer(const WString& name) = 0;
    virtual DWORD DeleteContainer(const WString& name) = 0;

    /* Makes the container's RSA-2048 (e = 65537) exchange key pair, usable
     * afterwards only with exactly these password bytes. */
    virtual DWORD GenerateExchangeKey(const WString& name, const KeyGenParams& params,
                                      const SecureBytes& password) = 0;
    /* The public key as DER SubjectPublicKeyInfo. */
    virtual DWORD GetExchangePublicKey(const WString& name, Bytes& publicKey) = 0;

    /* RSA-OAEP (SHA-256, MGF1-SHA-256, no label) of key under the container's
     * public key: kRsaBytes, big-endian. Needs no password. */
    virtual DWORD WrapKey(const WString& name, const BYTE* key, size_t keySize, Bytes& wrapped) = 0;
    /* The inverse of WrapKey, with the container's private key unlocked by
     * password. */
    virtual DWORD UnwrapKey(const WString& name, const SecureBytes& password, const BYTE* wrapped,
                            size_t wrappedSize, SecureBytes& key) = 0;

    /* Protects the container's private key with newPassword instead of
     * oldPassword, which must unlock it. */
    virtual DWORD ChangePassword(const WString& name, const SecureBytes& oldPassword,
                                 const SecureBytes& newPassword) = 0;

    /* Escrow: an opaque record of the whole container, the private key still
     * protected by its key password, which ImportContainer of the same backend
     * (on this or another machine) turns back into the same container. The
     * provider seals the record under the backup password. */
    virtual DWORD ExportContainer(const WString& name, Bytes& record) = 0;
    virtual DWORD ImportContainer(const WString& name, const BYTE* record, size_t recordSize) = 0;

    /* The names of the containers in the store, in no particular order: every
     * name IsValidContainerName accepts that the store holds, damaged ones too
     * (an empty store, or none yet, is an empty list). */
    virtual DWORD ListContainers(std::vector<WString>& names) = 0;
};

#ifndef NTE_DEVICE_NOT_FOUND
/* The device a key is bound to is not this one. */
#define NTE_DEVICE_NOT_FOUND ((HRESULT)0x80090035L)
#endif

/* A factory returns ERROR_SUCCESS with a backend, or an error. */
constexpr DWORD kBackendUnavailable = static_cast<DWORD>(TBS_E_SERVICE_NOT_RUNNING);
using BackendFactory = DWORD (*)(std::unique_ptr<Backend>& out);

struct BackendEntry {
    const char* name;
    BackendFactory factory;
    const char* description;
};

/* The backends compiled into this module; the first is the default. */
const BackendEntry* BackendTable(size_t* count);
/* The backend configured for this machine root (see Selection above): the
 * factory's result, or NTE_PROV_DLL_NOT_FOUND for a name not in the table. */
DWORD CreateConfiguredBackend(std::unique_ptr<Backend>& out, const char** name);

DWORD CreateSoftwareBackend(std::unique_ptr<Backend>& out);
#ifdef TPMKSP_HAVE_TPM2
DWORD CreateTpm2Backend(std::unique_ptr<Backend>& out);
#endif

/* The provider's settings key, shared by the provider and its backends. */
#define TPM_KSP_SETTINGS_KEY W("SOFTWARE\\Tarnwick Systems Corp.\\TPM Key Storage Provider")

} // namespace tpmksp
