#pragma once

// Text views shared by the security classes.

#include <optional>
#include <string>
#include <string_view>

#include "telvosdk/Bytes.h"

namespace telvo::textbytes {

// The text up to its first zero byte, as a C string of it reads.
inline std::string_view cString(std::string_view text) {
    size_t end = text.find('\0');
    return end == std::string_view::npos ? text : text.substr(0, end);
}

inline ByteView bytesOf(std::string_view text) {
    return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool isValidUTF8(ByteView bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        uint8_t b = bytes[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t min, cp;
        if ((b & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = b & 0x07;
        } else {
            return false;
        }
        if (bytes.size() - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            uint8_t c = bytes[i + k];
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// The bytes as text when they are valid UTF-8.
inline std::optional<std::string> utf8Text(ByteView bytes) {
    if (!isValidUTF8(bytes)) return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace telvo::textbytes
