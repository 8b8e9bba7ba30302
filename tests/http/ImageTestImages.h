#pragma once

// Small images of every decoded format, made here: with gdk-pixbuf's own savers where it has
// one (PNG, JPEG, BMP, ICO, TIFF), byte by byte where it has none (GIF, XBM). Each is 5 x 3
// pixels, its top-left pixel kCorner and the others kRest (JPEG, lossy: kCorner everywhere;
// XBM, two colours: black top-left on white).
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "telvosdk/Bytes.h"

namespace telvo::test::images {

using Rgba = std::array<uint8_t, 4>;
inline constexpr size_t kWidth = 5, kHeight = 3;
inline constexpr Rgba kCorner{200, 30, 40, 255};
inline constexpr Rgba kRest{20, 120, 220, 255};

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

}  // namespace telvo::test::images
