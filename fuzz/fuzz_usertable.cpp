/*
 * user.bin: the user table as CUserTable reads it for every user and
 * credential export. The input is a whole user.bin; its last 32 bytes are the
 * HMAC slot, filled by the harness under the fixed application secret with the
 * library's tables::TableHmac. A table that reads must list and find its
 * credentials, save, and read back the same records.
 */
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "util/TableSupport.h"
#include "usertable/UserTable.h"
#include "util/Util.h"

#include <vaultkeep/vaultkeep.h>

using namespace vkfuzz;

namespace {

const WCHAR kFolder[] = u"C:\\ProgramData\\fuzz-user";
std::string g_userBin;
SAFEARRAY* g_secret = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Root();
    g_secret = AppSecretArray();
    std::string folder = HostPath(kFolder);
    Check(MakeFolder(folder), "cannot make the user folder");
    g_userBin = folder + "/user.bin";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetRandom();
    Bytes file(data, data + size);
    FillHmac(file, offsetof(UserTableHeader, salt), USER_TABLE_HEADER_SIZE);
    Check(WriteFile(g_userBin, file.data(), file.size()), "cannot write user.bin");

    CUserTable table(0, kAppName, g_secret, kUserName, u"", kFolder);
    if (!table.UserExists) return 0;
    Check(table.Creds.size() == table.Header.credcount, "read counts disagree");
    WString list;
    LONG listed = table.ListCreds(list);
    Check(listed == (table.Creds.empty() ? Error_Cred_Not_Found : 0), "ListCreds disagrees with the table");
    for (CredentialRecord* r : table.Creds) {
        CredentialRecord* found = nullptr;
        Check(table.FindCredInUserTable(r->id, nullptr, &found, nullptr) == 0 && found != nullptr,
              "a listed credential is not found");
    }
    Check(table.SaveUserTable() == 0, "a table that read does not save");
    CUserTable again(0, kAppName, g_secret, kUserName, u"", kFolder);
    Check(again.UserExists != 0, "a saved table does not read");
    Check(again.Creds.size() == table.Creds.size(), "the saved table lost records");
    for (size_t i = 0; i < table.Creds.size(); ++i)
        Check(table.Creds[i]->len == again.Creds[i]->len &&
                  memcmp(table.Creds[i], again.Creds[i], table.Creds[i]->len) == 0,
              "a saved record changed");
    WString again_list;
    again.ListCreds(again_list);
    Check(again_list == list, "the saved table lists other credentials");
    return 0;
}
