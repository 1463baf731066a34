// Every writing export under every failing or interrupted system call of its
// write path. Each run starts from the same store, makes one call of one kind
// fail (EIO, ENOSPC) or kills the process just before it, and then reads the
// whole vault back in a fresh process: a call that reported success left the
// new state, any other left the old one, a killed call left one of the two,
// and no record ever names a blob that is gone or does not verify.
#include "FaultVault.h"
#include "internal/syscalls.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

using namespace faultvault;
namespace fs = std::filesystem;

/* A call under application A's secret. */
std::function<LONG()> UnderA(LONG (*call)(SAFEARRAY*)) {
    return [call] {
        ByteArray secret(kSecretA);
        return call(secret);
    };
}
LONG Archive(SAFEARRAY* s) { return ArchiveUser(u"A", s, u"alice", kArchive, kBackupPw, u"label"); }
LONG Restore(SAFEARRAY* s, ULONG overwrite) { return RestoreUser(u"A", s, u"alice", kArchive, kBackupPw, overwrite); }

struct Scenario {
    const char* name;
    std::vector<std::function<LONG()>> setup; // after the base store
    std::function<LONG()> op;
    Vault before, after;
};

const Vault kBase = {{"A", {{"alice", {{"c1", "old one"}, {"c2", "second"}}}}}};

Vault With(Vault v, const std::function<void(Vault&)>& change) {
    change(v);
    return v;
}

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> all = {
        {"StoreReplacing", {}, [] { return Store(u"A", "alice", "c1", "new one"); }, kBase,
         With(kBase, [](Vault& v) { v["A"]["alice"]["c1"] = "new one"; })},
        {"StoreNew", {}, [] { return Store(u"A", "alice", "c3", "third"); }, kBase,
         With(kBase, [](Vault& v) { v["A"]["alice"]["c3"] = "third"; })},
        {"StoreForANewUser", {}, [] { return Store(u"A", "bob", "b1", "bob's"); }, kBase,
         With(kBase, [](Vault& v) { v["A"]["bob"]["b1"] = "bob's"; })},
        {"DeleteCred", {}, UnderA([](SAFEARRAY* s) { return DeleteCred(u"A", s, u"alice", u"c1"); }), kBase,
         With(kBase, [](Vault& v) { v["A"]["alice"].erase("c1"); })},
        {"AddUser", {}, UnderA([](SAFEARRAY* s) { return AddUser(u"A", s, u"bob", u"bob pw"); }), kBase,
         With(kBase, [](Vault& v) { v["A"]["bob"]; })},
        {"DeleteUser", {}, UnderA([](SAFEARRAY* s) { return DeleteUser(u"A", s, u"alice"); }), kBase,
         With(kBase, [](Vault& v) { v["A"].erase("alice"); })},
        {"RegisterApp", {},
         [] {
             ByteArray secret(kSecretB);
             return RegisterApp(u"B", secret);
         },
         kBase, With(kBase, [](Vault& v) { v["B"]; })},
        {"UnRegisterApp", {}, UnderA([](SAFEARRAY* s) { return UnRegisterApp(u"A", s); }), kBase, Vault{}},
        // The store is the same before and after; the check then archives once more.
        {"ArchiveUser", {}, UnderA(Archive), kBase, kBase},
        {"RestoreOverAnExistingUser",
         {UnderA(Archive), [] { return Store(u"A", "alice", "c3", "third"); },
          [] { return Store(u"A", "alice", "c1", "replaced"); }},
         UnderA([](SAFEARRAY* s) { return Restore(s, 1); }),
         With(kBase,
              [](Vault& v) {
                  v["A"]["alice"]["c1"] = "replaced";
                  v["A"]["alice"]["c3"] = "third";
              }),
         kBase},
        {"RestoreAsANewUser",
         {UnderA(Archive), UnderA([](SAFEARRAY* s) { return DeleteUser(u"A", s, u"alice"); })},
         UnderA([](SAFEARRAY* s) { return Restore(s, 0); }), With(kBase, [](Vault& v) { v["A"].erase("alice"); }),
         kBase},
        {"ChangeUserPassword", {},
         UnderA([](SAFEARRAY* s) { return ChangeUserPassword(u"A", s, u"alice", u"alice pw", u"alice pw2"); }), kBase,
         With(kBase, [](Vault& v) {
             for (auto& [id, data] : v["A"]["alice"]) data += "@new-pw";
         })},
        {"ChangeAppSecret", {[] { return Store(u"A", "bob", "b1", "bob's"); }},
         [] {
             ByteArray a(kSecretA), a2(kSecretA2);
             return ChangeAppSecret(u"A", a, a2);
         },
         With(kBase, [](Vault& v) { v["A"]["bob"]["b1"] = "bob's"; }),
         Vault{{"A@new-secret", {{"alice", kBase.at("A").at("alice")}, {"bob", {{"b1", "bob's"}}}}}}},
    };
    return all;
}

