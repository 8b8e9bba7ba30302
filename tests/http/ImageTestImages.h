#pragma once

// Small images of every decoded format, made here: with gdk-pixbuf's own savers where it has
// one (PNG, JPEG, BMP, ICO, TIFF), byte by byte where it has none (GIF, XBM). Each is 5 x 3
// pixels, its top-left pixel kCorner and the others kRest (JPEG, lossy: kCorner everywhere;
// XBM, two colours: black top-left on white). Further below: larger images whose data spans
// many rows, and bodies shaped to make a decoder slow.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "telvosdk/Bytes.h"
#include "telvosdk/QKImage.h"

namespace telvo::test::images {

using Rgba = std::array<uint8_t, 4>;
inline constexpr size_t kWidth = 5, kHeight = 3;
inline constexpr Rgba kCorner{200, 30, 40, 255};
inline constexpr Rgba kRest{20, 120, 220, 255};

// "decoded", or the reason the decoder gives for refusing the body.
inline std::string outcomeOf(const Bytes& body) {
    std::string reason;
    if (QKImage::af_safeImageWithData(body, &reason)) return "decoded";
    return reason.empty() ? "refused without a reason" : reason;
}

inline Bytes saved(const char* type) {
    // JPEG has no alpha and is lossy: one opaque colour all over.
    const bool jpeg = std::strcmp(type, "jpeg") == 0;
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, !jpeg, 8, kWidth, kHeight);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf), channels = jpeg ? 3 : 4;
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (size_t y = 0; y < kHeight; ++y)
        for (size_t x = 0; x < kWidth; ++x)
            std::memcpy(pixels + y * stride + x * channels,
                        (jpeg || (x == 0 && y == 0) ? kCorner : kRest).data(), channels);
    gchar* buffer = nullptr;
    gsize size = 0;
    if (jpeg)
        gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, nullptr, "quality", "100", nullptr);
    else
        gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, nullptr, nullptr);
    Bytes out(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return out;
}

// A GIF with a two-colour table (kRest, kCorner) and frames of the 5 x 3 pixels, each pixel's
// code after a clear code so that every code stays three bits wide; its screen and its frames
// may claim other sizes.
inline Bytes gif(uint16_t width = kWidth, uint16_t height = kHeight, int frames = 1,
                 uint16_t frameWidth = kWidth, uint16_t frameHeight = kHeight) {
    Bytes out = toBytes("GIF89a");
    auto le16 = [&](uint16_t v) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    };
    le16(width);
    le16(height);
    out.insert(out.end(), {0x80, 0, 0});
    out.insert(out.end(), {kRest[0], kRest[1], kRest[2], kCorner[0], kCorner[1], kCorner[2]});
    Bytes codes;
    uint32_t bits = 0, count = 0;
    auto put = [&](uint32_t code) {
        bits |= code << count;
        for (count += 3; count >= 8; count -= 8, bits >>= 8) codes.push_back(uint8_t(bits));
    };
    for (size_t i = 0; i < kWidth * kHeight; ++i) {
        put(4);
        put(i == 0 ? 1 : 0);
    }
    put(5);
    if (count > 0) codes.push_back(uint8_t(bits));
    for (int frame = 0; frame < frames; ++frame) {
        out.push_back(0x2C);
        le16(0);
        le16(0);
        le16(frameWidth);
        le16(frameHeight);
        out.push_back(0);
        out.push_back(2);  // minimum code size: clear 4, end 5
        out.push_back(uint8_t(codes.size()));
        out.insert(out.end(), codes.begin(), codes.end());
        out.push_back(0x00);
    }
    out.push_back(0x3B);
    return out;
}

inline std::string xbmText(size_t width, size_t height) {
    return "#define t_width " + std::to_string(width) + "\n#define t_height " +
           std::to_string(height) + "\nstatic unsigned char t_bits[] = {\n  0x01, 0x00, 0x00 };\n";
}

inline Bytes xbm() {
    return toBytes(xbmText(kWidth, kHeight));
}

