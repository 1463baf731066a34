// A small Vaultkeep client: registers an application, stores a credential for a
// user, reads it back, checks the bytes, and removes the application again.
// Run it with VAULTKEEP_ROOT pointing at a machine root (a fresh folder will do).
#include <vaultkeep/vaultkeep.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool Check(const char* what, LONG status) {
    if (status == Error_Success) {
        std::printf("%-28s ok\n", what);
        return true;
    }
    std::fprintf(stderr, "%s failed: %s (%d)\n", what, vaultkeep::StatusName(status),
                 static_cast<int>(status));
    return false;
}

} // namespace

int main() {
    // A real application keeps its secret somewhere safe; never in the source like here.
    vaultkeep::SafeArrayPtr secret = vaultkeep::MakeByteArray("example application secret");
    // UTF-16 strings from UTF-8 text: the same source builds where WCHAR is char16_t or wchar_t.
    const auto app = vaultkeep::ToUtf16("VaultkeepExample"), user = vaultkeep::ToUtf16("alice"),
               id = vaultkeep::ToUtf16("mail");
    const auto password = vaultkeep::ToUtf16("alice's password");

    const std::string credential = "imap-token-\x01\x02\x03";
    vaultkeep::SafeArrayPtr data = vaultkeep::MakeByteArray(credential);
    vaultkeep::SafeArrayPtr metadata = vaultkeep::MakeByteArray("server=imap.example.org");
    vaultkeep::SafeArrayPtr hidden = vaultkeep::MakeByteArray("account=alice@example.org");

    if (!Check("RegisterApp", RegisterApp(app.c_str(), secret.get()))) return 1;
    int rc = 1;
    do {
        if (!Check("StoreCredential",
                   StoreCredential(app.c_str(), secret.get(), user.c_str(), password.c_str(), id.c_str(),
                                   metadata.get(), hidden.get(), data.get())))
            break;

        vaultkeep::Bstr users;
        if (!Check("QueryListOfUsers", QueryListOfUsers(app.c_str(), secret.get(), users.out()))) break;
        for (const std::string& name : vaultkeep::SplitList(users.view()))
            std::printf("  user: %s\n", name.c_str());

        vaultkeep::SafeArrayPtr back;
        if (!Check("RetrieveCredential", RetrieveCredential(app.c_str(), secret.get(), user.c_str(),
                                                            password.c_str(), id.c_str(), back.out())))
            break;
        std::vector<uint8_t> bytes = back.bytes();
        back.wipe();
        const bool same = std::string(bytes.begin(), bytes.end()) == credential;
        vaultkeep::SecureWipe(bytes.data(), bytes.size());
        if (!same) {
            std::fprintf(stderr, "RetrieveCredential returned other bytes than were stored\n");
            break;
        }
        std::printf("%-28s ok\n", "credential bytes match");

        vaultkeep::SafeArrayPtr md;
        if (!Check("RetrieveCredentialMetaData",
                   RetrieveCredentialMetaData(app.c_str(), secret.get(), user.c_str(), id.c_str(), md.out())))
            break;
        const std::vector<uint8_t> mdBytes = md.bytes();
        std::printf("  metadata: %s\n", std::string(mdBytes.begin(), mdBytes.end()).c_str());
        rc = 0;
    } while (false);

    if (!Check("UnRegisterApp", UnRegisterApp(app.c_str(), secret.get()))) rc = 1;
    return rc;
}
