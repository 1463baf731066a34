/*
 * vaultkeep_bench: the latency of every export on a warm machine root with
 * 1, 16, 64 and 255 credentials per user and users per application, against
 * the cryptographic floor measured in the same run.
 *
 *   vaultkeep_bench [--vk_fixtures=DIR] [--vk_report=FILE] [--vk_calls=X]
 *                   [--vk_replay=0|1] [--vk_series=creds] [--benchmark_filter=...]
 *
 * --vk_fixtures keeps the built roots in DIR and reuses them on the next run
 * (only with the same build: the files must be what this library writes).
 * --vk_report writes the report table as Markdown. --vk_calls scales the
 * number of calls per benchmark. --vk_replay=1 (default) runs each call's
 * floor operations after it, from the same settled disk, so that load on the
 * machine and the disk's state show in both.
 * --vk_series=creds builds and runs only the one-user series (a key provider
 * whose key generation is slow, e.g. the TPM backend on a simulator).
 *
 * Each export is timed against two floors measured in the same run: the
 * cryptography it must do and the least crash-safe sequence of writes it must
 * make (Floor.cpp), on the file system of the store.
 */
#include <benchmark/benchmark.h>
#include <algorithm>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/opensslv.h>
#include <vaultkeep/vaultkeep.h>

#include "Counters.h"
#include "Fixture.h"
#include "Floor.h"
#include "HeapTrack.h"
#include "Units.h"

using namespace bench;

