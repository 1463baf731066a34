/*
 * The exports and the mandated operations on each one's success path, counted
 * from the algorithms (Floor.cpp says where each count comes from).
 */
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Units.h"

namespace bench {

enum class Export {
    RegisterApp,
    UnRegisterApp,
    AddUser,
    QueryListOfUsers,
    DeleteUser,
    StoreCredential,
    RetrieveCredentialMetaData,
    RetrieveEncryptedCredentialMetaData,
    RetrieveCredential,
    QueryUserCreds,
    DeleteCred,
    ArchiveUser,
    RestoreUser,
    ChangeUserPassword,
    ChangeAppSecret,
};
constexpr int kExportCount = 15;
const char* ExportName(Export e);

/* Sizes of what the bench stores, and the byte layouts they give. */
struct Layout {
    unsigned secret = 32;       /* application secret */
    unsigned appNameChars = 8;  /* "BenchApp" */
    unsigned md = 32;           /* plain metadata */
    unsigned emd = 32;          /* protected metadata, plain */
    unsigned cred = 256;        /* the credential */
    unsigned aesOverhead = 16;  /* EncryptWithAES output beyond its input (measured) */
    unsigned privateKey = 1218; /* the provider's sealed private key, PKCS#8 DER (read from the store) */
    unsigned container = 1700;  /* the provider's container file (read from the store) */
    unsigned registry = 4096;   /* the registry store (read from the store) */
    unsigned archive = 2048;    /* the archive ArchiveUser writes (the fixture's archive of the store) */

    static constexpr unsigned kAppHeader = 48, kUserRecord = 1182;
    static constexpr unsigned kUserHeader = 636, kCredFixed = 580;
    static constexpr unsigned kBlobHeader = 40, kHmac = 32;
    static constexpr unsigned kWrappedKey = 268; /* SIMPLEBLOB: 12-byte header, 256 bytes of RSA-OAEP */
    static constexpr unsigned kGcm = 12 + 16;     /* the provider's nonce and tag */

    uint64_t EmdStored() const { return emd + aesOverhead; }
    uint64_t CredRecord() const { return kCredFixed + md + EmdStored(); }
    /* Bodies: the bytes each HMAC covers. */
    uint64_t AppBody(unsigned users) const { return kAppHeader + uint64_t(kUserRecord) * users; }
    uint64_t UserBody(unsigned creds) const { return kUserHeader + CredRecord() * creds; }
    uint64_t BlobData() const { return 4 + kWrappedKey + kGcm + cred; } /* type-1 blob */
    uint64_t BlobBody() const { return kBlobHeader + BlobData(); }
    /* wrapsecret's plaintext: namelen, name with NUL, secretlen, secret. */
    uint64_t SecretRecord() const { return 4 + 2ull * (appNameChars + 1) + 4 + secret; }
    /* Files as written: bodies and their HMAC. */
    uint64_t AppFile(unsigned users) const { return AppBody(users) + kHmac; }
    uint64_t UserFile(unsigned creds) const { return UserBody(creds) + kHmac; }
    uint64_t BlobFile() const { return BlobBody() + kHmac; }
};

/* The mandated operations of one successful call. users: users in the
 * application when the call starts; creds: credentials of every user. */
OpList FloorOps(Export e, const Layout& l, unsigned users, unsigned creds);

/* The least crash-safe sequence of one successful call: the new files it must
 * write and flush (bytes, count, and whether each is renamed over a file of
 * about its size), the distinct folders it must flush, and the unlinks it must
 * make. */
struct DurableOps {
    struct Write {
        uint64_t bytes;
        unsigned count;
        bool replaces;
    };
    std::vector<Write> writes;
    unsigned folders = 0, unlinks = 0;
    /* The folder the call creates (an index into the folders, or -1), made inside
     * the last folder: that parent then has a change of its own to flush. */
    int made = -1;
};
DurableOps DurableFloorOps(Export e, const Layout& l, unsigned users, unsigned creds);
/* Seconds: the sum of the units over the sequence. */
double DurableFloorOf(const DurableUnits& u, const DurableOps& d);
/* Runs the sequence for real in a scratch folder below dir (the files it
 * replaces or removes made beforehand, untimed), after the same settling the
 * call had: idle for idleSeconds, then a syncfs. The timed part starts with
 * lead (the call's cryptography, which comes before its writes), timed into
 * *leadSeconds. Returns the seconds of the writes. */
double ReplayDurable(const std::string& dir, const DurableOps& d, double idleSeconds,
                     const std::function<void()>& lead, double* leadSeconds);
/* "1x W(700 B), 1x W(1328 B) + R, 1x F, 1x U" */
std::string DescribeDurable(const DurableOps& d);

} // namespace bench
