/*
 * CryptoAPI dispatch: a context names a provider (the built-in default one or a
 * registered provider module) and the provider's own context; a key names its
 * context and the provider's own key. Callers only ever hold our handles, so a
 * provider never sees another provider's values and a stale or mistyped handle
 * is refused here:
 *   - a live handle of another kind               -> ERROR_INVALID_HANDLE
 *   - an unknown or released context (0 included) -> NTE_BAD_UID
 *   - an unknown or destroyed key (0 included)    -> NTE_BAD_KEY
 * Contexts and keys are entries of the PAL's handle table, whose values are
 * never reused within a process.
 *
 * Every entry sets the last error on every path: ERROR_SUCCESS, our own code,
 * or the code the provider set when its slot failed.
 */
#include <windows.h>
#include <wincrypt.h>

#include "com/RegValue.h"
#include "crypt/DefaultProvider.h"
#include "internal/handles.h"
#include "internal/paths.h"
#include "pal/csp.h"

#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace pal::crypt {
namespace {

constexpr DWORD kKnownAcquireFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
/* Provider names are registry key names: a bounded single path segment. */
constexpr size_t kMaxProviderNameChars = 255;

constexpr DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

struct Context final : HandleObject {
    Context() : HandleObject(HandleKind::CryptProv) {}
    const PAL_CSP_TABLE* table = nullptr;
    PAL_CSP_PROV hProv = 0;
    std::vector<ULONG_PTR> keys; // our key handles made in this context; under g_keysLock
};

struct Key final : HandleObject {
    Key(std::shared_ptr<Context> c, PAL_CSP_KEY k)
        : HandleObject(HandleKind::CryptKey), ctx(std::move(c)), hKey(k) {}
    const std::shared_ptr<Context> ctx;
    const PAL_CSP_KEY hKey;
};

std::mutex g_keysLock;    // every Context::keys
std::mutex g_modulesLock; // ProviderModules

HANDLE AsHandle(ULONG_PTR value) { return reinterpret_cast<HANDLE>(value); }

/* Provider modules stay loaded for the life of the process (a provider keeps
 * process-wide state such as open containers). Keyed by host path: the same
 * "C:\..." text names another file under another machine root. */
std::map<std::string, PFN_CPGetProviderTable>& ProviderModules() {
    static auto* modules = new std::map<std::string, PFN_CPGetProviderTable>();
    return *modules;
}

DWORD LookupContext(HCRYPTPROV hProv, std::shared_ptr<Context>& out) {
    bool live = false;
    out = Lookup<Context>(AsHandle(hProv), HandleKind::CryptProv, &live);
    return out ? ERROR_SUCCESS : live ? ERROR_INVALID_HANDLE : Code(NTE_BAD_UID);
}

DWORD LookupKey(HCRYPTKEY hKey, std::shared_ptr<Key>& out) {
    bool live = false;
    out = Lookup<Key>(AsHandle(hKey), HandleKind::CryptKey, &live);
    return out ? ERROR_SUCCESS : live ? ERROR_INVALID_HANDLE : Code(NTE_BAD_KEY);
}

/* An optional key argument (export key, public key): 0 means none. It must come
 * from the same provider as the context it is used with. */
DWORD LookupOptionalKey(HCRYPTKEY hKey, const Context& with, PAL_CSP_KEY& out) {
    out = 0;
    if (hKey == 0) return ERROR_SUCCESS;
    std::shared_ptr<Key> key;
    DWORD err = LookupKey(hKey, key);
    if (err != ERROR_SUCCESS) return err;
    if (key->ctx->table != with.table) return Code(NTE_BAD_KEY);
    out = key->hKey;
    return ERROR_SUCCESS;
}

ULONG_PTR RegisterContext(std::shared_ptr<Context> ctx) {
    HANDLE h = InsertHandle(std::move(ctx));
    if (!h) throw std::bad_alloc();
    return reinterpret_cast<ULONG_PTR>(h);
}

ULONG_PTR RegisterKey(const std::shared_ptr<Context>& ctx, PAL_CSP_KEY hKey) {
    auto key = std::make_shared<Key>(ctx, hKey);
    std::lock_guard<std::mutex> lock(g_keysLock);
    if (ctx->keys.size() == ctx->keys.capacity()) // grown first: the push cannot fail once the handle exists
        ctx->keys.reserve(ctx->keys.size() * 2 + 4);
    HANDLE h = InsertHandle(std::move(key));
    if (!h) throw std::bad_alloc();
    ctx->keys.push_back(reinterpret_cast<ULONG_PTR>(h));
    return reinterpret_cast<ULONG_PTR>(h);
}

/* Calls one provider slot and turns its BOOL into a code. A provider that fails
 * without saying why gets NTE_FAIL; one that throws cannot take us with it. */
template <typename F>
DWORD CallProvider(F&& slot) {
    SetLastError(ERROR_SUCCESS);
    try {
        if (slot()) return ERROR_SUCCESS;
    } catch (...) {
        return Code(NTE_FAIL);
    }
    DWORD err = GetLastError();
    return err != ERROR_SUCCESS ? err : Code(NTE_FAIL);
}

bool TableIsUsable(const PAL_CSP_TABLE* t) {
    if (t == nullptr) return false;
    if (t->dwMagic != PAL_CSP_MAGIC || t->dwVersion != PAL_CSP_VERSION) return false;
    if (t->cbSize < sizeof(PAL_CSP_TABLE)) return false;
    return t->AcquireContext && t->ReleaseContext && t->GenRandom && t->SetProvParam && t->GetProvParam &&
           t->GenKey && t->GetUserKey && t->ExportKey && t->ImportKey && t->Encrypt && t->Decrypt &&
           t->DestroyKey;
}

DWORD LoadNamedProvider(LPCWSTR szProvider, DWORD dwProvType, const PAL_CSP_TABLE*& table) {
    table = nullptr;
    std::u16string name(szProvider);
    // A backslash would address another key of the registry, not a provider.
    if (name.size() > kMaxProviderNameChars || name.find(u'\\') != std::u16string::npos)
        return Code(NTE_PROV_DLL_NOT_FOUND);

    std::u16string subKey = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" + name;
    std::u16string imagePath;
    if (pal::reg::QueryString(HKEY_LOCAL_MACHINE, subKey.c_str(), u"Image Path", imagePath) != ERROR_SUCCESS ||
        imagePath.empty())
        return Code(NTE_PROV_DLL_NOT_FOUND);
    DWORD registeredType = 0;
    if (pal::reg::QueryDword(HKEY_LOCAL_MACHINE, subKey.c_str(), u"Type", registeredType) != ERROR_SUCCESS ||
        registeredType != dwProvType)
        return Code(NTE_PROV_TYPE_NOT_DEF);
    std::string hostPath;
    DWORD pathError = ERROR_SUCCESS;
    if (!pal::ToHostPath(imagePath.c_str(), hostPath, pathError)) return Code(NTE_PROV_DLL_NOT_FOUND);

    PFN_CPGetProviderTable getTable = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_modulesLock);
        auto it = ProviderModules().find(hostPath);
        if (it != ProviderModules().end()) getTable = it->second;
    }
    if (getTable == nullptr) {
        // Loaded outside any lock: a module's initialisers may call back into us.
        HMODULE hModule = LoadLibraryW(imagePath.c_str());
        if (hModule == nullptr) return Code(NTE_PROV_DLL_NOT_FOUND);
        getTable = reinterpret_cast<PFN_CPGetProviderTable>(
            reinterpret_cast<void (*)(void)>(GetProcAddress(hModule, "CPGetProviderTable")));
        if (getTable == nullptr) {
            FreeLibrary(hModule);
            return Code(NTE_PROV_DLL_NOT_FOUND);
        }
        std::lock_guard<std::mutex> lock(g_modulesLock);
        ProviderModules().emplace(hostPath, getTable); // a racing loader's entry is the same module
    }
    // Asked on every acquire: the table is the provider's to give, and checking
    // it each time costs nothing beside opening a context.
    const PAL_CSP_TABLE* t = getTable();
    if (!TableIsUsable(t)) return Code(NTE_PROV_DLL_NOT_FOUND);
    if (t->dwProvType != dwProvType) return Code(NTE_PROV_TYPE_NOT_DEF);
    table = t;
    return ERROR_SUCCESS;
}

