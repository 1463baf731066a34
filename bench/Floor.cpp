/*
 * Mandated operations per export, success path, software key provider.
 *
 * Notation: K = one table/blob key derivation (GenAESKey: PBKDF2-HMAC-SHA256,
 * 1000 iterations), H(n) = HMAC-SHA256 over n bytes, A(U) = app.bin body
 * (48 + 1182 U), B(N) = user.bin body (636 + N record bytes), F = blob file body
 * (40 + blob), S = credential bytes. Every key is derived afresh at each use and
 * every file written whole with its HMAC, so each read or save of a table or
 * blob file is one K and one H over its body. The application table's
 * constructor is "K + H(A)" in every export; the user-opening sequence adds the
 * user table's "K + H(B)".
 *
 * RegisterApp (a new name)      the constructor finds no registry key (no file);
 *                               AddApp saves the empty table: K + H(48).
 * UnRegisterApp                 K + H(A); DeleteApp reads every user's table to
 *                               name its key container: U x (K + H(B)).
 * AddUser (a new user)          K + H(A(U)); CUtil::GenerateKey: RSA keygen, the
 *                               private key sealed under the password (password
 *                               KDF + GCM over the key); the first user.bin saved:
 *                               K + H(636); app.bin saved: K + H(A(U+1)); the
 *                               export opens the new user table: K + H(636).
 * QueryListOfUsers              K + H(A).
 * DeleteUser                    K + H(A), K + H(B), app.bin saved: K + H(A(U-1)).
 * StoreCredential (same id)     K + H(A), K + H(B); the lookup with a password
 *                               reads the old blob: K + H(F); AddCred: K and AES
 *                               of the EMD, EncryptBlob: OAEP wrap of a fresh AES
 *                               key, opened again under the password (password
 *                               KDF + GCM open of the private key, OAEP unwrap:
 *                               the container must be the user's), and GCM over
 *                               S; SaveBlob: K + H(F); one
 *                               SaveUserTable that drops the old record and adds
 *                               the new: K + H(B(N)). 6 K in all.
 * RetrieveCredentialMetaData    K + H(A), K + H(B).
 * RetrieveEncrypted...MetaData  K + H(A), K + H(B), K and AES-decrypt of the EMD.
 * RetrieveCredential            K + H(A), K + H(B), ReadBlob K + H(F); DecryptBlob:
 *                               the provider unseals the private key (password
 *                               KDF + GCM open), OAEP unwrap, GCM open over S.
 * QueryUserCreds                K + H(A), K + H(B).
 * DeleteCred                    K + H(A), K + H(B(N)), save K + H(B(N-1)).
 * ArchiveUser                   K + H(A), K + H(B); wrapsecret: K (backup key)
 *                               and AES of the secret record; the key-archive
 *                               server seals the container under the backup
 *                               password (password KDF + GCM over the container).
 *                               Packing is not cryptography: no floor.
 * RestoreUser (overwrite)       K + H(A), K + H(B) of the existing user;
 *                               unwrapsecret: K and AES-decrypt; RestoreVerify:
 *                               K + H(B) and N x (K + H(F)); RestoreKey: the
 *                               container opened under the backup password
 *                               (password KDF + GCM open); ReWrap per record:
 *                               K + AES-decrypt of the EMD (archived secret),
 *                               K + AES of it (current secret), SaveBlob
 *                               K + H(F); SaveUserTable K + H(B). 5 + 4N K.
 * ChangeUserPassword            K + H(A), K + H(B); the provider unseals the
 *                               private key under the old password (password
 *                               KDF + GCM open) and seals it under the new one
 *                               (password KDF + GCM seal).
 * ChangeAppSecret               K + H(A); per user, RestoreVerify under the old
 *                               secret: K + H(B) and N x (K + H(F)); ReWrap: the
 *                               old and new table keys (2 K), N x AES-decrypt and
 *                               AES of the EMD, N x SaveBlob K + H(F), SaveUserTable
 *                               K + H(B); app.bin saved: K + H(A). 2 + U (4 + 2N) K.
 */
