// ICO and CUR: the directory, every entry within the data, and every entry's size and the size
// of the image it points to (a BMP without its file header, or a PNG) held to the limit and to
// what the entry's bytes hold, its colour table within them. Decoded by gdk-pixbuf, which takes
// the entry it likes best.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "http/image/ImageFormat.h"
#include "http/image/PixbufDecoder.h"

namespace telvo::image {

namespace ico {

constexpr const char* kName = "ico";

bool matches(const Bytes& data) {
    return data.size() >= 4 && data[0] == 0 && data[1] == 0 && (data[2] == 1 || data[2] == 2) &&
           data[3] == 0;
}

// An entry's image: `size` bytes at `at`, within the data.
struct Entry {
    size_t at = 0, size = 0;
};

// A PNG icon: the size its IHDR promises, held to what its bytes can encode.
std::optional<Survey> refusedPng(const Bytes& data, Entry image, uint64_t limit,
                                 uint64_t& mostPixels) {
    if (image.size < 24) return std::nullopt;  // the decoder's to refuse
    const uint32_t width = be32(data, image.at + 16), height = be32(data, image.at + 20);
    mostPixels = std::max(mostPixels, uint64_t(width) * height);
    return refusedBySize("icon image", width, height, data.size(), limit, encodableBy(image.size));
}

// A BMP icon, as its decoder reads it whatever the entry's size: a 40-byte info header, then the
// colour table it counts within the data, and its size (its height counts the mask's rows too,
// so it is twice the image's) held to the rows the data holds when uncompressed.
std::optional<Survey> refusedBmp(const Bytes& data, size_t at, uint64_t limit,
                                 uint64_t& mostPixels) {
    constexpr size_t kHeader = 40;
    const size_t available = data.size() - at;
    if (available < kHeader) return std::nullopt;  // the decoder's to refuse
    const int64_t width = int32_t(le32(data, at + 4));
    const int64_t height = std::llabs(int32_t(le32(data, at + 8))) / 2;
    const uint32_t bits = le16(data, at + 14);
    uint64_t colours = le32(data, at + 32);
    if (colours == 0 && bits <= 8) colours = uint64_t(1) << bits;
    if (colours > (available - kHeader) / 4) return pointsPastItsEnd(kName);
    const uint64_t columns = uint64_t(std::max<int64_t>(width, 0));
    mostPixels = std::max(mostPixels, columns * uint64_t(height));
    const uint64_t stride = (columns * bits + 31) / 32 * 4;
    const uint64_t held = le32(data, at + 16) == 0 && stride > 0
                              ? columns * ((available - kHeader - colours * 4) / stride)
                              : QKImage::kMaximumPixelCount;
    return refusedBySize("icon image", width, height, data.size(), limit,
                         std::min(held, encodableBy(available)));
}

// The entry's own size (0 for 256) and its image's.
std::optional<Survey> refusedEntry(const Bytes& data, size_t entry, uint64_t limit,
                                   uint64_t& mostPixels) {
    const uint32_t size = le32(data, entry + 8), offset = le32(data, entry + 12);
    if (size > data.size() || offset > data.size() || size > data.size() - offset)
        return pointsPastItsEnd(kName);
    const uint32_t width = data[entry] ? data[entry] : 256,
                   height = data[entry + 1] ? data[entry + 1] : 256;
    mostPixels = std::max(mostPixels, uint64_t(width) * height);
    if (auto no =
            refusedBySize("icon", width, height, data.size(), limit, QKImage::kMaximumPixelCount))
        return no;
    static constexpr uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const bool png = size >= 8 && std::memcmp(&data[offset], kPng, 8) == 0;
    return png ? refusedPng(data, {offset, size}, limit, mostPixels)
               : refusedBmp(data, offset, limit, mostPixels);
}

// The decoder grows a buffer to the sizes, offsets and colours an entry states before it reads
// them: an icon that points past its own end, or claims more than its bytes hold, is refused
// first.
Survey survey(const Bytes& data, uint64_t limit) {
    const size_t count = data.size() >= 6 ? le16(data, 4) : 0;
    if (data.size() < 6 || (data.size() - 6) / 16 < count)
        return truncated(kName, "its directory runs past its end");
    uint64_t mostPixels = 0;
    for (size_t entry = 6; entry < 6 + 16 * count; entry += 16) {
        if (auto no = refusedEntry(data, entry, limit, mostPixels)) return *no;
    }
    return readTo(data.size(), mostPixels);
}

Decoded decode(const Bytes& data, const Survey& survey) {
    return decodeWithPixbuf(kName, data, survey, RowsTell::WhileFed);
}

}  // namespace ico

const Format kIco = {ico::kName, ico::matches, ico::survey, ico::decode};

}  // namespace telvo::image
