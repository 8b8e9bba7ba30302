#include "security/QKCocoaSecurityEncoder.h"

#include "core/HexText.h"
#include "platform/crypto/Crypto.h"

namespace telvo {

std::string QKCocoaSecurityEncoder::base64(ByteView data) const {
    return crypto::base64Encode(data);
}

std::optional<std::string> QKCocoaSecurityEncoder::hex(ByteView data, bool useLower) const {
    if (data.empty()) return std::nullopt;
    return hextext::encode(data, !useLower);
}

}  // namespace telvo
