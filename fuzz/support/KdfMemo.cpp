#include "KdfMemo.h"

#include <windows.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <openssl/crypto.h>

namespace vkfuzz {

namespace {

/* Bounded: a mutated salt makes a new entry, and a long run must not grow without end. */
constexpr size_t kMaxEntries = 4096;

class Memo {
  public:
    ~Memo() { Clear(); }
    const std::string* Find(const std::string& k) const {
        auto it = m_map.find(k);
        return it == m_map.end() ? nullptr : &it->second;
    }
    void Put(std::string k, std::string v) {
        if (m_map.size() >= kMaxEntries) Clear();
        m_map.emplace(std::move(k), std::move(v));
    }

  private:
    void Clear() {
        for (auto& e : m_map) OPENSSL_cleanse(&e.second[0], e.second.size());
        m_map.clear();
    }
    std::map<std::string, std::string> m_map;
};

Memo& Pbkdf2Memo() {
    static Memo* memo = new Memo(); /* outlives every static destructor that may still derive */
    return *memo;
}

KdfCounts g_pbkdf2 = {0, 0};

void AppendField(std::string& key, const void* p, size_t n) {
    key.append(reinterpret_cast<const char*>(&n), sizeof n);
    if (n) key.append(static_cast<const char*>(p), n);
}

} // namespace

KdfCounts Pbkdf2Counts() { return g_pbkdf2; }

} // namespace vkfuzz

using Pbkdf2Fn = LONG (*)(const BYTE*, LONG, const BYTE*, LONG, LONG, BYTE*, LONG);

extern "C" __attribute__((visibility("default"))) LONG KRY_Pbkdf2Compute(const BYTE* pbPassword, LONG cbPassword,
                                                                          const BYTE* pbSalt, LONG cbSalt,
                                                                          LONG iterations, BYTE* pbKey, LONG cbKey) {
    static Pbkdf2Fn real = reinterpret_cast<Pbkdf2Fn>(dlsym(RTLD_NEXT, "KRY_Pbkdf2Compute"));
    if (!real) {
        fprintf(stderr, "vkfuzz: the crypto library's KRY_Pbkdf2Compute is not loaded\n");
        abort();
    }
    /* Anything odd goes to the real function, which owns the argument checks. */
    if (!pbPassword || !pbSalt || !pbKey || cbPassword < 0 || cbSalt < 0 || cbKey <= 0 || cbKey > 1024)
        return real(pbPassword, cbPassword, pbSalt, cbSalt, iterations, pbKey, cbKey);
    std::string key;
    vkfuzz::AppendField(key, pbPassword, static_cast<size_t>(cbPassword));
    vkfuzz::AppendField(key, pbSalt, static_cast<size_t>(cbSalt));
    vkfuzz::AppendField(key, &iterations, sizeof iterations);
    vkfuzz::AppendField(key, &cbKey, sizeof cbKey);
    if (const std::string* hit = vkfuzz::Pbkdf2Memo().Find(key)) {
        /* One round of the real function keeps its state checks (not initialized) and their result. */
        BYTE probe[1024];
        LONG rc = real(pbPassword, cbPassword, pbSalt, cbSalt, 1, probe, cbKey);
        OPENSSL_cleanse(probe, sizeof probe);
        if (rc != 0) return rc;
        ++vkfuzz::g_pbkdf2.hits;
        memcpy(pbKey, hit->data(), static_cast<size_t>(cbKey));
        return 0;
    }
    ++vkfuzz::g_pbkdf2.misses;
    LONG rc = real(pbPassword, cbPassword, pbSalt, cbSalt, iterations, pbKey, cbKey);
    if (rc == 0) vkfuzz::Pbkdf2Memo().Put(std::move(key), std::string(reinterpret_cast<char*>(pbKey), cbKey));
    return rc;
}
