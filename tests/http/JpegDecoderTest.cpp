#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/JpegTestImages.h"
#include "http/image/JpegDecoder.h"

// Names of their own: a batched (unity) build compiles this file with others.
namespace telvo::jpeg_decoder_test {
namespace {

namespace jpeg = test::jpeg;
using Status = JpegImage::Status;

constexpr JpegLimits kLimits{uint64_t(64) << 20, 32};

// What gdk-pixbuf's JPEG loader makes of the body given in one write, as RGBA.
struct Reference {
    size_t width = 0, height = 0;
    Bytes pixels;
};

Reference gdkPixbufDecode(const Bytes& body) {
    Reference out;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("jpeg", nullptr);
    const bool written = gdk_pixbuf_loader_write(loader, body.data(), body.size(), nullptr);
    const bool closed = gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf) {
        out.width = size_t(gdk_pixbuf_get_width(pixbuf));
        out.height = size_t(gdk_pixbuf_get_height(pixbuf));
        const size_t channels = size_t(gdk_pixbuf_get_n_channels(pixbuf)),
                     stride = size_t(gdk_pixbuf_get_rowstride(pixbuf));
        const uint8_t* source = gdk_pixbuf_read_pixels(pixbuf);
        out.pixels.resize(out.width * out.height * 4);
        uint8_t* pixel = out.pixels.data();
        for (size_t y = 0; y < out.height; ++y) {
            const uint8_t* in = source + y * stride;
            for (size_t x = 0; x < out.width; ++x, in += channels, pixel += 4)
                pixel[0] = in[0], pixel[1] = in[1], pixel[2] = in[2], pixel[3] = 255;
        }
    }
    g_object_unref(loader);
    return out;
}

Bytes cutWithEnd(const Bytes& whole, size_t size) {
    Bytes out(whole.begin(), whole.begin() + size);
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

struct Sample {
    const char* name;
    jpeg::Shape shape;
};

std::vector<Sample> honestSamples() {
    using S = jpeg::Shape;
    return {
        {"baseline 4:2:0", S{}},
        {"baseline 4:4:4, odd size", S{.width = 37, .height = 23, .lumaH = 1, .lumaV = 1}},
        {"baseline 4:2:2", S{.width = 50, .height = 31, .lumaH = 2, .lumaV = 1}},
        {"grey", S{.width = 45, .height = 29, .input = JCS_GRAYSCALE, .lumaH = 1, .lumaV = 1}},
        {"RGB coded", S{.coded = JCS_RGB, .lumaH = 1, .lumaV = 1}},
        {"CMYK", S{.width = 40, .height = 24, .input = JCS_CMYK, .lumaH = 1, .lumaV = 1}},
        {"YCCK", S{.width = 40, .height = 24, .input = JCS_CMYK, .coded = JCS_YCCK}},
        {"one pixel", S{.width = 1, .height = 1}},
        {"restart intervals", S{.width = 70, .height = 50, .restartInterval = 2}},
        {"progressive 4:2:0", S{.width = 67, .height = 45, .progressive = true}},
        {"progressive grey",
         S{.input = JCS_GRAYSCALE, .lumaH = 1, .lumaV = 1, .progressive = true}},
        {"progressive with restarts",
         S{.width = 70, .height = 50, .progressive = true, .restartInterval = 3}},
        {"progressive, 32 scans", S{.scans = jpeg::thirtyTwoScans()}},
        {"a scan per component", S{.width = 48, .height = 40, .scans = jpeg::scanPerComponent()}},
        {"arithmetic", S{.width = 70, .height = 50, .arithmetic = true}},
        {"arithmetic progressive",
         S{.width = 70, .height = 50, .progressive = true, .arithmetic = true}},
    };
}

TEST(JpegDecoderTest, HonestImagesDecodeToGdkPixbufsPixels) {
    for (const auto& [name, shape] : honestSamples()) {
        SCOPED_TRACE(name);
        const Bytes body = jpeg::encode(shape);
        const JpegImage image = decodeJpeg(body, kLimits);
        ASSERT_EQ(image.status, Status::Decoded) << image.reason;
        const Reference reference = gdkPixbufDecode(body);
        EXPECT_EQ(image.width, size_t(shape.width));
        EXPECT_EQ(image.height, size_t(shape.height));
        ASSERT_EQ(reference.width, image.width);
        ASSERT_EQ(reference.height, image.height);
        EXPECT_TRUE(image.pixels == reference.pixels);
    }
}

// Bytes after EOI are not read; the pixel bound holds from the frame header.
TEST(JpegDecoderTest, BoundsAndEnd) {
    const Bytes body = jpeg::encode({.width = 64, .height = 48});
    Bytes trailed = body;
    trailed.insert(trailed.end(), {0x12, 0xFF, 0xD8, 0x00});
    EXPECT_EQ(decodeJpeg(trailed, kLimits).pixels, decodeJpeg(body, kLimits).pixels);

    const JpegImage atBound = decodeJpeg(body, {64 * 48, 32});
    EXPECT_EQ(atBound.status, Status::Decoded) << atBound.reason;
    const JpegImage over = decodeJpeg(body, {64 * 48 - 1, 32});
    EXPECT_EQ(over.status, Status::TooLarge);
    EXPECT_EQ(over.width, 64u);
    EXPECT_EQ(over.height, 48u);
    EXPECT_TRUE(over.pixels.empty());
    EXPECT_NE(over.reason.find("jpeg image of 64 x 48 pixels is over the bound of 3071"),
              std::string::npos)
        << over.reason;
}

// A body cut inside a scan's coded data, or between scans before every coefficient is coded,
// with EOI written after the cut: the decoder would fill the rest with zeros.
TEST(JpegDecoderTest, CutScansAreRefused) {
    using S = jpeg::Shape;
    const std::vector<Sample> samples = {
        {"baseline", S{.width = 96, .height = 64}},
        {"restart intervals", S{.width = 96, .height = 64, .restartInterval = 1}},
        {"grey", S{.width = 64, .height = 64, .input = JCS_GRAYSCALE, .lumaH = 1, .lumaV = 1}},
        {"progressive", S{.width = 96, .height = 64, .progressive = true}},
        {"progressive with restarts",
         S{.width = 96, .height = 64, .progressive = true, .restartInterval = 2}},
        {"a scan per component", S{.width = 48, .height = 40, .scans = jpeg::scanPerComponent()}},
    };
    for (const auto& [name, shape] : samples) {
        SCOPED_TRACE(name);
        const Bytes body = jpeg::encode(shape);
        const auto scans = jpeg::scanData(body);
        ASSERT_FALSE(scans.empty());
        size_t tried = 0;
        for (size_t s = 0; s < scans.size(); ++s) {
            const auto [start, end] = scans[s];
            // Every byte of a short scan, about 40 places in a longer one; and between scans.
            const size_t step = std::max<size_t>(1, (end - start) / 40);
            std::vector<size_t> cuts;
            for (size_t at = start; at < end; at += step) cuts.push_back(at);
            cuts.push_back(end - 1);
            if (s + 1 < scans.size()) cuts.push_back(end);
            for (size_t at : cuts) {
                const JpegImage image = decodeJpeg(cutWithEnd(body, at), kLimits);
                ASSERT_EQ(image.status, Status::Truncated)
                    << "cut at " << at << " in scan " << s << " [" << start << ", " << end
                    << "): " << image.reason;
                EXPECT_NE(image.reason.find("truncated"), std::string::npos) << image.reason;
                EXPECT_TRUE(image.pixels.empty());
                ++tried;
            }
        }
        EXPECT_GT(tried, 30u);
    }
}

// Coded data spoilt in place: a run of stuffed 0xFF bytes (the all-ones code no table holds), a
// restart marker out of turn, the data of a scan halved, a file that ends without EOI.
TEST(JpegDecoderTest, CorruptCodedDataIsRefused) {
    const Bytes baseline = jpeg::encode({.width = 160, .height = 120});
    const Bytes restarts = jpeg::encode({.width = 160, .height = 120, .restartInterval = 2});
    const Bytes progressive = jpeg::encode({.width = 160, .height = 120, .progressive = true});
    auto ones = [](Bytes body, double where) {
        const auto [start, end] = jpeg::scanData(body).back();
        const size_t at = start + size_t(double(end - start) * where) / 2 * 2;
        for (size_t i = at; i < std::min(at + 40, end - 1); i += 2) body[i] = 0xFF, body[i + 1] = 0;
        return body;
    };
    auto wrongRestart = [](Bytes body) {
        const auto [start, end] = jpeg::scanData(body)[0];
        for (size_t i = start; i + 1 < end; ++i) {
            if (body[i] == 0xFF && body[i + 1] == 0xD1) {
                body[i + 1] = 0xD5;
                return body;
            }
        }
        return Bytes();
    };
    auto halved = [](const Bytes& body, size_t scan) {
        const auto [start, end] = jpeg::scanData(body)[scan];
        Bytes out(body.begin(), body.begin() + (start + end) / 2);
        out.insert(out.end(), body.begin() + end, body.end());
        return out;
    };
    const struct {
        const char* name;
        Bytes body;
        Status status;
    } cases[] = {
        {"ones early in a baseline scan", ones(baseline, 0.1), Status::Corrupt},
        {"ones mid baseline scan", ones(baseline, 0.5), Status::Corrupt},
        {"ones late in a baseline scan", ones(baseline, 0.97), Status::Corrupt},
        {"ones in a progressive scan", ones(progressive, 0.5), Status::Corrupt},
        {"restart marker out of turn", wrongRestart(restarts), Status::Truncated},
        {"half a progressive scan", halved(progressive, 3), Status::Truncated},
        {"no EOI", Bytes(baseline.begin(), baseline.end() - 2), Status::Truncated},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.body.empty());
        const JpegImage image = decodeJpeg(c.body, kLimits);
        EXPECT_EQ(image.status, c.status) << image.reason;
        EXPECT_NE(image.reason.find(c.status == Status::Corrupt ? "corrupt jpeg" : "truncated"),
                  std::string::npos)
            << image.reason;
    }
}

// Progressive files of many scans: refused at the scan past 32, or at the scan whose work passes
// 12 a pixel and 256 Mi in all (64 for each block of the frame; for each scan, 16 for each block
// it covers and, for a refinement, its band's coefficients; twice that arithmetic-coded);
// refused by the pixel bound from the header; or decoded.
TEST(JpegDecoderTest, ScanBoundsOfProgressiveFiles) {
    using S = jpeg::Shape;
    const std::vector<jpeg_scan_info> script = jpeg::thirtyTwoScans();
    const struct {
        const char* name;
        S shape;
        uint64_t mostPixels;
        Status status;
        std::string reason;
    } cases[] = {
        {"33 scans", S{.scans = jpeg::thirtyTwoScans(true)}, 1 << 20, Status::TooSlow,
         "jpeg image of more than 32 scans"},
        // 39 a pixel; 8 Mi pixels may take 256 Mi: the 27th scan passes that.
        {"32 scans, 4:4:4",
         S{.width = 4096, .height = 2048, .lumaH = 1, .lumaV = 1, .scans = script, .flat = true},
         64 << 20, Status::TooSlow, "jpeg image of 4096 x 2048 pixels whose 27 scans pass over"},
        // 74 a pixel; 4 Mi pixels may take 256 Mi: the 28th scan passes that.
        {"32 scans, arithmetic",
         S{.width = 2048,
           .height = 2048,
           .lumaH = 1,
           .lumaV = 1,
           .scans = script,
           .arithmetic = true,
           .flat = true},
         64 << 20, Status::TooSlow, "jpeg image of 2048 x 2048 pixels whose 28 scans pass over"},
        {"32 scans, 4:2:0, over the pixel bound",
         S{.width = 2048, .height = 1024, .scans = script, .flat = true}, 1 << 20, Status::TooLarge,
         "jpeg image of 2048 x 1024 pixels is over the bound of 1048576"},
        // 20 a pixel, 40 Mi in all.
        {"32 scans, 4:2:0", S{.width = 2048, .height = 1024, .scans = script, .flat = true},
         2 << 20, Status::Decoded, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes body = jpeg::encode(c.shape);
        const JpegImage image = decodeJpeg(body, {c.mostPixels, 32});
        EXPECT_EQ(image.status, c.status) << image.reason;
        EXPECT_EQ(image.reason.substr(0, c.reason.size()), c.reason);
        if (c.status == Status::Decoded) {
            EXPECT_TRUE(image.pixels == gdkPixbufDecode(body).pixels);
        }
    }
}

// Some encoders pad a whole image before its end marker: that passes, with the same pixels.
TEST(JpegDecoderTest, PaddingBeforeTheEndMarkerPasses) {
    const Bytes whole = jpeg::encode({});
    Bytes padded(whole.begin(), whole.end() - 2);
    padded.insert(padded.end(), 16, uint8_t(0));
    padded.insert(padded.end(), {0xFF, 0xD9});
    const JpegImage image = decodeJpeg(padded, kLimits);
    ASSERT_EQ(image.status, Status::Decoded) << image.reason;
    EXPECT_TRUE(image.pixels == decodeJpeg(whole, kLimits).pixels);
}

// Arithmetic decoding's cost follows the coded bytes, not the pixels: a body over 4 MiB is
// refused when arithmetic-coded, and read when Huffman-coded.
TEST(JpegDecoderTest, ArithmeticCodedBodiesAreBoundedByTheirBytes) {
    for (const bool arithmetic : {true, false}) {
        SCOPED_TRACE(arithmetic ? "arithmetic" : "Huffman");
        const Bytes small = jpeg::encode({.arithmetic = arithmetic});
        Bytes body(small.begin(), small.begin() + 2);
        for (int i = 0; i < 70; ++i) {  // 70 comments of 65,535 bytes after the SOI
            body.insert(body.end(), {0xFF, 0xFE, 0xFF, 0xFF});
            body.insert(body.end(), 65533, uint8_t(' '));
        }
        body.insert(body.end(), small.begin() + 2, small.end());
        const JpegImage image = decodeJpeg(body, kLimits);
        EXPECT_EQ(image.status, arithmetic ? Status::TooSlow : Status::Decoded) << image.reason;
        if (arithmetic) {
            EXPECT_EQ(image.reason, "arithmetic-coded jpeg image of more than 4194304 bytes");
        }
    }
}

TEST(JpegDecoderTest, NotJpegData) {
    const Bytes body = jpeg::encode({});
    const struct {
        const char* name;
        Bytes body;
    } cases[] = {
        {"empty", {}},
        {"no SOI", Bytes(body.begin() + 2, body.end())},
        {"header only", Bytes(body.begin(), body.begin() + 20)},
        {"zero width",
         [&] {
             Bytes b = body;
             for (size_t i = 2; i + 9 < b.size(); ++i) {
                 if (b[i] == 0xFF && b[i + 1] == 0xC0) b[i + 7] = b[i + 8] = 0;
             }
             return b;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const JpegImage image = decodeJpeg(c.body, kLimits);
        EXPECT_FALSE(image);
        EXPECT_FALSE(image.reason.empty());
        EXPECT_TRUE(image.pixels.empty());
    }
}

}  // namespace
}  // namespace telvo::jpeg_decoder_test
