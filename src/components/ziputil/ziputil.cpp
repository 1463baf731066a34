/*
 * The zip library: KsZip packs a flat folder of regular files into an archive,
 * KsUnzip unpacks one into a folder. Every path goes through the Win32 calls of
 * the platform layer, so the component sees Windows paths ("C:\...") and host
 * paths alike; libzip only ever works on memory buffers.
 *
 * An archive to unpack is hostile input. It is read whole (bounded), every
 * entry is checked before the first byte is written, each file is written
 * whole, and a refusal at any point removes what was written, so the effect
 * of a failed KsUnzip is always "nothing unpacked".
 *
 * Both return non-zero on success and 0 on failure, with the Win32 reason in
 * GetLastError and one line on the debug output.
 */
#include <windows.h>
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "WholeFile.h"
#include "ZipUtil.h"

extern "C" PAL_EXPORT INT WINAPI KsZip(LPCWSTR archivePath, LPCWSTR folderPath);
extern "C" PAL_EXPORT INT WINAPI KsUnzip(LPCWSTR folderPath, LPCWSTR archivePath);

static_assert(std::is_same_v<decltype(&KsZip), PFN_KsZip>, "KsZip keeps the signature the core looks up");
static_assert(std::is_same_v<decltype(&KsUnzip), PFN_KsUnzip>, "KsUnzip keeps the signature the core looks up");

namespace {

/* A user store holds at most 255 blob files beside user.bin, user.backup and key.backup. */
constexpr zip_int64_t kMaxEntries = 255 + 3;
/* Far beyond any store the system writes, small enough to hold in memory. */
constexpr zip_uint64_t kMaxEntryBytes = 256ull << 20;
constexpr zip_uint64_t kMaxTotalBytes = 256ull << 20;
/* Stored or deflated data never grows by more than its headers and a small fraction. */
constexpr ULONGLONG kMaxArchiveBytes = kMaxTotalBytes + (16ull << 20);
/* Smaller members are stored: a deflate stream's set-up costs about 40 us,
 * which on a store of 255 sealed blobs (ciphertext, 600-odd bytes each) was
 * most of the packing time, and saves nothing on ciphertext. */
constexpr size_t kStoreBelowBytes = 4096;
/* A name is one folder entry: at most MAX_PATH - 1 UTF-16 units. */
constexpr size_t kMaxNameUnits = MAX_PATH - 1;
/* Regular file, owner read and write: what a store's files are. */
constexpr zip_uint32_t kUnixRegularFile = 0100000u;
constexpr zip_uint32_t kUnixTypeMask = 0170000u;
constexpr zip_uint32_t kDosDirectory = 0x10, kDosDevice = 0x40, kDosReparsePoint = 0x400;

/* The 22-byte end record of an archive with no entries (libzip writes nothing for one). */
const BYTE kEmptyArchive[22] = {'P', 'K', 5, 6};

/* One line on the debug output: "KsUnzip: refused entry: duplicate name". */
void Report(const char* fn, const char* what, const char* detail = NULL) {
    char line[512];
    snprintf(line, sizeof line, detail ? "%s: %s: %s\n" : "%s: %s\n", fn, what, detail);
    OutputDebugStringA(line);
}

/* A block wiped before it is freed: a store's files include sealed key material. */
struct Buffer {
    std::vector<BYTE> bytes;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept : bytes(std::move(other.bytes)) {}
    ~Buffer() {
        if (!bytes.empty()) SecureZeroMemory(bytes.data(), bytes.size());
    }
};

size_t WLen(LPCWSTR s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

/* A folder path without trailing separators, and the separator to join names with:
 * a host path keeps the host's, which the platform layer passes through unchanged. */
bool FolderAndSeparator(LPCWSTR folderPath, WString& folder, WCHAR& sep) {
    if (!folderPath || !folderPath[0]) return false;
    folder.assign(folderPath, WLen(folderPath));
    sep = folder[0] == W('/') ? W('/') : W('\\');
    while (folder.size() > 1 && (folder.back() == W('\\') || folder.back() == W('/'))) folder.pop_back();
    return true;
}

bool IsReservedChar(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' ||
           c == '<' || c == '>' || c == '|';
}

/*
 * The UTF-16 name of a store file from its UTF-8 bytes, or false with the reason.
 * A store is flat: a name is one plain folder entry, never a path, never "." or
 * "..", never a name Windows would alter or refuse, and valid UTF-8.
 */
bool StoreName(const std::string& utf8, WString& name, const char** why) {
    *why = "empty name";
    if (utf8.empty()) return false;
    for (unsigned char c : utf8) {
        if (c == '/' || c == '\\') {
            *why = "name holds a path separator";
            return false;
        }
        if (IsReservedChar(c)) {
            *why = "name holds a reserved or control character";
            return false;
        }
    }
    *why = "name is a relative folder reference";
    if (utf8 == "." || utf8 == "..") return false;
    *why = "name ends in a dot or a space";
    if (utf8.back() == '.' || utf8.back() == ' ') return false;

    *why = "name is not valid UTF-8";
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), NULL, 0);
    if (units <= 0) return false;
    if ((size_t)units > kMaxNameUnits) {
        *why = "name too long";
        return false;
    }
    name.assign((size_t)units, 0);
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &name[0], units);
    /* The conversion replaces what it cannot decode: only an exact round trip is valid UTF-8. */
    int back = WideCharToMultiByte(CP_UTF8, 0, name.data(), units, NULL, 0, NULL, NULL);
    if (back != (int)utf8.size()) return false;
    std::string again((size_t)back, '\0');
    WideCharToMultiByte(CP_UTF8, 0, name.data(), units, &again[0], back, NULL, NULL);
    if (again != utf8) return false;
    *why = "";
    return true;
}

