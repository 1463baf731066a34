/*
 * Reading and writing a file whole, for the system and its components alike.
 * A read bounds the size before it allocates: the files come from disk and
 * may be hostile. A write is atomic: after a
 * failure or a crash at any point the name holds the old file (or none) or
 * the new one, never a part. The platform layer does this itself for a
 * CREATE_ALWAYS or CREATE_NEW handle, at close. Windows writes such a handle
 * in place, so there the bytes go to a name beside it first and are moved
 * over it, written through. Callers hold the machine-wide lock, which makes
 * that name one writer's; one a crash left is written over next time.
 */
#pragma once
#include <windows.h>
#ifdef _WIN32
#include <bcrypt.h>
#endif

#include <cstddef>
#include <cstdlib>

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
    /* "<folder>\.~new-<16 random hex>-<name>", made CREATE_NEW: a name nobody can
     * guess, and never a file someone else made first (its maker would own what
     * is published). A leading ".~" is what a check of the store takes for debris. */
    WCHAR temp[MAX_PATH];
    static const WCHAR kPrefix[] = W(".~new-0123456789abcdef-");
    const size_t prefix = sizeof kPrefix / sizeof kPrefix[0] - 1;
    size_t n = 0, leaf = 0;
    while (path[n] && n < MAX_PATH) {
        if (path[n] == W('\\') || path[n] == W('/')) leaf = n + 1;
        ++n;
    }
    if (n + prefix >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (disposition == CREATE_NEW && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
        return ERROR_FILE_EXISTS;
    for (size_t i = 0; i < leaf; ++i) temp[i] = path[i];
    for (size_t i = leaf; i <= n; ++i) temp[prefix + i] = path[i];
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 8 && h == INVALID_HANDLE_VALUE; ++attempt) {
        BYTE random[8];
        if (!BCRYPT_SUCCESS(BCryptGenRandom(NULL, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return ERROR_GEN_FAILURE;
        static const char hex[] = "0123456789abcdef";
        for (size_t i = 0; i < prefix; ++i) temp[leaf + i] = kPrefix[i];
        for (size_t i = 0; i < sizeof random; ++i) {
            temp[leaf + 6 + 2 * i] = static_cast<WCHAR>(hex[random[i] >> 4]);
            temp[leaf + 7 + 2 * i] = static_cast<WCHAR>(hex[random[i] & 15]);
        }
        h = CreateFileW(temp, GENERIC_WRITE, 0, NULL, CREATE_NEW, attributes, NULL);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
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

/* A malloc'ed buffer for ReadFileWhole, for callers that hand the bytes on as
 * a pointer to free(). Freed (not wiped) unless released. */
struct HeapBytes {
    BYTE* p = NULL;
    size_t n = 0;
    HeapBytes() = default;
    HeapBytes(const HeapBytes&) = delete;
    HeapBytes& operator=(const HeapBytes&) = delete;
    ~HeapBytes() { free(p); }
    void resize(size_t size) { /* on failure, size() stays short: the reader reports it */
        free(p);
        p = static_cast<BYTE*>(malloc(size ? size : 1));
        n = p ? size : 0;
    }
    BYTE* data() { return p; }
    size_t size() const { return n; }
    BYTE* release() {
        BYTE* q = p;
        p = NULL;
        n = 0;
        return q;
    }
};

/*
 * Reads the file at path whole into out (a byte vector, or HeapBytes). A size
 * above maxSize gives ERROR_INVALID_DATA before anything is allocated; a
 * file that shrinks while read gives ERROR_HANDLE_EOF, one that grows
 * ERROR_INVALID_DATA. *size (when given) is
 * the size the file had, also when it is refused, and *opened tells a file
 * that could not be opened from one that could not be read.
 */
template <typename Bytes>
DWORD ReadFileWhole(LPCWSTR path, ULONGLONG maxSize, Bytes& out, ULONGLONG* size = NULL, BOOL* opened = NULL) {
    if (opened) *opened = FALSE;
    if (size) *size = 0;
    const DWORD attrs = GetFileAttributesW(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) return GetLastError();
    /* Opening a FIFO would wait for a writer; a folder is no file. */
    if (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return ERROR_INVALID_DATA;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    if (opened) *opened = TRUE;
    DWORD err = ERROR_SUCCESS;
    LARGE_INTEGER li;
    li.QuadPart = 0;
    if (!GetFileSizeEx(h, &li)) {
        err = GetLastError();
    } else {
        const ULONGLONG n = li.QuadPart < 0 ? ~0ULL : static_cast<ULONGLONG>(li.QuadPart);
        if (size) *size = n;
        if (n > maxSize || n > 0x7FFFFFFF) {
            err = ERROR_INVALID_DATA;
        } else {
            out.resize(static_cast<size_t>(n));
            if (out.size() != n) err = ERROR_NOT_ENOUGH_MEMORY;
            size_t done = 0;
            while (err == ERROR_SUCCESS && done < n) {
                DWORD got = 0;
                if (!ReadFile(h, out.data() + done, static_cast<DWORD>(n - done), &got, NULL))
                    err = GetLastError();
                else if (got == 0)
                    err = ERROR_HANDLE_EOF;
                done += got;
            }
            BYTE extra = 0;
            DWORD more = 0;
            if (err == ERROR_SUCCESS && (!ReadFile(h, &extra, 1, &more, NULL) || more != 0)) err = ERROR_INVALID_DATA;
        }
    }
    CloseHandle(h);
    return err;
}
