#pragma once

#include <optional>
#include <string>

#include "telvosdk/Bytes.h"

namespace telvo {

// Bytes to base64 and hex texts. Stateless.
class QKCocoaSecurityEncoder {
  public:
    // Without line breaks.
    std::string base64(ByteView data) const;
    // Two digits a byte, "0123456789ABCDEF" or "0123456789abcdef"; nullopt for no bytes.
    std::optional<std::string> hex(ByteView data, bool useLower) const;
};

}  // namespace telvo
