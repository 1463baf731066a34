// SIGKILLs at random moments of a random sequence of writing calls. A worker
// process runs the calls and journals each one (begun, then its status) with
// fsync; the test kills it, reads the vault back in a fresh process and holds
// it against a model of every acknowledged call: nothing acknowledged is lost,
// a failed call changed nothing, and the call in flight did all or nothing.
//
// The default run makes a few kills; VK_KILLS=1000 (scripts/kill-campaign.sh)
// makes the full campaign.
#include "FaultVault.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <thread>

namespace {

using namespace faultvault;

/* One call: "S user id data", "D user id", "A user", "X user", "R", "U",
 * "K user file" (archive), "T user file" (restore over the user), "P user"
 * (the user's password changed to the other of its two), "Z" (A's secret changed
 * to the other of its two). */
struct Op {
    char kind;
    std::string user, id, data;
};

std::string Encode(const Op& op) {
    return std::string(1, op.kind) + " " + (op.user.empty() ? "-" : op.user) + " " + (op.id.empty() ? "-" : op.id) +
           " " + (op.data.empty() ? "-" : op.data);
}
Op Decode(const std::string& line) {
    std::istringstream in(line);
    Op op;
    in >> op.kind >> op.user >> op.id >> op.data;
    for (std::string* f : {&op.user, &op.id, &op.data})
        if (*f == "-") f->clear();
    return op;
}

std::u16string ArchivePath(const std::string& file) { return vktest::U("C:\\" + file); }

/* A's secret in the worker: the one A opens under when the worker starts, then each rotation's. */
Bytes g_secretA = kSecretA;

LONG Run(const Op& op) {
    ByteArray a(g_secretA), b(kSecretB);
    const std::u16string user = vktest::U(op.user), id = vktest::U(op.id);
    const std::u16string pw = PasswordOf(op.user), pw2 = NewPasswordOf(op.user);
    switch (op.kind) {
    case 'S': return Store(u"A", op.user.c_str(), op.id.c_str(), op.data, &g_secretA);
    case 'P': // to the other of the two: the first call tells which the user has
        if (LONG st = ChangeUserPassword(u"A", a, user.c_str(), pw.c_str(), pw2.c_str()); st != Error_Decrypt_Failed)
            return st;
        return ChangeUserPassword(u"A", a, user.c_str(), pw2.c_str(), pw.c_str());
    case 'Z': {
        const Bytes other = g_secretA == kSecretA ? kSecretA2 : kSecretA;
        ByteArray next(other);
        const LONG st = ChangeAppSecret(u"A", a, next);
        if (st == 0) g_secretA = other;
        return st;
    }
    case 'D': return DeleteCred(u"A", a, user.c_str(), id.c_str());
    case 'A': return AddUser(u"A", a, user.c_str(), PasswordOf(op.user).c_str());
    case 'X': return DeleteUser(u"A", a, user.c_str());
    case 'R': return RegisterApp(u"B", b);
    case 'U': return UnRegisterApp(u"B", b);
    case 'K': return ArchiveUser(u"A", a, user.c_str(), ArchivePath(op.id).c_str(), kBackupPw, u"");
    case 'T': return RestoreUser(u"A", a, user.c_str(), ArchivePath(op.id).c_str(), kBackupPw, 1);
    }
    return 9999;
}

void AppendSynced(int fd, const std::string& line) {
    std::string l = line + "\n";
    if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size()) || fsync(fd) != 0) _exit(3);
}

/* args: ops file, journal file. Journals "begin <op>" before and "end <status>" after each call. */
VK_HELPER(campaign_worker) {
    std::ifstream in(args.at(0));
    const int journal = open(args.at(1).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (journal < 0) return 2;
    g_secretA = WorkingSecret(u"A").value_or(kSecretA);
    for (std::string line; std::getline(in, line);) {
        AppendSynced(journal, "begin " + line);
        AppendSynced(journal, "end " + std::to_string(Run(Decode(line))));
    }
    return 0;
}

bool JournalHasEnd(const std::string& file) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("end ", 0) == 0) return true;
    return false;
}

/* args: output file; writes the vault as Show prints it, or "damage" lines. */
VK_HELPER(campaign_read) {
    std::string damage;
    const Vault v = ReadVault(damage);
    // Whatever the kill left, repair takes away, and leaves the vault as it was.
    std::string again;
    if (damage.empty() && (damage = RepairAll()).empty() && ReadVault(again) != v) damage = "repair changed the vault\n";
    std::ofstream(args.at(0)) << (damage.empty() ? Show(v) : "damage\n" + damage + again);
    return 0;
}

struct Model {
    Vault vault{{"A", {}}};
    std::map<std::string, Creds> archives; // file -> the user's credentials when archived
    std::set<std::string> newPw, archivedNewPw; // users, archive files: under the other password
    bool rotated = false;                       // A under its other secret
};

/* The vault after op succeeded. */
Model Apply(Model m, const Op& op) {
    Users& a = m.vault["A"];
    if (!a.count(op.user)) m.newPw.erase(op.user); // a user made anew has the first password
    switch (op.kind) {
    case 'S': a[op.user][op.id] = op.data; break;
    case 'D': a[op.user].erase(op.id); break;
    case 'A': a[op.user]; break;
    case 'X': a.erase(op.user); break;
    case 'R': m.vault["B"]; break;
    case 'U': m.vault.erase("B"); break;
    case 'K':
        m.archives[op.id] = a[op.user];
        if (m.newPw.count(op.user)) m.archivedNewPw.insert(op.id);
        break;
    case 'T':
        a[op.user] = m.archives[op.id];
        m.newPw.erase(op.user);
        [[fallthrough]];
    case 'P': // a restore brings back the archive's password
        if ((op.kind == 'P' || m.archivedNewPw.count(op.id)) && !m.newPw.erase(op.user)) m.newPw.insert(op.user);
        break;
    case 'Z': m.rotated = !m.rotated; break;
    }
    return m;
}

