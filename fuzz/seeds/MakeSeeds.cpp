/*
 * Seed corpora made by the library itself: lays out a fresh root, registers an
 * application, adds a user with two credentials, archives the user, and copies
 * the files the system wrote into <out>/<harness>/ in the form each harness
 * takes (support/KspFixups.h and fuzz_archive.cpp say where that differs from
 * the file on disk). Run by fuzz/run.sh before the harnesses.
 *   vkfuzz_seeds <out>
 */
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "KeyBackup.h"
#include "KspFixups.h"
#include "apptable/AppTable.h"
#include "util/TableSupport.h"
#include "backend.h"
#include "container_store.h"
#include "platform/ZipUtil.h"
#include "usertable/UserTable.h"
#include "util/Util.h"

#include <vaultkeep/vaultkeep.h>

using namespace vkfuzz;

namespace {

std::string g_out;

void Fail(const char* what, long status = 0) {
    fprintf(stderr, "vkfuzz_seeds: %s (%ld)\n", what, status);
    exit(1);
}

void Put(const std::string& harness, const std::string& name, const Bytes& data) {
    std::string dir = g_out + "/" + harness;
    if (!MakeFolder(dir) || !vkfuzz::WriteFile(dir + "/" + name, data.data(), data.size())) Fail("cannot write a seed");
}

Bytes Read(const std::string& path) {
    Bytes out;
    if (!ReadFile(path, out)) Fail(("cannot read " + path).c_str());
    return out;
}

SAFEARRAY* Array(const std::string& text) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(text.size()));
    void* p = nullptr;
    if (!psa || FAILED(SafeArrayAccessData(psa, &p))) Fail("no array");
    memcpy(p, text.data(), text.size());
    SafeArrayUnaccessData(psa);
    return psa;
}

