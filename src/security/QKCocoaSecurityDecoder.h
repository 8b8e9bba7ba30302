#pragma once

#include <optional>
#include <string>

#include "telvosdk/Bytes.h"

namespace telvo {

// Base64 and hex texts to bytes. Stateless.
class QKCocoaSecurityDecoder {
  public:
    // Characters outside the base64 alphabet are skipped; nullopt when the rest does not
    // decode.
    std::optional<Bytes> base64(const std::string& text) const;
    // Each pair of characters makes one byte, high digit first; a character that is not a
    // hex digit counts as 0; an odd last character is ignored. nullopt for an empty text.
    std::optional<Bytes> hex(const std::string& text) const;
};

}  // namespace telvo