DWORD AcquireWorker(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType, DWORD dwFlags) {
    if (phProv == nullptr) return ERROR_INVALID_PARAMETER;
    *phProv = 0;
    if ((dwFlags & ~kKnownAcquireFlags) != 0) return Code(NTE_BAD_FLAGS);
    if ((dwFlags & CRYPT_NEWKEYSET) && (dwFlags & CRYPT_DELETEKEYSET)) return Code(NTE_BAD_FLAGS);
    if (dwProvType == 0) return Code(NTE_BAD_PROV_TYPE);

    const PAL_CSP_TABLE* table = nullptr;
    if (szProvider == nullptr || szProvider[0] == 0) {
        if (dwProvType != PROV_RSA_FULL && dwProvType != PROV_RSA_AES) return Code(NTE_PROV_TYPE_NOT_DEF);
        table = DefaultProviderTable();
    } else {
        DWORD err = LoadNamedProvider(szProvider, dwProvType, table);
        if (err != ERROR_SUCCESS) return err;
    }

    PAL_CSP_PROV hProvider = 0;
    DWORD err = CallProvider([&] { return table->AcquireContext(&hProvider, szContainer, dwFlags); });
    if (err != ERROR_SUCCESS) return err;
    if (dwFlags & CRYPT_DELETEKEYSET) return ERROR_SUCCESS; // nothing was opened; *phProv stays 0

    try {
        auto ctx = std::make_shared<Context>();
        ctx->table = table;
        ctx->hProv = hProvider;
        *phProv = RegisterContext(std::move(ctx));
    } catch (...) {
        CallProvider([&] { return table->ReleaseContext(hProvider, 0); });
        return Code(NTE_NO_MEMORY);
    }
    return ERROR_SUCCESS;
}

