/*
 * The durability units, measured with plain system calls in a folder on the
 * store's file system: what the least crash-safe sequence of an export is made
 * of (Floor.cpp, DurableFloorOps). The folder flush is timed right after a
 * rename into the folder, so that it has a change to make durable.
 */
#include "Floor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace bench {
namespace {

void Must(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("durability unit: ") + what + ": " + strerror(errno));
}

/* A new file of n bytes, written whole and flushed. */
void WriteNew(const std::string& path, const std::vector<char>& data, size_t n, bool flush = true) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    Must(fd >= 0, "open");
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(fd, data.data() + done, n - done);
        Must(w > 0, "write");
        done += static_cast<size_t>(w);
    }
    if (flush) Must(fsync(fd) == 0, "fsync");
    Must(close(fd) == 0, "close");
}

} // namespace

DurableUnits MeasureDurableUnits(const std::string& dir, unsigned samples) {
    namespace fs = std::filesystem;
    const std::string scratch = dir + "/durable-units";
    std::error_code ec;
    fs::remove_all(scratch, ec);
    fs::create_directories(scratch);
    const int dfd = open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Must(dfd >= 0, "open folder");

    static const size_t sizes[] = {256, 4096, 65536, 262144};
    std::vector<char> data(262144);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
    const std::string target = scratch + "/table", temp = scratch + "/table.new";
    const unsigned n = samples ? samples : 1;

    std::vector<double> x, y, yr, flushes, unlinks;
    for (size_t size : sizes) {
        unlink(target.c_str());
        WriteNew(target, data, size); /* the file each rename replaces */
        Must(fsync(dfd) == 0, "fsync folder");
        std::vector<double> w, r;
        for (unsigned i = 0; i <= n; ++i) {
            const double t0 = Now();
            WriteNew(temp, data, size);
            const double t1 = Now();
            Must(rename(temp.c_str(), target.c_str()) == 0, "rename");
            const double t2 = Now();
            Must(fsync(dfd) == 0, "fsync folder");
            const double t3 = Now();
            if (i == 0) continue; /* warm */
            w.push_back(t1 - t0);
            r.push_back(t2 - t1);
            flushes.push_back(t3 - t2);
        }
        x.push_back(static_cast<double>(size));
        y.push_back(Median(w));
        yr.push_back(Median(r));
    }
    /* Unlinks of durable files of about a blob's size, as a delete leaves them unflushed. */
    const std::string victim = scratch + "/blob";
    for (unsigned i = 0; i <= n; ++i) {
        WriteNew(victim, data, 700);
        Must(fsync(dfd) == 0, "fsync folder");
        const double t0 = Now();
        Must(unlink(victim.c_str()) == 0, "unlink");
        const double t1 = Now();
        if (i) unlinks.push_back(t1 - t0);
    }
    Must(fsync(dfd) == 0, "fsync folder");
    close(dfd);
    fs::remove_all(scratch, ec);

    DurableUnits u;
    u.writeNew = LeastSquares(x, y);
    u.rename = LeastSquares(x, yr);
    u.folderFlush = Median(flushes);
    u.unlink = Median(unlinks);
    return u;
}

double ReplayDurable(const std::string& dir, const DurableOps& d, double idleSeconds,
                     const std::function<void()>& lead, double* leadSeconds) {
    namespace fs = std::filesystem;
    const std::string scratch = dir + "/durable-replay";
    std::error_code ec;
    fs::remove_all(scratch, ec);
    const unsigned folders = d.folders ? d.folders : 1;
    const int made = d.made >= 0 && static_cast<unsigned>(d.made) + 1 < folders ? d.made : -1;
    auto folder = [&](unsigned f) {
        return static_cast<int>(f) == made ? scratch + "/f" + std::to_string(folders - 1) + "/made"
                                           : scratch + "/f" + std::to_string(f);
    };
    for (unsigned f = 0; f < folders; ++f)
        if (static_cast<int>(f) != made) fs::create_directories(folder(f));
    fs::create_directories(scratch + "/gone");
    uint64_t largest = 700;
    for (const auto& w : d.writes) largest = std::max<uint64_t>(largest, w.bytes);
    std::vector<char> data(largest);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
    auto at = [&](unsigned i, const char* kind) { return folder(i % folders) + "/" + kind + std::to_string(i); };

    /* Untimed: the files the sequence replaces or removes, put on disk as the
     * call's store was (written, then one syncfs below): a flush per file would
     * leave the disk warmer than the call found it. */
    unsigned i = 0;
    for (const auto& w : d.writes)
        for (unsigned k = 0; k < w.count; ++k, ++i)
            if (w.replaces) {
                Must(static_cast<int>(i % folders) != made, "a replaced file in a new folder");
                WriteNew(at(i, "old"), data, w.bytes, false);
            }
    for (unsigned k = 0; k < d.unlinks; ++k) WriteNew(scratch + "/gone/" + std::to_string(k), data, 700, false);
    /* A flush after the disk has idled costs several times one right after
     * another (about 1 ms against 0.07 ms here): the replay starts from the
     * state the call started from, or it is measured warm against a cold call. */
    if (idleSeconds > 0) usleep(static_cast<useconds_t>(idleSeconds * 1e6));
    const int sfd = open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Must(sfd >= 0, "open folder");
    Must(syncfs(sfd) == 0, "syncfs");
    std::vector<int> fds(folders, -1);
    for (unsigned f = 0; f < folders; ++f) {
        if (static_cast<int>(f) == made) continue; /* exists only once the timed part made it */
        fds[f] = open(folder(f).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        Must(fds[f] >= 0, "open folder");
    }

    const double t0 = Now();
    if (lead) lead();
    const double tw = Now();
    if (made >= 0) {
        Must(mkdir(folder(made).c_str(), 0700) == 0, "mkdir");
        fds[made] = open(folder(made).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        Must(fds[made] >= 0, "open folder");
    }
    i = 0;
    for (const auto& w : d.writes)
        for (unsigned k = 0; k < w.count; ++k, ++i) {
            WriteNew(at(i, "new"), data, w.bytes);
            if (w.replaces) Must(rename(at(i, "new").c_str(), at(i, "old").c_str()) == 0, "rename");
        }
    if (d.folders)
        for (int fd : fds) Must(fsync(fd) == 0, "fsync folder");
    for (unsigned k = 0; k < d.unlinks; ++k) Must(unlink((scratch + "/gone/" + std::to_string(k)).c_str()) == 0, "unlink");
    const double t1 = Now();

    for (int fd : fds) close(fd);
    close(sfd);
    fs::remove_all(scratch, ec);
    if (leadSeconds) *leadSeconds = tw - t0;
    return t1 - tw;
}

DurableUnits Lower(const DurableUnits& a, const DurableUnits& b) {
    DurableUnits u;
    u.writeNew = a.writeNew.At(4096) <= b.writeNew.At(4096) ? a.writeNew : b.writeNew;
    u.rename = a.rename.At(4096) <= b.rename.At(4096) ? a.rename : b.rename;
    u.folderFlush = std::min(a.folderFlush, b.folderFlush);
    u.unlink = std::min(a.unlink, b.unlink);
    return u;
}

} // namespace bench
