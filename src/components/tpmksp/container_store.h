/*
 * What the file-backed backends share: where a backend's container files live,
 * reading and writing one whole through the PAL's file calls, and the envelope
 * every container file has (magic, version 1, flags 1 keyed / 2 exportable,
 * the name, a trailing SHA-256). Each backend keeps its own layout between.
 */
#pragma once
#include <windows.h>

#include <vector>

#include "ksp_crypto.h"

namespace tpmksp {

constexpr uint32_t kContainerVersion = 1;
constexpr uint32_t kContainerFlagKeyed = 1;
constexpr uint32_t kContainerFlagExportable = 2;
constexpr uint32_t kContainerKnownFlags = kContainerFlagKeyed | kContainerFlagExportable;

/* The path of container name in the store folder leaf, below the provider's
 * folder in the common application data folder. NTE_BAD_KEYSET_PARAM for a
 * name IsValidContainerName refuses. createFolder makes the missing folders;
 * createBase also the application data folder itself. */
DWORD ContainerPath(const WCHAR* leaf, bool createBase, const WString& name, WString& path,
                    bool createFolder);

/* The whole file; NTE_BAD_KEYSET when it is not there. A file larger than
 * maxSize comes back as maxSize + 1 bytes, for the parser to refuse. */
DWORD ReadContainerFile(const WString& path, size_t maxSize, Bytes& file);

/* Writes file whole with the given creation disposition: NTE_EXISTS when
 * CREATE_NEW finds one. A failed write leaves the old file (or none) and is
 * logged under logName. */
DWORD WriteContainerFile(const char* logName, const WString& path, const Bytes& file, DWORD disposition);

/* The container names in the store folder leaf (files whose names
 * IsValidContainerName accepts; anything else there is not a container). */
DWORD ListContainerFiles(const WCHAR* leaf, std::vector<WString>& names);

/* NTE_BAD_KEYSET when there is none. */
DWORD DeleteContainerFile(const WString& path);

/* Appends the SHA-256 of everything before it. */
void AppendChecksum(Bytes& file);

/* Checks a hostile file's size, checksum, magic, version and flags, leaving r
 * after the flags. The reason it is refused, or nullptr. */
const char* CheckEnvelope(const Bytes& file, size_t headerSize, size_t maxSize, const BYTE (&magic)[4],
                          const char* notOurs, Reader& r, uint32_t& flags);

/* Takes the stored name, which must be expected. The reason it is refused, or nullptr. */
const char* TakeName(Reader& r, uint32_t cbName, const WString& expected, WString& name);

/* A read container that must hold a key: err, else NTE_NO_KEY when it is empty. */
template <class C> DWORD RequireKey(DWORD err, const C& c) {
    if (err != ERROR_SUCCESS) return err;
    return c.keyed() ? ERROR_SUCCESS : Nte(NTE_NO_KEY);
}

} // namespace tpmksp
