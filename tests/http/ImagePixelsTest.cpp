#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "http/ImageTestImages.h"
#include "telvosdk/QKImage.h"

namespace telvo {
namespace {

namespace images = test::images;

// FNV-1a over the size and the pixels.
uint64_t checksumOf(const QKImage& image) {
    uint64_t hash = 0xcbf29ce484222325u;
    auto add = [&](uint8_t byte) { hash = (hash ^ byte) * 0x100000001b3u; };
    for (uint64_t v : {uint64_t(image.width), uint64_t(image.height), uint64_t(image.bytesPerRow)})
        for (int i = 0; i < 8; ++i) add(uint8_t(v >> (8 * i)));
    for (uint8_t byte : image.pixels) add(byte);
    return hash;
}

images::GifLayout gifLayout(size_t width, size_t height) {
    return {.screenWidth = width, .screenHeight = height, .width = width, .height = height};
}

images::GifLayout withFrame(images::GifLayout layout, size_t left, size_t top, size_t width,
                            size_t height) {
    layout.left = left, layout.top = top, layout.width = width, layout.height = height;
    return layout;
}

struct Pinned {
    const char* name;
    Bytes body;
    uint64_t checksum;  // of the pixels every earlier decoder gave
};

std::vector<Pinned> pinnedImages() {
    images::GifLayout interlaced = gifLayout(37, 29), transparent = gifLayout(33, 20),
                      local = gifLayout(20, 12), both = gifLayout(40, 40),
                      twoColours = gifLayout(9, 7), full = gifLayout(64, 64);
    interlaced.interlaced = true;
    transparent.transparent = 3;
    local.localTable = true;
    both = withFrame(both, 5, 7, 21, 17);
    both.interlaced = both.localTable = true, both.transparent = 0, both.background = 2;
    twoColours.colours = 2;
    full.colours = 256;
    return {
        {"PNG, RGBA", images::savedPattern("png", 64, 64), 0x5596df9654be5f2a},
        {"PNG, grey, interlaced", images::greyPng(64, 64, true), 0xa0afef208f1378aa},
        {"PNG, grey", images::greyPng(40, 24, false), 0xc37240c22d8f6be5},
        {"JPEG", images::savedPattern("jpeg", 64, 64), 0x5829eedc0dfaa6c6},
        {"JPEG, 5 x 3", images::saved("jpeg"), 0x2e829f75217ef68f},
        {"TIFF", images::savedPattern("tiff", 64, 64), 0x5596df9654be5f2a},
        {"ICO", images::savedPattern("ico", 48, 48), 0xe9f20756f6f2d845},
        {"BMP", images::savedPattern("bmp", 64, 64), 0x5596df9654be5f2a},
        {"BMP, run-length", images::rleBmp(8, 6, images::rleRows(6)), 0xf3743e4d81c37b8b},
        {"XBM", images::xbmPattern(64, 64), 0x54ed08d5d9fd70ea},
        {"GIF, 5 x 3", images::gif(), 0xf6ed8a1e7aa64b14},
        {"GIF, 16 colours", images::patternGif(64, 64), 0x7f1b8f853eab7caa},
        {"GIF, 256 colours", images::layoutGif(full), 0x7f1b8f853eab7caa},
        {"GIF, 2 colours", images::layoutGif(twoColours), 0x4702ce1bd65707d2},
        {"GIF, interlaced", images::layoutGif(interlaced), 0xadc385ec6f480ab9},
        {"GIF, transparent index", images::layoutGif(transparent), 0x6dcd4fcf81cbeb37},
        {"GIF, local colour table", images::layoutGif(local), 0x251c9894482de091},
        {"GIF, a frame inside its screen, interlaced, transparent, its own table",
         images::layoutGif(both), 0x29e95f8e4f8b7ad5},
        {"GIF, a frame at the screen's corner",
         images::layoutGif(withFrame(gifLayout(30, 30), 20, 25, 10, 5)), 0x928a5bb628bd9886},
        {"GIF, a frame reaching past its screen",
         images::layoutGif(withFrame(gifLayout(20, 20), 10, 12, 20, 20)), 0x60d3a9a6d6aad485},
        {"GIF, a frame larger than its screen",
         images::layoutGif(withFrame(gifLayout(8, 8), 0, 0, 16, 12)), 0x3503298c47ff4d25},
    };
}

// Every whole image of every format decodes to the pixels it always did, whichever decoder
// reads it.
TEST(ImagePixels, WholeImagesDecodeToTheirPinnedPixels) {
    for (const auto& c : pinnedImages()) {
        auto image = QKImage::af_safeImageWithData(c.body);
        ASSERT_TRUE(image) << c.name << ": " << images::outcomeOf(c.body);
        EXPECT_EQ(checksumOf(*image), c.checksum) << c.name;
    }
}

}  // namespace
}  // namespace telvo