namespace {

struct Options {
    std::string fixtures;
    std::string report;
    std::string work;
    double calls = 1.0;
    bool replay = true;
    bool units = true;
    bool credsOnly = false;
};

struct Config {
    std::string axis; /* "users" or "creds" */
    unsigned size;
    unsigned users() const { return axis == "users" ? size : 1; }
    unsigned creds() const { return axis == "creds" ? size : 1; }
    unsigned targetUser() const { return axis == "users" ? size - 1 : 0; }
    unsigned targetCred() const { return axis == "creds" ? size - 1 : 0; }
    std::string name() const { return axis + "-" + std::to_string(size); }
};

struct Result {
    Export e;
    Config cfg;
    std::vector<double> times, cpu, replays, durableReplays;
    std::vector<double> floorReplays; /* cryptography then writes, in one timed run */
    std::vector<double> flush, beyondFlush; /* time inside fsync, and wall minus it */
    std::vector<double> io;
    size_t heapPeak = 0;
    uint64_t largestFile = 0;
    std::string largestName;
    double floor = 0, kdf = 0;       /* wall-clock units */
    double floorCpu = 0, kdfCpu = 0; /* CPU-time units */
    double durable = 0;              /* the least crash-safe sequence, wall-clock */
    std::string ops, durableText;
    OpList opList;
    DurableOps durableOps;
    Counts performed, mandated;
    bool counted = false;
    unsigned underived = 0; /* key derivations the algorithm makes and the call did not */
};

/* What the operation list asks of the counted kinds. */
Counts MandatedCounts(const OpList& ops) {
    Counts c;
    for (const Op& op : ops) {
        switch (op.kind) {
        case OpKind::Pbkdf2: c.pbkdf2 += op.count; break;
        case OpKind::Hmac:
            c.hmac += op.count;
            c.hmacBytes += op.bytes * op.count;
            break;
        case OpKind::AesEncrypt:
        case OpKind::AesDecrypt: c.aes += op.count; break;
        case OpKind::RsaKeygen: c.rsaKeygen += op.count; break;
        case OpKind::OaepWrap: c.rsaEncrypt += op.count; break;
        case OpKind::OaepUnwrap: c.rsaDecrypt += op.count; break;
        case OpKind::PasswordKdf: c.passwordKdf += op.count; break;
        default: break;
        }
    }
    return c;
}

bool SameWork(const Counts& a, const Counts& b) {
    return a.pbkdf2 == b.pbkdf2 && a.hmac == b.hmac && a.hmacBytes == b.hmacBytes && a.aes == b.aes &&
           a.passwordKdf == b.passwordKdf && a.rsaKeygen == b.rsaKeygen && a.rsaEncrypt == b.rsaEncrypt &&
           a.rsaDecrypt == b.rsaDecrypt;
}

std::string CountsText(const Counts& c) {
    std::string s = std::to_string(c.pbkdf2) + " K, " + std::to_string(c.hmac) + " H (" +
                    std::to_string(c.hmacBytes) + " B), " + std::to_string(c.aes) + " AES";
    if (c.passwordKdf) s += ", " + std::to_string(c.passwordKdf) + " KDF";
    if (c.rsaKeygen) s += ", " + std::to_string(c.rsaKeygen) + " keygen";
    if (c.rsaEncrypt) s += ", " + std::to_string(c.rsaEncrypt) + " wrap";
    if (c.rsaDecrypt) s += ", " + std::to_string(c.rsaDecrypt) + " unwrap";
    return s;
}



Options g_opt;
Client* g_client = nullptr;
Fixtures g_fix;
UnitCosts g_units;    /* wall-clock */
UnitCosts g_unitsCpu; /* CPU time of the thread */
DurableUnits g_durable;
std::string g_durableDir; /* on the store's file system */
/* The provider's key is in a TPM (VAULTKEEP_KSP_BACKEND=tpm2): its key generation,
 * unsealing and RSA-OAEP decryption run there, and the floor holds only the
 * cryptography done in this process. */
bool g_tpm = false;
std::vector<std::unique_ptr<Result>> g_results;

/* Bytes this process read and wrote through system calls. */
double IoBytes() {
    std::ifstream in("/proc/self/io");
    std::string key;
    unsigned long long v = 0, total = 0;
    while (in >> key >> v)
        if (key == "rchar:" || key == "wchar:") total += v;
    return static_cast<double>(total);
}

/* Calls per benchmark: many of the cheap ones, whose medians a moment of load
 * on the machine would otherwise move, fewer where one call costs a key
 * generation or a restore copies hundreds of files back. */
unsigned CallsFor(Export e, const Config& c) {
    double n;
    switch (e) {
    case Export::QueryListOfUsers:
    case Export::RetrieveCredentialMetaData:
    case Export::RetrieveEncryptedCredentialMetaData:
    case Export::QueryUserCreds: n = 201; break;
    case Export::StoreCredential: n = 61; break;
    case Export::RetrieveCredential:
    case Export::DeleteCred:
    case Export::RegisterApp: n = 31; break;
    case Export::AddUser: n = 9; break;
    case Export::UnRegisterApp:
    case Export::DeleteUser: n = c.size >= 64 ? 9 : 15; break;
    case Export::ArchiveUser:
    case Export::RestoreUser:
    case Export::ChangeAppSecret: n = c.size >= 64 ? 5 : 9; break;
    case Export::ChangeUserPassword: n = 15; break;
    default: n = 31; break;
    }
    n *= g_opt.calls;
    return n < 3 ? 3 : static_cast<unsigned>(n);
}

/* What one benchmark does around its timed call. */
struct Plan {
    std::string snapshot;                /* the store the call starts from */
    bool restoreAfter = false;           /* the call changes the store */
    bool registryChanges = false;        /* ... and the registry */
    std::function<long()> call;
    unsigned usersAtStart = 0;
};

Plan MakePlan(Export e, const Config& c) {
    Client& k = *g_client;
    const unsigned u = c.targetUser(), n = c.targetCred();
    Plan p;
    p.snapshot = c.name();
    p.usersAtStart = c.users();
    const std::string archive = g_fix.ArchiveOf(c.name());
    const std::string scratchArchive = g_fix.Scratch() + "/archive.zip";
    switch (e) {
    case Export::RegisterApp:
        p.call = [&k] { return k.Register("BenchNewApp"); };
        p.restoreAfter = p.registryChanges = true;
        break;
    case Export::UnRegisterApp:
        p.call = [&k] { return k.Unregister(); };
        p.restoreAfter = p.registryChanges = true;
        break;
    case Export::AddUser:
        p.snapshot = c.axis + "-" + std::to_string(c.size - 1);
        p.usersAtStart = c.size - 1;
        p.call = [&k, u] { return k.AddUser(u); };
        p.restoreAfter = true;
        break;
    case Export::QueryListOfUsers: p.call = [&k] { return k.QueryUsers(); }; break;
    case Export::DeleteUser: p.call = [&k, u] { return k.DeleteUser(u); }; p.restoreAfter = true; break;
    case Export::StoreCredential: p.call = [&k, u, n] { return k.Store(u, n); }; break;
    case Export::RetrieveCredentialMetaData: p.call = [&k, u, n] { return k.RetrieveMetaData(u, n); }; break;
    case Export::RetrieveEncryptedCredentialMetaData:
        p.call = [&k, u, n] { return k.RetrieveEncMetaData(u, n); };
        break;
    case Export::RetrieveCredential: p.call = [&k, u, n] { return k.Retrieve(u, n); }; break;
    case Export::QueryUserCreds: p.call = [&k, u] { return k.QueryCreds(u); }; break;
    case Export::DeleteCred: p.call = [&k, u, n] { return k.DeleteCred(u, n); }; p.restoreAfter = true; break;
    case Export::ArchiveUser: p.call = [&k, u, scratchArchive] { return k.Archive(u, scratchArchive); }; break;
    case Export::RestoreUser: p.call = [&k, u, archive] { return k.Restore(u, archive); }; break;
    case Export::ChangeUserPassword: p.call = [&k, u] { return k.ChangePassword(u); }; p.restoreAfter = true; break;
    case Export::ChangeAppSecret: p.call = [&k] { return k.RotateSecret(); }; p.restoreAfter = true; break;
    }
    return p;
}

/* Checks, once per store, that the files have the sizes the layouts give, and
 * reads the provider's sizes from its store. */
void CheckLayout(unsigned users, unsigned creds) {
    const std::string root = g_fix.Work();
    const std::string data = root + "/ProgramData/Tarnwick Systems Corp/Vaultkeep/BenchApp";
    Layout& l = g_client->layout();
    const uint64_t app = FileSize(data + "/app.bin");
    if (app != l.AppBody(users) + Layout::kHmac)
        throw std::runtime_error("app.bin is " + std::to_string(app) + " bytes, the layout gives " +
                                 std::to_string(l.AppBody(users) + Layout::kHmac));
    /* The user folders: the one holding creds() blob files plus user.bin. */
    bool userSeen = false;
    for (auto& d : std::filesystem::directory_iterator(data)) {
        if (!d.is_directory()) continue;
        const uint64_t ub = FileSize(d.path().string() + "/user.bin");
        if (ub != l.UserBody(creds) + Layout::kHmac)
            throw std::runtime_error("user.bin is " + std::to_string(ub) + " bytes, the layout gives " +
                                     std::to_string(l.UserBody(creds) + Layout::kHmac));
        for (auto& f : std::filesystem::directory_iterator(d.path())) {
            if (f.path().filename() == "user.bin") continue;
            const uint64_t bl = FileSize(f.path().string());
            if (bl != l.BlobBody() + Layout::kHmac)
                throw std::runtime_error("blob file is " + std::to_string(bl) + " bytes, the layout gives " +
                                         std::to_string(l.BlobBody() + Layout::kHmac));
        }
        userSeen = true;
    }
    if (!userSeen && users != 0) throw std::runtime_error("no user folder in " + data);
    l.registry = static_cast<unsigned>(FileSize(root + "/registry/machine.hive"));
    if (l.registry == 0) throw std::runtime_error("no registry store in " + root + "/registry");
    /* The provider's container: header 80, name, public key, sealed key, trailer 32. */
    const std::string keys = root + "/ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/MachineKeys";
    std::error_code ec;
    for (auto& f : std::filesystem::directory_iterator(keys, ec)) {
        std::ifstream in(f.path(), std::ios::binary);
        unsigned char h[36];
        if (!in.read(reinterpret_cast<char*>(h), sizeof h)) continue;
        auto le = [&](int o) { return uint32_t(h[o]) | uint32_t(h[o + 1]) << 8 | uint32_t(h[o + 2]) << 16 | uint32_t(h[o + 3]) << 24; };
        l.container = static_cast<unsigned>(FileSize(f.path().string()));
        l.privateKey = le(20) - 16; /* sealed = DER + GCM tag */
        break;
    }
}

/* A registry store changed within the last moment is read whole on every query
 * until it has aged (the registry's racy window, 100 ms); a store just copied
 * into place is given that moment, as a machine's registry would have. */
constexpr double kSettleSeconds = 0.150;
void SettleRegistry() { usleep(static_cast<useconds_t>(kSettleSeconds * 1e6)); }

/* A store just copied into place is on disk before the next call, as a
 * machine's store would be: its renames and deletes then free allocated
 * blocks, as the least sequence's replay does. */
void SyncStore(const std::string& work) {
    const int fd = open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + work);
    const int rc = syncfs(fd);
    close(fd);
    if (rc != 0) throw std::runtime_error("syncfs failed on " + work);
}

