#include "security/QKCocoaSecurityDecoder.h"

#include "platform/base/AsciiText.h"
#include "platform/crypto/Crypto.h"

namespace telvo {

std::optional<Bytes> QKCocoaSecurityDecoder::base64(const std::string& text) const {
    return crypto::base64Decode(text, true);
}

std::optional<Bytes> QKCocoaSecurityDecoder::hex(const std::string& text) const {
    if (text.empty()) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    auto value = [](char c) { return std::max(hexDigitValue(c), 0); };
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(value(text[i]) << 4 | value(text[i + 1])));
    return out;
}

}  // namespace telvo