/*
 * The durability floor: the least crash-safe sequence of each export, under
 * the rules the write path keeps (a new file is flushed before anything names
 * it; each changed folder is flushed once per call, after its last rename;
 * deletes that leave only debris a repair reclaims are not flushed; the
 * registry changes of one call are written once). W(n) = a new file of n bytes
 * written and flushed, R = its rename over a file of about its size (which
 * frees the old file's blocks), F = a folder flush,
 * U = an unlink (or rmdir) left unflushed. A(U), B(N), F below are whole files
 * (body + HMAC); Reg = the registry store, C = a key container, Z = the archive.
 * A new file in a new folder, or under a name nothing uses yet, can be written
 * at its name: only a replacement needs the rename.
 *
 * Reading exports, RetrieveCredential   nothing.
 * RegisterApp (a new name)      W(A(0)) in the new application folder; the
 *                               registry once: W(Reg) + R; F of the new folder,
 *                               of its parent (names it) and of the registry's.
 * UnRegisterApp                 the registry once: W(Reg) + R, F; the files and
 *                               folders removed: app.bin, per user its table,
 *                               N blobs, key container and folder, the
 *                               application folder: users x (N + 3) + 2.
 * AddUser (a new user)          W(C), W(B(0)) in the new user folder,
 *                               W(A(U+1)) + R; F of the key folder, the user
 *                               folder and the application folder.
 * DeleteUser                    W(A(U-1)) + R, F; U: table, N blobs, key
 *                               container, folder.
 * StoreCredential (same id)     W(F) under a new name, F of the user folder
 *                               (the new name on disk before a table names it),
 *                               W(B(N)) + R, F of the user folder; U of the old
 *                               blob.
 * DeleteCred                    W(B(N-1)) + R, F; U of the blob.
 * ArchiveUser                   W(Z) + R (whole under its name), F of its folder.
 * RestoreUser (overwrite)       W(C) + R over the user's key; N x W(F) under
 *                               new names, W(B(N)) + R; F of the key folder and
 *                               the user folder; U of the N old blobs.
 * ChangeUserPassword            W(C) + R, F of the key folder.
 * ChangeAppSecret               per user N x W(F) and W(B(N)) in a new folder, F
 *                               of it; F of the application folder (the new
 *                               folders on disk before a table names them),
 *                               W(A(U)) + R, F of it again; U of every old file
 *                               and folder: U x (N + 2).
 */
#include "Floor.h"

#include <cstdio>