std::vector<std::string> List(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

/* [length][salt][cipher] -> [salt][secret record], as fuzz_archive takes user.backup. */
Bytes ClearBackup(const Bytes& file) {
    if (file.size() < 4 + 32 + 16) Fail("short user.backup");
    CAnsiString password(kBackupPassword);
    BYTE key[KEY_SIZE] = {};
    LONG keyLen = KEY_SIZE;
    const BYTE* salt = file.data() + 4;
    if (CUtil::GenAESKey(password.bytes(), password.length(), key, &keyLen, salt) != 0) Fail("no backup key");
    DWORD len = static_cast<DWORD>(file.size() - 4 - 32);
    BYTE* plain = nullptr;
    if (CUtil::DecryptWithAES(key, KEY_SIZE, salt + 32, &len, &plain) != 0 || !plain) Fail("user.backup does not open");
    Bytes out(salt, salt + 32);
    out.insert(out.end(), plain, plain + len);
    free(plain);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: vkfuzz_seeds <out>\n");
        return 2;
    }
    g_out = argv[1];
    Root();
    CoInitialize(nullptr);
    SAFEARRAY* secret = AppSecretArray();
    LONG st;
    if ((st = RegisterApp(kAppName, secret)) != 0) Fail("RegisterApp", st);
    if ((st = AddUser(kAppName, secret, kUserName, kPassword)) != 0) Fail("AddUser", st);
    const char* creds[][4] = {{"cred-1", "meta one", "encrypted meta one", "credential one"},
                              {"cred-2", "", "e", "a second, longer credential with more data in it"}};
    for (auto& c : creds) {
        std::u16string id(c[0], c[0] + strlen(c[0]));
        SAFEARRAY *md = Array(c[1]), *emd = Array(c[2]), *cred = Array(c[3]);
        if ((st = StoreCredential(kAppName, secret, kUserName, kPassword, id.c_str(), md, emd, cred)) != 0)
            Fail("StoreCredential", st);
        SafeArrayDestroy(md);
        SafeArrayDestroy(emd);
        SafeArrayDestroy(cred);
    }

    CAppTable app(kAppName, secret);
    UserRecord* record = nullptr;
    if (!app.loaded || app.FindUserInAppTable(kUserName, &record) != 0 || !record) Fail("no user record");
    Put("apptable", "app.bin", Read(HostPath(app.Location + u"\\app.bin")));

    WString folder = tables::FieldString(record->path, 260);
    CUserTable user(app.Type, kAppName, secret, kUserName, tables::FieldString(record->guid, 74).c_str(),
                    folder.c_str());
    if (!user.UserExists || user.Creds.size() != 2) Fail("the user table does not read");
    Put("usertable", "user.bin", Read(HostPath(folder + u"\\user.bin")));
    for (CredentialRecord* r : user.Creds)
        Put("blob", "tpm-" + tables::Narrow(r->id, CRED_ID_CHARS),
            Read(HostPath(folder + u"\\" + tables::FieldString(r->blobname, 260))));

    /* A software-form blob, under the zero salt of a table without user.bin (as fuzz_blob decrypts it). */
    {
        WString empty = u"C:\\ProgramData\\seed-blob";
        MakeFolder(HostPath(empty));
        CUserTable t(0, kAppName, secret, kUserName, u"", empty.c_str());
        SAFEARRAY* cred = Array("a credential in the software form");
        BYTE* out = nullptr;
        DWORD len = 0;
        if (t.EncryptBlob(cred, kPassword, &out, &len) != 0) Fail("software blob");
        WString path = empty + u"\\soft";
        if (t.SaveBlob(path.c_str(), len, out) != 0) Fail("SaveBlob");
        free(out);
        SafeArrayDestroy(cred);
        Put("blob", "soft", Read(HostPath(path)));
    }

    WString keyName = tables::FieldString(user.Header.uuid, 38);
    WString keyPath;
    if (tpmksp::ContainerPath(u"MachineKeys", true, keyName, keyPath, false) != ERROR_SUCCESS) Fail("no key path");
    Bytes container = Read(HostPath(keyPath));
    if (!ksp::ClearContainer(container, kPassword)) Fail("the user's key does not open");
    Put("container", "keyed", container);
    {
        std::unique_ptr<tpmksp::Backend> backend;
        tpmksp::CreateSoftwareBackend(backend);
        if (backend->CreateContainer(u"seed-empty") != ERROR_SUCCESS) Fail("empty container");
        WString emptyPath;
        tpmksp::ContainerPath(u"MachineKeys", true, u"seed-empty", emptyPath, false);
        Put("container", "empty", Read(HostPath(emptyPath)));
    }

    std::string archive = Root() + "/seed-archive.zip";
    std::u16string archiveW(archive.begin(), archive.end());
    if ((st = ArchiveUser(kAppName, secret, kUserName, archiveW.c_str(), kBackupPassword, u"seed label")) != 0)
        Fail("ArchiveUser", st);
    Put("registry", "machine.hive", Read(Root() + "/registry/machine.hive"));

    Bytes zip = Read(archive);
    zip.insert(zip.begin(), 'Z');
    Put("archive", "zip", zip);

    /* Unpacked with the zip library the system loads, then each file in the harnesses' forms. */
    std::string unpacked = Root() + "/seed-unpacked";
    std::u16string unpackedW(unpacked.begin(), unpacked.end());
    if (user.LoadZipLibrary() != 0) Fail("zip library");
    auto unzip = reinterpret_cast<PFN_KsUnzip>(reinterpret_cast<void*>(GetProcAddress(user.ZipLibrary, "KsUnzip")));
    if (!unzip || !unzip(unpackedW.c_str(), archiveW.c_str())) Fail("KsUnzip");
    std::vector<Member> members;
    for (const std::string& name : List(unpacked)) {
        Bytes data = Read(unpacked + "/" + name);
        if (name == "user.backup") data = ClearBackup(data);
        if (name == "key.backup") {
            std::u16string label;
            size_t offset = 0, cb = 0;
            if (!comservers::keybackup::Parse(data, label, offset, cb)) Fail("key.backup does not parse");
            Bytes blob(data.begin() + offset, data.begin() + offset + cb);
            if (!ksp::ClearEscrow(blob, kBackupPassword)) Fail("the escrow blob does not open");
            Bytes file(data.begin(), data.begin() + offset);
            file.insert(file.end(), blob.begin(), blob.end());
            Put("escrow", "key.backup", file);
        }
        members.push_back({name, data});
    }
    Put("archive", "members", JoinMembers(members));
    SafeArrayDestroy(secret);
    printf("vkfuzz_seeds: seeds in %s\n", g_out.c_str());
    return 0;
}
