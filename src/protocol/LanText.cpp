#include "protocol/LanText.h"

#include <iconv.h>

#include "security/TextBytes.h"

namespace telvo::lantext {

std::string bytesAsCharacters(ByteView bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (uint8_t b : bytes) {
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back(static_cast<char>(0xC0 | b >> 6));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

std::optional<Bytes> gb18030(const std::string& utf8) {
    if (!textbytes::isValidUTF8(textbytes::bytesOf(utf8))) return std::nullopt;
    iconv_t cd = iconv_open("GB18030", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    // GB18030 takes at most 4 bytes per character, UTF-8 at least 1.
    Bytes out(utf8.size() * 4 + 4);
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = reinterpret_cast<char*>(out.data());
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inLeft != 0) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace telvo::lantext