/* Puts the store back after a call that changed it: its data and key store,
 * and the registry too when the call changed that. */
void Restore(const Plan& plan, const std::string& snap, const std::string& work) {
    if (plan.registryChanges) {
        CopyRoot(snap, work);
        SettleRegistry();
    } else {
        CopyRoot(snap + "/ProgramData", work + "/ProgramData");
    }
    SyncStore(work);
}

void RunExport(benchmark::State& state, Export e, Config c) {
    Plan plan = MakePlan(e, c);
    const std::string snap = g_fix.Snapshot(plan.snapshot);
    const std::string work = g_fix.Work();
    CopyRoot(snap, work);
    SyncStore(work);
    SettleRegistry();
    UseRoot(work);
    try {
        CheckLayout(plan.usersAtStart, c.creds());
    } catch (const std::exception& ex) {
        state.SkipWithError(ex.what());
        return;
    }

    auto r = std::make_unique<Result>();
    r->e = e;
    r->cfg = c;
    g_client->layout().archive = static_cast<unsigned>(FileSize(g_fix.ArchiveOf(c.name())));
    const Layout& l = g_client->layout();
    OpList ops = FloorOps(e, l, plan.usersAtStart, c.creds());
    if (g_tpm)
        ops.erase(std::remove_if(ops.begin(), ops.end(),
                                 [&l](const Op& op) {
                                     return op.kind == OpKind::PasswordKdf || op.kind == OpKind::RsaKeygen ||
                                            op.kind == OpKind::OaepUnwrap ||
                                            ((op.kind == OpKind::GcmOpen || op.kind == OpKind::GcmSeal) &&
                                             op.bytes == l.privateKey);
                                 }),
                  ops.end());
    r->durableOps = DurableFloorOps(e, l, plan.usersAtStart, c.creds());
    r->durable = DurableFloorOf(g_durable, r->durableOps);
    r->durableText = DescribeDurable(r->durableOps);
    r->floor = FloorOf(g_units, ops, &r->kdf);
    r->floorCpu = FloorOf(g_unitsCpu, ops, &r->kdfCpu);
    r->ops = DescribeOps(ops);
    r->opList = ops;
    r->mandated = MandatedCounts(ops);

    /* The largest file the call touches: every file of the application for
     * the application-wide calls, else the user's folder and key, and the archive. */
    {
        std::string name;
        const std::string data = work + "/ProgramData/Tarnwick Systems Corp";
        r->largestFile = LargestFile(data, &name);
        r->largestName = std::filesystem::path(name).filename().string();
        if (e == Export::ArchiveUser || e == Export::RestoreUser) {
            uint64_t a = FileSize(g_fix.ArchiveOf(c.name()));
            if (a > r->largestFile) {
                r->largestFile = a;
                r->largestName = "archive";
            }
        }
    }

    bool dirty = false;
    for (auto _ : state) {
        if (dirty) {
            Restore(plan, snap, work);
            dirty = false;
        }
        const double io0 = IoBytes();
        const double f0 = FlushSeconds();
        const double c0 = CpuNow();
        const double t0 = Now();
        const long rc = plan.call();
        const double t1 = Now();
        const double c1 = CpuNow();
        const double f1 = FlushSeconds();
        const double io1 = IoBytes();
        state.SetIterationTime(t1 - t0);
        if (rc != 0) {
            char b[96];
            snprintf(b, sizeof b, "%s returned %ld", ExportName(e), rc);
            state.SkipWithError(b);
            break;
        }
        dirty = plan.restoreAfter;
        r->times.push_back(t1 - t0);
        r->cpu.push_back(c1 - c0);
        r->flush.push_back(f1 - f0);
        r->beyondFlush.push_back((t1 - t0) - (f1 - f0));
        r->io.push_back(io1 - io0);
        if (g_opt.replay) {
            if (!r->durableOps.writes.empty() || r->durableOps.unlinks) {
                /* As the call runs: its cryptography, then its writes, from the
                 * same settled disk; a flush right after a syncfs is cheaper
                 * than one after the call's computing. */
                double crypto = 0;
                const double writes =
                    ReplayDurable(g_durableDir, r->durableOps, plan.registryChanges ? kSettleSeconds : 0,
                                  [&] { ReplayOps(g_units, ops); }, &crypto);
                r->replays.push_back(crypto);
                r->durableReplays.push_back(writes);
                r->floorReplays.push_back(crypto + writes);
            } else {
                r->replays.push_back(ReplayOps(g_units, ops));
            }
        }
    }
    /* The heap is measured on one more call, untimed: the bookkeeping costs
     * time on every allocation. */
    if (!r->times.empty()) {
        if (dirty) Restore(plan, snap, work);
        CountWindowBegin();
        HeapWindowBegin();
        const long rc = plan.call();
        r->heapPeak = HeapWindowPeak();
        r->performed = CountWindowEnd();
        r->counted = rc == 0;
        if (rc != 0) r->heapPeak = 0;
        dirty = plan.restoreAfter;
        /* A call that derives a key once where the algorithm derives the same key again
         * did less than the count; the floor holds only work that was done. */
        if (r->counted && r->performed.pbkdf2 < r->mandated.pbkdf2) {
            r->underived = static_cast<unsigned>(r->mandated.pbkdf2 - r->performed.pbkdf2);
            r->floor -= r->underived * g_units.pbkdf2;
            r->floorCpu -= r->underived * g_unitsCpu.pbkdf2;
        }
    }
    if (dirty) Restore(plan, snap, work);

    const double med = Median(r->times);
    state.counters["median_ms"] = med * 1e3;
    state.counters["floor_ms"] = r->floor * 1e3;
    state.counters["ratio"] = r->floor > 0 ? med / r->floor : 0;
    state.counters["durable_ms"] = r->durable * 1e3;
    state.counters["ratio_total"] = r->floor + r->durable > 0 ? med / (r->floor + r->durable) : 0;
    state.counters["cpu_ratio"] = r->floorCpu > 0 ? Median(r->cpu) / r->floorCpu : 0;
    if (!r->replays.empty()) state.counters["paired_ratio"] = med / Median(r->replays);
    state.counters["io_KB"] = Median(r->io) / 1024;
    state.counters["heap_KB"] = static_cast<double>(r->heapPeak) / 1024;
    g_results.push_back(std::move(r));
}

