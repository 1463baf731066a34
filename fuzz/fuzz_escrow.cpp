/*
 * The escrow record: key.backup as the key-archive server reads it (its header
 * and label, comservers/KeyBackup.cpp), and the escrow blob inside as the key
 * provider's import opens it. The blob comes with its sealed record in the
 * clear and slots for the tag and the checksums (support/KspFixups.h); the
 * harness seals it under the fixed backup password with the provider's own
 * functions. An import must name a container that then opens, import again
 * under exactly that name, and refuse any other.
 */
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "KeyBackup.h"
#include "KspFixups.h"
#include "backend.h"
#include "ksp_crypto.h"

extern "C" LONG TpmKspImportContainer(const BYTE* pBlob, DWORD cbBlob, LPCWSTR backupPassword, WCHAR* containerOut,
                                      DWORD cchContainerOut);
extern "C" LONG TpmKspImportContainerAs(const BYTE* pBlob, DWORD cbBlob, LPCWSTR backupPassword,
                                        LPCWSTR container);

using namespace vkfuzz;

namespace {

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetRandom();
    std::vector<BYTE> file(data, data + size);
    std::u16string label;
    size_t offset = 0, cbSealed = 0;
    if (!comservers::keybackup::Parse(file, label, offset, cbSealed)) return 0;
    std::vector<BYTE> rebuilt;
    Check(comservers::keybackup::Build(label, file.data() + offset, cbSealed, rebuilt) && rebuilt == file,
          "key.backup does not rebuild to itself");

    BYTE* blob = file.data() + offset;
    DWORD cb = static_cast<DWORD>(cbSealed);
    ksp::SealEscrow(blob, cb, kBackupPassword);

    WCHAR name[MAX_PATH + 1] = {};
    if (TpmKspImportContainer(blob, cb, kBackupPassword, name, MAX_PATH) != 0) return 0;
    WString imported = name;
    Check(tpmksp::IsValidContainerName(imported.c_str()), "an import named an invalid container");
    std::unique_ptr<tpmksp::Backend> backend;
    Check(tpmksp::CreateSoftwareBackend(backend) == ERROR_SUCCESS, "no software backend");
    Check(backend->OpenContainer(imported) == ERROR_SUCCESS, "an imported container does not open");
    Check(TpmKspImportContainerAs(blob, cb, kBackupPassword, imported.c_str()) == 0,
          "an import under its own name failed");
    WString other = imported == u"x" ? WString(u"y") : WString(u"x");
    Check(TpmKspImportContainerAs(blob, cb, kBackupPassword, other.c_str()) != 0,
          "an import landed under another name");
    return 0;
}