bool ToUtf8(const WCHAR* s, size_t n, std::string& out) {
    if (n == 0) return false;
    BOOL lossy = FALSE;
    int len = WideCharToMultiByte(CP_UTF8, 0, s, (int)n, NULL, 0, NULL, &lossy);
    if (len <= 0 || lossy) return false;
    out.assign((size_t)len, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s, (int)n, &out[0], len, NULL, NULL);
    return true;
}

/* Creates the file whole: the old file (or none) or the new one after any failure.
 * FILE_ATTRIBUTE_TEMPORARY for a file its reader rewrites: it is not flushed to disk. */
DWORD WriteWhole(const WString& path, DWORD disposition, const BYTE* data, size_t len,
                 DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    if (len > 0xFFFFFFFFull) return ERROR_INVALID_DATA;
    const WholeFilePart part = {data, (DWORD)len};
    return WriteFileWhole(path.c_str(), disposition, &part, 1, attributes);
}

struct ZipSourceGuard {
    zip_source_t* src;
    ~ZipSourceGuard() {
        if (src) zip_source_free(src);
    }
};

struct ZipGuard {
    zip_t* za;
    ~ZipGuard() {
        if (za) zip_discard(za);
    }
};

struct Member {
    std::string name; /* UTF-8 */
    Buffer data;
};

