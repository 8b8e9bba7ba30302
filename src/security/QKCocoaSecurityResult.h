#pragma once

#include <optional>
#include <string>

#include "telvosdk/Bytes.h"

namespace telvo {

// The bytes of a QKCocoaSecurity operation, with their text views.
class QKCocoaSecurityResult {
  public:
    // A copy of the bytes.
    explicit QKCocoaSecurityResult(ByteView bytes) : data_(bytes.begin(), bytes.end()) {}

    const Bytes& data() const { return data_; }
    // nullopt when the bytes are not UTF-8.
    std::optional<std::string> utf8String() const;
    // Uppercase hex; "" for no bytes.
    std::string hex() const;
    std::string hexLower() const;
    // Without line breaks.
    std::string base64() const;

  private:
    Bytes data_;
};

}  // namespace telvo
