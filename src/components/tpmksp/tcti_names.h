/* Which TCTI specs the TPM 2.0 backend accepts, shared with the tool that
 * sets them, so a setting is judged the same way where it is written and
 * where it is read. No TSS or PAL needed. */
#pragma once
#include <cctype>
#include <string>

namespace tpmksp {

constexpr char kDefaultTcti[] = "device:/dev/tpmrm0";
constexpr size_t kMaxTcti = 512;

/*
 * The TSS loader takes a TCTI name or a library path and loads what it is
 * given, so a setting could run code in every process that opens the TPM.
 * Only the known transports are accepted, by name: the kernel's devices (and
 * only /dev/tpm*), a simulator, the access broker. The capture wrapper is for
 * a caller's own debugging, so only the environment may name it.
 */
inline bool AcceptableTcti(const std::string& s, bool fromEnvironment) {
    if (s.empty() || s.size() > kMaxTcti) return false;
    for (char c : s)
        if (c < 0x21 || c > 0x7e) return false;
    const size_t colon = s.find(':');
    const std::string name = s.substr(0, colon), conf = colon == std::string::npos ? "" : s.substr(colon + 1);
    if (name == "pcap") return fromEnvironment && colon != std::string::npos && AcceptableTcti(conf, false);
    if (name == "device") {
        static const char kDev[] = "/dev/tpm";
        if (conf.compare(0, sizeof kDev - 1, kDev) != 0 || conf.find('/', sizeof kDev - 1) != std::string::npos)
            return false;
        for (size_t i = sizeof kDev - 1; i < conf.size(); ++i)
            if (!isalnum(static_cast<unsigned char>(conf[i]))) return false;
        return true;
    }
    /* host, port and bus names; a path (a socket, say) is not needed */
    if (name == "swtpm" || name == "mssim" || name == "tabrmd") return conf.find('/') == std::string::npos;
    return false;
}

} // namespace tpmksp