/* The vault as ReadVault shows the model. */
std::string Seen(const Model& m) {
    Vault v = m.vault;
    for (auto& [user, creds] : v["A"])
        if (m.newPw.count(user))
            for (auto& [id, data] : creds) data += "@new-pw";
    if (m.rotated) {
        v["A@new-secret"] = v["A"];
        v.erase("A");
    }
    return Show(v);
}

Op RandomOp(std::mt19937& rng, const Model& m, int& serial) {
    static const char* const kUsers[] = {"alice", "bob", "carol"};
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const std::string user = kUsers[pick(3)];
    const std::string id = "k" + std::to_string(pick(4));
    const int r = pick(100);
    const bool exists = m.vault.at("A").count(user) != 0;
    if (r < 41) return {'S', user, id, "v" + std::to_string(++serial)};
    if (r < 55) return {'D', user, id, ""};
    if (r < 62) return {'A', user, "", ""};
    if (r < 68) return {'X', user, "", ""};
    if (r < 72) return {'R', "", "", ""};
    if (r < 76) return {'U', "", "", ""};
    if (r < 82 && exists) return {'P', user, "", ""};
    if (r < 85) return {'Z', "", "", ""};
    if (r < 92 && exists) return {'K', user, "arch" + std::to_string(++serial) + ".zip", ""};
    return {'S', user, id, "v" + std::to_string(++serial)};
}

class KillCampaign : public vktest::RootTest {};

TEST_F(KillCampaign, NoAcknowledgedCredentialIsLostAndTheCallInFlightIsAllOrNothing) {
    const char* env = getenv("VK_KILLS");
    const int kills = env ? atoi(env) : 6;
    const unsigned seed = getenv("VK_KILL_SEED") ? static_cast<unsigned>(atoi(getenv("VK_KILL_SEED"))) : 20261206u;
    std::mt19937 rng(seed);
    ByteArray a(kSecretA);
    ASSERT_EQ(VaultkeepInitRoot(), 0);
    ASSERT_EQ(RegisterApp(u"A", a), 0);

    Model model;
    std::map<std::string, std::string> archivedUser; // file -> user
    const std::string opsFile = root.path() + ".ops", journalFile = root.path() + ".journal",
                      stateFile = root.path() + ".state";
    int serial = 0, inFlightDone = 0, inFlightUndone = 0, acknowledged = 0;
    for (int k = 0; k < kills; ++k) {
        SCOPED_TRACE("kill " + std::to_string(k) + " (seed " + std::to_string(seed) + ")");
        std::vector<Op> ops;
        {
            std::ofstream out(opsFile);
            Model planned = model;
            for (int i = 0; i < 40; ++i) {
                Op op = RandomOp(rng, planned, serial);
                // Now and then restore a user from one of its acknowledged archives.
                if (rng() % 10 == 0) {
                    for (const auto& [file, user] : archivedUser)
                        if (model.archives.count(file) && rng() % 2 == 0) op = {'T', user, file, ""};
                }
                if (op.kind == 'K') archivedUser[op.id] = op.user;
                ops.push_back(op);
                out << Encode(op) << "\n";
            }
        }
        std::remove(journalFile.c_str());
        int pid = 0;
        vktest::RunHelper("campaign_worker", {opsFile, journalFile}, &pid, false);
        // The delay counts from the end of the first call, not from the start: on a loaded machine the
        // start and a first call that makes a key can outlast the longest delay, and a kill before any
        // call ends checks nothing against the model.
        for (int waited = 0; waited < 6000 && !JournalHasEnd(journalFile); ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + rng() % 900));
        kill(pid, SIGKILL);
        vktest::WaitHelper(pid);

        // Replay the journal: every ended call by its status, the one begun last maybe in flight.
        std::ifstream journal(journalFile);
        std::optional<Op> inFlight;
        for (std::string line; std::getline(journal, line);) {
            if (line.rfind("begin ", 0) == 0) {
                inFlight = Decode(line.substr(6));
            } else if (line.rfind("end ", 0) == 0 && inFlight) {
                if (std::stol(line.substr(4)) == 0) {
                    model = Apply(model, *inFlight);
                    ++acknowledged;
                }
                inFlight.reset();
            }
        }
        ASSERT_EQ(vktest::RunHelper("campaign_read", {stateFile}), 0);
        std::ifstream in(stateFile);
        const std::string actual((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (actual == Seen(model)) {
            if (inFlight) ++inFlightUndone;
            if (inFlight && inFlight->kind == 'K') model.archives.erase(inFlight->id); // may be half there
            continue;
        }
        ASSERT_TRUE(inFlight) << "with no call in flight the vault is not what was acknowledged:\n"
                              << actual << "expected:\n"
                              << Seen(model);
        Model done = Apply(model, *inFlight);
        ASSERT_EQ(actual, Seen(done)) << "the call in flight (" << Encode(*inFlight)
                                      << ") left neither the old state nor the new; before:\n"
                                      << Seen(model);
        model = done;
        ++inFlightDone;
    }
    RecordProperty("acknowledged", acknowledged);
    printf("kill campaign: %d kills, %d calls acknowledged and kept, in-flight calls: %d done, %d undone\n", kills,
           acknowledged, inFlightDone, inFlightUndone);
    EXPECT_GT(acknowledged, 0);
}

} // namespace
