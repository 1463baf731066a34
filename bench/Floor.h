/*
 * The exports and the mandated operations on each one's success path, counted
 * from the algorithms (Floor.cpp says where each count comes from).
 */
#pragma once
#include <cstdint>

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
};
constexpr int kExportCount = 13;
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
};

/* The mandated operations of one successful call. users: users in the
 * application when the call starts; creds: credentials of every user. */
OpList FloorOps(Export e, const Layout& l, unsigned users, unsigned creds);

} // namespace bench
