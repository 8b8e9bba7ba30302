// XBM: the sizes its "#define" lines promise, held to the limit and to what its text can encode,
// and bits that are closed. Decoded by gdk-pixbuf.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "http/image/ImageFormat.h"
#include "http/image/PixbufDecoder.h"

namespace telvo::image {

namespace xbm {

constexpr const char* kName = "xbm";

bool matches(const Bytes& data) {
    return data.size() >= 7 && std::memcmp(data.data(), "#define", 7) == 0;
}

// The decoder reserves the bits of the whole image before it reads them and tells its size
// only afterwards: its "#define <name>_width N" and "_height N" lines are read here first, with
// the blanks and signs the decoder's scanf takes, and the largest of each counts wherever it
// stands (the decoder takes the last one before its bits). A negative size is read by the decoder
// as a huge one. Unknown dimensions are the decoder's to refuse.
std::pair<int64_t, int64_t> sizeOf(std::string_view text) {
    static constexpr std::string_view kBlank = " \t\r\v\f", kSpace = " \t\r\v\f\n";
    constexpr int64_t kHuge = int64_t(1) << 40;
    int64_t width = -1, height = -1;
    // Each search goes on past the name and value read before it: every byte is read a few times.
    for (size_t at = text.find("#define"); at != std::string_view::npos;
         at = text.find("#define", at)) {
        const size_t name = text.find_first_not_of(kBlank, at + 7);
        const size_t nameEnd = text.find_first_of(kSpace, name);
        if (nameEnd == std::string_view::npos) break;
        const std::string_view named = text.substr(name, nameEnd - name);
        at = text.find_first_not_of(kBlank, nameEnd);
        if (at == std::string_view::npos) break;
        const bool negative = text[at] == '-';
        if (text[at] == '-' || text[at] == '+') ++at;
        int64_t value = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
            value = std::min<int64_t>(value * 10 + (text[at] - '0'), kHuge);
        if (negative && value > 0) value = kHuge;
        if (named.ends_with("width")) width = std::max(width, value);
        if (named.ends_with("height")) height = std::max(height, value);
    }
    return {width, height};
}

// A last value cut short would read as another value: the bits must be closed.
Survey survey(const Bytes& data, uint64_t limit) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    const uint64_t bound = std::min(limit, encodableBy(data.size()));
    const auto [width, height] = sizeOf(text);
    const bool sized = width >= 0 && height >= 0;
    if (sized && !withinBound(width, height, bound))
        return refused(tooLarge("image", width, height, data.size(), limit));
    const size_t open = text.find('{');
    if (open == std::string_view::npos || text.find('}', open) == std::string_view::npos)
        return truncated(kName, "its bits are not closed");
    return readTo(data.size(), sized ? uint64_t(width) * uint64_t(height) : bound);
}

Decoded decode(const Bytes& data, const Survey& survey) {
    return decodeWithPixbuf(kName, data, survey, RowsTell::AtClose);
}

}  // namespace xbm

const Format kXbm = {xbm::kName, xbm::matches, xbm::survey, xbm::decode};

}  // namespace telvo::image
