#pragma once

#include <cstddef>
#include <cstdint>

#include "telvosdk/Bytes.h"

namespace telvo {

// Fields added at the end of a message under construction.
inline void appendBytes(Bytes& out, ByteView bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// An unsigned number in `width` bytes, lowest byte first.
inline void appendLittleEndian(Bytes& out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace telvo
