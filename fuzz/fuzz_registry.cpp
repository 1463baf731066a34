/*
 * The registry store: pal::registry::Hive::Parse over a whole store file, as
 * every Reg* call reads it. The store has no MAC. A store that parses must
 * serialize to a store that parses to the same tree, and every key must be
 * found by its name under its parent and by its id.
 */
#include <cstdlib>
#include <cstring>
#include <string>

#include "registry/hive.h"

namespace {

using pal::registry::Hive;
using pal::registry::Key;

void Check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "fuzz_registry: %s\n", what);
        abort();
    }
}

size_t Walk(const Hive& hive, const Key& key) {
    Check(hive.ById(key.id) == &key, "a key is not indexed by its id");
    size_t count = 1;
    for (const auto& sub : key.subkeys) {
        Check(sub->parent == &key, "a subkey names another parent");
        Check(key.FindSubkey(sub->name) == sub.get(), "a subkey is not found by its name");
        count += Walk(hive, *sub);
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Hive hive;
    std::string why;
    if (!hive.Parse(data, size, why)) {
        Check(!why.empty(), "a refusal without a reason");
        return 0;
    }
    size_t keys = Walk(hive, hive.Root());
    std::vector<uint8_t> image = hive.Serialize();
    Hive again;
    Check(again.Parse(image.data(), image.size(), why), "a serialized store does not parse");
    Check(Walk(again, again.Root()) == keys, "the serialized store has other keys");
    Check(again.StoreId() == hive.StoreId(), "the store id changed");
    Check(again.Serialize() == image, "serializing is not stable");
    return 0;
}
