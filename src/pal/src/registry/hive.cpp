/* The registry store's file format: see hive.h. */
#include "registry/hive.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_set>

namespace pal::registry {

namespace {

constexpr uint8_t kMagic[8] = {'V', 'K', 'R', 'E', 'G', 0x1a, '\r', '\n'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kHeaderSize = 40;
/* Smallest key record: id, time, two counts, name length. */
constexpr size_t kMinKeyRecord = 8 + 8 + 4 + 4 + 4;
/* Smallest value record: name length, type, data length. */
constexpr size_t kMinValueRecord = 4 + 4 + 4;
/* 100 ns intervals between 1601-01-01 and 1970-01-01. */
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

class Reader {
public:
    Reader(const uint8_t*& p, const uint8_t* end) : m_p(p), m_end(end) {}
    size_t Left() const { return static_cast<size_t>(m_end - m_p); }
    bool U32(uint32_t& v) {
        if (Left() < 4) return false;
        v = static_cast<uint32_t>(m_p[0]) | static_cast<uint32_t>(m_p[1]) << 8 | static_cast<uint32_t>(m_p[2]) << 16 |
            static_cast<uint32_t>(m_p[3]) << 24;
        m_p += 4;
        return true;
    }
    bool U64(uint64_t& v) {
        uint32_t lo, hi;
        if (Left() < 8 || !U32(lo) || !U32(hi)) return false;
        v = static_cast<uint64_t>(hi) << 32 | lo;
        return true;
    }
    bool Text(uint32_t units, std::u16string& s) {
        if (Left() / 2 < units) return false;
        s.resize(units);
        for (uint32_t i = 0; i < units; ++i) s[i] = static_cast<char16_t>(m_p[2 * i] | m_p[2 * i + 1] << 8);
        m_p += 2 * static_cast<size_t>(units);
        return true;
    }
    bool Bytes(uint32_t n, std::vector<uint8_t>& out) {
        if (Left() < n) return false;
        out.assign(m_p, m_p + n);
        m_p += n;
        return true;
    }

private:
    const uint8_t*& m_p;
    const uint8_t* m_end;
};

class Writer {
public:
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) m_out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void U64(uint64_t v) {
        U32(static_cast<uint32_t>(v));
        U32(static_cast<uint32_t>(v >> 32));
    }
    void Text(const std::u16string& s) {
        U32(static_cast<uint32_t>(s.size()));
        for (char16_t c : s) {
            m_out.push_back(static_cast<uint8_t>(c));
            m_out.push_back(static_cast<uint8_t>(c >> 8));
        }
    }
    void Raw(const uint8_t* p, size_t n) { m_out.insert(m_out.end(), p, p + n); }
    std::vector<uint8_t>& Out() { return m_out; }

private:
    std::vector<uint8_t> m_out;
};

bool ValidKeyName(const std::u16string& n) {
    if (n.empty() || n.size() > kMaxKeyNameUnits) return false;
    return std::none_of(n.begin(), n.end(), [](char16_t c) { return c == u'\\' || c == 0; });
}

bool ValidValueName(const std::u16string& n) {
    return n.size() <= kMaxValueNameUnits && n.find(u'\0') == std::u16string::npos;
}

void SerializeKey(Writer& w, const Key& k) {
    w.U64(k.id);
    w.U64(k.lastWrite);
    w.U32(static_cast<uint32_t>(k.subkeys.size()));
    w.U32(static_cast<uint32_t>(k.values.size()));
    w.Text(k.name);
    for (const Value& v : k.values) {
        w.Text(v.name);
        w.U32(v.type);
        w.U32(static_cast<uint32_t>(v.data.size()));
        w.Raw(v.data.data(), v.data.size());
    }
    for (const auto& sub : k.subkeys) SerializeKey(w, *sub);
}

bool NameLess(const std::unique_ptr<Key>& a, const std::u16string& b) { return a->name < b; }

} // namespace

uint64_t FileTimeNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochAsFileTime + static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
}

Key* Key::FindSubkey(const std::u16string& n) const {
    auto it = std::lower_bound(subkeys.begin(), subkeys.end(), n, NameLess);
    return it != subkeys.end() && (*it)->name == n ? it->get() : nullptr;
}

Value* Key::FindValue(const std::u16string& n) {
    for (Value& v : values)
        if (v.name == n) return &v;
    return nullptr;
}

bool Key::RemoveValue(const std::u16string& n) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (it->name != n) continue;
        values.erase(it);
        return true;
    }
    return false;
}

Hive::Hive() : m_root(std::make_unique<Key>()) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&m_storeId), sizeof m_storeId) != 1)
        m_storeId = FileTimeNow(); /* distinct enough to tell stores apart */
    m_root->id = kRootId;
    m_root->lastWrite = FileTimeNow();
    m_index[kRootId] = m_root.get();
}

Key* Hive::ById(uint64_t id) const {
    auto it = m_index.find(id);
    return it == m_index.end() ? nullptr : it->second;
}

void Hive::Index(Key& key) { m_index[key.id] = &key; }

