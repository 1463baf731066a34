/* Laying out a machine root: components registered, "Install Path", the zip
 * library in place, the data folder; once, and never over an admin's changes. */
#include <gtest/gtest.h>
#include "VkTest.h"
#include <vaultkeep/vaultkeep.h>

#include <filesystem>
#include <string>

using namespace vktest;

namespace {

const char16_t kMakerKey[] = u"SOFTWARE\\Tarnwick Systems Corp.";
const char16_t kSetupKey[] = u"SOFTWARE\\Tarnwick Systems Corp.\\Vaultkeep Setup";

bool ReadValue(const std::u16string& key, const char16_t* name, DWORD& type, Bytes& data) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    DWORD cb = 0;
    LSTATUS rc = RegQueryValueExW(h, name, nullptr, &type, nullptr, &cb);
    data.assign(cb, 0);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(h, name, nullptr, &type, data.data(), &cb);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

Bytes Utf16Z(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c & 0xFF));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

std::string LibDir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().string() + "/lib";
}

const std::string kZipRel = "Program Files/Tarnwick Systems Corp/Aldmoor Client Core/ZipUtil.dll";

} // namespace

VK_HELPER(first_call) {
    ByteArray secret(std::string("s"));
    std::u16string app = U(args.at(0));
    return RegisterApp(app.c_str(), secret) == 0 ? 0 : 1;
}

class RootLayout : public RootTest {};

TEST_F(RootLayout, FreshRootIsLaidOutForUse) {
    ASSERT_EQ(VaultkeepInitRoot(), 0);

    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(kSetupKey, u"Layout", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));

    ASSERT_TRUE(ReadValue(kMakerKey, u"Install Path", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, Utf16Z(u"C:\\Program Files\\Tarnwick Systems Corp"));

    EXPECT_EQ(ReadFileBytes(root.host(kZipRel)), ReadFileBytes(LibDir() + "/libVaultkeepZipUtil.so"));
    EXPECT_TRUE(std::filesystem::is_directory(root.host("ProgramData/Tarnwick Systems Corp/Vaultkeep")));

    /* The three servers and the provider are registered. */
    for (const char16_t* clsid : {u"{B4210AA5-5CB5-45A3-8627-B10D88C3A7F9}", u"{9ED7A942-19F2-4B4E-A591-5F76FE2DBCD4}",
                                  u"{C82996F9-297B-49C6-B9E5-594F3EAFCA66}"}) {
        SCOPED_TRACE(Narrow(clsid));
        std::u16string key = std::u16string(u"Software\\Classes\\CLSID\\") + clsid + u"\\InprocServer32";
        ASSERT_TRUE(ReadValue(key, nullptr, type, data));
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    }
    ASSERT_TRUE(ReadValue(u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Tarnwick TPM Key Storage Provider",
                          u"Image Path", type, data));
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextW(&prov, u"no-such-container", u"Tarnwick TPM Key Storage Provider", PROV_RSA_FULL,
                                      CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), NTE_BAD_KEYSET) << "the provider answers, the container is absent";
}

TEST_F(RootLayout, LaidOutRootIsLeftAsItIs) {
    ASSERT_EQ(VaultkeepInitRoot(), 0);
    /* An admin removes "Install Path" and the zip library afterwards. */
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMakerKey, 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(h, u"Install Path"), ERROR_SUCCESS);
    RegCloseKey(h);
    std::filesystem::remove(root.host(kZipRel));

    EXPECT_EQ(VaultkeepInitRoot(), 0);
    ByteArray secret(std::string("s"));
    EXPECT_EQ(RegisterApp(u"App", secret), 0);
    DWORD type = 0;
    Bytes data;
    EXPECT_FALSE(ReadValue(kMakerKey, u"Install Path", type, data));
    EXPECT_FALSE(FileExists(root.host(kZipRel)));
}

TEST_F(RootLayout, InstallPathSetBeforeFirstUseStands) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMakerKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr),
              ERROR_SUCCESS);
    Bytes custom = Utf16Z(u"C:\\Opt\\Maker");
    ASSERT_EQ(RegSetValueExW(h, u"Install Path", 0, REG_SZ, custom.data(), static_cast<DWORD>(custom.size())),
              ERROR_SUCCESS);
    RegCloseKey(h);

    ASSERT_EQ(VaultkeepInitRoot(), 0);
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(kMakerKey, u"Install Path", type, data));
    EXPECT_EQ(data, custom);
    EXPECT_TRUE(FileExists(root.host("Opt/Maker/Aldmoor Client Core/ZipUtil.dll")));
    EXPECT_FALSE(FileExists(root.host(kZipRel)));
}

TEST_F(RootLayout, FirstCallsOfSeveralProcessesLayOutOnce) {
    std::vector<int> pids(3);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(RunHelper("first_call", {"App" + std::to_string(i)}, &pids[i], false), 0);
    for (int pid : pids) EXPECT_EQ(WaitHelper(pid), 0);
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(ReadValue(kSetupKey, u"Layout", type, data));
    EXPECT_EQ(ReadFileBytes(root.host(kZipRel)), ReadFileBytes(LibDir() + "/libVaultkeepZipUtil.so"));
}
