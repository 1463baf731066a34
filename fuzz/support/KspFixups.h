/*
 * The key provider's files as the harnesses take them: a container file or an
 * escrow blob with its sealed part in the clear (the plaintext, then a 16-byte
 * slot for the GCM tag) and a 32-byte slot for the trailing SHA-256. Seal
 * turns such an input into a file the provider checks to the end: it draws the
 * seal key from the fixed password (pinning the salt, and the KDF parameters
 * when the provider would accept them, so that every exec reuses one key),
 * seals with the provider's own GcmSeal, and sums with its own Sha256. Clear is
 * the inverse, used by the seed program on the files the provider wrote.
 */
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

#include "Wide.h"

namespace vkfuzz::ksp {

using Bytes = std::vector<uint8_t>;

/* Container file layout (backend_soft.cpp). */
constexpr size_t kContainerHeader = 80;
/* Escrow blob layout (provider.cpp). */
constexpr size_t kEscrowHeader = 76;

/* The name a container input names, when it is one the provider would use. */
bool ContainerName(const Bytes& file, WString& name);

void SealContainer(Bytes& file, LPCWSTR password);
bool ClearContainer(Bytes& file, LPCWSTR password);

/* In place over cb bytes. The record inside gets its own checksum slot filled too. */
void SealEscrow(uint8_t* blob, size_t cb, LPCWSTR backupPassword);
bool ClearEscrow(Bytes& blob, LPCWSTR backupPassword);

} // namespace vkfuzz::ksp