namespace bench {

const char* ExportName(Export e) {
    switch (e) {
    case Export::RegisterApp: return "RegisterApp";
    case Export::UnRegisterApp: return "UnRegisterApp";
    case Export::AddUser: return "AddUser";
    case Export::QueryListOfUsers: return "QueryListOfUsers";
    case Export::DeleteUser: return "DeleteUser";
    case Export::StoreCredential: return "StoreCredential";
    case Export::RetrieveCredentialMetaData: return "RetrieveCredentialMetaData";
    case Export::RetrieveEncryptedCredentialMetaData: return "RetrieveEncryptedCredentialMetaData";
    case Export::RetrieveCredential: return "RetrieveCredential";
    case Export::QueryUserCreds: return "QueryUserCreds";
    case Export::DeleteCred: return "DeleteCred";
    case Export::ArchiveUser: return "ArchiveUser";
    case Export::RestoreUser: return "RestoreUser";
    case Export::ChangeUserPassword: return "ChangeUserPassword";
    case Export::ChangeAppSecret: return "ChangeAppSecret";
    }
    return "?";
}

OpList FloorOps(Export e, const Layout& l, unsigned users, unsigned creds) {
    const unsigned U = users, N = creds;
    auto K = [](unsigned n = 1) { return Op{OpKind::Pbkdf2, 0, n}; };
    auto H = [](uint64_t bytes, unsigned n = 1) { return Op{OpKind::Hmac, bytes, n}; };
    const Op openApp[] = {K(), H(l.AppBody(U))};
    const Op openUser[] = {K(), H(l.UserBody(N))};
    OpList ops;
    auto add = [&ops](std::initializer_list<Op> list) { ops.insert(ops.end(), list.begin(), list.end()); };
    auto openBoth = [&] {
        add({openApp[0], openApp[1], openUser[0], openUser[1]});
    };

    switch (e) {
    case Export::RegisterApp:
        add({K(), H(Layout::kAppHeader)});
        break;
    case Export::UnRegisterApp:
        add({openApp[0], openApp[1], K(U), H(l.UserBody(N), U)});
        break;
    case Export::AddUser:
        add({openApp[0], openApp[1], Op{OpKind::RsaKeygen, 0, 1}, Op{OpKind::PasswordKdf, 0, 1},
             Op{OpKind::GcmSeal, l.privateKey, 1}, K(), H(Layout::kUserHeader), K(), H(l.AppBody(U + 1)), K(),
             H(Layout::kUserHeader)});
        break;
    case Export::QueryListOfUsers:
        add({openApp[0], openApp[1]});
        break;
    case Export::DeleteUser:
        openBoth();
        add({K(), H(l.AppBody(U - 1))});
        break;
    case Export::StoreCredential:
        openBoth();
        add({K(), H(l.BlobBody()), K(), Op{OpKind::AesEncrypt, l.emd, 1},
             Op{OpKind::OaepWrap, 0, 1}, Op{OpKind::PasswordKdf, 0, 1}, Op{OpKind::GcmOpen, l.privateKey, 1},
             Op{OpKind::OaepUnwrap, 0, 1}, Op{OpKind::GcmSeal, l.cred, 1}, K(), H(l.BlobBody()), K(),
             H(l.UserBody(N))});
        break;
    case Export::RetrieveCredentialMetaData:
    case Export::QueryUserCreds:
        openBoth();
        break;
    case Export::RetrieveEncryptedCredentialMetaData:
        openBoth();
        add({K(), Op{OpKind::AesDecrypt, l.emd, 1}});
        break;
    case Export::RetrieveCredential:
        openBoth();
        add({K(), H(l.BlobBody()), Op{OpKind::PasswordKdf, 0, 1}, Op{OpKind::GcmOpen, l.privateKey, 1},
             Op{OpKind::OaepUnwrap, 0, 1}, Op{OpKind::GcmOpen, l.cred, 1}});
        break;
    case Export::DeleteCred:
        openBoth();
        add({K(), H(l.UserBody(N - 1))});
        break;
    case Export::ArchiveUser:
        openBoth();
        add({K(), Op{OpKind::AesEncrypt, l.SecretRecord(), 1}, Op{OpKind::PasswordKdf, 0, 1},
             Op{OpKind::GcmSeal, l.container, 1}});
        break;
    case Export::RestoreUser:
        openBoth();
        add({K(), Op{OpKind::AesDecrypt, l.SecretRecord(), 1}, K(), H(l.UserBody(N))});
        if (N) add({K(N), H(l.BlobBody(), N)});
        add({Op{OpKind::PasswordKdf, 0, 1}, Op{OpKind::GcmOpen, l.container, 1}});
        if (N)
            add({K(2 * N), Op{OpKind::AesDecrypt, l.emd, N}, Op{OpKind::AesEncrypt, l.emd, N}, K(N),
                 H(l.BlobBody(), N)});
        add({K(), H(l.UserBody(N))});
        break;
    case Export::ChangeUserPassword:
        openBoth();
        add({Op{OpKind::PasswordKdf, 0, 2}, Op{OpKind::GcmOpen, l.privateKey, 1},
             Op{OpKind::GcmSeal, l.privateKey, 1}});
        break;
    case Export::ChangeAppSecret:
        add({openApp[0], openApp[1], K(U * (4 + 2 * N)), H(l.UserBody(N), 2 * U), K(), H(l.AppBody(U))});
        if (N) add({H(l.BlobBody(), 2 * U * N), Op{OpKind::AesDecrypt, l.emd, U * N}, Op{OpKind::AesEncrypt, l.emd, U * N}});
        break;
    }
    return ops;
}

DurableOps DurableFloorOps(Export e, const Layout& l, unsigned users, unsigned creds) {
    const unsigned U = users, N = creds;
    DurableOps d;
    auto W = [&d](uint64_t bytes, unsigned count = 1) {
        if (count) d.writes.push_back(DurableOps::Write{bytes, count, false});
    };
    auto WR = [&d](uint64_t bytes) { d.writes.push_back(DurableOps::Write{bytes, 1, true}); };
    switch (e) {
    case Export::RegisterApp:
        W(l.AppFile(0));
        WR(l.registry);
        d.folders = 3;
        d.made = 0; /* the application folder, inside the data folder */
        break;
    case Export::UnRegisterApp:
        WR(l.registry);
        d.folders = 1;
        d.unlinks = U * (N + 3) + 2;
        break;
    case Export::AddUser:
        W(l.container);
        W(l.UserFile(0));
        WR(l.AppFile(U + 1));
        d.folders = 3;
        d.made = 1; /* the user folder, inside the application folder */
        break;
    case Export::DeleteUser:
        WR(l.AppFile(U - 1));
        d.folders = 1;
        d.unlinks = N + 3;
        break;
    case Export::StoreCredential:
        W(l.BlobFile());
        WR(l.UserFile(N));
        d.folders = 2;
        d.unlinks = 1;
        break;
    case Export::DeleteCred:
        WR(l.UserFile(N - 1));
        d.folders = 1;
        d.unlinks = 1;
        break;
    case Export::ArchiveUser:
        WR(l.archive);
        d.folders = 1;
        break;
    case Export::RestoreUser:
        WR(l.container);
        W(l.BlobFile(), N);
        WR(l.UserFile(N));
        d.folders = 2;
        d.unlinks = N;
        break;
    case Export::ChangeUserPassword:
        WR(l.container);
        d.folders = 1;
        break;
    case Export::ChangeAppSecret:
        W(l.BlobFile(), U * N);
        W(l.UserFile(N), U);
        WR(l.AppFile(U));
        d.folders = U + 2;
        d.unlinks = U * (N + 2);
        break;
    case Export::QueryListOfUsers:
    case Export::RetrieveCredentialMetaData:
    case Export::RetrieveEncryptedCredentialMetaData:
    case Export::RetrieveCredential:
    case Export::QueryUserCreds: break;
    }
    return d;
}

double DurableFloorOf(const DurableUnits& u, const DurableOps& d) {
    double t = 0;
    for (const auto& w : d.writes) t += (u.writeNew.At(w.bytes) + (w.replaces ? u.rename.At(w.bytes) : 0)) * w.count;
    return t + u.folderFlush * d.folders + u.unlink * d.unlinks;
}

std::string DescribeDurable(const DurableOps& d) {
    std::string s;
    auto part = [&s](const std::string& p) { s += (s.empty() ? "" : ", ") + p; };
    for (const auto& w : d.writes) {
        char b[64];
        snprintf(b, sizeof b, "%ux W(%llu B)%s", w.count, static_cast<unsigned long long>(w.bytes),
                 w.replaces ? " + R" : "");
        part(b);
    }
    if (d.made >= 0) part("1x D");
    if (d.folders) part(std::to_string(d.folders) + "x F");
    if (d.unlinks) part(std::to_string(d.unlinks) + "x U");
    return s.empty() ? "nothing" : s;
}

} // namespace bench
