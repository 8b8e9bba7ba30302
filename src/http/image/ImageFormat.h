#pragma once

// The image formats QKImage decodes, each in a file of its own: its signature, the survey of its
// headers (the sizes it promises, checked against the pixel limit and against what its bytes can
// encode, and the structure its decoder would spend time or memory on) and its decoder. A survey
// reads headers only and runs before the decode lock; the decode runs under it and never makes
// more pixels than the survey allowed.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/QKImage.h"

namespace telvo::image {

// What the bytes say before any decoder sees them.
struct Survey {
    std::string refusal;  // set: the data is refused without decoding
    size_t end = 0;       // the decoder reads the data up to here: its first image, whole
    // Ranges [first, second) before `end`, in order, that the decoder is not given.
    std::vector<std::pair<size_t, size_t>> withheld;
    uint64_t limit = 0;       // the pixel limit the decode started with
    uint64_t mostPixels = 0;  // the most the decoder may make: within the limit and the header
    size_t frame = 0;         // a GIF's first image descriptor
    int transparent = -1;     // a GIF's transparent colour index, or none
};

struct Decoded {
    std::shared_ptr<QKImage> image;
    std::string reason;  // why there is no image
};

struct Format {
    const char* name;
    // Whether the leading bytes are the format's signature.
    bool (*matches)(const Bytes& data);
    // The headers, read against the limit; no decoder sees the data.
    Survey (*survey)(const Bytes& data, uint64_t limit);
    // Under the decode lock, for a survey that did not refuse.
    Decoded (*decode)(const Bytes& data, const Survey& survey);
};

extern const Format kPng, kJpeg, kGif, kTiff, kIco, kBmp, kXbm;

// ---- Shared by the formats.

// Blocks a GIF may have before its first frame, and marker segments a JPEG may have: a few are
// usual, and the decoders spend time on each that grows with their number.
constexpr size_t kMostBlocks = 4096;

inline uint32_t le16(const Bytes& data, size_t at) {
    return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8;
}
inline uint32_t le32(const Bytes& data, size_t at) {
    return le16(data, at) | le16(data, at + 2) << 16;
}
inline uint32_t be16(const Bytes& data, size_t at) {
    return uint32_t(data[at]) << 8 | data[at + 1];
}
inline uint32_t be32(const Bytes& data, size_t at) {
    return be16(data, at) << 16 | be16(data, at + 2);
}

bool withinBound(int64_t width, int64_t height, uint64_t mostPixels);

// The most pixels `size` bytes can encode in a format whose coding is no denser than one-bit PNG
// under deflate's best ratio (every format here but TIFF and arithmetic-coded JPEG).
uint64_t encodableBy(size_t size);

// Why an image of that size is refused: no pixels, over the limit, or more than the data's
// `dataSize` bytes can encode.
std::string tooLarge(const char* what, int64_t width, int64_t height, size_t dataSize,
                     uint64_t limit);

Survey refused(std::string why);
Survey truncated(const char* format, const std::string& where);
Survey corrupt(const char* format, const std::string& what);
// A file cut short and a corrupt one look the same from their headers.
Survey pointsPastItsEnd(const char* format);
// The decoder reads the data up to `end` and makes at most `mostPixels`.
Survey readTo(size_t end, uint64_t mostPixels);

// A header's size held against the limit and the `encodable` pixels: a refusal, or none when
// the image fits.
std::optional<Survey> refusedBySize(const char* what, int64_t width, int64_t height,
                                    size_t dataSize, uint64_t limit, uint64_t encodable);

// A tight RGBA bitmap of that size, its pixels zero.
std::shared_ptr<QKImage> newImage(size_t width, size_t height);

}  // namespace telvo::image
