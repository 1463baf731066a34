// A vault as the exports show it, read back in full, for the fault and kill tests.
#pragma once
#include "VkTest.h"
#include <vaultkeep/vaultkeep.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace faultvault {

using vktest::ByteArray;
using vktest::Bytes;

using Creds = std::map<std::string, std::string>; // id -> credential bytes
using Users = std::map<std::string, Creds>;
using Vault = std::map<std::string, Users>; // the registered applications

const Bytes kSecretA{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
const Bytes kSecretB{0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8};
const Bytes kSecretA2{0x2A, 0x2B, 0x2C}; // A's after a rotation: the vault shows the application as "A@new-secret"
const char16_t* const kApps[] = {u"A", u"B"};
const char16_t* const kArchive = u"C:\\alice.zip";
const char16_t* const kBackupPw = u"backup pw";

inline const Bytes& SecretOf(const std::u16string& app) { return app == u"A" ? kSecretA : kSecretB; }
inline std::u16string PasswordOf(const std::string& user) { return vktest::U(user + " pw"); }
// A user's after a password change: the vault shows each credential read with it as "<data>@new-pw".
inline std::u16string NewPasswordOf(const std::string& user) { return vktest::U(user + " pw2"); }

/* The secret an application opens under now (A's old or new one), or none when it is not registered. */
inline std::optional<Bytes> WorkingSecret(const char16_t* app) {
    for (const Bytes& s : {SecretOf(app), kSecretA2}) {
        ByteArray secret(s);
        BSTR list = nullptr;
        const LONG st = QueryListOfUsers(app, secret, &list);
        vktest::TakeBstr(list);
        if (st != Error_Bad_App) return s;
        if (app != std::u16string(u"A")) break;
    }
    return std::nullopt;
}

inline LONG Store(const char16_t* app, const char* user, const char* id, const std::string& data,
                  const Bytes* under = nullptr) {
    ByteArray secret(under ? *under : SecretOf(app)), md(std::string("md ") + id), emd(std::string("emd ") + id), cred(data);
    return StoreCredential(app, secret, vktest::U(user).c_str(), PasswordOf(user).c_str(), vktest::U(id).c_str(), md,
                           emd, cred);
}
inline std::string Show(const Vault& v) {
    std::ostringstream out;
    for (const auto& [app, users] : v) {
        out << "app " << app << ":";
        for (const auto& [user, creds] : users) {
            out << " " << user << "{";
            for (const auto& [id, data] : creds) out << id << "=" << data << ";";
            out << "}";
        }
        out << "\n";
    }
    return out.str();
}

/* Reads every application, user and credential back through the exports. A
 * failure shows in the result as an "error" entry, so it matches no state. */
inline Vault ReadVault(std::string& damage) {
    Vault v;
    for (const char16_t* app : kApps) {
        const std::optional<Bytes> working = WorkingSecret(app);
        if (!working) continue;
        ByteArray secret(*working);
        BSTR list = nullptr;
        LONG st = QueryListOfUsers(app, secret, &list);
        std::string users = vktest::TakeBstr(list);
        Users& u = v[vktest::Narrow(app) + (*working == kSecretA2 ? "@new-secret" : "")];
        if (st != 0) u["error"]["QueryListOfUsers"] = std::to_string(st);
        for (const std::string& user : vaultkeep::SplitList(vktest::U(users))) {
            Creds& c = u[user];
            BSTR ids = nullptr;
            st = QueryUserCreds(app, secret, vktest::U(user).c_str(), &ids);
            std::string idList = vktest::TakeBstr(ids);
            if (st != 0 && st != Error_Cred_Not_Found) c["error"] = "QueryUserCreds " + std::to_string(st);
            for (const std::string& id : vaultkeep::SplitList(vktest::U(idList))) {
                std::string mark;
                SAFEARRAY* psa = nullptr;
                st = RetrieveCredential(app, secret, vktest::U(user).c_str(), PasswordOf(user).c_str(),
                                        vktest::U(id).c_str(), &psa);
                if (st == Error_Decrypt_Failed) {
                    mark = "@new-pw";
                    st = RetrieveCredential(app, secret, vktest::U(user).c_str(), NewPasswordOf(user).c_str(),
                                            vktest::U(id).c_str(), &psa);
                }
                Bytes data = vktest::TakeArray(psa);
                c[id] = st == 0 ? std::string(data.begin(), data.end()) + mark : "error " + std::to_string(st);
            }
        }
        BSTR report = nullptr;
        st = VaultkeepCheck(app, secret, 0, &report);
        std::string findings = vktest::TakeBstr(report);
        if (st != 0) damage += "VaultkeepCheck " + std::to_string(st) + "\n";
        // Debris is allowed; a record that names nothing usable is not.
        for (const char* kind : {"missing-blob\t", "bad-blob\t", "bad-table\t", "unsound-record\t"})
            if (findings.find(kind) != std::string::npos) damage += findings;
    }
    return v;
}

/* Repairs every application, then checks it again: what the second check still finds. */
inline std::string RepairAll() {
    std::string left;
    for (const char16_t* app : kApps)
        for (ULONG flags : {ULONG(VAULTKEEP_CHECK_REPAIR), ULONG(0)}) {
            const std::optional<Bytes> working = WorkingSecret(app);
            if (!working) break;
            ByteArray secret(*working);
            BSTR report = nullptr;
            const LONG st = VaultkeepCheck(app, secret, flags, &report);
            const std::string findings = vktest::TakeBstr(report);
            if (flags == 0 && (st != 0 || !findings.empty())) left += findings + "status " + std::to_string(st) + "\n";
        }
    return left;
}
} // namespace faultvault
