#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/AsciiText.h"
#include "telvosdk/Bytes.h"

namespace telvo::hextext {

// Reads up to two characters as a base-16 number the way strtol does: leading hex digits
// only, nothing readable gives 0.
inline uint8_t leadingPair(std::string_view pair) {
    unsigned value = 0;
    for (size_t i = 0; i < pair.size() && i < 2; ++i) {
        int d = hexDigitValue(pair[i]);
        if (d < 0) break;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return static_cast<uint8_t>(value);
}

// Pairs of characters, each read as by leadingPair; a lone last character is read alone.
inline Bytes readPairs(std::string_view text) {
    Bytes out;
    out.reserve((text.size() + 1) / 2);
    for (size_t i = 0; i < text.size(); i += 2) out.push_back(leadingPair(text.substr(i, 2)));
    return out;
}

// Two digits a byte, without separators.
inline std::string encode(ByteView bytes, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

}  // namespace telvo::hextext