// The first chunk's dimensions set, with its checksum made again (PNG: IHDR).
inline Bytes pngSized(Bytes png, uint32_t width, uint32_t height) {
    for (int i = 0; i < 4; ++i) {
        png[16 + i] = uint8_t(width >> (24 - 8 * i));
        png[20 + i] = uint8_t(height >> (24 - 8 * i));
    }
    const uint32_t crc = uint32_t(crc32(0, png.data() + 12, 17));
    for (int i = 0; i < 4; ++i) png[29 + i] = uint8_t(crc >> (24 - 8 * i));
    return png;
}

// The frame header's dimensions set (JPEG: the first SOF0 marker).
inline Bytes jpegSized(Bytes jpeg, uint16_t width, uint16_t height) {
    for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = uint8_t(height >> 8), jpeg[i + 6] = uint8_t(height);
            jpeg[i + 7] = uint8_t(width >> 8), jpeg[i + 8] = uint8_t(width);
            break;
        }
    }
    return jpeg;
}

inline Bytes bmpSized(Bytes bmp, int32_t width, int32_t height) {
    for (int i = 0; i < 4; ++i) {
        bmp[18 + i] = uint8_t(uint32_t(width) >> (8 * i));
        bmp[22 + i] = uint8_t(uint32_t(height) >> (8 * i));
    }
    return bmp;
}

// A little-endian TIFF's ImageWidth and ImageLength entries set.
inline Bytes tiffSized(Bytes tiff, uint32_t width, uint32_t height) {
    auto le = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | tiff[at + i];
        return v;
    };
    const size_t ifd = le(4, 4);
    for (size_t i = 0, n = le(ifd, 2); i < n; ++i) {
        const size_t entry = ifd + 2 + 12 * i;
        const uint32_t tag = le(entry, 2), value = tag == 256 ? width : height;
        if (tag != 256 && tag != 257) continue;
        for (int b = 0; b < 4; ++b) tiff[entry + 8 + b] = uint8_t(value >> (8 * b));
    }
    return tiff;
}

inline void putLe32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
}

// A BMP whose info header claims that size.
inline Bytes bmpHeaderSized(Bytes bmp, uint32_t size) {
    putLe32(bmp, 14, size);
    return bmp;
}

// An icon whose first image is said to be at that offset.
inline Bytes icoOffset(Bytes ico, uint32_t offset) {
    putLe32(ico, 18, offset);
    return ico;
}

// An icon whose image (a BMP header after the directory) has those dimensions; an icon's
// height counts its mask, so it is twice the image's.
inline Bytes icoSized(Bytes ico, int32_t width, int32_t height) {
    const size_t at = ico[18] | (ico[19] << 8) | (ico[20] << 16) | (size_t(ico[21]) << 24);
    for (int i = 0; i < 4; ++i) {
        ico[at + 4 + i] = uint8_t(uint32_t(width) >> (8 * i));
        ico[at + 8 + i] = uint8_t(uint32_t(2 * height) >> (8 * i));
    }
    return ico;
}

// An icon whose image (a BMP header after the directory) counts that many colours in its table.
inline Bytes icoColours(Bytes ico, uint32_t colours) {
    const size_t at = ico[18] | (ico[19] << 8) | (ico[20] << 16) | (size_t(ico[21]) << 24);
    putLe32(ico, at + 32, colours);
    return ico;
}

// An icon of one entry whose image is that PNG.
inline Bytes icoOfPng(const Bytes& png) {
    Bytes ico = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 32, 0, 0, 0, 0, 0, 22, 0, 0, 0};
    putLe32(ico, 14, uint32_t(png.size()));
    ico.insert(ico.end(), png.begin(), png.end());
    return ico;
}

// Blank images coded far denser than 8 one-bit pixels a byte under deflate: a 2048 x 2048 grey
// JPEG with arithmetic coding (127 bytes) and an 8192 x 512 one-bit TIFF in CCITT group 4 fax
// coding (202 bytes), both written by libjpeg and libtiff, in hex.
inline constexpr size_t kDenseJpegWidth = 2048, kDenseJpegHeight = 2048;
inline constexpr const char* kDenseJpegHex =
    "ffd8ffe000104a46494600010100000100010000ffdb004300080606070605080707070909080a0c140d0c0b"
    "0b0c1912130f141d1a1f1e1d1a1c1c20242e2720222c231c1c2837292c30313434341f27393d38323c2e3334"
    "32ffc9000b080800080001011100ffcc000600101005ffda0008010100003f00d2b7fda9a8ffd9";
