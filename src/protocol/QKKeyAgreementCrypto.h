#pragma once

#include <optional>

#include "platform/Bytes.h"

// The crypto services the key agreement draws on, gathered in one place.
namespace telvo::keyagreement {

// The 32-byte ECDH X coordinate on P-256, or nullopt.
std::optional<Bytes> computeECDH(ByteView publicKey, ByteView privateKey);

}  // namespace telvo::keyagreement