DWORD ReleaseWorker(HCRYPTPROV hProv, DWORD dwFlags) {
    std::shared_ptr<Context> ctx;
    DWORD err = LookupContext(hProv, ctx);
    if (err != ERROR_SUCCESS) return err;
    if (dwFlags != 0) return Code(NTE_BAD_FLAGS);
    if (!TakeHandle(AsHandle(hProv), HandleKind::CryptProv)) return Code(NTE_BAD_UID); // released meanwhile
    std::vector<PAL_CSP_KEY> orphanKeys;
    {
        // Keys the caller left behind die with their context.
        std::lock_guard<std::mutex> lock(g_keysLock);
        for (ULONG_PTR k : ctx->keys)
            if (auto key = std::static_pointer_cast<Key>(TakeHandle(AsHandle(k), HandleKind::CryptKey)))
                orphanKeys.push_back(key->hKey);
        ctx->keys.clear();
    }
    for (PAL_CSP_KEY k : orphanKeys) CallProvider([&] { return ctx->table->DestroyKey(ctx->hProv, k); });
    return CallProvider([&] { return ctx->table->ReleaseContext(ctx->hProv, dwFlags); });
}

DWORD NewKeyHandle(const std::shared_ptr<Context>& ctx, PAL_CSP_KEY hProviderKey, HCRYPTKEY* phKey) {
    try {
        *phKey = RegisterKey(ctx, hProviderKey);
        return ERROR_SUCCESS;
    } catch (...) {
        CallProvider([&] { return ctx->table->DestroyKey(ctx->hProv, hProviderKey); });
        return Code(NTE_NO_MEMORY);
    }
}

