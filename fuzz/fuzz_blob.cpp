/*
 * Credential blob files: CUserTable::ReadBlob, then the decryption of the
 * blob's data in both forms (CUserTable::DecryptBlob). The input is a whole
 * blob file; its last 32 bytes are the HMAC slot, filled by the harness under
 * the fixed application secret with tables::TableHmac.
 *
 * The software form (type 0) is decrypted under the fixed password, and what
 * decrypts must encrypt and decrypt back to itself. The TPM-bound form
 * (type 1) is taken as far as its own layout goes: the wrapped key must lie
 * inside the blob before the provider is asked, and the provider is asked for
 * a container that does not exist (an RSA private-key operation per exec
 * would leave no time for anything else).
 */
#include <cstdlib>
#include <cstring>

#include "FuzzSupport.h"
#include "util/TableSupport.h"
#include "usertable/UserTable.h"
#include "util/Util.h"

using namespace vkfuzz;

namespace {

const WCHAR kFolder[] = u"C:\\ProgramData\\fuzz-blob";
const WCHAR kBlobName[] = u"C:\\ProgramData\\fuzz-blob\\0f2a5c3e-0000-4000-8000-00000000b10b";
const WCHAR kNoContainer[] = u"0f2a5c3e-0000-4000-8000-00000000dead";
std::string g_blobFile;
SAFEARRAY* g_secret = nullptr;
CUserTable* g_table = nullptr;

Bytes ArrayBytes(SAFEARRAY* psa) {
    void* p = nullptr;
    Bytes out;
    Check(SUCCEEDED(SafeArrayAccessData(psa, &p)), "cannot access a decrypted array");
    out.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + psa->rgsabound[0].cElements);
    SafeArrayUnaccessData(psa);
    return out;
}

void SoftwareForm(DWORD len, const BYTE* data) {
    Bytes copy(data, data + len);
    g_table->Type = 0;
    SAFEARRAY* plain = nullptr;
    if (g_table->DecryptBlob(len, copy.data(), kNoContainer, kPassword, &plain) != 0) return;
    Check(plain != nullptr, "a decryption succeeded without output");
    Bytes first = ArrayBytes(plain);
    BYTE* cipher = nullptr;
    DWORD cipherLen = 0;
    Check(g_table->EncryptBlob(plain, kPassword, &cipher, &cipherLen) == 0, "decrypted data does not encrypt");
    SafeArrayDestroy(plain);
    plain = nullptr;
    Check(g_table->DecryptBlob(cipherLen, cipher, kNoContainer, kPassword, &plain) == 0 && plain,
          "an encrypted blob does not decrypt");
    free(cipher);
    Check(ArrayBytes(plain) == first, "the blob changed in a round trip");
    SafeArrayDestroy(plain);
}

void TpmForm(DWORD len, const BYTE* data) {
    Bytes copy(data, data + len);
    g_table->Type = 1;
    SAFEARRAY* plain = nullptr;
    LONG status = g_table->DecryptBlob(len, copy.data(), kNoContainer, kPassword, &plain);
    Check(status != 0 && plain == nullptr, "a blob decrypted under a container that does not exist");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Root();
    CoInitialize(nullptr); /* the TPM form asks the TPM status server, as every export's frame allows */
    g_secret = AppSecretArray();
    Check(MakeFolder(HostPath(kFolder)), "cannot make the blob folder");
    g_blobFile = HostPath(kBlobName);
    g_table = new CUserTable(0, kAppName, g_secret, kUserName, u"", kFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetRandom();
    Bytes file(data, data + size);
    FillHmac(file, offsetof(BlobFileHeader, salt), BLOB_HEADER_SIZE);
    Check(WriteFile(g_blobFile, file.data(), file.size()), "cannot write the blob");

    DWORD len = 0;
    BYTE* blob = nullptr;
    if (g_table->ReadBlob(kBlobName, &len, &blob) != 0) {
        Check(blob == nullptr, "a refused blob came with data");
        return 0;
    }
    Check(blob != nullptr && static_cast<size_t>(len) + BLOB_HEADER_SIZE + HMAC_SIZE == size,
          "a blob read with the wrong length");
    SoftwareForm(len, blob);
    TpmForm(len, blob);
    free(blob);
    return 0;
}