const Scenario* Find(const std::string& name) {
    for (const Scenario& s : Scenarios())
        if (name == s.name) return &s;
    return nullptr;
}

enum StateExit { kOld = 10, kNew = 11, kNeither = 12, kDamaged = 13, kNextArchiveFailed = 14, kNoScenario = 15, kNameStillTaken = 16, kRepairLeft = 17 };

VK_HELPER(fault_setup) {
    const Scenario* s = Find(args.at(0));
    if (!s) return kNoScenario;
    ByteArray secret(kSecretA);
    if (VaultkeepInitRoot() != 0 || RegisterApp(u"A", secret) != 0 || Store(u"A", "alice", "c1", "old one") != 0 ||
        Store(u"A", "alice", "c2", "second") != 0)
        return 1;
    for (const auto& step : s->setup)
        if (step() != 0) return 2;
    return 0;
}

/* args: scenario, system call ("" for none), nth, errno (PAL_TEST_KILL_PROCESS kills), counts file. */
VK_HELPER(fault_op) {
    const Scenario* s = Find(args.at(0));
    if (!s) return kNoScenario;
    const int nth = std::stoi(args.at(2));
    PalTestFailSyscall(nullptr, 0, 0);
    if (nth > 0) PalTestFailSyscall(args.at(1).c_str(), nth, std::stoi(args.at(3)));
    const LONG status = s->op();
    std::ofstream counts(args.at(4));
    for (const char* call : {"open", "write", "fsync", "fdatasync", "rename", "renameat2", "link", "unlink", "mkdir",
                             "rmdir", "close", "ftruncate", "chmod", "fchmod", "pwrite"})
        counts << call << " " << PalTestSyscallCount(call) << "\n";
    PalTestFailSyscall(nullptr, 0, 0);
    return 100 + static_cast<int>(status);
}

VK_HELPER(fault_state) {
    const Scenario* s = Find(args.at(0));
    if (!s) return kNoScenario;
    std::string damage;
    const Vault v = ReadVault(damage);
    if (!damage.empty()) {
        fprintf(stderr, "damage:\n%s", damage.c_str());
        return kDamaged;
    }
    const int state = v == s->before ? kOld : v == s->after ? kNew : kNeither;
    if (state == kNeither)
        fprintf(stderr, "store matches neither state:\n%sbefore:\n%safter:\n%s", Show(v).c_str(),
                Show(s->before).c_str(), Show(s->after).c_str());
    // Whatever an archive left behind must not stand in the way of the next one.
    if (std::string(s->name) == "ArchiveUser") {
        ByteArray secret(kSecretA);
        if (ArchiveUser(u"A", secret, u"alice", u"C:\\again.zip", kBackupPw, u"") != 0) return kNextArchiveFailed;
    }
    // What an interrupted change leaves, repair removes, and nothing else.
    std::string left;
    if (std::string(s->name).rfind("Change", 0) == 0 && state != kNeither &&
        (!(left = RepairAll()).empty() || ReadVault(left) != v || !left.empty()))
        return fprintf(stderr, "after repair:\n%s", left.c_str()), kRepairLeft;
    // A removed application's name is free again, whatever debris the removal left.
    if (std::string(s->name) == "UnRegisterApp" && state == kNew) {
        ByteArray secret(kSecretA);
        if (RegisterApp(u"A", secret) != 0) return kNameStillTaken;
    }
    return state;
}

struct Injection {
    const char* call;
    int err;
};

/* The system calls through which a write path changes the disk, and how each is
 * broken. The default run fails every call that writes, publishes, deletes or
 * makes a folder and kills before each flush, publish, delete and folder change;
 * VK_FAULT_MATRIX=full adds EIO at every other call of the path (opens and
 * closes included), ENOSPC at every call that can allocate, and kills before
 * writes and truncations. */