inline constexpr size_t kDenseTiffWidth = 8192, kDenseTiffHeight = 512;
inline constexpr const char* kDenseTiffHex =
    "49492a004c000000ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffff001001000a0000010300010000000020"
    "0000010103000100000000020000020103000100000001000000030103000100000004000000060103000100"
    "0000000000001101040001000000080000001501030001000000010000001601030001000000000200001701"
    "040001000000430000001c010300010000000100000000000000";

// ---- Larger images: their data spans many rows, so that a cut lands inside it.

// A pixel of the pattern the larger images show: each of its channels differs from its neighbours'.
inline Rgba patternAt(size_t x, size_t y) {
    return {uint8_t(x * 37 + y * 11), uint8_t(y * 53 + x * x), uint8_t((x ^ y) * 29), 255};
}

// The pattern, width x height, saved by gdk-pixbuf's saver of that type (JPEG and BMP without
// alpha, since they have none).
inline Bytes savedPattern(const char* type, size_t width, size_t height) {
    const bool alpha = std::strcmp(type, "jpeg") != 0 && std::strcmp(type, "bmp") != 0;
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, int(width), int(height));
    const int stride = gdk_pixbuf_get_rowstride(pixbuf), channels = alpha ? 4 : 3;
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x)
            std::memcpy(pixels + y * stride + x * channels, patternAt(x, y).data(), channels);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, nullptr, nullptr);
    Bytes out(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return out;
}

inline void putBe32(Bytes& out, uint32_t value) {
    for (int shift : {24, 16, 8, 0}) out.push_back(uint8_t(value >> shift));
}

inline void pngChunk(Bytes& png, const char* type, const Bytes& payload) {
    putBe32(png, uint32_t(payload.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), payload.begin(), payload.end());
    putBe32(png, uint32_t(crc32(0, png.data() + start, uInt(png.size() - start))));
}

// The PNG with `count` chunks of that type and payload put in at `at` (33: after its IHDR).
inline Bytes pngWithChunks(const Bytes& png, size_t at, const char* type, const Bytes& payload,
                           size_t count) {
    Bytes out(png.begin(), png.begin() + at);
    for (size_t i = 0; i < count; ++i) pngChunk(out, type, payload);
    out.insert(out.end(), png.begin() + at, png.end());
    return out;
}

// A zTXt chunk's payload: the keyword "k" and `size` letters of text, deflated.
inline Bytes compressedText(size_t size) {
    const Bytes text(size, 'a');
    uLongf length = compressBound(uLong(text.size()));
    Bytes payload = {'k', 0, 0};
    payload.resize(payload.size() + length);
    compress2(payload.data() + 3, &length, text.data(), uLong(text.size()), 9);
    payload.resize(3 + length);
    return payload;
}

// The bytes the image data of a grey 8-bit PNG inflates to, interlaced or not; an interlaced
// one's sides are multiples of 8, so that each of its seven passes takes every n-th column of
// every m-th row.
inline size_t greyPngDataBytes(size_t width, size_t height, bool interlaced) {
    if (!interlaced) return height * (width + 1);
    static constexpr size_t kEvery[][2] = {{8, 8}, {8, 8}, {4, 8}, {4, 4}, {2, 4}, {2, 2}, {1, 2}};
    size_t total = 0;
    for (const auto& [columns, rows] : kEvery) total += height / rows * (width / columns + 1);
    return total;
}

