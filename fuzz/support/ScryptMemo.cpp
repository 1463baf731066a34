/* The scrypt half of KdfMemo.h: linked only into harnesses that carry the key provider's sources. */
#include <windows.h>

#include <map>
#include <string>

#include <openssl/crypto.h>

#include "ksp_crypto.h"

#define VK_DERIVE_KEY "_ZN6tpmksp9DeriveKeyERKNS_11SecureBytesEPKhmRKNS_9KdfParamsERS0_"

namespace tpmksp {
DWORD RealDeriveKey(const SecureBytes& password, const BYTE* salt, size_t saltSize, const KdfParams& kdf,
                    SecureBytes& key) __asm__("__real_" VK_DERIVE_KEY);
DWORD MemoDeriveKey(const SecureBytes& password, const BYTE* salt, size_t saltSize, const KdfParams& kdf,
                    SecureBytes& key) __asm__("__wrap_" VK_DERIVE_KEY);
} // namespace tpmksp

namespace {

constexpr size_t kMaxEntries = 256;

std::map<std::string, std::string>& Memo() {
    static auto* memo = new std::map<std::string, std::string>();
    return *memo;
}

void AppendField(std::string& key, const void* p, size_t n) {
    key.append(reinterpret_cast<const char*>(&n), sizeof n);
    if (n) key.append(static_cast<const char*>(p), n);
}

} // namespace

namespace tpmksp {

DWORD MemoDeriveKey(const SecureBytes& password, const BYTE* salt, size_t saltSize, const KdfParams& kdf,
                    SecureBytes& key) {
    /* Parameters the provider refuses never derive: the real function answers them. */
    if (!KdfParamsAcceptable(kdf) || (!salt && saltSize)) return RealDeriveKey(password, salt, saltSize, kdf, key);
    std::string k;
    AppendField(k, password.data(), password.size());
    AppendField(k, salt, saltSize);
    AppendField(k, &kdf, sizeof kdf);
    auto& memo = Memo();
    auto it = memo.find(k);
    if (it != memo.end()) {
        key.assign(reinterpret_cast<const BYTE*>(it->second.data()), it->second.size());
        return ERROR_SUCCESS;
    }
    DWORD err = RealDeriveKey(password, salt, saltSize, kdf, key);
    if (err != ERROR_SUCCESS) return err;
    if (memo.size() >= kMaxEntries) {
        for (auto& e : memo) OPENSSL_cleanse(&e.second[0], e.second.size());
        memo.clear();
    }
    memo.emplace(std::move(k), std::string(reinterpret_cast<const char*>(key.data()), key.size()));
    return ERROR_SUCCESS;
}

} // namespace tpmksp