void Register() {
    struct Row {
        Export e;
        bool users, creds;
    };
    /* Application-level calls on the users axis only; the rest on both. */
    const Row rows[] = {
        {Export::QueryListOfUsers, true, false},
        {Export::RetrieveCredentialMetaData, true, true},
        {Export::RetrieveEncryptedCredentialMetaData, true, true},
        {Export::QueryUserCreds, true, true},
        {Export::RetrieveCredential, true, true},
        {Export::StoreCredential, true, true},
        {Export::DeleteCred, true, true},
        {Export::RegisterApp, true, false},
        {Export::AddUser, true, false},
        {Export::DeleteUser, true, true},
        {Export::UnRegisterApp, true, true},
        {Export::ArchiveUser, true, true},
        {Export::RestoreUser, true, true},
        {Export::ChangeUserPassword, true, true},
        {Export::ChangeAppSecret, true, true},
    };
    for (const Row& row : rows) {
        for (const char* axis : {"creds", "users"}) {
            const bool on = std::string(axis) == "users" ? row.users && !g_opt.credsOnly : row.creds;
            if (!on) continue;
            for (unsigned s : kSizes) {
                /* creds-1 and users-1 are one store; measured once, under "creds". */
                if (s == 1 && std::string(axis) == "users" && row.creds) continue;
                Config c{axis, s};
                const std::string name = std::string(ExportName(row.e)) + "/" + c.name();
                benchmark::RegisterBenchmark(name.c_str(), [row, c](benchmark::State& st) { RunExport(st, row.e, c); })
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond)
                    ->Iterations(CallsFor(row.e, c));
            }
        }
    }
}

