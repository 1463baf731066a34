/* CloseHandle takes the kernel-object kinds: files, events, mutexes. Search,
 * module, registry and CryptoAPI handles have their own closers, as on Windows. */
#include "internal/handles.h"

extern "C" BOOL CloseHandle(HANDLE hObject) {
    DWORD err = pal::CloseTypedHandle(
        hObject, {pal::HandleKind::File, pal::HandleKind::Event, pal::HandleKind::Mutex});
    SetLastError(err);
    return err == ERROR_SUCCESS;
}