// A grey 8-bit PNG written chunk by chunk, whose zlib stream holds the first `dataBytes` of its
// image data (every row's filter byte 0, its grey values a pattern), then IEND.
inline Bytes greyPng(size_t width, size_t height, bool interlaced, size_t dataBytes) {
    Bytes header;
    putBe32(header, uint32_t(width));
    putBe32(header, uint32_t(height));
    header.insert(header.end(), {8, 0, 0, 0, uint8_t(interlaced)});
    Bytes raw(dataBytes);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i % (width + 1) ? i * 7 : 0);
    if (interlaced) raw.assign(dataBytes, 0);  // passes of other lengths: all filter 0, black
    uLongf size = compressBound(uLong(raw.size()));
    Bytes zlib(size);
    compress2(zlib.data(), &size, raw.data(), uLong(raw.size()), 9);
    zlib.resize(size);
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    pngChunk(png, "IHDR", header);
    pngChunk(png, "IDAT", zlib);
    pngChunk(png, "IEND", {});
    return png;
}

inline Bytes greyPng(size_t width, size_t height, bool interlaced) {
    return greyPng(width, height, interlaced, greyPngDataBytes(width, height, interlaced));
}

// An interlaced 64 x 64 grey PNG whose zlib stream, left open, holds half its image data before
// its IEND; after it come bytes that read as one more IDAT chunk going on with the stream, the
// chunk's length and the block of stored data it starts both running past the body's end.
inline Bytes pngStreamGoingOnPastIend() {
    const size_t half = greyPngDataBytes(64, 64, true) / 2;
    const Bytes whole = greyPng(64, 64, true);
    Bytes png(whole.begin(), whole.begin() + 33);  // the signature and IHDR
    // A zlib header, then a stored block of zeros that is not the last.
    Bytes stream = {
        0x78, 0x01, 0x00, uint8_t(half), uint8_t(half >> 8), uint8_t(~half), uint8_t(~half >> 8)};
    stream.resize(stream.size() + half);
    pngChunk(png, "IDAT", stream);
    pngChunk(png, "IEND", {});
    putBe32(png, 0x7FFFFFFF);
    png.insert(png.end(), {'I', 'D', 'A', 'T', 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00});
    return png;
}

// GIF's LZW coding of colour indices, with codes that grow to 12 bits and a clear code when the
// table is full.
inline Bytes lzw(const std::vector<uint8_t>& indices, int minimumCodeSize) {
    const uint32_t clear = 1u << minimumCodeSize, end = clear + 1;
    // The code of a string and one more index, stamped with the table's generation: a clear
    // makes a new generation instead of emptying the table.
    std::vector<uint32_t> table(4096 * 256, 0);
    uint32_t generation = 1, next = end + 1, bits = 0;
    int width = minimumCodeSize + 1, count = 0;
    Bytes out;
    auto put = [&](uint32_t code) {
        bits |= code << count;
        for (count += width; count >= 8; count -= 8, bits >>= 8) out.push_back(uint8_t(bits));
    };
    put(clear);
    uint32_t prefix = indices[0];
    for (size_t i = 1; i < indices.size(); ++i) {
        uint32_t& known = table[prefix * 256 + indices[i]];
        if (known >> 12 == generation) {
            prefix = known & 4095;
            continue;
        }
        put(prefix);
        if (next < 4096) {
            known = generation << 12 | next++;
            if (next > (1u << width) && width < 12) ++width;
        } else {
            put(clear);
            ++generation;
            next = end + 1;
            width = minimumCodeSize + 1;
        }
        prefix = indices[i];
    }
    put(prefix);
    put(end);
    if (count > 0) out.push_back(uint8_t(bits));
    return out;
}

// The colour of index i in the 16-colour table of patternGif.
inline Rgba gifColour(uint8_t i) {
    return {uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i * 5), 255};
}

inline uint8_t gifIndexAt(size_t x, size_t y) {
    return uint8_t((x * 7 + y * 13 + x * y) % 16);
}

// How a one-frame GIF of gifIndexAt is laid out: its screen, its frame's place and size, and
// what its header says about the frame.
struct GifLayout {
    size_t screenWidth = 0, screenHeight = 0;
    size_t left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    bool localTable = false;  // the frame's own table, gifColour in reverse order, as well
    int transparent = -1;     // an index made transparent by a graphic control extension
    uint8_t background = 0;
    size_t colours = 16;    // in each table: a power of two from 2 to 256
    size_t subBlock = 255;  // the bytes of LZW data in each sub-block
    uint8_t (*indexAt)(size_t x, size_t y) = gifIndexAt;
};

