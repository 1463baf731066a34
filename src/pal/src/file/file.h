/* Private to the file entry points: share modes, durable writes, file objects. */
#pragma once
#include "internal/handles.h"

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace pal::file {

/* ---- share modes (between handles of this process only) ---------------- */

struct Access {
    bool read = false;
    bool write = false;
    bool del = false;
    DWORD share = 0; // FILE_SHARE_* granted to later opens
};

/* Identity of a name for sharing: the resolved parent folder plus the last
 * component, so "C:\x" and its host spelling meet. */
std::string ShareKey(const std::string& hostPath);
/* ERROR_SHARING_VIOLATION if an open handle on key and the new access exclude
 * each other, as Windows decides it. */
DWORD ShareCheck(const std::string& key, const Access& access);
/* Checks and records in one step; token identifies the record for release. */
DWORD ShareAcquire(const std::string& key, const Access& access, uint64_t& token);
void ShareRelease(const std::string& key, uint64_t token);

/* ---- whole files: durable writes, bounded reads ------------------------ */

/* Temporaries are hidden from directory searches by this prefix. */
constexpr const char kTempPrefix[] = ".~pal-";
bool IsTempName(const char* name);

std::string ParentOf(const std::string& hostPath);

/* Creates an exclusive, locked temporary beside finalPath (the lock tells a
 * live writer's temporary from one left by a crash), owner-only until the
 * caller gives it its mode. Returns the descriptor or -1 with errno. */
int CreateTempBeside(const std::string& finalPath, std::string& tempPath);
/* Gives the temporary the owner, mode (narrowed to the access model) and
 * access ACL of the file it replaces. */
void CopyMetadata(const struct stat& from, const std::string& fromPath, int toFd);
/* fsync (unless the file is a temporary one), then rename into place
 * (no-replace when asked). The folder is not flushed: the name is the old or
 * the new file after a crash, and the caller makes the new name durable by
 * flushing the folder once after its last change there (FlushFileBuffers on
 * a folder handle). On a failure the temporary is removed and the old file
 * is untouched. Does not close fd. */
DWORD Publish(int fd, const std::string& tempPath, const std::string& finalPath, bool noReplace, bool flush = true);
/* The one whole-file write of a buffer or a stream: fill writes the temporary
 * beside finalPath (and gives it its access), then Publish puts it in place
 * and the temporary is closed. fill returns ERROR_SUCCESS or its error; on any
 * failure the temporary is removed and finalPath is untouched. *created (when
 * given) is false when no temporary could be made, errno saying why. Handles
 * opened to replace a file do the same steps across CreateFileW and
 * CloseHandle. */
DWORD WriteBeside(const std::string& finalPath, bool noReplace, const std::function<DWORD(int fd)>& fill,
                  bool* created = nullptr);

/* What stopped ReadWhole; errno tells why for Open, Status and Read. */
enum class ReadStop { None, Open, Status, Refused, Read };
/* The one whole-file read: the regular file at path (a final symbolic link is
 * not followed) into bytes. Anything else, or a file above maxBytes, is
 * Refused before anything is allocated; a file that shrinks while read gives
 * the bytes it had. *st (when given) is the file's status as read. */
ReadStop ReadWhole(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>& bytes,
                   struct stat* st = nullptr);

/* Removes temporaries in dir that no live writer holds. */
void SweepStaleTemps(const std::string& dir);
/* The first time this process writes beside a name in dir: the temporaries
 * crashed writers left there are removed. */
void SweepStaleTempsOnce(const std::string& dir);

/* ---- attributes and times ---------------------------------------------- */

DWORD AttributesOf(const struct stat& st);
FILETIME ToFileTime(const struct timespec& ts);

/* ---- file handles ------------------------------------------------------- */

class FileObject final : public HandleObject {
  public:
    FileObject() : HandleObject(HandleKind::File) {}
    ~FileObject() override;
    DWORD OnClose() override;

    std::mutex lock; // guards everything below
    int fd = -1;
    bool canRead = false;
    bool canWrite = false;
    std::string finalPath;         // host name of the file
    std::string tempPath;          // non-empty while a whole-file replacement is pending
    bool noReplace = false;        // CREATE_NEW: publish must not replace a file made meanwhile
    bool temporary = false;        // FILE_ATTRIBUTE_TEMPORARY: published without a flush
    bool isDir = false;            // a folder opened with FILE_FLAG_BACKUP_SEMANTICS, only to flush it
    DWORD failure = ERROR_SUCCESS; // first failed write or flush of a pending replacement
    std::string shareKey;
    uint64_t shareToken = 0;
};

} // namespace pal::file
