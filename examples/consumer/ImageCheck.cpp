// Decodes a PNG made here, in memory, with the library's image decoder.
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "ConsumerChecks.h"
#include "telvosdk/TelvoSDK.h"

namespace {

using telvo::Bytes;

uint32_t crc32Of(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

void put32(Bytes& out, uint32_t v) {
    for (int shift : {24, 16, 8, 0}) out.push_back(uint8_t(v >> shift));
}

void chunk(Bytes& png, const char* type, const Bytes& payload) {
    put32(png, uint32_t(payload.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), payload.begin(), payload.end());
    put32(png, crc32Of(png.data() + start, png.size() - start));
}

// A 2 x 2 RGBA image, its rows stored uncompressed in one deflate block: red, green / blue, and
// white at half opacity.
Bytes smallPng() {
    const Bytes rows = {0, 255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 255, 255, 255, 255, 255, 128};
    Bytes header;
    put32(header, 2);
    put32(header, 2);
    header.insert(header.end(), {8, 6, 0, 0, 0});
    Bytes zlib = {0x78, 0x01, 0x01, uint8_t(rows.size()), 0, uint8_t(~rows.size()), 0xFF};
    zlib.insert(zlib.end(), rows.begin(), rows.end());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : rows) a = (a + byte) % 65521, b = (b + a) % 65521;
    put32(zlib, (b << 16) | a);
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", zlib);
    chunk(png, "IEND", {});
    return png;
}

const ConsumerCheck imageCheck("image decoding", [](const char*) {
    auto image = telvo::QKImage::af_safeImageWithData(smallPng());
    std::string reason;
    auto refused = telvo::QKImage::af_safeImageWithData(Bytes{'<', 's', 'v', 'g'}, &reason);
    if (!image || refused || reason.empty()) return false;
    const uint8_t* last = image->pixels.data() + image->bytesPerRow + 4;
    std::printf("consumer: image %zux%zu at scale %.0f, last pixel %d,%d,%d,%d\n", image->width,
                image->height, image->scale, last[0], last[1], last[2], last[3]);
    return image->width == 2 && image->height == 2 && last[3] == 128;
});

}  // namespace
