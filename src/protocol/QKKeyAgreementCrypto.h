#pragma once

#include <optional>

#include "platform/Bytes.h"

// The crypto services the key agreement draws on, gathered in one place.
namespace telvo::keyagreement {

// The 32-byte ECDH X coordinate on P-256, or nullopt.
std::optional<Bytes> computeECDH(ByteView publicKey, ByteView privateKey);
// Opens nonce || ciphertext || tag without associated data; nullopt when the tag differs.
std::optional<Bytes> aesCCMOpen(ByteView sealed, ByteView key);

}  // namespace telvo::keyagreement
