/*
 * Writing a file whole, for the system and its components alike: after a
 * failure or a crash at any point the name holds the old file (or none) or
 * the new one, never a part. The platform layer does this itself for a
 * CREATE_ALWAYS or CREATE_NEW handle, at close. Windows writes such a handle
 * in place, so there the bytes go to a name beside it first and are moved
 * over it, written through. Callers hold the machine-wide lock, which makes
 * that name one writer's; one a crash left is written over next time.
 */
#pragma once
#include <windows.h>

#include <cstddef>

#include "../platform/Wide.h"

struct WholeFilePart {
    const void* data;
    DWORD cb;
};

/*
 * disposition: CREATE_ALWAYS (replaces) or CREATE_NEW (fails with
 * ERROR_FILE_EXISTS). FILE_ATTRIBUTE_TEMPORARY in attributes skips the flush.
 * Returns ERROR_SUCCESS or the Win32 error; *opened (when given) tells a file
 * that could not be created from a write that failed.
 */
inline DWORD WriteFileWhole(LPCWSTR path, DWORD disposition, const WholeFilePart* parts, size_t count,
                            DWORD attributes = FILE_ATTRIBUTE_NORMAL, BOOL* opened = NULL) {
    if (opened) *opened = FALSE;
#ifdef _WIN32
    /* "<folder>\.~new-<name>": a leading ".~" is what a check of the store takes for debris. */
    WCHAR temp[MAX_PATH];
    static const WCHAR kPrefix[] = W(".~new-");
    const size_t prefix = sizeof kPrefix / sizeof kPrefix[0] - 1;
    size_t n = 0, leaf = 0;
    while (path[n] && n < MAX_PATH) {
        if (path[n] == W('\\') || path[n] == W('/')) leaf = n + 1;
        ++n;
    }
    if (n + prefix >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    for (size_t i = 0; i < leaf; ++i) temp[i] = path[i];
    for (size_t i = 0; i < prefix; ++i) temp[leaf + i] = kPrefix[i];
    for (size_t i = leaf; i <= n; ++i) temp[prefix + i] = path[i];
    if (disposition == CREATE_NEW && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
        return ERROR_FILE_EXISTS;
    HANDLE h = CreateFileW(temp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, attributes, NULL);
#else
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, disposition, attributes, NULL);
#endif
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    if (opened) *opened = TRUE;
    DWORD err = ERROR_SUCCESS;
    for (size_t i = 0; err == ERROR_SUCCESS && i < count; ++i) {
        DWORD put = 0;
        if (!WriteFile(h, parts[i].data, parts[i].cb, &put, NULL))
            err = GetLastError();
        else if (put != parts[i].cb)
            err = ERROR_WRITE_FAULT;
    }
#ifdef _WIN32
    if (err == ERROR_SUCCESS && !(attributes & FILE_ATTRIBUTE_TEMPORARY) && !FlushFileBuffers(h))
        err = GetLastError();
    if (!CloseHandle(h) && err == ERROR_SUCCESS) err = GetLastError();
    const DWORD move = MOVEFILE_WRITE_THROUGH | (disposition == CREATE_NEW ? 0 : MOVEFILE_REPLACE_EXISTING);
    if (err == ERROR_SUCCESS && !MoveFileExW(temp, path, move)) err = GetLastError();
    if (err != ERROR_SUCCESS) DeleteFileW(temp);
#else
    /* The platform layer publishes at close, or drops the file after a failed write. */
    if (!CloseHandle(h) && err == ERROR_SUCCESS) err = GetLastError();
#endif
    return err;
}
