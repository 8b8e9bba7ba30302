// BMP: its headers and colour table within its data, and the size its info header promises,
// held to the limit and, uncompressed, to the rows its data holds. Decoded by gdk-pixbuf.
#include <algorithm>
#include <cstdlib>

#include "http/image/ImageFormat.h"
#include "http/image/PixbufDecoder.h"

namespace telvo::image {

namespace bmp {

constexpr const char* kName = "bmp";

bool matches(const Bytes& data) {
    return data.size() >= 2 && data[0] == 'B' && data[1] == 'M';
}

// The pixels of the rows an uncompressed BMP holds: its decoder takes rows past the end as blank.
uint64_t pixelsHeld(const Bytes& data) {
    if (data.size() < 34 || le32(data, 14) < 40 || le32(data, 10) > data.size())
        return QKImage::kMaximumPixelCount;  // OS/2 headers and the corrupt: the decoder's to judge
    const uint32_t compression = le32(data, 30);
    if (compression != 0 && compression != 3 && compression != 6)
        return QKImage::kMaximumPixelCount;  // run-length coded and the rest
    const uint64_t width = uint64_t(std::max<int32_t>(int32_t(le32(data, 18)), 0));
    const uint64_t bits = le16(data, 28);
    const uint64_t stride = (width * bits + 31) / 32 * 4;
    if (stride == 0) return QKImage::kMaximumPixelCount;
    return width * ((data.size() - le32(data, 10)) / stride);
}

// The size the info header promises (a height below zero: rows from the top), or none when the
// header is too short to say.
std::optional<std::pair<int64_t, int64_t>> sizeOf(const Bytes& data) {
    const uint32_t header = le32(data, 14);
    if (header == 12 && data.size() >= 22) return std::pair{le16(data, 18), le16(data, 20)};
    if (header < 16 || data.size() < 26) return std::nullopt;
    return std::pair{int64_t(int32_t(le32(data, 18))), std::llabs(int32_t(le32(data, 22)))};
}

// The decoder grows a buffer to the header sizes, offsets and colours the file states before it
// reads it (a count of colours past 2^29 overflows its size to gigabytes): a file that points
// past its own end is refused first.
Survey survey(const Bytes& data, uint64_t limit) {
    if (data.size() < 18) return readTo(data.size(), 0);
    const uint32_t header = le32(data, 14);
    if (le32(data, 10) > data.size() || header > data.size() - 14) return pointsPastItsEnd(kName);
    if (header >= 40 && data.size() >= 50 && le32(data, 46) > (data.size() - 14 - header) / 4)
        return pointsPastItsEnd(kName);  // its colour table
    const auto size = sizeOf(data);
    if (!size) return readTo(data.size(), 0);  // the decoder's to refuse
    const auto [width, height] = *size;
    if (auto no = refusedBySize("image", width, height, data.size(), limit,
                                std::min(pixelsHeld(data), encodableBy(data.size()))))
        return *no;
    return readTo(data.size(), uint64_t(width) * uint64_t(height));
}

Decoded decode(const Bytes& data, const Survey& survey) {
    return decodeWithPixbuf(kName, data, survey, RowsTell::WhileFed);
}

}  // namespace bmp

const Format kBmp = {bmp::kName, bmp::matches, bmp::survey, bmp::decode};

}  // namespace telvo::image
