/*
 * app.bin: the application table as CAppTable reads it when an export opens
 * the application. The input is a whole app.bin; its last 32 bytes are the HMAC
 * slot, which the harness fills with the HMAC of the rest under the fixed
 * application secret (tables::TableHmac, the library's own), so that the
 * layout checks after the MAC see every input. A table that loads must list
 * and find its users, save, and load back the same.
 */
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "apptable/AppTable.h"
#include "util/TableSupport.h"
#include "util/Util.h"

#include <vaultkeep/vaultkeep.h>

using namespace vkfuzz;

namespace {

std::string g_appBin;
SAFEARRAY* g_secret = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Root();
    g_secret = AppSecretArray();
    LONG status = RegisterApp(kAppName, g_secret);
    Check(status == 0, "RegisterApp failed");
    CAppTable table(kAppName, g_secret);
    Check(table.loaded != 0, "the registered table does not load");
    g_appBin = HostPath(table.Location + u"\\app.bin");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetRandom();
    Bytes file(data, data + size);
    FillHmac(file, offsetof(AppTableHeader, salt), APP_TABLE_HEADER_SIZE);
    Check(WriteFile(g_appBin, file.data(), file.size()), "cannot write app.bin");

    try {
        CAppTable table(kAppName, g_secret);
        if (!table.loaded) return 0;
        Check(table.Users.size() == table.Header.usercount, "loaded counts disagree");
        WString list = table.ListOfUsers();
        for (UserRecord* r : table.Users) {
            UserRecord* found = nullptr;
            Check(table.FindUserInAppTable(r->username, &found) == 0 && found != nullptr, "a listed user is not found");
        }
        Check(table.SaveAppTable() == 0, "a loaded table does not save");
        CAppTable again(kAppName, g_secret);
        Check(again.loaded != 0, "a saved table does not load");
        Check(again.Users.size() == table.Users.size(), "the saved table lost users");
        for (size_t i = 0; i < table.Users.size(); ++i)
            Check(memcmp(again.Users[i], table.Users[i], sizeof(UserRecord)) == 0, "a saved record changed");
        Check(again.ListOfUsers() == list, "the saved table lists other users");
    } catch (int) {
        /* out of memory: the constructor's documented failure */
    }
    return 0;
}
