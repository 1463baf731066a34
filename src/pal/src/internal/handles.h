/*
 * The handle table, the one for every kind the PAL hands out: kernel objects,
 * modules, registry keys and CryptoAPI contexts and keys. A handle is an
 * opaque number (a multiple of 4 from 0x1000 up, never reused), not a pointer:
 * a stale, forged or wrong-kind handle is looked up and refused with
 * ERROR_INVALID_HANDLE, never dereferenced. NULL and INVALID_HANDLE_VALUE are
 * never issued.
 *
 * Objects are shared_ptr-owned: a thread still inside a call on an object
 * keeps it alive after another thread closed its handle. Thread-safe.
 */
#pragma once
#include <windows.h>

#include <initializer_list>
#include <memory>
#include <vector>

namespace pal {

enum class HandleKind : unsigned { File = 1, Find, Event, Mutex, Module, RegKey, CryptProv, CryptKey };

class HandleObject {
  public:
    explicit HandleObject(HandleKind kind) : m_kind(kind) {}
    virtual ~HandleObject() = default;
    HandleKind Kind() const { return m_kind; }
    /* Runs once when the handle is closed; the Win32 error of the close
     * (a file's publish can fail). */
    virtual DWORD OnClose() { return ERROR_SUCCESS; }

  private:
    const HandleKind m_kind;
};

/* Issues a handle for obj; NULL only when memory runs out. */
HANDLE InsertHandle(std::shared_ptr<HandleObject> obj);

/* The object behind h if it is of the given kind, else nullptr; *live tells
 * whether h is an open handle at all (of another kind, then). */
std::shared_ptr<HandleObject> LookupHandle(HANDLE h, HandleKind kind, bool* live = nullptr);

template <typename T> std::shared_ptr<T> Lookup(HANDLE h, HandleKind kind, bool* live = nullptr) {
    return std::static_pointer_cast<T>(LookupHandle(h, kind, live));
}

/* Removes h if it is one of the given kinds and runs its OnClose.
 * ERROR_INVALID_HANDLE when it is not. */
DWORD CloseTypedHandle(HANDLE h, std::initializer_list<HandleKind> kinds);

/* Removes h if it is of the given kind and hands its object back, for a
 * closer whose work depends on more than the object (OnClose is not run). */
std::shared_ptr<HandleObject> TakeHandle(HANDLE h, HandleKind kind);

/* Every open object of a kind, at one moment. */
std::vector<std::shared_ptr<HandleObject>> HandlesOfKind(HandleKind kind);

} // namespace pal