// The frame's rows in the order its data holds them: interlaced, every 8th from row 0, every 8th
// from row 4, every 4th from row 2, then every other from row 1.
inline std::vector<size_t> gifRowOrder(size_t height, bool interlaced) {
    std::vector<size_t> rows;
    if (!interlaced) {
        for (size_t y = 0; y < height; ++y) rows.push_back(y);
        return rows;
    }
    static constexpr size_t kPasses[][2] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
    for (const auto& [first, step] : kPasses)
        for (size_t y = first; y < height; y += step) rows.push_back(y);
    return rows;
}

inline void putGifTable(Bytes& out, size_t colours, bool reversed) {
    for (size_t i = 0; i < colours; ++i) {
        const Rgba colour = gifColour(uint8_t(reversed ? colours - 1 - i : i));
        out.insert(out.end(), colour.begin(), colour.begin() + 3);
    }
}

// A GIF of that layout, its frame's pixels gifIndexAt (modulo the table's colours) of the
// frame's own coordinates, its LZW data in sub-blocks.
inline Bytes layoutGif(const GifLayout& layout) {
    Bytes out = toBytes("GIF89a");
    auto le16 = [&](size_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    int bits = 1;
    while ((size_t(1) << bits) < layout.colours) ++bits;
    le16(layout.screenWidth);
    le16(layout.screenHeight);
    out.insert(out.end(), {uint8_t(0xF0 | (bits - 1)), layout.background, 0});
    putGifTable(out, layout.colours, false);
    if (layout.transparent >= 0)
        out.insert(out.end(), {0x21, 0xF9, 4, 1, 0, 0, uint8_t(layout.transparent), 0});
    out.push_back(0x2C);
    for (size_t v : {layout.left, layout.top, layout.width, layout.height}) le16(v);
    out.push_back(
        uint8_t((layout.localTable ? 0x80 | (bits - 1) : 0) | (layout.interlaced ? 0x40 : 0)));
    if (layout.localTable) putGifTable(out, layout.colours, true);
    const int codeSize = std::max(bits, 2);
    out.push_back(uint8_t(codeSize));
    std::vector<uint8_t> indices;
    for (size_t y : gifRowOrder(layout.height, layout.interlaced))
        for (size_t x = 0; x < layout.width; ++x)
            indices.push_back(uint8_t(layout.indexAt(x, y) % layout.colours));
    const Bytes codes = lzw(indices, codeSize);
    for (size_t at = 0; at < codes.size(); at += layout.subBlock) {
        const size_t n = std::min(layout.subBlock, codes.size() - at);
        out.push_back(uint8_t(n));
        out.insert(out.end(), codes.begin() + at, codes.begin() + at + n);
    }
    out.insert(out.end(), {0x00, 0x3B});
    return out;
}

// A one-frame GIF of 16 colours (gifColour of gifIndexAt), its LZW data in sub-blocks of 255
// bytes.
inline Bytes patternGif(size_t width, size_t height) {
    return layoutGif(
        {.screenWidth = width, .screenHeight = height, .width = width, .height = height});
}

// An 8-bit run-length coded BMP of two colours (index 0 red, 1 blue) with that run data.
inline Bytes rleBmp(int32_t width, int32_t height, const Bytes& runs) {
    Bytes bmp(62, 0);
    bmp[0] = 'B', bmp[1] = 'M';
    putLe32(bmp, 10, 62);
    putLe32(bmp, 14, 40);
    putLe32(bmp, 18, uint32_t(width));
    putLe32(bmp, 22, uint32_t(height));
    bmp[26] = 1, bmp[28] = 8, bmp[30] = 1;
    putLe32(bmp, 34, uint32_t(runs.size()));
    putLe32(bmp, 46, 2);
    bmp[56] = 255, bmp[58] = 255;  // blue, green, red, 0: red, then blue
    bmp.insert(bmp.end(), runs.begin(), runs.end());
    putLe32(bmp, 2, uint32_t(bmp.size()));
    return bmp;
}

// A BMP whose info header says how many colours its table holds.
inline Bytes bmpColours(Bytes bmp, uint32_t colours) {
    putLe32(bmp, 46, colours);
    return bmp;
}

// Rows of 8 pixels of index 1, each ended; the last ends the bitmap.
inline Bytes rleRows(int rows) {
    Bytes runs;
    for (int i = 0; i < rows; ++i) runs.insert(runs.end(), {8, 1, 0, uint8_t(i + 1 == rows)});
    return runs;
}

inline Bytes xbmPattern(size_t width, size_t height) {
    std::string text = "#define p_width " + std::to_string(width) + "\n#define p_height " +
                       std::to_string(height) + "\nstatic unsigned char p_bits[] = {";
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < (width + 7) / 8 * height; ++i) {
        const uint8_t v = uint8_t(i * 29);
        text += std::string(i == 0   ? "\n  "
                            : i % 12 ? ", "
                                     : ",\n  ") +
                "0x" + kHex[v >> 4] + kHex[v & 15];
    }
    return toBytes(text + " };\n");
}