std::string Machine() {
    std::string model = "unknown CPU";
    std::ifstream cpu("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpu, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    utsname u;
    uname(&u);
    char b[512];
    snprintf(b, sizeof b, "%s, %ld logical CPUs, Linux %s, %s", model.c_str(), sysconf(_SC_NPROCESSORS_ONLN), u.release,
             OPENSSL_VERSION_TEXT);
    return b;
}

std::string Fmt(const char* f, double v) {
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

/* Wall median over the crypto and durability sequences run for real, in the
 * call's order, after each call (load on the machine and its disk shows in
 * both); "-" without replays. */
std::string PairedTotal(const Result& r) {
    if (r.replays.empty()) return "-";
    const double both = r.floorReplays.empty() ? Median(r.replays) : Median(r.floorReplays);
    return both > 0 ? Fmt("%.2f", Median(r.times) / both) : "-";
}

/* One line per export at its smallest and largest store: the figures the
 * requirements speak of. */
std::string Summary() {
    std::ostringstream o;
    o << "Summary: each export at 1 and 255 credentials (application-level exports: at 1 and 255 users). "
         "Crypto = mandated cryptography, of it the provider's password KDF; durable = the least crash-safe "
         "sequence of writes (units measured in this run on the store's file system); ratio = median wall / "
         "(crypto + durable); paired = median wall / median of the same cryptography and then the least "
         "sequence, run for real after each call from the state the call started from; CPU / crypto = median CPU time of the thread / crypto floor by CPU time; "
         "flushes = fsync of files + folders in one call and the median time in them; renames, unlinks = "
         "in one call; heap / file = peak heap of a call (less the password KDF's memory when the call runs "
         "it) over the largest file of the store.\n\n";
    o << "| export | store | wall ms | crypto ms | KDF ms | durable ms | ratio | paired | CPU / crypto | flushes | "
         "flush ms | renames | unlinks | heap / file |\n";
    o << "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const auto& r : g_results) {
        if (r->times.empty() || (r->cfg.size != 1 && r->cfg.size != 255)) continue;
        bool usersOnly = true;
        for (const auto& q : g_results)
            if (q->e == r->e && q->cfg.axis == "creds") usersOnly = false;
        if (r->cfg.axis != (usersOnly ? "users" : "creds")) continue;
        const double med = Median(r->times), cpu = Median(r->cpu), both = r->floor + r->durable;
        size_t heap = r->heapPeak;
        if (r->performed.passwordKdf && heap > g_units.passwordKdfHeap) heap -= g_units.passwordKdfHeap;
        o << "| " << ExportName(r->e) << " | " << r->cfg.name() << " | " << Fmt("%.2f", med * 1e3) << " | "
          << Fmt("%.2f", r->floor * 1e3) << " | " << Fmt("%.1f", r->kdf * 1e3) << " | "
          << Fmt("%.2f", r->durable * 1e3) << " | " << Fmt("%.2f", both > 0 ? med / both : 0) << " | "
          << PairedTotal(*r) << " | " << Fmt("%.2f", r->floorCpu > 0 ? cpu / r->floorCpu : 0) << " | " << r->performed.fileFlushes << "+"
          << r->performed.folderFlushes << " | " << Fmt("%.2f", Median(r->flush) * 1e3) << " | "
          << r->performed.renames << " | " << r->performed.unlinks << " | "
          << Fmt("%.1f", r->largestFile ? static_cast<double>(heap) / r->largestFile : 0) << " |\n";
    }
    /* What the provider's password hardening costs a retrieval: the same calls
     * with the KDF term, measured in this run, taken out of wall and floor. */
    bool header = false;
    for (const auto& r : g_results) {
        if (r->e != Export::RetrieveCredential || r->times.empty() || r->kdf <= 0) continue;
        if (!header) {
            o << "\nRetrieveCredential without the provider's password hardening: wall and crypto floor less "
                 "the KDF term (one derivation, measured in this run).\n\n"
                 "| store | wall ms | KDF ms | wall - KDF ms | crypto - KDF ms | ratio without KDF |\n"
                 "|---|---|---|---|---|---|\n";
            header = true;
        }
        const double med = Median(r->times), rest = r->floor - r->kdf;
        o << "| " << r->cfg.name() << " | " << Fmt("%.2f", med * 1e3) << " | " << Fmt("%.1f", r->kdf * 1e3)
          << " | " << Fmt("%.2f", (med - r->kdf) * 1e3) << " | " << Fmt("%.2f", rest * 1e3) << " | "
          << Fmt("%.2f", rest > 0 ? (med - r->kdf) / rest : 0) << " |\n";
    }
    o << "\n";
    return o.str();
}

/* The report: unit costs, one line per export and store, the growth with
 * size, and the operations counted for each export. */
std::string Report(const std::string& command, double loadBefore, double loadAfter) {
    std::ostringstream o;
    const UnitCosts& u = g_units;
    const UnitCosts& c = g_unitsCpu;
    auto lin = [](const LinearCost& l) {
        return Fmt("%.2f us", l.fixed * 1e6) + " + n x " + Fmt("%.3f ns", l.perByte * 1e9);
    };
    o << "Machine: " << Machine() << "\n";
    o << "Command: `" << command << "`\n";
    o << "Load average (1 min) before/after: " << Fmt("%.2f", loadBefore) << " / " << Fmt("%.2f", loadAfter) << "\n\n";
    o << Summary();
    o << "Unit costs (measured in this run before and after the calls; each the lower of the two medians; "
         "wall-clock / CPU time of the thread):\n\n";
    o << "| unit | wall | CPU |\n|---|---|---|\n";
    o << "| PBKDF2-HMAC-SHA256 x1000 (GenAESKey) | " << Fmt("%.3f ms", u.pbkdf2 * 1e3) << " | "
      << Fmt("%.3f ms", c.pbkdf2 * 1e3) << " |\n";
    o << "| HMAC-SHA256 over n bytes | " << lin(u.hmac) << " | " << lin(c.hmac) << " |\n";
    o << "| AES of the crypto library, encrypt n bytes | " << lin(u.aesEncrypt) << " | " << lin(c.aesEncrypt) << " |\n";
    o << "| AES of the crypto library, decrypt n bytes | " << lin(u.aesDecrypt) << " | " << lin(c.aesDecrypt) << " |\n";
    o << "| AES-256-GCM of the provider, seal n bytes | " << lin(u.gcmSeal) << " | " << lin(c.gcmSeal) << " |\n";
    o << "| AES-256-GCM of the provider, open n bytes | " << lin(u.gcmOpen) << " | " << lin(c.gcmOpen) << " |\n";
    o << "| RSA-2048 key generation | " << Fmt("%.1f ms", u.rsaKeygen * 1e3) << " | "
      << Fmt("%.1f ms", c.rsaKeygen * 1e3) << " |\n";
    o << "| RSA-OAEP wrap (public key) | " << Fmt("%.3f ms", u.oaepWrap * 1e3) << " | "
      << Fmt("%.3f ms", c.oaepWrap * 1e3) << " |\n";
    o << "| RSA-OAEP unwrap (private key) | " << Fmt("%.3f ms", u.oaepUnwrap * 1e3) << " | "
      << Fmt("%.3f ms", c.oaepUnwrap * 1e3) << " |\n";
    o << "| provider password KDF (scrypt N=2^" << u.kdf.log2N << ", r=" << u.kdf.r << ", p=" << u.kdf.p
      << ", " << Fmt("%.1f MiB", u.passwordKdfHeap / 1048576.0) << " of heap) | "
      << Fmt("%.1f ms", u.passwordKdf * 1e3) << " | " << Fmt("%.1f ms", c.passwordKdf * 1e3) << " |\n";
    const DurableUnits& d = g_durable;
    auto linMs = [](const LinearCost& l) {
        return Fmt("%.3f ms", l.fixed * 1e3) + " + n x " + Fmt("%.3f us/KB", l.perByte * 1024 * 1e6);
    };
    o << "| W(n): new file of n bytes written and flushed | " << linMs(d.writeNew) << " | - |\n";
    o << "| R(n): its rename over a file of n bytes | " << linMs(d.rename) << " | - |\n";
    o << "| F: folder flush after a rename into it | " << Fmt("%.3f ms", d.folderFlush * 1e3) << " | - |\n";
    o << "| U: unlink of a flushed 700-byte file, unflushed | " << Fmt("%.3f ms", d.unlink * 1e3) << " | - |\n\n";

    o << "Per export and store: median latency of the calls (wall) and median CPU time of the calling thread; "
         "floor = mandated operations x unit costs, of which the provider's password KDF in brackets; "
         "ratio = median / floor, by wall-clock and by CPU time; paired = wall median / median of the same "
         "operations run after each call; I/O = bytes read + written by the call (system calls); "
         "heap = peak heap of one call above its start; file = the largest file of the store; "
         "flushes = fsync calls of one call (files + folders); flush ms = median time a call spent in them; "
         "ratio beyond flushes = median of (wall - flush time) / floor; durable = the least crash-safe "
         "sequence of writes x the units above (replayed: median of it run after each call, from the call's starting state); ratio "
         "total = wall / (floor + durable); R+U = renames + unlinks of one call.\n\n";
    o << "| export | store | calls | wall ms | CPU ms | floor ms (KDF) | ratio wall | ratio CPU | paired | durable ms | "
         "replayed ms | ratio total | flushes | R+U | flush ms | ratio beyond flushes | I/O KB | heap KB | file KB |\n";
    o << "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const auto& r : g_results) {
        if (r->times.empty()) continue;
        const double med = Median(r->times), cpu = Median(r->cpu), beyond = Median(r->beyondFlush);
        o << "| " << ExportName(r->e) << " | " << r->cfg.name() << " | " << r->times.size() << " | "
          << Fmt("%.3f", med * 1e3) << " | " << Fmt("%.3f", cpu * 1e3) << " | " << Fmt("%.3f", r->floor * 1e3)
          << " (" << Fmt("%.1f", r->kdf * 1e3) << ") | " << Fmt("%.3f", r->floor > 0 ? med / r->floor : 0) << " | "
          << Fmt("%.3f", r->floorCpu > 0 ? cpu / r->floorCpu : 0) << " | "
          << (r->replays.empty() ? std::string("-") : Fmt("%.3f", med / Median(r->replays))) << " | "
          << Fmt("%.3f", r->durable * 1e3) << " | "
          << (r->durableReplays.empty() ? std::string("-") : Fmt("%.3f", Median(r->durableReplays) * 1e3)) << " | "
          << Fmt("%.3f", r->floor + r->durable > 0 ? med / (r->floor + r->durable) : 0) << " | "
          << r->performed.fileFlushes << "+" << r->performed.folderFlushes << " | " << r->performed.renames << "+"
          << r->performed.unlinks << " | "
          << Fmt("%.2f", Median(r->flush) * 1e3) << " | " << Fmt("%.3f", r->floor > 0 ? beyond / r->floor : 0)
          << " | " << Fmt("%.1f", Median(r->io) / 1024) << " | "
          << Fmt("%.0f", r->heapPeak / 1024.0) << " | " << Fmt("%.1f", r->largestFile / 1024.0) << " |\n";
    }

    o << "\nOperations counted in one call of each (crypto library, provider primitives) against the mandated "
         "counts (K = PBKDF2, H = HMAC and the bytes it covers); where a call derived fewer keys than the "
         "algorithm, the floor above counts only the derivations made:\n\n";
    bool allSame = true;
    for (const auto& r : g_results) {
        if (!r->counted) continue;
        if (SameWork(r->performed, r->mandated)) continue;
        allSame = false;
        o << "- " << ExportName(r->e) << " " << r->cfg.name() << ": performed " << CountsText(r->performed)
          << "; mandated " << CountsText(r->mandated) << "\n";
    }
    if (allSame) o << "- every call performed exactly the mandated operations.\n";

    /* Growth: the extra time per extra KB of I/O from one size to the next. */
    o << "\nGrowth with the store, per axis: wall and CPU medians and I/O at each size, and the marginal "
         "CPU time per KB of I/O between neighbouring sizes (constant or falling: the cost grows no faster than "
         "the bytes).\n\n";
    o << "| export | axis | wall ms | CPU ms | I/O KB | marginal CPU us/KB |\n|---|---|---|---|---|---|\n";
    std::map<std::string, std::vector<const Result*>> series;
    std::vector<std::string> order;
    for (const auto& r : g_results) {
        if (r->times.empty()) continue;
        for (const char* axis : {"users", "creds"}) {
            if (r->cfg.axis != axis && r->cfg.size != 1) continue;
            std::string key = std::string(ExportName(r->e)) + "|" + axis;
            if (!series.count(key)) order.push_back(key);
            series[key].push_back(r.get());
        }
    }
    for (const std::string& key : order) {
        auto& v = series[key];
        if (v.size() < 2) continue;
        std::sort(v.begin(), v.end(), [](const Result* a, const Result* b) { return a->cfg.size < b->cfg.size; });
        std::string ms, cpu, kb, marg;
        for (size_t i = 0; i < v.size(); ++i) {
            const std::string sep = i ? " / " : "";
            ms += sep + Fmt("%.2f", Median(v[i]->times) * 1e3);
            cpu += sep + Fmt("%.2f", Median(v[i]->cpu) * 1e3);
            kb += sep + Fmt("%.0f", Median(v[i]->io) / 1024);
            if (i) {
                const double dt = Median(v[i]->cpu) - Median(v[i - 1]->cpu);
                const double dk = (Median(v[i]->io) - Median(v[i - 1]->io)) / 1024;
                marg += (i > 1 ? " / " : "") + (dk > 0.5 ? Fmt("%.2f", dt * 1e6 / dk) : std::string("n/a"));
            }
        }
        std::string sizes;
        for (size_t i = 0; i < v.size(); ++i) sizes += (i ? "/" : "") + std::to_string(v[i]->cfg.size);
        const std::string exp = key.substr(0, key.find('|')), axis = key.substr(key.find('|') + 1);
        o << "| " << exp << " | " << axis << " " << sizes << " | " << ms << " | " << cpu << " | " << kb << " | "
          << marg << " |\n";
    }

    o << "\nMandated operations per call (success path), at the smallest and largest store, and the least "
         "crash-safe sequence (W(n) = new file of n bytes flushed, + R = renamed over a file, F = folder flush, "
         "U = unlink):\n\n";
    std::map<std::string, bool> seen;
    for (const auto& r : g_results) {
        if (r->cfg.size != 255 && r->cfg.size != 1) continue;
        std::string key = std::string(ExportName(r->e)) + " " + r->cfg.name();
        if (seen[key]) continue;
        seen[key] = true;
        o << "- " << key << ": " << r->ops << "; durable: " << r->durableText << "\n";
    }
    return o.str();
}

