#include "internal/handles.h"

#include <mutex>
#include <new>
#include <unordered_map>

namespace pal {

namespace {

struct Table {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
    uintptr_t next = 0x1000;
};

/* Immortal, so the unload handling can close handles whatever the order of
 * static destruction. */
Table& T() {
    static Table* t = new Table;
    return *t;
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> obj) {
    if (!obj) return NULL;
    Table& t = T();
    try {
        std::lock_guard<std::mutex> g(t.lock);
        uintptr_t value = t.next;
        t.objects.emplace(value, std::move(obj));
        t.next += 4;
        return reinterpret_cast<HANDLE>(value);
    } catch (const std::bad_alloc&) {
        return NULL;
    }
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE h, HandleKind kind, bool* live) {
    if (live) *live = false;
    if (h == NULL || h == INVALID_HANDLE_VALUE) return nullptr;
    Table& t = T();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.objects.end()) return nullptr;
    if (live) *live = true;
    return it->second->Kind() == kind ? it->second : nullptr;
}

DWORD CloseTypedHandle(HANDLE h, std::initializer_list<HandleKind> kinds) {
    if (h == NULL || h == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    std::shared_ptr<HandleObject> obj;
    {
        Table& t = T();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.objects.end()) return ERROR_INVALID_HANDLE;
        bool allowed = false;
        for (HandleKind k : kinds)
            allowed = allowed || it->second->Kind() == k;
        if (!allowed) return ERROR_INVALID_HANDLE;
        obj = std::move(it->second);
        t.objects.erase(it);
    }
    // Outside the table lock: a file's publish does I/O.
    return obj->OnClose();
}

std::shared_ptr<HandleObject> TakeHandle(HANDLE h, HandleKind kind) {
    if (h == NULL || h == INVALID_HANDLE_VALUE) return nullptr;
    Table& t = T();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.objects.end() || it->second->Kind() != kind) return nullptr;
    std::shared_ptr<HandleObject> obj = std::move(it->second);
    t.objects.erase(it);
    return obj;
}

std::vector<std::shared_ptr<HandleObject>> HandlesOfKind(HandleKind kind) {
    std::vector<std::shared_ptr<HandleObject>> out;
    Table& t = T();
    std::lock_guard<std::mutex> g(t.lock);
    for (const auto& entry : t.objects)
        if (entry.second->Kind() == kind) out.push_back(entry.second);
    return out;
}

} // namespace pal
