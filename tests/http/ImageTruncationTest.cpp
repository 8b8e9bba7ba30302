#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/ImageTestImages.h"
#include "telvosdk/QKImage.h"

namespace telvo {
namespace {

namespace images = test::images;

Bytes cut(const Bytes& whole, size_t size) {
    return Bytes(whole.begin(), whole.begin() + std::min(size, whole.size()));
}

struct CutSample {
    const char* name;
    Bytes whole;
    size_t width, height;
    std::vector<size_t> cuts;  // after the header, inside the data, just before the end marker
    std::string reason;        // what a refusal of a cut says
};

std::vector<CutSample> cutSamples() {
    const Bytes png = images::savedPattern("png", 64, 64),
                jpeg = images::savedPattern("jpeg", 64, 64), gif = images::patternGif(64, 64),
                tiff = images::savedPattern("tiff", 64, 64),
                ico = images::savedPattern("ico", 48, 48),
                bmp = images::savedPattern("bmp", 64, 64),
                interlaced = images::greyPng(64, 64, true),
                rle = images::rleBmp(8, 6, images::rleRows(6)), xbm = images::xbmPattern(64, 64);
    return {
        {"PNG",
         png,
         64,
         64,
         {33, png.size() / 2, png.size() - 12, png.size() - 1},
         "truncated png"},
        {"interlaced PNG",
         interlaced,
         64,
         64,
         {33, interlaced.size() / 2, interlaced.size() - 12},
         "truncated png"},
        {"JPEG",
         jpeg,
         64,
         64,
         {20, jpeg.size() / 2, jpeg.size() - 2, jpeg.size() - 1},
         "truncated jpeg"},
        {"GIF", gif, 64, 64, {13 + 48, gif.size() / 2, gif.size() - 2}, "truncated gif"},
        {"TIFF", tiff, 64, 64, {8, tiff.size() / 2, tiff.size() - 1}, "truncated tiff"},
        {"ICO", ico, 48, 48, {22, ico.size() / 2, ico.size() - 1}, "truncated"},
        // An uncompressed BMP short of rows claims more pixels than its bytes hold.
        {"BMP", bmp, 64, 64, {54, bmp.size() / 2, bmp.size() - 1}, "is more than its"},
        {"run-length BMP", rle, 8, 6, {30, 62, 62 + 12, rle.size() - 2}, "truncated"},
        {"XBM", xbm, 64, 64, {40, xbm.size() / 2, xbm.size() - 3}, "truncated xbm"},
    };
}

// Every format cut short, whether inside its header, its data or just before its end marker,
// gives no image and says so; the whole image decodes, also with bytes after its end.
TEST(ImageTruncation, EveryFormatCutShortIsRefused) {
    for (const auto& s : cutSamples()) {
        SCOPED_TRACE(s.name);
        auto image = QKImage::af_safeImageWithData(s.whole);
        ASSERT_TRUE(image) << images::outcomeOf(s.whole);
        EXPECT_EQ(image->width, s.width);
        EXPECT_EQ(image->height, s.height);
        Bytes trailing = s.whole;
        trailing.insert(trailing.end(), 300, 0xA5);
        EXPECT_EQ(images::outcomeOf(trailing), "decoded");
        for (size_t size : s.cuts) {
            const std::string reason = images::outcomeOf(cut(s.whole, size));
            EXPECT_NE(reason.find(s.reason), std::string::npos)
                << "cut at " << size << " of " << s.whole.size() << ": " << reason;
        }
    }
}

// Every prefix of a small PNG, JPEG and GIF, from the first byte of image data on, is refused
// (the decoders took most of them for whole images); a GIF lacks only its trailer at the last.
TEST(ImageTruncation, EveryPrefixOfASmallImageIsRefused) {
    const Bytes gif = images::gif();
    for (const auto& [whole, firstWhole] :
         {std::pair{images::saved("png"), images::saved("png").size()},
          std::pair{images::saved("jpeg"), images::saved("jpeg").size()},
          std::pair{gif, gif.size() - 1}}) {
        for (size_t size = 8; size < firstWhole; ++size)
            EXPECT_EQ(QKImage::af_safeImageWithData(cut(whole, size)), nullptr) << size;
        EXPECT_NE(QKImage::af_safeImageWithData(cut(whole, firstWhole)), nullptr);
    }
}

// Containers that are whole around image data that is not: the decoders fill the rest in and
// report no error.
TEST(ImageTruncation, ImageDataShortInsideAWholeFile) {
    Bytes lzwCut = images::gif();
    lzwCut[13 + 6 + 10 + 1] = 4;  // the first frame's one sub-block: 4 of its bytes
    lzwCut.erase(lzwCut.begin() + 13 + 6 + 10 + 2 + 4, lzwCut.end() - 2);
    const Bytes jpeg = images::savedPattern("jpeg", 64, 64);
    Bytes jpegCutInScan = cut(jpeg, jpeg.size() - 200);  // its scan's data: the last 2.4 KB
    jpegCutInScan.insert(jpegCutInScan.end(), {0xFF, 0xD9});
    const struct {
        const char* name;
        Bytes body;
        std::string reason;
    } cases[] = {
        {"PNG whose stream holds 10 of its 64 rows", images::greyPng(64, 64, false, 10 * 65),
         "truncated png image: 10 of 64 rows"},
        {"interlaced PNG whose stream holds half its passes",
         images::greyPng(64, 64, true, images::greyPngDataBytes(64, 64, true) / 2),
         "truncated png image: its interlaced image data ends early"},
        {"interlaced PNG whose stream goes on past its IEND", images::pngStreamGoingOnPastIend(),
         "truncated png image: its interlaced image data ends early"},
        {"GIF whose LZW codes stop early", lzwCut, "truncated gif image: the data of its first"},
        {"JPEG cut inside its scan, its EOI put back", jpegCutInScan,
         "truncated or corrupt jpeg image"},
        {"run-length BMP without its last row's end",
         cut(images::rleBmp(8, 6, images::rleRows(6)), 62 + 22),
         "truncated bmp image: 5 of 6 rows"},
        {"run-length BMP ending early with its end code", images::rleBmp(8, 6, images::rleRows(3)),
         "decoded"},
        {"whole PNG", images::greyPng(64, 64, false), "decoded"},
        {"whole interlaced PNG", images::greyPng(64, 64, true), "decoded"},
    };
    for (const auto& c : cases) {
        const std::string reason = images::outcomeOf(c.body);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.name << ": " << reason;
    }
}

// A GIF's first frame decodes whatever follows it: a trailer or none, later frames cut short.
TEST(ImageTruncation, GifFirstFrameDecodesWhateverFollows) {
    const Bytes threeFrames = images::gif(images::kWidth, images::kHeight, 3);
    for (const Bytes& body : {cut(images::gif(), images::gif().size() - 1),
                              cut(threeFrames, threeFrames.size() - 10)}) {
        auto image = QKImage::af_safeImageWithData(body);
        ASSERT_TRUE(image) << images::outcomeOf(body);
        const uint8_t* corner = image->pixels.data();
        EXPECT_EQ((images::Rgba{corner[0], corner[1], corner[2], corner[3]}), images::kCorner);
    }
    // The LZW codes of a larger frame grow to twelve bits and clear the table: every pixel
    // decodes to its colour.
    auto image = QKImage::af_safeImageWithData(images::patternGif(64, 64));
    ASSERT_TRUE(image);
    for (size_t y : {0, 31, 63}) {
        for (size_t x : {0, 17, 63}) {
            const uint8_t* p = image->pixels.data() + y * image->bytesPerRow + x * 4;
            EXPECT_EQ((images::Rgba{p[0], p[1], p[2], p[3]}),
                      images::gifColour(images::gifIndexAt(x, y)))
                << x << "," << y;
        }
    }
}

}  // namespace
}  // namespace telvo
