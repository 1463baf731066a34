/*
 * Library entry: load and unload of the shared object that holds the core run
 * its DllMain with DLL_PROCESS_ATTACH and DLL_PROCESS_DETACH.
 *
 * Order at unload. The detach is registered with atexit right after the
 * attach has run. atexit in a shared object is tied to that object, so the
 * handler runs both at exit() and at dlclose(), and in reverse order of
 * registration: before the static destructors registered earlier (this
 * library's globals and every static the attach created, the logging
 * library's among them). Handlers registered later, such as OpenSSL's
 * cleanup after its first use, run before it, so the detach must rely on the
 * PAL only, whose own state is never destroyed.
 */
#include "loader/loader.h"

#include <cstdlib>

/* The core's entry point. Protected, so the call binds to this library's own
 * DllMain: a plain reference could resolve to another DllMain earlier in the
 * global scope (an in-process COM server has one too). */
extern "C" BOOL DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) __attribute__((visibility("protected")));

namespace {

HMODULE g_self = NULL;

void Detach() {
    DllMain(g_self, DLL_PROCESS_DETACH, nullptr);
}

__attribute__((constructor)) void Attach() {
    g_self = pal::loader::RegisterSelf(reinterpret_cast<const void*>(&Attach));
    DllMain(g_self, DLL_PROCESS_ATTACH, nullptr);
    atexit(Detach);
}

} // namespace
