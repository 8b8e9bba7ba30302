// JPEG: the marker segments and the coded data between them, up to EOI; the size its first
// frame header promises; a bound on segments and scans. Decoded by libjpeg directly, which
// refuses coded data it reports cut or corrupt and reads a progressive file's scans once.
#include <cstring>

#include "http/image/ImageFormat.h"
#include "http/image/JpegDecoder.h"

namespace telvo::image {

namespace jpeg {

constexpr const char* kName = "jpeg";

// Scans of a JPEG: each costs its decoder a pass over the image's coefficients. Encoders write at
// most a dozen.
constexpr size_t kMostScans = 32;

bool matches(const Bytes& data) {
    return data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

bool isStartOfFrame(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Where the coded data of a scan that starts at `at` ends: at the next marker that is not a
// restart marker.
size_t endOfCodedData(const Bytes& data, size_t at) {
    for (;;) {
        const void* found = std::memchr(data.data() + at, 0xFF, data.size() - at);
        if (!found) return data.size();
        at = size_t(static_cast<const uint8_t*>(found) - data.data());
        if (at + 1 >= data.size()) return data.size();
        const uint8_t next = data[at + 1];
        if (next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7)) return at;
        ++at;
    }
}

// The first frame header's size against the limit and, unless the coding is arithmetic (whose
// blank image takes a few bytes whatever its size), what the data can encode.
std::optional<Survey> refusedByFrame(const Bytes& data, size_t at, uint8_t marker, uint64_t limit,
                                     Survey& survey) {
    if (be16(data, at) < 8) return corrupt(kName, "its frame header is shorter than a size");
    const uint32_t height = be16(data, at + 3), width = be16(data, at + 5);
    const bool arithmetic = marker >= 0xC9;
    const uint64_t encodable = arithmetic ? QKImage::kMaximumPixelCount : encodableBy(data.size());
    survey.mostPixels = uint64_t(width) * height;
    return refusedBySize("image", width, height, data.size(), limit, encodable);
}

// The walk over the markers and their segments; `at` is past the marker.
Survey survey(const Bytes& data, uint64_t limit) {
    Survey survey;
    bool framed = false;
    size_t segments = 0, scans = 0, at = 2;
    for (;;) {
        // The decoder passes over stray bytes and fill bytes before a marker.
        while (at < data.size() &&
               (data[at] != 0xFF || (at + 1 < data.size() && data[at + 1] == 0xFF)))
            ++at;
        if (data.size() - at < 2) return truncated(kName, "it ends before its EOI marker");
        const uint8_t marker = data[at + 1];
        at += 2;
        if (marker == 0xD9) break;
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
        if (data.size() - at < 2 || be16(data, at) > data.size() - at)
            return truncated(kName, "it ends inside a marker segment");
        if (be16(data, at) < 2)
            return corrupt(kName, "a marker segment is shorter than its length");
        if (++segments > kMostBlocks)
            return refused("jpeg image of more than " + std::to_string(kMostBlocks) +
                           " marker segments");
        if (isStartOfFrame(marker) && !framed) {
            framed = true;
            if (auto no = refusedByFrame(data, at, marker, limit, survey)) return *no;
        }
        at += be16(data, at);
        if (marker != 0xDA) continue;
        if (++scans > kMostScans)
            return refused("jpeg image of more than " + std::to_string(kMostScans) + " scans");
        at = endOfCodedData(data, at);
    }
    survey.end = at;
    return survey;
}

Decoded decode(const Bytes& data, const Survey& survey) {
    JpegImage decoded = decodeJpeg(ByteView(data.data(), survey.end),
                                   {.mostPixels = survey.mostPixels, .mostScans = kMostScans});
    if (!decoded) return {nullptr, std::move(decoded.reason)};
    auto image = std::make_shared<QKImage>();
    image->width = decoded.width;
    image->height = decoded.height;
    image->bytesPerRow = decoded.width * 4;
    image->pixels = std::move(decoded.pixels);
    return {std::move(image), {}};
}

}  // namespace jpeg

const Format kJpeg = {jpeg::kName, jpeg::matches, jpeg::survey, jpeg::decode};

}  // namespace telvo::image
