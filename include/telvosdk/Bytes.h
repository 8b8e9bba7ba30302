#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace telvo {

// Every byte buffer of the library: frames, bodies, keys, digests.
using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline Bytes toBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
inline std::string toString(ByteView bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace telvo