/* The archive bytes of the members, or an error. */
DWORD BuildArchive(std::vector<Member>& members, Buffer& archive) {
    if (members.empty()) {
        archive.bytes.assign(kEmptyArchive, kEmptyArchive + sizeof kEmptyArchive);
        return ERROR_SUCCESS;
    }
    zip_error_t zerr;
    zip_error_init(&zerr);
    ZipSourceGuard out{zip_source_buffer_create(NULL, 0, 0, &zerr)};
    zip_error_fini(&zerr);
    if (!out.src) return ERROR_NOT_ENOUGH_MEMORY;
    zip_source_keep(out.src); /* the archive takes one reference; the bytes are read from it after close */

    zip_error_init(&zerr);
    ZipGuard za{zip_open_from_source(out.src, ZIP_TRUNCATE, &zerr)};
    zip_error_fini(&zerr);
    if (!za.za) {
        zip_source_free(out.src); /* the reference the archive did not take */
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    for (Member& m : members) {
        zip_source_t* data = zip_source_buffer(za.za, m.data.bytes.data(), m.data.bytes.size(), 0);
        if (!data) return ERROR_NOT_ENOUGH_MEMORY;
        zip_int64_t index = zip_file_add(za.za, m.name.c_str(), data, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(data);
            return ERROR_INVALID_DATA;
        }
        if (zip_file_set_external_attributes(za.za, (zip_uint64_t)index, 0, ZIP_OPSYS_UNIX,
                                             (kUnixRegularFile | 0600u) << 16) != 0)
            return ERROR_INVALID_DATA;
        if (m.data.bytes.size() < kStoreBelowBytes &&
            zip_set_file_compression(za.za, (zip_uint64_t)index, ZIP_CM_STORE, 0) != 0)
            return ERROR_INVALID_DATA;
    }
    if (zip_close(za.za) != 0) return ERROR_WRITE_FAULT;
    za.za = NULL;

    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_source_stat(out.src, &st) != 0 || !(st.valid & ZIP_STAT_SIZE) || st.size > kMaxArchiveBytes)
        return ERROR_INVALID_DATA;
    archive.bytes.resize((size_t)st.size);
    if (zip_source_open(out.src) != 0) return ERROR_READ_FAULT;
    zip_int64_t got = zip_source_read(out.src, archive.bytes.data(), archive.bytes.size());
    zip_source_close(out.src);
    if (got < 0 || (zip_uint64_t)got != st.size) return ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

DWORD Zip(LPCWSTR archivePath, LPCWSTR folderPath) {
    static const char* const fn = "KsZip";
    WString folder;
    WCHAR sep = 0;
    if (!archivePath || !archivePath[0] || !FolderAndSeparator(folderPath, folder, sep))
        return ERROR_INVALID_PARAMETER;

    WString pattern = folder + sep + W('*');
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(pattern.c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) return GetLastError();
    std::vector<WString> names;
    DWORD err = ERROR_SUCCESS;
    do {
        fd.cFileName[MAX_PATH - 1] = 0;
        WString name(fd.cFileName);
        if (name == W(".") || name == W("..")) continue;
        /* The store is flat and holds plain files: anything else is not skipped silently. */
        if (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) {
            Report(fn, "not a regular file, not packed");
            err = ERROR_INVALID_DATA;
            break;
        }
        names.push_back(name);
        if ((zip_int64_t)names.size() > kMaxEntries) {
            Report(fn, "more files than a store holds");
            err = ERROR_INVALID_DATA;
            break;
        }
    } while (FindNextFileW(hFind, &fd));
    if (err == ERROR_SUCCESS && GetLastError() != ERROR_NO_MORE_FILES) err = GetLastError();
    FindClose(hFind);
    if (err != ERROR_SUCCESS) return err;

    std::vector<Member> members;
    members.reserve(names.size());
    zip_uint64_t total = 0;
    for (const WString& name : names) {
        Member m;
        WString check;
        const char* why = "";
        /* Only what KsUnzip accepts is packed, so every archive made here unpacks. */
        if (!ToUtf8(name.data(), name.size(), m.name) || !StoreName(m.name, check, &why)) {
            Report(fn, "file name not packable", why);
            return ERROR_INVALID_NAME;
        }
        if ((err = ReadFileWhole((folder + sep + name).c_str(), kMaxEntryBytes, m.data.bytes)) != ERROR_SUCCESS) {
            Report(fn, "cannot read", m.name.c_str());
            return err;
        }
        total += m.data.bytes.size();
        if (total > kMaxTotalBytes) {
            Report(fn, "more bytes than a store holds");
            return ERROR_INVALID_DATA;
        }
        members.push_back(std::move(m));
    }

    Buffer archive;
    if ((err = BuildArchive(members, archive)) != ERROR_SUCCESS) {
        Report(fn, "cannot build the archive");
        return err;
    }
    WString target(archivePath, WLen(archivePath));
    if ((err = WriteWhole(target, CREATE_ALWAYS, archive.bytes.data(), archive.bytes.size())) != ERROR_SUCCESS) {
        Report(fn, "cannot write the archive");
        return err;
    }
    /* The archive's name survives a crash once this succeeds; a failed flush leaves it in place. */
    size_t cut = target.find_last_of(W("\\/"));
    if (cut != WString::npos && cut > 0) {
        HANDLE dir = CreateFileW(target.substr(0, cut).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (dir == INVALID_HANDLE_VALUE || !FlushFileBuffers(dir)) Report(fn, "cannot flush the archive's folder");
        if (dir != INVALID_HANDLE_VALUE) CloseHandle(dir);
    }
    return ERROR_SUCCESS;
}

/* What an entry's external attributes say, for the systems whose attributes we can read. */
bool PlainFileAttributes(zip_uint8_t opsys, zip_uint32_t attr, const char** why) {
    switch (opsys) {
    case ZIP_OPSYS_UNIX:
    case ZIP_OPSYS_OS_X: {
        zip_uint32_t type = (attr >> 16) & kUnixTypeMask;
        if (type == 0 || type == kUnixRegularFile) return true;
        *why = type == 0120000u ? "entry is a symbolic link"
             : type == 0040000u ? "entry is a folder"
                                : "entry is a device, FIFO or socket";
        return false;
    }
    case ZIP_OPSYS_DOS:
    case ZIP_OPSYS_WINDOWS_NTFS:
    case ZIP_OPSYS_VFAT:
        if (attr & kDosDirectory) {
            *why = "entry is a folder";
            return false;
        }
        if (attr & (kDosDevice | kDosReparsePoint)) {
            *why = "entry is a device or a link";
            return false;
        }
        return true;
    default:
        *why = "entry attributes of an unknown system";
        return false;
    }
}

struct Planned {
    zip_uint64_t index;
    zip_uint64_t size;
    WString name;
};

/* Checks every entry before anything is written. */
DWORD Plan(zip_t* za, std::vector<Planned>& plan) {
    static const char* const fn = "KsUnzip";
    zip_int64_t count = zip_get_num_entries(za, 0);
    if (count < 0 || count > kMaxEntries) {
        Report(fn, "more entries than a store holds");
        return ERROR_INVALID_DATA;
    }
    std::set<std::string> seen;
    zip_uint64_t total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_uint64_t index = (zip_uint64_t)i;
        const char* raw = zip_get_name(za, index, ZIP_FL_ENC_RAW);
        const char* why = "";
        Planned p;
        p.index = index;
        if (!raw || !StoreName(raw, p.name, &why)) {
            Report(fn, "refused entry", raw ? why : "no name");
            return ERROR_INVALID_NAME;
        }
        if (!seen.insert(raw).second) {
            Report(fn, "refused entry", "duplicate name");
            return ERROR_INVALID_DATA;
        }
        zip_uint8_t opsys = 0;
        zip_uint32_t attr = 0;
        if (zip_file_get_external_attributes(za, index, 0, &opsys, &attr) != 0 ||
            !PlainFileAttributes(opsys, attr, &why)) {
            Report(fn, "refused entry", why);
            return ERROR_INVALID_DATA;
        }
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE)) {
            Report(fn, "refused entry", "no size");
            return ERROR_INVALID_DATA;
        }
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE) {
            Report(fn, "refused entry", "encrypted");
            return ERROR_INVALID_DATA;
        }
        if (st.size > kMaxEntryBytes || st.size > kMaxTotalBytes - total) {
            Report(fn, "refused entry", "more bytes than a store holds");
            return ERROR_INVALID_DATA;
        }
        total += st.size;
        p.size = st.size;
        plan.push_back(std::move(p));
    }
    return ERROR_SUCCESS;
}

