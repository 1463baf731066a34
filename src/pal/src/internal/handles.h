/*
 * The handle table. A HANDLE is an opaque number (a multiple of 4 from 0x1000
 * up, never reused), not a pointer: a stale, forged or wrong-kind handle is
 * looked up and refused with ERROR_INVALID_HANDLE, never dereferenced. NULL
 * and INVALID_HANDLE_VALUE are never issued.
 *
 * Objects are shared_ptr-owned: a thread still inside a call on an object
 * keeps it alive after another thread closed its handle. Thread-safe.
 */
#pragma once
#include <windows.h>

#include <initializer_list>
#include <memory>

namespace pal {

enum class HandleKind : unsigned { File = 1, Find, Event, Mutex, Module };

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

/* The object behind h if it is of the given kind, else nullptr. */
std::shared_ptr<HandleObject> LookupHandle(HANDLE h, HandleKind kind);

template <typename T> std::shared_ptr<T> Lookup(HANDLE h, HandleKind kind) {
    return std::static_pointer_cast<T>(LookupHandle(h, kind));
}

/* Removes h if it is one of the given kinds and runs its OnClose.
 * ERROR_INVALID_HANDLE when it is not. */
DWORD CloseTypedHandle(HANDLE h, std::initializer_list<HandleKind> kinds);

} // namespace pal
