#include "KspFixups.h"

#include <cstring>

#include "FuzzSupport.h"
#include "ksp_crypto.h"

namespace vkfuzz::ksp {

namespace {

using tpmksp::KdfParams;
using tpmksp::SecureBytes;

constexpr size_t kSum = tpmksp::kSha256Size;
constexpr size_t kTag = tpmksp::kGcmTagSize;
const uint8_t kFixedSalt[tpmksp::kSaltSize] = {'v', 'k', 'f', 'u', 'z', 'z', '-', 's', 'a', 'l', 't'};

/* Where a layout puts its KDF parameters, salt, nonce and three lengths. */
struct Layout {
    size_t header, kdf, salt, nonce;
    size_t len[3]; /* offsets of the three length fields, in file order */
};
constexpr Layout kContainer = {kContainerHeader, 24, 36, 68, {12, 16, 20}};
constexpr Layout kEscrow = {kEscrowHeader, 20, 32, 64, {8, 12, 16}};

KdfParams ReadKdf(const uint8_t* p) { return {Le32(p), Le32(p + 4), Le32(p + 8)}; }

/* The fixed salt always; the default parameters when the file's would be accepted. */
KdfParams Pin(uint8_t* file, const Layout& l) {
    memcpy(file + l.salt, kFixedSalt, sizeof kFixedSalt);
    KdfParams kdf = ReadKdf(file + l.kdf);
    if (tpmksp::KdfParamsAcceptable(kdf)) {
        kdf = tpmksp::kDefaultKdf;
        PutLe32(file + l.kdf, kdf.log2N);
        PutLe32(file + l.kdf + 4, kdf.r);
        PutLe32(file + l.kdf + 8, kdf.p);
    }
    return kdf;
}

/* The sealed part's offset when the lengths add up to the file (sum slot included). */
bool SealedPart(const uint8_t* file, size_t size, const Layout& l, size_t& offset, size_t& sealed) {
    if (size < l.header + kSum) return false;
    uint64_t a = Le32(file + l.len[0]), b = Le32(file + l.len[1]), c = Le32(file + l.len[2]);
    if (l.header + a + b + c + kSum != size || c < kTag) return false;
    offset = l.header + a + b;
    sealed = c;
    return true;
}

bool Key(LPCWSTR password, const uint8_t* file, const Layout& l, const KdfParams& kdf, SecureBytes& key) {
    SecureBytes pw;
    return tpmksp::WideToAnsi(password, pw) == ERROR_SUCCESS &&
           tpmksp::DeriveKey(pw, file + l.salt, tpmksp::kSaltSize, kdf, key) == ERROR_SUCCESS;
}

void Sum(uint8_t* file, size_t size) {
    if (size >= kSum) tpmksp::Sha256(file, size - kSum, file + size - kSum);
}

void Seal(uint8_t* file, size_t size, const Layout& l, LPCWSTR password) {
    if (size < l.header) return;
    KdfParams kdf = Pin(file, l);
    size_t offset = 0, sealed = 0;
    SecureBytes key;
    if (SealedPart(file, size, l, offset, sealed) && tpmksp::KdfParamsAcceptable(kdf) && Key(password, file, l, kdf, key))
        tpmksp::GcmSeal(key, file + l.nonce, file, offset, file + offset, sealed - kTag, file + offset);
}

bool Clear(Bytes& file, const Layout& l, LPCWSTR password) {
    size_t offset = 0, sealed = 0;
    SecureBytes key, plain;
    KdfParams kdf = ReadKdf(file.data() + l.kdf);
    if (!SealedPart(file.data(), file.size(), l, offset, sealed) || !Key(password, file.data(), l, kdf, key) ||
        tpmksp::GcmOpen(key, file.data() + l.nonce, file.data(), offset, file.data() + offset, sealed, plain) !=
            ERROR_SUCCESS)
        return false;
    memcpy(file.data() + offset, plain.data(), plain.size());
    memset(file.data() + offset + plain.size(), 0, kTag);
    memset(file.data() + file.size() - kSum, 0, kSum);
    return true;
}

} // namespace

bool ContainerName(const Bytes& file, WString& name) {
    if (file.size() < kContainerHeader + kSum) return false;
    size_t cbName = Le32(file.data() + 12);
    if (cbName > file.size() - kContainerHeader - kSum) return false;
    return tpmksp::NameFromBytes(file.data() + kContainerHeader, cbName, name);
}

void SealContainer(Bytes& file, LPCWSTR password) {
    Seal(file.data(), file.size(), kContainer, password);
    Sum(file.data(), file.size());
}

bool ClearContainer(Bytes& file, LPCWSTR password) { return Clear(file, kContainer, password); }

void SealEscrow(uint8_t* blob, size_t cb, LPCWSTR backupPassword) {
    size_t offset = 0, sealed = 0;
    if (cb >= kEscrowHeader && SealedPart(blob, cb, kEscrow, offset, sealed)) Sum(blob + offset, sealed - kTag);
    Seal(blob, cb, kEscrow, backupPassword);
    Sum(blob, cb);
}

bool ClearEscrow(Bytes& blob, LPCWSTR backupPassword) { return Clear(blob, kEscrow, backupPassword); }

} // namespace vkfuzz::ksp
