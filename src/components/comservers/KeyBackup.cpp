#include "KeyBackup.h"

namespace comservers::keybackup {
namespace {

void PutLe32(std::vector<BYTE>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

uint32_t GetLe32(const BYTE* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

bool Build(const WString& label, const BYTE* sealed, size_t cbSealed, std::vector<BYTE>& out) {
    out.clear();
    if (label.size() > kMaxLabelChars || sealed == nullptr || cbSealed == 0 || cbSealed > kMaxSealedBytes)
        return false;
    out.reserve(kHeaderSize + 2 * label.size() + cbSealed);
    PutLe32(out, kMagic);
    PutLe32(out, kVersion);
    PutLe32(out, static_cast<uint32_t>(label.size()));
    PutLe32(out, static_cast<uint32_t>(cbSealed));
    for (WCHAR c : label) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    out.insert(out.end(), sealed, sealed + cbSealed);
    return true;
}

bool Parse(const std::vector<BYTE>& file, WString& label, size_t& sealedOffset, size_t& cbSealed) {
    label.clear();
    sealedOffset = 0;
    cbSealed = 0;
    if (file.size() < kHeaderSize || file.size() > kMaxFileSize) return false;
    const BYTE* p = file.data();
    if (GetLe32(p) != kMagic || GetLe32(p + 4) != kVersion) return false;
    const uint32_t labelChars = GetLe32(p + 8);
    const uint32_t sealedBytes = GetLe32(p + 12);
    if (labelChars > kMaxLabelChars || sealedBytes == 0 || sealedBytes > kMaxSealedBytes) return false;
    // Both are bounded above, so the sum cannot overflow.
    const size_t expected = kHeaderSize + 2 * static_cast<size_t>(labelChars) + sealedBytes;
    if (file.size() != expected) return false;
    label.resize(labelChars);
    for (size_t i = 0; i < labelChars; ++i) {
        const BYTE* q = p + kHeaderSize + 2 * i;
        label[i] = static_cast<WCHAR>(q[0] | (q[1] << 8));
    }
    sealedOffset = kHeaderSize + 2 * static_cast<size_t>(labelChars);
    cbSealed = sealedBytes;
    return true;
}

} // namespace comservers::keybackup
