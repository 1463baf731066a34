/*
 * Machine roots for the bench, built once through the exports and kept as
 * snapshots (whole root folders: data, registry, key store), and a client that
 * calls the exports on the current root.
 *
 *   users-U   one application with U users, each holding one credential
 *             (U = 0, 1, 15, 16, 63, 64, 254, 255; U - 1 serves AddUser)
 *   creds-N   one application with one user holding N credentials
 *             (N = 1, 16, 64, 255; creds-1 is users-1)
 *
 * A benchmark works on a copy of a snapshot and copies it back after a call
 * that changed it, so every call sees the same store.
 */
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "Floor.h"

namespace bench {

extern const unsigned kSizes[4];

std::string UserName(unsigned i);
std::string CredId(unsigned i);

class Client {
  public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    long Register(const std::string& app);
    long Unregister();
    long AddUser(unsigned user);
    long QueryUsers(std::string* list = nullptr);
    long DeleteUser(unsigned user);
    long Store(unsigned user, unsigned cred);
    long RetrieveMetaData(unsigned user, unsigned cred, size_t* len = nullptr);
    long RetrieveEncMetaData(unsigned user, unsigned cred, size_t* len = nullptr);
    long Retrieve(unsigned user, unsigned cred, std::vector<uint8_t>* out = nullptr);
    long QueryCreds(unsigned user, std::string* list = nullptr);
    long DeleteCred(unsigned user, unsigned cred);
    long Archive(unsigned user, const std::string& hostPath);
    long Restore(unsigned user, const std::string& hostPath);
    /* The user's password to another of the same length, and the secret to another of its length. */
    long ChangePassword(unsigned user);
    long RotateSecret();

    const Layout& layout() const { return m_layout; }
    Layout& layout() { return m_layout; }

  private:
    struct Arrays;
    Arrays* m_arrays;
    Layout m_layout;
};

/* Points the library at a machine root (a host folder). */
void UseRoot(const std::string& root);
/* Replaces dst with a copy of src (both host folders), keeping modes and ACLs. */
void CopyRoot(const std::string& src, const std::string& dst);
void RemoveTree(const std::string& path);

struct Fixtures {
    std::string base;                      /* everything lives below it */
    std::string work;                      /* the store the calls run on; base/work unless chosen */
    std::string Snapshot(const std::string& name) const { return base + "/snap/" + name; }
    std::string Work() const { return work.empty() ? base + "/work" : work; }
    std::string ArchiveOf(const std::string& name) const { return base + "/archives/" + name + ".zip"; }
    std::string Scratch() const { return base + "/scratch"; }
};

/* Builds every snapshot below base (or reuses them when base holds a complete
 * set from an earlier run of the same build). progress: lines to stderr.
 * credsOnly: only users-0, users-1 and the creds series, and no archives. */
Fixtures BuildFixtures(Client& client, const std::string& base, bool reuse, bool credsOnly = false);

/* Host path of a file of the current root, given its Windows-side form below C:\. */
std::string HostOf(const std::string& root, const std::string& rel);
/* Size of a host file, 0 when missing. */
uint64_t FileSize(const std::string& path);
/* Largest regular file below a folder, and the file name. */
uint64_t LargestFile(const std::string& dir, std::string* name = nullptr);

} // namespace bench