LinearCost Lower(const LinearCost& a, const LinearCost& b) {
    /* The fit that costs less at a table's size, whole. */
    return a.At(65536) <= b.At(65536) ? a : b;
}

UnitCosts Lower(const UnitCosts& a, const UnitCosts& b) {
    UnitCosts u = a;
    u.pbkdf2 = std::min(a.pbkdf2, b.pbkdf2);
    u.hmac = Lower(a.hmac, b.hmac);
    u.aesEncrypt = Lower(a.aesEncrypt, b.aesEncrypt);
    u.aesDecrypt = Lower(a.aesDecrypt, b.aesDecrypt);
    u.gcmSeal = Lower(a.gcmSeal, b.gcmSeal);
    u.gcmOpen = Lower(a.gcmOpen, b.gcmOpen);
    u.rsaKeygen = std::min(a.rsaKeygen, b.rsaKeygen);
    u.oaepWrap = std::min(a.oaepWrap, b.oaepWrap);
    u.oaepUnwrap = std::min(a.oaepUnwrap, b.oaepUnwrap);
    u.passwordKdf = std::min(a.passwordKdf, b.passwordKdf);
    return u;
}

double LoadAverage() {
    double l = 0;
    std::ifstream in("/proc/loadavg");
    in >> l;
    return l;
}

} // namespace