// ---- Bodies shaped to make a decoder slow, around a small whole image.

// gif() with that many empty comment blocks before its first frame.
inline Bytes gifWithComments(size_t blocks) {
    const Bytes plain = gif();
    const size_t frame = 13 + 6;  // past the screen and its two colours
    Bytes out(plain.begin(), plain.begin() + frame);
    out.reserve(plain.size() + 3 * blocks);
    for (size_t i = 0; i < blocks; ++i) out.insert(out.end(), {0x21, 0xFE, 0x00});
    out.insert(out.end(), plain.begin() + frame, plain.end());
    return out;
}

// A square two-colour GIF whose LZW data puts a clear code before every pixel.
inline Bytes gifClearedEveryPixel(uint16_t side) {
    Bytes out = toBytes("GIF89a");
    auto le16 = [&](uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    le16(side);
    le16(side);
    out.insert(out.end(), {0x80, 0, 0});
    out.insert(out.end(), {kRest[0], kRest[1], kRest[2], kCorner[0], kCorner[1], kCorner[2]});
    out.push_back(0x2C);
    for (uint16_t v : {uint16_t(0), uint16_t(0), side, side}) le16(v);
    out.insert(out.end(), {0, 2});  // minimum code size: clear 4, end 5, three bits a code
    Bytes codes;
    uint32_t bits = 0, count = 0;
    auto put = [&](uint32_t code) {
        bits |= code << count;
        for (count += 3; count >= 8; count -= 8, bits >>= 8) codes.push_back(uint8_t(bits));
    };
    for (size_t i = 0; i < size_t(side) * side; ++i) {
        put(4);
        put(0);
    }
    put(5);
    if (count > 0) codes.push_back(uint8_t(bits));
    for (size_t at = 0; at < codes.size(); at += 255) {
        const size_t n = std::min<size_t>(255, codes.size() - at);
        out.push_back(uint8_t(n));
        out.insert(out.end(), codes.begin() + std::ptrdiff_t(at),
                   codes.begin() + std::ptrdiff_t(at + n));
    }
    out.insert(out.end(), {0x00, 0x3B});
    return out;
}

// A JPEG with that many empty marker segments (COM 0xFE, APP1 0xE1 ...) after its SOI.
inline Bytes jpegWithSegments(const Bytes& jpeg, size_t segments, uint8_t marker) {
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    out.reserve(jpeg.size() + 4 * segments);
    for (size_t i = 0; i < segments; ++i) out.insert(out.end(), {0xFF, marker, 0x00, 0x02});
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// A JPEG whose scan (its SOS segment and coded data) comes `scans` times.
inline Bytes jpegWithScans(const Bytes& jpeg, size_t scans) {
    size_t sos = 2;
    while (sos + 1 < jpeg.size() && !(jpeg[sos] == 0xFF && jpeg[sos + 1] == 0xDA)) ++sos;
    Bytes out(jpeg.begin(), jpeg.begin() + sos);
    for (size_t i = 0; i < scans; ++i) out.insert(out.end(), jpeg.begin() + sos, jpeg.end() - 2);
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

}  // namespace telvo::test::images
