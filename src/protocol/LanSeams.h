#pragma once

// Stand-ins for services this folder uses before their owners provide them. Each goes away
// when the real service is in place.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace telvo::lanseam {

std::string md5Hex(ByteView data);
// AES-128-ECB, PKCS#7, under the first 16 bytes of the hex key.
std::optional<Bytes> lanBodyEncrypt(ByteView plain, const std::string& hexKey);
// AES-128-ECB, PKCS#7, under MD5 of apConfigDefaultKey.
std::optional<Bytes> lanBodyDecrypt(ByteView cipher);
// nonce || ciphertext || tag; nothing on failure.
std::optional<Bytes> ccmSeal(ByteView plain, ByteView key, ByteView aad);
// Verifies the tag.
std::optional<Bytes> ccmOpen(ByteView sealed, ByteView key, ByteView aad);
Bytes pbkdfKeyWithTimeData(ByteView timeData);
std::optional<Bytes> cbcDecrypt(ByteView data, ByteView key, ByteView iv);

}  // namespace telvo::lanseam
