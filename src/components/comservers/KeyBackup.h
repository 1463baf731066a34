/*
 * key.backup: one key container sealed under the backup password, as the key
 * storage provider's escrow export made it, behind a small header that carries
 * the key-archive string as a free-text label. Little-endian:
 *
 *   offset  size       field
 *   0       4          magic "VKKB"
 *   4       4          version, 1
 *   8       4          L: label length in UTF-16 code units, at most kMaxLabelChars
 *   12      4          B: sealed container length, 1..kMaxSealedBytes
 *   16      2L         label, UTF-16LE, no terminator
 *   16+2L   B          sealed container (opaque here; the provider authenticates it)
 *
 * The file is exactly 16 + 2L + B bytes. The label is not authenticated: it is
 * a note for people, and nothing trusts it.
 */
#pragma once
#include <windows.h>
#include "Wide.h"

#include <cstdint>
#include <string>
#include <vector>

namespace comservers::keybackup {

constexpr uint32_t kMagic = 0x424B4B56; /* "VKKB" read as little-endian */
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 16;
constexpr size_t kMaxLabelChars = 4096;
constexpr size_t kMaxSealedBytes = 1u << 20;
constexpr size_t kMaxFileSize = kHeaderSize + 2 * kMaxLabelChars + kMaxSealedBytes;

/* False when the label or the sealed block is out of bounds. */
bool Build(const WString& label, const BYTE* sealed, size_t cbSealed, std::vector<BYTE>& out);

/* Checks the layout; on success label and the sealed block's place in file. */
bool Parse(const std::vector<BYTE>& file, WString& label, size_t& sealedOffset, size_t& cbSealed);

} // namespace comservers::keybackup
