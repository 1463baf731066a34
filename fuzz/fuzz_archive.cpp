/*
 * Archives: what RestoreUser reads from an archive, in its order: the zip
 * library's KsUnzip of a hostile zip, user.backup and the wrapped secret in it
 * (CAppTable::unwrapsecret), then the archived user.bin and blob files
 * (CUserTable::RestoreVerify) and their re-keying (CUserTable::ReWrap).
 *
 * Two kinds of input, told apart by the first byte:
 *   'Z' + a zip archive, unpacked as it is;
 *   anything else: files as members (FuzzSupport.h), which the harness first
 *   makes sound past their MACs under the fixed secrets and then packs with the
 *   zip library's own KsZip. user.bin and blob files get their HMAC slot
 *   filled (tables::TableHmac); the user.backup member holds the 32-byte salt
 *   and the secret record in the clear, and the harness wraps it under the
 *   fixed backup password with the library's GenAESKey and EncryptWithAES.
 * A store that verifies and re-keys must read back under the secret it was
 * re-keyed to.
 */
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "apptable/AppTable.h"
#include "util/TableSupport.h"
#include "platform/ZipUtil.h"
#include "usertable/UserTable.h"
#include "util/Util.h"

#include <vaultkeep/vaultkeep.h>

using namespace vkfuzz;

namespace {

const WCHAR kStage[] = u"C:\\ProgramData\\fuzz-stage";
const WCHAR kArchive[] = u"C:\\ProgramData\\fuzz-archive.zip";
const WCHAR kGuid[] = u"0f2a5c3e-0000-4000-8000-0000000a2c1e";
SAFEARRAY* g_secret = nullptr;
SAFEARRAY* g_current = nullptr;
WString g_temp;
PFN_KsZip g_zip = nullptr;

bool PlainName(const std::string& name) {
    if (name == "." || name == "..") return false;
    for (char c : name)
        if (c == '/' || c == 0) return false;
    return true;
}

/* [salt][record] -> [length][salt][EncryptWithAES of the record]. */
Bytes WrapBackup(const Bytes& member) {
    Bytes out(4, 0);
    if (member.size() < 32) {
        out.insert(out.end(), member.begin(), member.end());
    } else {
        CAnsiString password(kBackupPassword);
        BYTE key[KEY_SIZE] = {};
        LONG keyLen = KEY_SIZE;
        Check(CUtil::GenAESKey(password.bytes(), password.length(), key, &keyLen, member.data()) == 0,
              "no backup key");
        DWORD len = static_cast<DWORD>(member.size() - 32);
        BYTE* cipher = nullptr;
        Check(CUtil::EncryptWithAES(key, KEY_SIZE, member.data() + 32, &len, &cipher) == 0 && cipher,
              "the secret record does not encrypt");
        out.insert(out.end(), member.begin(), member.begin() + 32);
        out.insert(out.end(), cipher, cipher + len);
        free(cipher);
    }
    PutLe32(out.data(), static_cast<uint32_t>(out.size() - 4));
    return out;
}

bool PackMembers(const uint8_t* data, size_t size) {
    std::string stage = HostPath(kStage);
    RemoveTree(stage);
    MakeFolder(stage);
    for (Member& m : SplitMembers(data, size)) {
        if (!PlainName(m.name)) continue;
        if (m.name == "user.bin") FillHmac(m.data, offsetof(UserTableHeader, salt), USER_TABLE_HEADER_SIZE);
        else if (m.name == "user.backup") m.data = WrapBackup(m.data);
        else if (m.name != "key.backup") FillHmac(m.data, offsetof(BlobFileHeader, salt), BLOB_HEADER_SIZE);
        WriteFile(stage + "/" + m.name, m.data.data(), m.data.size());
    }
    return g_zip(kArchive, kStage) != 0;
}

void Restore() {
    CAppTable table(kAppName, g_secret);
    Check(table.loaded != 0, "the application table does not load");
    /* The restoring caller's own secret differs from the archived one, so re-keying changes every MAC. */
    CUserTable restored(table.Type, kAppName, g_current, kUserName, kGuid, g_temp.c_str());
    BYTE* wrapped = nullptr;
    DWORD cbWrapped = 0;
    if (restored.Restore(kArchive, &wrapped, &cbWrapped) != 0) {
        Check(wrapped == nullptr, "a refused user.backup came with data");
        return;
    }
    Check(wrapped != nullptr && cbWrapped > 0, "user.backup read without data");
    /* Verified under the archived secret when it unwraps, else still read under the fixed one. */
    LONG unwrapped = table.unwrapsecret(wrapped, cbWrapped, kBackupPassword);
    SecureZeroMemory(wrapped, cbWrapped);
    free(wrapped);
    const BYTE* archived = unwrapped == 0 ? table.AppSecret : AppSecretBytes();
    DWORD archivedLen = unwrapped == 0 ? table.AppSecretLen : AppSecretLen();

    std::vector<RestoredBlob*> blobs;
    if (restored.RestoreVerify(g_temp.c_str(), archived, archivedLen, blobs) != 0) {
        Check(blobs.empty(), "a failed verification kept blobs");
        return;
    }
    Check(blobs.size() == restored.Creds.size(), "verified blobs do not match the table");
    std::vector<WString> paths;
    for (RestoredBlob* b : blobs) paths.push_back(b->path);
    if (restored.ReWrap(archived, archivedLen, blobs) != 0) return;

    CUserTable rekeyed(table.Type, kAppName, g_current, kUserName, kGuid, g_temp.c_str());
    Check(rekeyed.UserExists != 0, "a re-keyed store does not read under the current secret");
    Check(rekeyed.Creds.size() == restored.Creds.size(), "the re-keyed store lost records");
    for (const WString& path : paths) {
        DWORD len = 0;
        BYTE* data = nullptr;
        Check(rekeyed.ReadBlob(path.c_str(), &len, &data) == 0, "a re-keyed blob does not read");
        free(data);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Root();
    CoInitialize(nullptr);
    g_secret = AppSecretArray();
    g_current = SafeArrayCreateVector(VT_UI1, 0, 19);
    void* p = nullptr;
    Check(g_current && SUCCEEDED(SafeArrayAccessData(g_current, &p)), "no current secret");
    memcpy(p, "fuzz-current-secret", 19);
    SafeArrayUnaccessData(g_current);
    Check(RegisterApp(kAppName, g_secret) == 0, "RegisterApp failed");
    CAppTable table(kAppName, g_secret);
    Check(table.loaded != 0, "the registered table does not load");
    g_temp = table.Location + u"\\" + kGuid;
    CUserTable loader(table.Type, kAppName, g_secret, kUserName, kGuid, g_temp.c_str());
    Check(loader.LoadZipLibrary() == 0, "the zip library does not load");
    g_zip = reinterpret_cast<PFN_KsZip>(reinterpret_cast<void*>(GetProcAddress(loader.ZipLibrary, "KsZip")));
    Check(g_zip != nullptr, "no KsZip");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetRandom();
    RemoveTree(HostPath(g_temp));
    if (size > 0 && data[0] == 'Z') {
        Check(WriteFile(HostPath(kArchive), data + 1, size - 1), "cannot write the archive");
    } else if (!PackMembers(data, size)) {
        return 0;
    }
    Restore();
    RemoveTree(HostPath(g_temp));
    return 0;
}
