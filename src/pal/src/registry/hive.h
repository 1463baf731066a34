/*
 * The registry store: one file per hive, read whole and written whole.
 *
 * File layout (little-endian):
 *   header, 40 bytes
 *     0  8  magic "VKREG\x1a\r\n"
 *     8  4  format version (1)
 *    12  4  header size (40)
 *    16  8  store id: random, drawn when the store is made
 *    24  8  next key id
 *    32  4  number of keys, the root included
 *    36  4  reserved, 0
 *   then the keys, depth first, the root (the hive itself, unnamed, id 1) first:
 *     8  id          unique in the store, never reused
 *     8  last write  FILETIME
 *     4  subkeys     count of key records that follow this key's values
 *     4  values      count of value records
 *     4  name length in UTF-16 units, then the name (UTF-16LE)
 *     values: 4 name length, name, 4 type, 4 data length, data
 *   and nothing after the root's last descendant.
 *
 * Names never reach the host file system, so any character but '\' (and NUL)
 * is safe in a key name. Every count and length is checked against the bytes
 * that remain and against the limits below; a file that breaks any rule is
 * refused as a whole (ERROR_BADDB).
 */
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace pal::registry {

constexpr size_t kMaxKeyNameUnits = 255;
constexpr size_t kMaxValueNameUnits = 16383;
constexpr size_t kMaxValueBytes = 1u << 20;
constexpr size_t kMaxDepth = 512;
constexpr size_t kMaxStoreBytes = 64u << 20;
constexpr uint64_t kRootId = 1;

struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    uint64_t id = 0;
    uint64_t lastWrite = 0;
    std::u16string name;
    Key* parent = nullptr;
    std::vector<Value> values;
    std::vector<std::unique_ptr<Key>> subkeys; /* sorted by name, code unit order */

    Key* FindSubkey(const std::u16string& n) const;
    Value* FindValue(const std::u16string& n);
    bool RemoveValue(const std::u16string& n); /* false when there is none */
};

class Hive {
public:
    /* An empty hive: the root alone, a fresh store id. */
    Hive();

    /* Parses a store file. On failure returns false and a reason for the log. */
    bool Parse(const uint8_t* data, size_t size, std::string& why);
    std::vector<uint8_t> Serialize() const;

    uint64_t StoreId() const { return m_storeId; }
    Key& Root() { return *m_root; }
    /* Null when the key was deleted (or never existed in this store). */
    Key* ById(uint64_t id) const;

    /* Adds a subkey of parent, or fails with ERROR_BADDB when the store would
     * outgrow its limits. */
    DWORD AddSubkey(Key& parent, const std::u16string& name, Key*& created);
    /* Removes a key without subkeys; not the root. */
    void RemoveKey(Key& key);

private:
    bool ParseKey(const uint8_t*& p, const uint8_t* end, Key* parent, size_t depth, std::string& why);
    void Index(Key& key);

    uint64_t m_storeId = 0;
    uint64_t m_nextId = kRootId + 1;
    std::unique_ptr<Key> m_root;
    std::unordered_map<uint64_t, Key*> m_index;
};

/* Now, as a FILETIME count. */
uint64_t FileTimeNow();

} // namespace pal::registry
