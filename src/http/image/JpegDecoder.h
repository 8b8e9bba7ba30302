// A whole JPEG body decoded in memory by libjpeg, strictly: data that its decoder reports cut or
// corrupt is refused, never drawn with grey blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "telvosdk/Bytes.h"

namespace telvo {

struct JpegLimits {
    // The most pixels (width * height of the frame header), checked before any pixel or
    // coefficient memory is taken.
    uint64_t mostPixels = 0;
    // The most scans (SOS markers); a later one is refused before its data is read.
    size_t mostScans = 32;
};

struct JpegImage {
    enum class Status {
        Decoded,
        TooLarge,    // over mostPixels, or needs more working memory than that allows
        TooSlow,     // more than mostScans scans, or scans that pass over its blocks too often
        Truncated,   // the data ends before every coefficient of every component is coded
        Corrupt,     // corrupt coded data: the decoder said so, or left some of it unread
        Unreadable,  // the decoder gave up: a bad header, an unsupported process or colour space
    };
    Status status = Status::Unreadable;
    // From the frame header, once it has been read (also when refused); 0 before.
    size_t width = 0;
    size_t height = 0;
    // When decoded: 8-bit RGBA, opaque, rows from top to bottom, width * 4 bytes each. The same
    // colours as gdk-pixbuf's JPEG loader (libjpeg's default DCT and fancy upsampling; grey
    // spread to R, G and B; CMYK read as Adobe's inverted CMYK and multiplied out by K).
    Bytes pixels;
    // Unless decoded: why not, e.g. "truncated or corrupt jpeg image: Corrupt JPEG data:
    // premature end of data segment".
    std::string reason;

    explicit operator bool() const { return status == Status::Decoded; }
};

// Decodes the first image of `data` (SOI to EOI; bytes after EOI are not read) at full size.
// Working memory beyond the pixels is bounded by limits.mostPixels (a progressive or multi-scan
// file's coefficients, at most 8 bytes a pixel, plus 16 MiB). Time is bounded by the pixels
// (the work that does not depend on what the coded data holds, counted from the frame's and
// each scan's header and bounded in proportion to the pixels: a scan past the bound is refused
// before its data is read) and by the data's size. Thread-safe: each call has its own decoder.
JpegImage decodeJpeg(ByteView data, const JpegLimits& limits);

}  // namespace telvo
