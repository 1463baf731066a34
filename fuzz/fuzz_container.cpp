/*
 * Key containers of the software key store: the provider's container file as
 * its backend reads it on every open. The input is a container file with its
 * sealed private key in the clear and slots for the tag and the checksum
 * (support/KspFixups.h); the harness seals it under the fixed key password and
 * sums it with the provider's own functions, writes it into the store, and
 * uses it as the provider does: open, public key, wrap, unwrap, export, import.
 * A key wrapped under a container must unwrap to itself under its password,
 * and an export is the file as it was read.
 */
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "KspFixups.h"
#include "backend.h"
#include "container_store.h"
#include "ksp_crypto.h"

using namespace vkfuzz;

namespace {

const WCHAR kDefaultName[] = u"fuzz-container";
tpmksp::SecureBytes g_password;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Root();
    Check(tpmksp::WideToAnsi(kPassword, g_password) == ERROR_SUCCESS, "password conversion failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetRandom();
    Bytes file(data, data + size);
    WString name;
    if (!ksp::ContainerName(file, name)) name = kDefaultName;
    ksp::SealContainer(file, kPassword);

    WString path;
    Check(tpmksp::ContainerPath(u"MachineKeys", true, name, path, true) == ERROR_SUCCESS, "no store path");
    std::string host = HostPath(path);
    Check(WriteFile(host, file.data(), file.size()), "cannot write the container");

    std::unique_ptr<tpmksp::Backend> backend;
    Check(tpmksp::CreateSoftwareBackend(backend) == ERROR_SUCCESS, "no software backend");
    if (backend->OpenContainer(name) != ERROR_SUCCESS) return 0;

    tpmksp::Bytes publicKey;
    if (backend->GetExchangePublicKey(name, publicKey) == ERROR_SUCCESS) {
        Check(!publicKey.empty(), "an empty public key");
        BYTE secret[32];
        for (size_t i = 0; i < sizeof secret; ++i) secret[i] = static_cast<BYTE>(i * 7 + size);
        tpmksp::Bytes wrapped;
        Check(backend->WrapKey(name, secret, sizeof secret, wrapped) == ERROR_SUCCESS,
              "a key container that opened does not wrap");
        tpmksp::SecureBytes unwrapped;
        if (backend->UnwrapKey(name, g_password, wrapped.data(), wrapped.size(), unwrapped) == ERROR_SUCCESS)
            Check(unwrapped.size() == sizeof secret && memcmp(unwrapped.data(), secret, sizeof secret) == 0,
                  "a wrapped key unwraps to another");
    }

    tpmksp::Bytes record;
    if (backend->ExportContainer(name, record) == ERROR_SUCCESS) {
        Check(record == tpmksp::Bytes(file.begin(), file.end()), "an export is not the container as read");
        Check(backend->ImportContainer(name, record.data(), record.size()) == ERROR_SUCCESS,
              "an exported container does not import");
    }
    return 0;
}