DWORD GenKeyWorker(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    std::shared_ptr<Context> ctx;
    DWORD err = LookupContext(hProv, ctx);
    if (err != ERROR_SUCCESS) return err;
    if (phKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phKey = 0;
    PAL_CSP_KEY hKey = 0;
    err = CallProvider([&] { return ctx->table->GenKey(ctx->hProv, Algid, dwFlags, &hKey); });
    if (err != ERROR_SUCCESS) return err;
    return NewKeyHandle(ctx, hKey, phKey);
}

DWORD GetUserKeyWorker(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    std::shared_ptr<Context> ctx;
    DWORD err = LookupContext(hProv, ctx);
    if (err != ERROR_SUCCESS) return err;
    if (phUserKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phUserKey = 0;
    PAL_CSP_KEY hKey = 0;
    err = CallProvider([&] { return ctx->table->GetUserKey(ctx->hProv, dwKeySpec, &hKey); });
    if (err != ERROR_SUCCESS) return err;
    return NewKeyHandle(ctx, hKey, phUserKey);
}

DWORD ImportKeyWorker(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                      HCRYPTKEY* phKey) {
    std::shared_ptr<Context> ctx;
    DWORD err = LookupContext(hProv, ctx);
    if (err != ERROR_SUCCESS) return err;
    if (pbData == nullptr || phKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phKey = 0;
    PAL_CSP_KEY hProviderPub = 0;
    err = LookupOptionalKey(hPubKey, *ctx, hProviderPub);
    if (err != ERROR_SUCCESS) return err;
    PAL_CSP_KEY hKey = 0;
    err = CallProvider(
        [&] { return ctx->table->ImportKey(ctx->hProv, pbData, dwDataLen, hProviderPub, dwFlags, &hKey); });
    if (err != ERROR_SUCCESS) return err;
    return NewKeyHandle(ctx, hKey, phKey);
}

DWORD ExportKeyWorker(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen) {
    std::shared_ptr<Key> key;
    DWORD err = LookupKey(hKey, key);
    if (err != ERROR_SUCCESS) return err;
    PAL_CSP_KEY hProviderExp = 0;
    err = LookupOptionalKey(hExpKey, *key->ctx, hProviderExp);
    if (err != ERROR_SUCCESS) return err;
    if (pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    return CallProvider([&] {
        const Context& ctx = *key->ctx;
        return ctx.table->ExportKey(ctx.hProv, key->hKey, hProviderExp, dwBlobType, dwFlags, pbData, pdwDataLen);
    });
}

DWORD EncryptWorker(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                    DWORD dwBufLen) {
    std::shared_ptr<Key> key;
    DWORD err = LookupKey(hKey, key);
    if (err != ERROR_SUCCESS) return err;
    if (hHash != 0) return ERROR_INVALID_HANDLE; // no hash objects exist here
    if (pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    return CallProvider([&] {
        const Context& ctx = *key->ctx;
        return ctx.table->Encrypt(ctx.hProv, key->hKey, Final, dwFlags, pbData, pdwDataLen, dwBufLen);
    });
}

DWORD DecryptWorker(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
    std::shared_ptr<Key> key;
    DWORD err = LookupKey(hKey, key);
    if (err != ERROR_SUCCESS) return err;
    if (hHash != 0) return ERROR_INVALID_HANDLE;
    if (pdwDataLen == nullptr || (pbData == nullptr && *pdwDataLen != 0)) return ERROR_INVALID_PARAMETER;
    const Context& ctx = *key->ctx;
    return CallProvider([&] { return ctx.table->Decrypt(ctx.hProv, key->hKey, Final, dwFlags, pbData, pdwDataLen); });
}

DWORD DestroyKeyWorker(HCRYPTKEY hKey) {
    std::shared_ptr<Key> key;
    DWORD err = LookupKey(hKey, key);
    if (err != ERROR_SUCCESS) return err;
    err = CallProvider([&] { return key->ctx->table->DestroyKey(key->ctx->hProv, key->hKey); });
    if (err != ERROR_SUCCESS) return err;
    TakeHandle(AsHandle(hKey), HandleKind::CryptKey);
    std::lock_guard<std::mutex> lock(g_keysLock);
    auto& keys = key->ctx->keys;
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        if (*it == hKey) {
            keys.erase(it);
            break;
        }
    }
    return ERROR_SUCCESS;
}

DWORD GenRandomWorker(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    std::shared_ptr<Context> ctx;
    DWORD err = LookupContext(hProv, ctx);
    if (err != ERROR_SUCCESS) return err;
    if (pbBuffer == nullptr && dwLen != 0) return ERROR_INVALID_PARAMETER;
    if (dwLen == 0) return ERROR_SUCCESS;
    return CallProvider([&] { return ctx->table->GenRandom(ctx->hProv, dwLen, pbBuffer); });
}

DWORD SetProvParamWorker(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    std::shared_ptr<Context> ctx;
    DWORD err = LookupContext(hProv, ctx);
    if (err != ERROR_SUCCESS) return err;
    return CallProvider([&] { return ctx->table->SetProvParam(ctx->hProv, dwParam, pbData, dwFlags); });
}

DWORD GetProvParamWorker(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    std::shared_ptr<Context> ctx;
    DWORD err = LookupContext(hProv, ctx);
    if (err != ERROR_SUCCESS) return err;
    if (pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    return CallProvider([&] { return ctx->table->GetProvParam(ctx->hProv, dwParam, pbData, pdwDataLen, dwFlags); });
}

/* The one exit of every entry: no exception crosses it, the last error is set. */
template <typename F>
BOOL Finish(F&& worker) {
    DWORD err;
    try {
        err = worker();
    } catch (const std::bad_alloc&) {
        err = Code(NTE_NO_MEMORY);
    } catch (...) {
        err = Code(NTE_FAIL);
    }
    SetLastError(err);
    return err == ERROR_SUCCESS ? TRUE : FALSE;
}

} // namespace
} // namespace pal::crypt

using namespace pal::crypt;

extern "C" PAL_EXPORT BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                                DWORD dwProvType, DWORD dwFlags) {
    return Finish([&] { return AcquireWorker(phProv, szContainer, szProvider, dwProvType, dwFlags); });
}

extern "C" PAL_EXPORT BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return Finish([&] { return ReleaseWorker(hProv, dwFlags); });
}

extern "C" PAL_EXPORT BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    return Finish([&] { return GenRandomWorker(hProv, dwLen, pbBuffer); });
}

