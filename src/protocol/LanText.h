#pragma once

// Text helpers of the LAN message bodies.

#include <optional>
#include <string>

#include "telvosdk/Bytes.h"

namespace telvo::lantext {

// Each byte taken as one character (U+0000 to U+00FF), as UTF-8 text.
std::string bytesAsCharacters(ByteView bytes);
// The text in the GB18030 encoding; nullopt when it is not valid UTF-8.
std::optional<Bytes> gb18030(const std::string& utf8);

}  // namespace telvo::lantext