/* An entry's bytes: exactly its declared size, and its checksum must match. */
DWORD Extract(zip_t* za, const Planned& p, Buffer& out) {
    zip_file_t* zf = zip_fopen_index(za, p.index, 0);
    if (!zf) return ERROR_INVALID_DATA;
    out.bytes.resize((size_t)p.size + 1); /* one byte more reveals data beyond the declared size */
    zip_uint64_t got = 0;
    DWORD err = ERROR_SUCCESS;
    while (got < out.bytes.size()) {
        zip_int64_t n = zip_fread(zf, out.bytes.data() + got, out.bytes.size() - got);
        if (n < 0) {
            err = ERROR_INVALID_DATA;
            break;
        }
        if (n == 0) break;
        got += (zip_uint64_t)n;
    }
    if (zip_fclose(zf) != 0 && err == ERROR_SUCCESS) err = ERROR_INVALID_DATA;
    if (err == ERROR_SUCCESS && got != p.size) err = ERROR_INVALID_DATA;
    out.bytes.resize((size_t)p.size);
    return err;
}

DWORD Unzip(LPCWSTR folderPath, LPCWSTR archivePath) {
    static const char* const fn = "KsUnzip";
    WString folder;
    WCHAR sep = 0;
    if (!archivePath || !archivePath[0] || !FolderAndSeparator(folderPath, folder, sep))
        return ERROR_INVALID_PARAMETER;

    Buffer archive;
    DWORD err = ReadFileWhole(WString(archivePath, WLen(archivePath)).c_str(), kMaxArchiveBytes, archive.bytes);
    if (err != ERROR_SUCCESS) {
        Report(fn, "cannot read the archive");
        return err;
    }

    zip_error_t zerr;
    zip_error_init(&zerr);
    ZipSourceGuard src{zip_source_buffer_create(archive.bytes.data(), archive.bytes.size(), 0, &zerr)};
    zip_error_fini(&zerr);
    if (!src.src) return ERROR_NOT_ENOUGH_MEMORY;
    zip_error_init(&zerr);
    ZipGuard za{zip_open_from_source(src.src, ZIP_RDONLY | ZIP_CHECKCONS, &zerr)};
    zip_error_fini(&zerr);
    if (!za.za) {
        Report(fn, "not a readable archive");
        return ERROR_INVALID_DATA;
    }
    src.src = NULL; /* the archive owns the source now */

    std::vector<Planned> plan;
    if ((err = Plan(za.za, plan)) != ERROR_SUCCESS) return err;

    BOOL createdFolder = CreateDirectoryW(folder.c_str(), NULL);
    if (!createdFolder) {
        DWORD attrs = GetFileAttributesW(folder.c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY) ||
            (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
            Report(fn, "no target folder");
            return ERROR_PATH_NOT_FOUND;
        }
    }

    /* Until the last entry is written, leaving removes everything this call made. */
    struct Undo {
        const WString& folder;
        BOOL removeFolder;
        std::vector<WString> written;
        bool done = false;
        ~Undo() {
            if (done) return;
            for (const WString& path : written) DeleteFileW(path.c_str());
            if (removeFolder) RemoveDirectoryW(folder.c_str());
        }
    } undo{folder, createdFolder, {}};
    undo.written.reserve(plan.size());

    for (const Planned& p : plan) {
        Buffer data;
        if ((err = Extract(za.za, p, data)) != ERROR_SUCCESS) {
            Report(fn, "refused entry", "data does not match its size or checksum");
            return err;
        }
        WString path = folder + sep + p.name;
        /* Never over a file that is there already: only what this call writes is its to remove.
         * Unpacked files are checked and rewritten by their reader before anything keeps them. */
        if ((err = WriteWhole(path, CREATE_NEW, data.bytes.data(), data.bytes.size(), FILE_ATTRIBUTE_TEMPORARY)) !=
            ERROR_SUCCESS) {
            Report(fn, "cannot write an entry");
            return err;
        }
        undo.written.push_back(path);
    }
    undo.done = true;
    return ERROR_SUCCESS;
}

INT Finish(DWORD err) {
    SetLastError(err);
    return err == ERROR_SUCCESS ? 1 : 0;
}

} // namespace

extern "C" INT WINAPI KsZip(LPCWSTR archivePath, LPCWSTR folderPath) {
    DWORD err;
    try {
        err = Zip(archivePath, folderPath);
    } catch (const std::bad_alloc&) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        err = ERROR_INVALID_FUNCTION;
    }
    return Finish(err);
}

extern "C" INT WINAPI KsUnzip(LPCWSTR folderPath, LPCWSTR archivePath) {
    DWORD err;
    try {
        err = Unzip(folderPath, archivePath);
    } catch (const std::bad_alloc&) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        err = ERROR_INVALID_FUNCTION;
    }
    return Finish(err);
}
