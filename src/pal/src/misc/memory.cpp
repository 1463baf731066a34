/* Local memory and wiping. LocalAlloc'd blocks here are C allocator blocks. */
#include <windows.h>

#include <openssl/crypto.h>

#include <cstdlib>

extern "C" HLOCAL LocalFree(HLOCAL hMem) {
    free(hMem);
    return NULL;
}

extern "C" PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt) {
    if (ptr && cnt) OPENSSL_cleanse(ptr, cnt);
    return ptr;
}
