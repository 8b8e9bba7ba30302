#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "telvosdk/Bytes.h"
#include "telvosdk/Export.h"

namespace telvo {

// A decoded image: a plain bitmap of 8-bit RGBA pixels with straight (not premultiplied) alpha,
// rows from top to bottom, each row `bytesPerRow` bytes long (width * 4; no padding). An image
// that has no alpha of its own is opaque (alpha 255). `scale` is the number of pixels per
// point: the image's size in points is width / scale by height / scale.
struct TELVO_EXPORT QKImage {
    // The largest image decoded, in pixels (width * height): 64 Mi pixels, e.g. 8192 x 8192,
    // 256 MiB of RGBA. Larger images (for a GIF: all its frames together) are refused from
    // their headers, before any pixel memory is allocated; so are truncated or header-inflated
    // images, whose headers claim more pixels than their data can encode (the data's size
    // bounds them in every format but TIFF and arithmetic-coded JPEG, whose codings have no
    // useful limit). While it decodes, an image within the bound takes up to about three times
    // its bitmap (the decoder's own buffers, then the copy).
    static constexpr uint64_t kMaximumPixelCount = uint64_t(64) << 20;

    size_t width = 0;   // in pixels
    size_t height = 0;  // in pixels
    double scale = 1.0;
    size_t bytesPerRow = 0;
    Bytes pixels;

    // Decodes PNG, JPEG, GIF (its first frame), TIFF, ICO/CUR, BMP or XBM data, whichever the
    // bytes are, at scale 1. Decodes synchronously on the calling thread, under one lock that
    // every decode of the process shares; callable from any thread. Null for data that is none
    // of these formats, is truncated or corrupt, claims more pixels than it can encode, or is
    // larger than kMaximumPixelCount; then *reason (when given) says why.
    static std::shared_ptr<QKImage> af_safeImageWithData(const Bytes& data,
                                                         std::string* reason = nullptr);
};

}  // namespace telvo
