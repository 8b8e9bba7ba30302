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
    // The largest image decoded by default, in pixels (width * height): 64 Mi pixels, e.g.
    // 8192 x 8192, 256 MiB of RGBA. Larger images are refused from the header that states their
    // size (PNG's IHDR, a GIF's screen and first frame, JPEG's frame header, BMP's info header,
    // every ICO/CUR entry and the header of the image it points to, TIFF's first directory, XBM's
    // defines) before the decode lock is taken and before any decoder sees the data: such a
    // refusal costs microseconds and no memory beyond the header. So are header-inflated images,
    // whose headers claim more pixels than their data can encode (the data's size bounds them in
    // every format but TIFF and arithmetic-coded JPEG, whose codings have no useful limit).
    static constexpr uint64_t kMaximumPixelCount = uint64_t(64) << 20;

    // The pixel limit of the process: kMaximumPixelCount until the app lowers it. No decoder
    // makes more pixels than the header promised: a decode takes at most about 12 bytes of memory
    // a pixel of the header's size (never more than the limit) plus twice the data's size (the
    // decoder's bitmap and working buffers, then the bitmap handed out): about 800 MB at the
    // default, 48 MiB at 4 Mi pixels. Its time is bounded by the pixels and the data's size
    // together.
    static uint64_t maximumPixelCount();
    // Sets the pixel limit for every later decode of the process; a value over
    // kMaximumPixelCount sets kMaximumPixelCount, 0 refuses every image. Callable from any thread,
    // also while other threads decode: a decode reads the limit once, when it starts.
    static void setMaximumPixelCount(uint64_t pixels);

    size_t width = 0;   // in pixels
    size_t height = 0;  // in pixels
    double scale = 1.0;
    size_t bytesPerRow = 0;
    Bytes pixels;

    // Decodes PNG, JPEG, GIF (its first frame), TIFF, ICO/CUR, BMP or XBM data, whichever the
    // bytes are, at scale 1. Decodes synchronously on the calling thread, under one lock that
    // every decode of the process shares; callable from any thread. Null for data that is none
    // of these formats, is truncated (the decoder did not read the image to its end: PNG to
    // IEND, JPEG to EOI, a GIF's first frame whole, every row) or corrupt (a JPEG's scan data
    // too, when its decoder reports it cut or corrupt), claims more pixels than it can encode,
    // is larger than maximumPixelCount(), or is built to make decoding slow (more than a few
    // thousand blocks or marker segments, a GIF frame of more than 524,288 LZW clear codes, a
    // JPEG of more than 32 scans or whose scans pass over its pixels more than about a dozen
    // times, an arithmetic-coded JPEG of more than 4 MiB); then *reason (when given) says why.
    // Bytes after the end of the image are ignored.
    static std::shared_ptr<QKImage> af_safeImageWithData(const Bytes& data,
                                                         std::string* reason = nullptr);
};

}  // namespace telvo