std::vector<Injection> Injections() {
    const char* mode = getenv("VK_FAULT_MATRIX");
    const bool full = mode && std::string(mode) == "full";
    std::vector<Injection> out;
    for (const char* call : {"write", "fsync", "rename", "renameat2", "link", "unlink", "mkdir"})
        out.push_back({call, EIO});
    if (full)
        for (const char* call : {"open", "close", "fdatasync", "rmdir", "ftruncate", "fchmod", "chmod", "pwrite"})
            out.push_back({call, EIO});
    for (const char* call : {"write", "open", "fsync", "mkdir", "ftruncate", "rename", "renameat2", "link", "pwrite"}) {
        out.push_back({call, ENOSPC});
        if (!full) break;
    }
    // A kill before a write or a truncation leaves what a kill before the flush that follows it does.
    for (const char* call : {"fsync", "rename", "renameat2", "link", "unlink", "mkdir", "rmdir"})
        out.push_back({call, PAL_TEST_KILL_PROCESS});
    if (full)
        for (const char* call : {"write", "fdatasync", "ftruncate"}) out.push_back({call, PAL_TEST_KILL_PROCESS});
    return out;
}

class ExportFaults : public vktest::RootTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void TearDown() override { fs::remove_all(Snapshot()); }
    std::string Snapshot() const { return root.path() + ".start"; }
    void Save() { fs::copy(root.path(), Snapshot(), fs::copy_options::recursive | fs::copy_options::copy_symlinks); }
    void Restore() {
        for (const auto& e : fs::directory_iterator(root.path())) fs::remove_all(e.path());
        fs::copy(Snapshot(), root.path(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
};

TEST_P(ExportFaults, EveryBrokenCallLeavesTheOldStateOrTheNewOne) {
    const std::string name = GetParam();
    ASSERT_EQ(vktest::RunHelper("fault_setup", {name}), 0);
    Save();
    const std::string countsFile = Snapshot() + ".counts";

    // Unbroken, the call succeeds and leaves the new state; it also tells how many calls of each kind it makes.
    ASSERT_EQ(vktest::RunHelper("fault_op", {name, "", "0", "0", countsFile}), 100);
    const Scenario& scenario = *Find(name);
    const bool unchanged = scenario.before == scenario.after; // an archive: judged by the next one
    ASSERT_EQ(vktest::RunHelper("fault_state", {name}), unchanged ? kOld : kNew);
    std::map<std::string, unsigned> counts;
    std::ifstream in(countsFile);
    for (std::string call; in >> call;) in >> counts[call];
    ASSERT_GT(counts.at("fsync") + counts.at("rename") + counts.at("renameat2") + counts.at("unlink"), 0u);

    int runs = 0, failed = 0, killed = 0;
    for (const Injection& inj : Injections()) {
        for (unsigned nth = 1; nth <= counts.at(inj.call); ++nth) {
            const std::string what = std::string(inj.call) + " #" + std::to_string(nth) + " " +
                                     (inj.err == PAL_TEST_KILL_PROCESS ? "killed"
                                      : inj.err == EIO                 ? "EIO"
                                                                       : "ENOSPC");
            SCOPED_TRACE(what);
            Restore();
            const int op = vktest::RunHelper(
                "fault_op", {name, inj.call, std::to_string(nth), std::to_string(inj.err), countsFile});
            const int state = vktest::RunHelper("fault_state", {name});
            ++runs;
            if (inj.err == PAL_TEST_KILL_PROCESS) {
                ASSERT_EQ(op, 128 + SIGKILL) << "the process was not killed";
                ++killed;
                EXPECT_TRUE(state == kOld || state == kNew) << "state " << state;
            } else if (op == 100) {
                EXPECT_EQ(state, unchanged ? kOld : kNew) << "success reported, the work not done";
            } else {
                ++failed;
                EXPECT_EQ(state, kOld) << "status " << op - 100 << " reported, the store changed";
            }
            if (HasFailure()) return;
        }
    }
    // Some injections must have reached the call (a path that shrugs them all off tests nothing).
    EXPECT_GT(failed, 0);
    EXPECT_GT(killed, 0);
    RecordProperty("runs", runs);
}

INSTANTIATE_TEST_SUITE_P(Exports, ExportFaults,
                         ::testing::Values("StoreReplacing", "StoreNew", "StoreForANewUser", "DeleteCred", "AddUser",
                                           "DeleteUser", "RegisterApp", "UnRegisterApp", "ArchiveUser",
                                           "RestoreOverAnExistingUser", "RestoreAsANewUser", "ChangeUserPassword",
                                           "ChangeAppSecret"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

} // namespace