int main(int argc, char** argv) {
    std::string command = "vaultkeep_bench";
    std::vector<char*> rest;
    rest.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        command += " " + a;
        auto value = [&](const char* flag) -> const char* {
            size_t n = strlen(flag);
            return a.compare(0, n, flag) == 0 ? argv[i] + n : nullptr;
        };
        if (const char* v = value("--vk_fixtures=")) g_opt.fixtures = v;
        else if (const char* v = value("--vk_report=")) g_opt.report = v;
        else if (const char* v = value("--vk_work=")) g_opt.work = v;
        else if (const char* v = value("--vk_calls=")) g_opt.calls = atof(v);
        else if (const char* v = value("--vk_replay=")) g_opt.replay = atoi(v) != 0;
        else if (const char* v = value("--vk_units=")) g_opt.units = atoi(v) != 0;
        else if (const char* v = value("--vk_series=")) g_opt.credsOnly = strcmp(v, "creds") == 0;
        else rest.push_back(argv[i]);
    }
    int rargc = static_cast<int>(rest.size());
    benchmark::Initialize(&rargc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rargc, rest.data())) return 1;

    if (getenv("VAULTKEEP_LOG") && *getenv("VAULTKEEP_LOG") && strcmp(getenv("VAULTKEEP_LOG"), "off") != 0)
        fprintf(stderr, "note: VAULTKEEP_LOG is set, the calls log\n");
    if (!HeapTrackingActive()) fprintf(stderr, "note: the heap of a call is not tracked (malloc replaced)\n");

    std::string base = g_opt.fixtures;
    bool temporary = base.empty();
    if (temporary) {
        char tmpl[] = "/tmp/vkbench-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            return 1;
        }
        base = tmpl;
    }
    std::filesystem::create_directories(base);
    /* The lock lives below the current root; the process's own root until a store is chosen. */
    std::filesystem::create_directories(base + "/proc");
    UseRoot(base + "/proc");

    const double loadBefore = LoadAverage();
    int rc = 0;
    try {
        Client client;
        g_client = &client;
        if (const char* b = getenv("VAULTKEEP_KSP_BACKEND")) g_tpm = strcmp(b, "tpm2") == 0;
        g_fix = BuildFixtures(client, base, !temporary, g_opt.credsOnly);
        g_fix.work = g_opt.work;

        /* The provider's KDF parameters, as stored in a container it wrote. */
        KdfParams kdf;
        if (!g_tpm) {
            const std::string keys = g_fix.Snapshot("users-1") +
                                     "/ProgramData/Tarnwick Systems Corp/TPM Key Storage Provider/MachineKeys";
            for (auto& f : std::filesystem::directory_iterator(keys)) {
                std::ifstream in(f.path(), std::ios::binary);
                unsigned char h[36];
                if (!in.read(reinterpret_cast<char*>(h), sizeof h)) continue;
                auto le = [&](int o) { return unsigned(h[o]) | unsigned(h[o + 1]) << 8 | unsigned(h[o + 2]) << 16 | unsigned(h[o + 3]) << 24; };
                kdf.log2N = le(24);
                kdf.r = le(28);
                kdf.p = le(32);
                break;
            }
        }
        if (g_opt.units) {
            fprintf(stderr, "units: measuring\n");
            MeasureUnits(kdf, 25, g_units, g_unitsCpu);
        } else {
            g_units.kdf = g_unitsCpu.kdf = kdf;
            g_opt.replay = false;
        }
        if (g_opt.units) client.layout().aesOverhead = g_units.aesOverhead;
        /* On the store's file system: beside the folder the calls run in. */
        const std::string durableDir = std::filesystem::path(g_fix.Work()).parent_path().string();
        g_durableDir = durableDir;
        fprintf(stderr, "durability units: measuring in %s\n", durableDir.c_str());
        g_durable = MeasureDurableUnits(durableDir, 25);

        Register();
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        if (g_opt.units) {
            /* Load on the machine only ever adds: each unit is the lower of its
             * medians before and after the calls, and the floors follow. */
            fprintf(stderr, "units: measuring again\n");
            UnitCosts wall2, cpu2;
            MeasureUnits(kdf, 25, wall2, cpu2);
            g_units = Lower(g_units, wall2);
            g_unitsCpu = Lower(g_unitsCpu, cpu2);
            g_durable = Lower(g_durable, MeasureDurableUnits(durableDir, 25));
            for (auto& r : g_results) {
                r->durable = DurableFloorOf(g_durable, r->durableOps);
                r->floor = FloorOf(g_units, r->opList, &r->kdf) - r->underived * g_units.pbkdf2;
                r->floorCpu = FloorOf(g_unitsCpu, r->opList, &r->kdfCpu) - r->underived * g_unitsCpu.pbkdf2;
            }
        }

        const std::string report = Report(command, loadBefore, LoadAverage());
        printf("\n%s", report.c_str());
        if (!g_opt.report.empty()) std::ofstream(g_opt.report) << report;
    } catch (const std::exception& ex) {
        fprintf(stderr, "vaultkeep_bench: %s\n", ex.what());
        rc = 1;
    }
    UseRoot(base + "/proc");
    if (temporary) {
        std::error_code ec;
        std::filesystem::remove_all(g_fix.Work(), ec);
        std::filesystem::remove_all(base, ec);
    } else if (!g_opt.work.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(g_opt.work, ec);
    }
    return rc;
}
