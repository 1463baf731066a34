/* Windows' access rules on the vault's objects. Wine keeps a kernel object's descriptor but makes a
 * file's up from its POSIX mode (Wine 8 keeps none that is set), and enforces neither; so the mutex is
 * read back, the judgment of a folder's or module's descriptor is tried on descriptors made here,
 * and what another account could do is not tried. On POSIX the platform layer gives the same objects
 * the vault group's modes (tests/pal). */
#include "TableFixture.h"

#ifdef _WIN32
#include <aclapi.h>
#include <sddl.h>

#include "util/AccessRules.h"

using namespace vktest;
using namespace tabletest;

namespace {

struct Sd {
    PSECURITY_DESCRIPTOR p = nullptr;
    ~Sd() { LocalFree(p); }
};

std::wstring Text(PSECURITY_DESCRIPTOR sd) {
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                              nullptr))
        return L"?";
    std::wstring s(text);
    LocalFree(text);
    return s;
}

/* SDDL as Windows writes it back, so spellings of the same rules compare equal. */
std::wstring Normal(const wchar_t* sddl) {
    Sd sd;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd.p, nullptr)) return L"!";
    return Text(sd.p);
}

} // namespace

class AccessRules : public RootTest {};

TEST_F(AccessRules, ATemporaryNamePlantedBeforehandIsNeverPublished) {
    ByteArray secret(std::string("s"));
    ASSERT_EQ(RegisterApp(W("App"), secret), 0);
    const std::string planted = root.host(kDataHost + "App/.~new-app.bin");
    WriteFileBytes(planted, ToBytes("planted"));
    ASSERT_EQ(AddUser(W("App"), secret, W("alice"), W("pw")), 0);
    EXPECT_EQ(ReadFileBytes(planted), ToBytes("planted"));
    BSTR users = nullptr;
    ASSERT_EQ(QueryListOfUsers(W("App"), secret, &users), 0);
    EXPECT_EQ(TakeBstr(users), "alice");
}

TEST_F(AccessRules, TheMutexIsTheVaultsWhoeverMadeIt) {
    const std::wstring rules = Normal(L"D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x120001;;;BU)(A;;0x120001;;;S-1-3-4)");
    auto rulesOf = [](HANDLE h) {
        Sd sd;
        PACL dacl = nullptr;
        if (GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &sd.p) != ERROR_SUCCESS)
            return std::wstring(L"unreadable");
        return Text(sd.p);
    };
    // The library's own, made when it was loaded.
    HANDLE own = OpenMutexW(READ_CONTROL, FALSE, L"Global\\Mutex{9FC4C01C-6B9E-4507-B265-5BB4416D5BC9}");
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(rulesOf(own), rules);
    CloseHandle(own);

    // One made first with the default rules of its maker, which could then shut others out, is refused.
    const std::wstring name = L"Global\\VaultkeepTest-" + std::to_wstring(GetCurrentProcessId());
    HANDLE squat = CreateMutexW(nullptr, FALSE, name.c_str());
    ASSERT_NE(squat, nullptr);
    EXPECT_EQ(CreateVaultMutex(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(squat);
    // Made with the vault's rules, by whoever comes first, it is opened again.
    HANDLE first = CreateVaultMutex(name.c_str());
    ASSERT_NE(first, nullptr);
    HANDLE second = CreateVaultMutex(name.c_str());
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(rulesOf(first), rules);
    CloseHandle(second);
    CloseHandle(first);
}

TEST(AccessRulesJudged, OnlyTheAdministrationOwnsOrChangesWhatIsLoadedOrLaidOut) {
    const ACCESS_MASK changing = VAULT_CHANGING_RIGHTS;
    struct {
        const wchar_t* sddl;
        ACCESS_MASK mask;
        BOOL only;
    } rows[] = {
        // Program Files as Windows makes it: creators' rights are inherit-only.
        {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
         L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)", changing, TRUE},
        {L"O:BAD:P(A;;FA;;;SY)(A;;0x1301bf;;;BU)", changing, FALSE},  // the vault's users may write
        {L"O:BAD:P(A;;FA;;;SY)(A;;0x4;;;WD)", changing, FALSE},       // anyone may add a folder
        {L"O:BAD:P(A;;FA;;;SY)(A;;WD;;;AU)", changing, FALSE},        // or change its rules
        {L"O:BAD:P(A;;FA;;;SY)(D;;FA;;;WD)(A;;0x1200a9;;;WD)", changing, TRUE},  // denials change nothing
        {L"O:BAD:P(A;;0x1301bf;;;OW)", changing, TRUE},               // the owner's rights are the owner's
        {L"O:BA", 0, FALSE},  // no DACL: everyone everything
        {L"O:S-1-5-21-1004336348-1177238915-682003330-1001D:P(A;;FA;;;SY)", 0, FALSE},  // another owner
        // Above a module: adding beside is harmless, deleting below is not.
        {L"O:SYD:(A;;0x4;;;AU)", DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER, TRUE},
        {L"O:SYD:(A;;0x40;;;AU)", DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER, FALSE},
    };
    for (const auto& row : rows) {
        Sd sd;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1, &sd.p, nullptr))
            << row.sddl;
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorOwner(sd.p, &owner, &defaulted);
        GetSecurityDescriptorDacl(sd.p, &present, &dacl, &defaulted);
        EXPECT_EQ(OnlyAdministrationMay(owner, present ? dacl : nullptr, row.mask), row.only) << row.sddl;
    }
}

#endif