bool Hive::Parse(const uint8_t* data, size_t size, std::string& why) {
    if (size > kMaxStoreBytes) {
        why = "store larger than the limit";
        return false;
    }
    if (size < kHeaderSize || memcmp(data, kMagic, sizeof kMagic) != 0) {
        why = "not a registry store (no header)";
        return false;
    }
    const uint8_t* p = data + sizeof kMagic;
    const uint8_t* end = data + size;
    Reader r(p, end);
    uint32_t version = 0, headerSize = 0, keyCount = 0, reserved = 0;
    uint64_t storeId = 0, nextId = 0;
    r.U32(version);
    r.U32(headerSize);
    r.U64(storeId);
    r.U64(nextId);
    r.U32(keyCount);
    r.U32(reserved);
    if (version != kVersion || headerSize != kHeaderSize || reserved != 0) {
        why = "unknown store version";
        return false;
    }
    if (nextId <= kRootId || nextId == UINT64_MAX || keyCount == 0 || keyCount > (size - kHeaderSize) / kMinKeyRecord) {
        why = "header counts out of range";
        return false;
    }
    m_storeId = storeId;
    m_nextId = nextId;
    m_index.clear();
    m_root = std::make_unique<Key>();
    if (!ParseKey(p, end, nullptr, 0, why)) return false;
    if (p != end) {
        why = "bytes after the last key";
        return false;
    }
    if (m_index.size() != keyCount) {
        why = "key count does not match the header";
        return false;
    }
    return true;
}

bool Hive::ParseKey(const uint8_t*& p, const uint8_t* end, Key* parent, size_t depth, std::string& why) {
    if (depth > kMaxDepth) {
        why = "keys nested too deep";
        return false;
    }
    Reader r(p, end);
    Key* key = parent ? nullptr : m_root.get();
    std::unique_ptr<Key> owned;
    if (parent) {
        owned = std::make_unique<Key>();
        key = owned.get();
    }
    uint32_t nSub, nVal, nameLen;
    if (!r.U64(key->id) || !r.U64(key->lastWrite) || !r.U32(nSub) || !r.U32(nVal) || !r.U32(nameLen)) {
        why = "truncated key record";
        return false;
    }
    if (parent ? (key->id <= kRootId || key->id >= m_nextId) : key->id != kRootId) {
        why = "key id out of range";
        return false;
    }
    if (m_index.count(key->id)) {
        why = "key id used twice";
        return false;
    }
    if (nSub > r.Left() / kMinKeyRecord || nVal > r.Left() / kMinValueRecord) {
        why = "key counts larger than the store";
        return false;
    }
    if (parent ? nameLen > kMaxKeyNameUnits : nameLen != 0) {
        why = "key name length out of range";
        return false;
    }
    if (!r.Text(nameLen, key->name)) {
        why = "truncated key name";
        return false;
    }
    if (parent && !ValidKeyName(key->name)) {
        why = "invalid key name";
        return false;
    }
    key->parent = parent;
    std::unordered_set<std::u16string> valueNames;
    key->values.reserve(nVal);
    for (uint32_t i = 0; i < nVal; ++i) {
        Value v;
        uint32_t vNameLen, dataLen;
        if (!r.U32(vNameLen) || vNameLen > kMaxValueNameUnits || !r.Text(vNameLen, v.name) || !r.U32(v.type) ||
            !r.U32(dataLen) || dataLen > kMaxValueBytes || !r.Bytes(dataLen, v.data)) {
            why = "truncated or oversized value";
            return false;
        }
        if (!ValidValueName(v.name) || !valueNames.insert(v.name).second) {
            why = "invalid or repeated value name";
            return false;
        }
        key->values.push_back(std::move(v));
    }
    Index(*key);
    if (parent) {
        if (parent->FindSubkey(key->name)) {
            why = "repeated key name";
            return false;
        }
        auto at = std::lower_bound(parent->subkeys.begin(), parent->subkeys.end(), key->name, NameLess);
        parent->subkeys.insert(at, std::move(owned));
    }
    for (uint32_t i = 0; i < nSub; ++i)
        if (!ParseKey(p, end, key, depth + 1, why)) return false;
    return true;
}

std::vector<uint8_t> Hive::Serialize() const {
    Writer w;
    w.Raw(kMagic, sizeof kMagic);
    w.U32(kVersion);
    w.U32(kHeaderSize);
    w.U64(m_storeId);
    w.U64(m_nextId);
    w.U32(static_cast<uint32_t>(m_index.size()));
    w.U32(0);
    SerializeKey(w, *m_root);
    return std::move(w.Out());
}

DWORD Hive::AddSubkey(Key& parent, const std::u16string& name, Key*& created) {
    size_t depth = 0;
    for (Key* k = &parent; k->parent; k = k->parent) ++depth;
    if (depth + 1 > kMaxDepth || m_nextId == UINT64_MAX - 1) return ERROR_BADDB;
    auto key = std::make_unique<Key>();
    key->id = m_nextId++;
    key->name = name;
    key->parent = &parent;
    key->lastWrite = FileTimeNow();
    created = key.get();
    Index(*key);
    auto at = std::lower_bound(parent.subkeys.begin(), parent.subkeys.end(), name, NameLess);
    parent.subkeys.insert(at, std::move(key));
    parent.lastWrite = created->lastWrite;
    return ERROR_SUCCESS;
}

void Hive::RemoveKey(Key& key) {
    Key* parent = key.parent;
    if (!parent || !key.subkeys.empty()) return;
    m_index.erase(key.id);
    parent->lastWrite = FileTimeNow();
    auto it = std::find_if(parent->subkeys.begin(), parent->subkeys.end(),
                           [&](const std::unique_ptr<Key>& k) { return k.get() == &key; });
    if (it != parent->subkeys.end()) parent->subkeys.erase(it);
}

} // namespace pal::registry
