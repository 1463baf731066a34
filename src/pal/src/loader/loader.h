#pragma once
#include <windows.h>

namespace pal::loader {

/* The module handle of the shared object that contains address, without a
 * loader reference (holding one would keep the library from unloading). */
HMODULE RegisterSelf(const void* address);

} // namespace pal::loader