extern "C" PAL_EXPORT BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return Finish([&] { return SetProvParamWorker(hProv, dwParam, pbData, dwFlags); });
}

extern "C" PAL_EXPORT BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                             DWORD dwFlags) {
    return Finish([&] { return GetProvParamWorker(hProv, dwParam, pbData, pdwDataLen, dwFlags); });
}

extern "C" PAL_EXPORT BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return Finish([&] { return GenKeyWorker(hProv, Algid, dwFlags, phKey); });
}

extern "C" PAL_EXPORT BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return Finish([&] { return GetUserKeyWorker(hProv, dwKeySpec, phUserKey); });
}

extern "C" PAL_EXPORT BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                                          BYTE* pbData, DWORD* pdwDataLen) {
    return Finish([&] { return ExportKeyWorker(hKey, hExpKey, dwBlobType, dwFlags, pbData, pdwDataLen); });
}

extern "C" PAL_EXPORT BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                          DWORD dwFlags, HCRYPTKEY* phKey) {
    return Finish([&] { return ImportKeyWorker(hProv, pbData, dwDataLen, hPubKey, dwFlags, phKey); });
}

extern "C" PAL_EXPORT BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                                        DWORD* pdwDataLen, DWORD dwBufLen) {
    return Finish([&] { return EncryptWorker(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen); });
}

extern "C" PAL_EXPORT BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                                        DWORD* pdwDataLen) {
    return Finish([&] { return DecryptWorker(hKey, hHash, Final, dwFlags, pbData, pdwDataLen); });
}

extern "C" PAL_EXPORT BOOL CryptDestroyKey(HCRYPTKEY hKey) {
    return Finish([&] { return DestroyKeyWorker(hKey); });
}
