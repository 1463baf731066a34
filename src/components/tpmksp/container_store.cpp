#include "container_store.h"

#include <cstring>

#include <shlobj.h>

#include "DiagLog.h"
#include "WholeFile.h"

namespace tpmksp {

namespace {

/* Looked up on every call: the PAL maps the common application data folder
 * below the machine root, which can change between calls (tests switch roots). */
DWORD StoreFolder(const WCHAR* leaf, bool createBase, WString& folder, bool create) {
    WCHAR base[MAX_PATH] = {};
    HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base);
    if (FAILED(hr)) return static_cast<DWORD>(hr);
    const WCHAR* const parts[] = {W("Tarnwick Systems Corp"), W("TPM Key Storage Provider"), leaf};
    WString path = base;
    if (create && createBase && !CreateDirectoryW(path.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        return GetLastError();
    for (const WCHAR* part : parts) {
        path += W("\\");
        path += part;
        if (create && !CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return GetLastError();
    }
    folder = std::move(path);
    return ERROR_SUCCESS;
}

bool NotFound(DWORD err) {
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

} // namespace

DWORD ContainerPath(const WCHAR* leaf, bool createBase, const WString& name, WString& path,
                    bool createFolder) {
    if (!IsValidContainerName(name.c_str())) return Nte(NTE_BAD_KEYSET_PARAM);
    WString folder;
    DWORD err = StoreFolder(leaf, createBase, folder, createFolder);
    if (err != ERROR_SUCCESS) return err;
    path = folder + W("\\") + name;
    return ERROR_SUCCESS;
}

DWORD ListContainerFiles(const WCHAR* leaf, std::vector<WString>& names) {
    names.clear();
    WString folder;
    DWORD err = StoreFolder(leaf, false, folder, false);
    if (err != ERROR_SUCCESS) return err;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + W("\\*")).c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return NotFound(GetLastError()) ? ERROR_SUCCESS : GetLastError();
    do {
        fd.cFileName[MAX_PATH - 1] = 0;
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsValidContainerName(fd.cFileName))
            names.emplace_back(fd.cFileName);
    } while (FindNextFileW(find, &fd));
    err = GetLastError();
    FindClose(find);
    return err == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : err;
}

DWORD ReadContainerFile(const WString& path, size_t maxSize, Bytes& file) {
    ULONGLONG size = 0;
    BOOL opened = FALSE;
    const DWORD err = ReadFileWhole(path.c_str(), maxSize, file, &size, &opened);
    if (!opened) return NotFound(err) ? Nte(NTE_BAD_KEYSET) : err;
    if (err == ERROR_INVALID_DATA && size > maxSize) {
        file.assign(maxSize + 1, 0); // the parser refuses it with the reason
        return ERROR_SUCCESS;
    }
    return err;
}

DWORD WriteContainerFile(const char* logName, const WString& path, const Bytes& file, DWORD disposition) {
    const WholeFilePart part = {file.data(), static_cast<DWORD>(file.size())};
    BOOL opened = FALSE;
    const DWORD err = file.size() > 0xFFFFFFFFull
                          ? static_cast<DWORD>(ERROR_INVALID_DATA)
                          : WriteFileWhole(path.c_str(), disposition, &part, 1, FILE_ATTRIBUTE_NORMAL, &opened);
    if (!opened && (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS)) return Nte(NTE_EXISTS);
    // Written whole or not at all: the old container (or none) stays.
    if (err != ERROR_SUCCESS) {
        if (opened) _PrintError(logName, __LINE__, "writing a container failed %u", err);
        return err;
    }
    // The new name survives a crash before the caller's tables name the key. A
    // failed flush leaves the container in place, so it is only logged.
    const size_t slash = path.find_last_of(W('\\'));
    if (slash != WString::npos) {
        HANDLE dir = CreateFileW(path.substr(0, slash).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (dir == INVALID_HANDLE_VALUE || !FlushFileBuffers(dir))
            _PrintError(logName, __LINE__, "flushing the container folder failed %u", GetLastError());
        if (dir != INVALID_HANDLE_VALUE) CloseHandle(dir);
    }
    return ERROR_SUCCESS;
}

DWORD DeleteContainerFile(const WString& path) {
    if (DeleteFileW(path.c_str())) return ERROR_SUCCESS;
    const DWORD err = GetLastError();
    return NotFound(err) ? Nte(NTE_BAD_KEYSET) : err;
}

void AppendChecksum(Bytes& file) {
    BYTE digest[kSha256Size];
    Sha256(file.data(), file.size(), digest);
    file.insert(file.end(), digest, digest + kSha256Size);
}

const char* CheckEnvelope(const Bytes& file, size_t headerSize, size_t maxSize, const BYTE (&magic)[4],
                          const char* notOurs, Reader& r, uint32_t& flags) {
    if (file.size() < headerSize + kSha256Size || file.size() > maxSize) return "size out of range";
    BYTE digest[kSha256Size];
    Sha256(file.data(), file.size() - kSha256Size, digest);
    if (!ConstantTimeEqual(digest, file.data() + file.size() - kSha256Size, kSha256Size))
        return "checksum mismatch";
    const BYTE* p = nullptr;
    if (!r.Take(sizeof(magic), p) || memcmp(p, magic, sizeof(magic)) != 0) return notOurs;
    uint32_t version = 0;
    if (!r.U32(version) || version != kContainerVersion) return "unknown format version";
    if (!r.U32(flags) || (flags & ~kContainerKnownFlags) != 0) return "unknown flags";
    return nullptr;
}

const char* TakeName(Reader& r, uint32_t cbName, const WString& expected, WString& name) {
    const BYTE* p = nullptr;
    if (!r.Take(cbName, p) || !NameFromBytes(p, cbName, name)) return "bad name";
    if (name != expected) return "stored under another name";
    return nullptr;
}

} // namespace tpmksp
