/*
 * Every system call through which the PAL touches file data goes through this
 * table, so a test can make one exact call fail and watch the real code cope.
 * Production never changes the table.
 *
 * The named mutex's lock file goes through it too (open, flock, pread, pwrite,
 * ftruncate, close), so a test that counts "open" or "close" across a locked
 * call sees those as well; its marker uses pread/pwrite, never read/write.
 */
#pragma once
#include <windows.h>

#include <sys/types.h>

#include <string>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PalSyscalls {
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void* buf, size_t n);
    ssize_t (*write)(int fd, const void* buf, size_t n);
    ssize_t (*pread)(int fd, void* buf, size_t n, off_t off);
    ssize_t (*pwrite)(int fd, const void* buf, size_t n, off_t off);
    int (*fsync)(int fd);
    int (*fdatasync)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*renameat2)(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
    int (*link)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    int (*close)(int fd);
    int (*ftruncate)(int fd, off_t len);
    int (*flock)(int fd, int op);
    int (*chmod)(const char* path, mode_t mode);
    int (*fchmod)(int fd, mode_t mode);
} PalSyscalls;

/* The live table; a test may replace entries (e.g. with a short write) and
 * must put them back with PalTestResetSyscalls. */
PAL_EXPORT PalSyscalls* PalTestSyscallTable(void);
/* Restores every entry, clears injected failures and zeroes the counters. */
PAL_EXPORT void PalTestResetSyscalls(void);
/* The nth call from now of the named system call ("write", "fsync", "rename",
 * ...) fails with errno err, once; several may be armed at a time. nth 0
 * clears every armed failure and zeroes the counters. An unknown name aborts
 * the test process rather than inject nothing. */
PAL_EXPORT void PalTestFailSyscall(const char* name, int nth, int err);
/* As err for PalTestFailSyscall: the process kills itself with SIGKILL just
 * before the call, leaving on disk what a crash at that point would. */
#define PAL_TEST_KILL_PROCESS (-9)
/* Calls of the named system call since the last clear. */
PAL_EXPORT unsigned PalTestSyscallCount(const char* name);

/* Copies OutputDebugString text into a buffer (besides its usual destination). */
PAL_EXPORT void PalTestCaptureDebugOutput(BOOL on);

#ifdef __cplusplus
}

/* The captured text (UTF-8) since the last take; empties the buffer. */
PAL_EXPORT std::string PalTestTakeDebugOutput();

namespace pal::sys {

/* Wrappers the PAL calls: they count, inject armed failures (-1 with errno),
 * retry EINTR where a retry is safe, and forward to the table. */
int Open(const char* path, int flags, mode_t mode = 0);
ssize_t Read(int fd, void* buf, size_t n);
ssize_t Write(int fd, const void* buf, size_t n);
ssize_t PRead(int fd, void* buf, size_t n, off_t off);
ssize_t PWrite(int fd, const void* buf, size_t n, off_t off);
int Fsync(int fd);
int Fdatasync(int fd);
int Rename(const char* from, const char* to);
/* rename that fails with EEXIST instead of replacing */
int RenameNoReplace(const char* from, const char* to);
int Link(const char* from, const char* to);
int Unlink(const char* path);
int Mkdir(const char* path, mode_t mode);
int Rmdir(const char* path);
/* Never retried: the descriptor may already be reused after EINTR. */
int Close(int fd);
int Ftruncate(int fd, off_t len);
int Flock(int fd, int op);
int Chmod(const char* path, mode_t mode);
int Fchmod(int fd, mode_t mode);

/* Loops until every byte is written or an error; returns false with errno. */
bool WriteAll(int fd, const void* buf, size_t n);
/* Opens the folder and flushes its entries (a rename or create in it). */
int SyncDir(const std::string& dir);

} // namespace pal::sys
#endif
