#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "http/HttpTestSupport.h"
#include "http/ImageTestImages.h"
#include "http/JpegTestImages.h"
#include "http/QKAFHTTPSessionManager.h"
#include "http/QKAFImageResponseSerializer.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/FoundationErrors.h"
#include "sim/FakeCloud.h"
#include "sim/TestSupport.h"

namespace telvo {
namespace {

namespace images = test::images;
using images::kCorner;
using images::kRest;
using images::Rgba;
using test::response;

Rgba pixelAt(const QKImage& image, size_t x, size_t y) {
    const uint8_t* p = image.pixels.data() + y * image.bytesPerRow + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

void expectNear(const Rgba& actual, const Rgba& expected, int tolerance) {
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "channel " << i;
}

struct Sample {
    const char* contentType;
    Bytes body;
    Rgba corner, last;
    int tolerance;
};

std::vector<Sample> oneOfEachType() {
    const Rgba black{0, 0, 0, 255}, white{255, 255, 255, 255};
    const Bytes bmp = images::saved("bmp"), ico = images::saved("ico");
    return {
        {"image/tiff", images::saved("tiff"), kCorner, kRest, 0},
        {"image/jpeg", images::saved("jpeg"), kCorner, kCorner, 6},
        {"image/gif", images::gif(), kCorner, kRest, 0},
        {"image/png", images::saved("png"), kCorner, kRest, 0},
        {"image/ico", ico, kCorner, kRest, 0},
        {"image/x-icon", ico, kCorner, kRest, 0},
        {"image/bmp", bmp, kCorner, kRest, 0},
        {"image/x-bmp", bmp, kCorner, kRest, 0},
        {"image/x-xbitmap", images::xbm(), black, white, 0},
        {"image/x-win-bitmap", bmp, kCorner, kRest, 0},
    };
}

std::shared_ptr<QKImage> decoded(const QKAFURLResponseSerialization& serializer,
                                 const HTTPURLResponsePtr& response, const Bytes& body,
                                 ErrorPtr* error) {
    auto object = serializer.responseObjectForResponse(response, body, error);
    return object ? object->objectAs<QKImage>() : nullptr;
}

// Each of the ten types decodes to its size and pixels, with inflation on and off, alone and
// inside a compound serializer after one that refuses images, and through a copy.
TEST(ImageSerializer, DecodesEachAcceptedType) {
    const auto samples = oneOfEachType();
    std::set<std::string> types;
    for (const auto& s : samples) types.insert(s.contentType);
    EXPECT_EQ(QKAFImageResponseSerializer::serializer()->acceptableContentTypes, types);
    for (bool inflates : {true, false}) {
        auto serializer = QKAFImageResponseSerializer::serializer();
        serializer->setAutomaticallyInflatesResponseImage(inflates);
        auto compound = QKAFCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
            {QKAFJSONResponseSerializer::serializer(), serializer});
        for (const auto& s : samples) {
            for (const auto& each :
                 {std::static_pointer_cast<QKAFURLResponseSerialization>(serializer),
                  serializer->copy(),
                  std::static_pointer_cast<QKAFURLResponseSerialization>(compound)}) {
                SCOPED_TRACE(std::string(s.contentType) + (inflates ? " inflated" : " as is"));
                ErrorPtr error;
                auto image = decoded(*each, response(200, s.contentType), s.body, &error);
                ASSERT_TRUE(image) << (error ? error->localizedDescription() : "no error");
                EXPECT_FALSE(error);
                EXPECT_EQ(image->width, images::kWidth);
                EXPECT_EQ(image->height, images::kHeight);
                EXPECT_EQ(image->scale, 1.0);
                EXPECT_EQ(image->bytesPerRow, images::kWidth * 4);
                EXPECT_EQ(image->pixels.size(), images::kWidth * images::kHeight * 4);
                expectNear(pixelAt(*image, 0, 0), s.corner, s.tolerance);
                expectNear(pixelAt(*image, 4, 2), s.last, s.tolerance);
            }
        }
    }
}

// One serializer serves several tasks at once, as on the session's processing queue.
TEST(ImageSerializer, DecodesOnSeveralThreadsAtOnce) {
    const auto samples = oneOfEachType();
    auto serializer = QKAFImageResponseSerializer::serializer();
    std::atomic<int> decodedImages{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (const auto& s : samples)
                if (decoded(*serializer, response(200, s.contentType), s.body, nullptr))
                    ++decodedImages;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(decodedImages, int(4 * samples.size()));
}

// The serializer's scale sets the point size; decoding alone gives scale 1 and straight alpha.
TEST(ImageSerializer, ScaleAndAlpha) {
    auto serializer = QKAFImageResponseSerializer::serializer();
    serializer->setImageScale(2);
    for (double unusable : {0.0, -1.0, std::nan("")}) serializer->setImageScale(unusable);
    EXPECT_EQ(serializer->imageScale, 2.0);
    auto image = decoded(*serializer, response(200, "image/png"), images::saved("png"), nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->scale, 2.0);
    EXPECT_EQ(image->width, images::kWidth);
    EXPECT_EQ(image->width / image->scale, images::kWidth / 2.0);
    EXPECT_EQ(image->height / image->scale, images::kHeight / 2.0);
    // Decoding starts no thread (GLib's included) and runs no loop: it is done on return.
    const auto threads = [] {
        auto entries = std::filesystem::directory_iterator("/proc/self/task");
        return std::distance(begin(entries), end(entries));
    };
    const auto threadsBefore = threads();
    auto direct = QKImage::af_safeImageWithData(images::saved("png"));
    EXPECT_EQ(threads(), threadsBefore);
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->scale, 1.0);

    GdkPixbuf* translucent = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 2, 2);
    gdk_pixbuf_fill(translucent, 0xC81E2880);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(translucent, &buffer, &size, "png", nullptr, nullptr);
    g_object_unref(translucent);
    auto straight = QKImage::af_safeImageWithData(Bytes(buffer, buffer + size));
    g_free(buffer);
    ASSERT_TRUE(straight);
    EXPECT_EQ(pixelAt(*straight, 1, 1), (Rgba{200, 30, 40, 128}));
}

// Untrusted bodies: refused types and statuses as every serializer refuses them, and bytes that
// do not decode (a bomb from its header, a truncated or corrupt file, a type that lies) give
// -1016 with the serializers' user info, without the pixels of the bomb ever being allocated.
TEST(ImageSerializer, RefusesHostileAndUnacceptableBodies) {
    const Bytes png = images::saved("png"), jpeg = images::saved("jpeg"), gif = images::gif();
    Bytes corrupt = png;
    corrupt[corrupt.size() - 20] ^= 0xFF;  // inside the image data: its checksum fails
    const Bytes svg =
        toBytes("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"50000\" height=\"50000\"/>");
    struct Case {
        const char* name;
        long status;
        std::optional<std::string> type;
        Bytes body;
        bool object;
        int64_t errorCode;
        std::string reason;  // in the description
    } cases[] = {
        {"refused status still decodes", 500, "image/png", png, true, -1011, ""},
        {"type outside the ten", 200, "image/webp", png, false, -1016, "content-type"},
        {"not an image type", 200, "text/html", png, false, -1016, "content-type"},
        {"empty body", 200, "image/png", {}, false, 0, ""},
        {"PNG bomb", 200, "image/png", images::pngSized(png, 50000, 50000), false, -1016,
         "50000 x 50000 pixels is over the limit"},
        {"JPEG bomb", 200, "image/jpeg", images::jpegSized(jpeg, 50000, 50000), false, -1016,
         "over the limit"},
        {"GIF bomb", 200, "image/gif", images::gif(50000, 50000), false, -1016, "over the limit"},
        {"GIF frame bomb", 200, "image/gif", images::gif(5, 3, 1, 50000, 50000), false, -1016,
         "over the limit"},
        {"GIF of many large frames", 200, "image/gif", images::gif(5, 3, 20, 4096, 4096), false,
         -1016, "4096 x 4096 pixels is more than its"},
        {"GIF frame without pixels", 200, "image/gif", images::gif(5, 3, 1, 5, 0), false, -1016,
         "without pixels"},
        {"BMP bomb", 200, "image/bmp", images::bmpSized(images::saved("bmp"), 50000, 50000), false,
         -1016, "over the limit"},
        {"TIFF bomb", 200, "image/tiff", images::tiffSized(images::saved("tiff"), 50000, 50000),
         false, -1016, "50000 x 50000 pixels is over the limit"},
        {"XBM bomb", 200, "image/x-xbitmap", toBytes(images::xbmText(2000000000, 2000000000)),
         false, -1016, "over the limit"},
        {"PNG just over the limit", 200, "image/png", images::pngSized(png, 8193, 8192), false,
         -1016, "8193 x 8192 pixels is over the limit"},
        {"TIFF just over the limit", 200, "image/tiff",
         images::tiffSized(images::saved("tiff"), 8193, 8192), false, -1016, "over the limit"},
        {"XBM whose size overflows", 200, "image/x-xbitmap",
         toBytes(images::xbmText(size_t(1) << 32, size_t(1) << 32)), false, -1016,
         "over the limit"},
        {"PNG claiming more than its bytes hold", 200, "image/png",
         images::pngSized(png, 8000, 8000), false, -1016, "8000 x 8000 pixels is more than its"},
        {"JPEG claiming more than its bytes hold", 200, "image/jpeg",
         images::jpegSized(jpeg, 8000, 8000), false, -1016, "8000 x 8000 pixels is more than its"},
        {"GIF screen claiming more than its bytes hold", 200, "image/gif", images::gif(8000, 8000),
         false, -1016, "8000 x 8000 pixels is more than its"},
        {"GIF frames claiming more than their bytes hold", 200, "image/gif",
         images::gif(5, 3, 1, 8000, 8000), false, -1016, "8000 x 8000 pixels is more than its"},
        {"BMP claiming more than its bytes hold", 200, "image/bmp",
         images::bmpSized(images::saved("bmp"), 8000, 8000), false, -1016,
         "8000 x 8000 pixels is more than its"},
        {"BMP whose rows run past its end", 200, "image/bmp",
         images::bmpSized(images::saved("bmp"), 100, 100), false, -1016,
         "100 x 100 pixels is more than its"},
        {"top-down BMP whose rows run past its end", 200, "image/bmp",
         images::bmpSized(images::saved("bmp"), 5, -4), false, -1016,
         "5 x 4 pixels is more than its"},
        {"XBM claiming more than its bytes hold", 200, "image/x-xbitmap",
         toBytes(images::xbmText(8000, 8000)), false, -1016, "more than its"},
        {"XBM just over the limit", 200, "image/x-xbitmap", toBytes(images::xbmText(8193, 8192)),
         false, -1016, "over the limit"},
        {"ICO claiming a larger image", 200, "image/x-icon",
         images::icoSized(images::saved("ico"), 8193, 8192), false, -1016,
         "icon image of 8193 x 8192 pixels is over the limit"},
        {"truncated PNG", 200, "image/png", Bytes(png.begin(), png.begin() + png.size() / 2), false,
         -1016, "truncated png"},
        {"truncated JPEG", 200, "image/jpeg", Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2),
         false, -1016, "truncated jpeg"},
        {"truncated GIF", 200, "image/gif", Bytes(gif.begin(), gif.begin() + 20), false, -1016,
         "truncated gif"},
        {"BMP header past its end", 200, "image/bmp",
         images::bmpHeaderSized(images::saved("bmp"), 0xFFFFFFD7), false, -1016, "past its end"},
        {"icon past its end", 200, "image/ico", images::icoOffset(images::saved("ico"), 0xFFFFFF00),
         false, -1016, "past its end"},
        {"corrupt PNG", 200, "image/png", corrupt, false, -1016, "unreadable png"},
        {"SVG said to be PNG", 200, "image/png", svg, false, -1016, "not an image"},
        {"HTML said to be JPEG", 200, "image/jpeg", toBytes("<html>oops</html>"), false, -1016,
         "not an image"},
        {"GIF said to be PNG decodes by its bytes", 200, "image/png", gif, true, 0, ""},
    };
    auto serializer = QKAFImageResponseSerializer::serializer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ErrorPtr error;
        auto image = decoded(*serializer, response(c.status, c.type), c.body, &error);
        EXPECT_EQ(image != nullptr, c.object);
        EXPECT_EQ(error ? error->code() : 0, c.errorCode);
        if (!error) continue;
        EXPECT_EQ(error->domain(), QKAFURLResponseSerializationErrorDomain);
        EXPECT_NE(error->localizedDescription().find(c.reason), std::string::npos)
            << error->localizedDescription();
        EXPECT_EQ(error->userInfo()[kNSErrorFailingURLKey], Value("https://cloud.test/a"));
        EXPECT_EQ(error->userInfo()[QKAFNetworkingOperationFailingURLResponseDataErrorKey],
                  Value(c.body));
    }

    // A refused status under an undecodable body: the decoding error, the status underneath.
    ErrorPtr error;
    EXPECT_FALSE(decoded(*serializer, response(404, "image/png"), svg, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), -1016);
    ASSERT_TRUE(underlyingErrorOf(error));
    EXPECT_EQ(underlyingErrorOf(error)->code(), -1011);
}

// Codings far denser than deflate's best (JPEG's arithmetic coding, TIFF's fax coding) are not
// taken for images that claim more pixels than their bytes hold.
TEST(ImageSerializer, DecodesDenselyCodedImages) {
    const struct {
        const char* type;
        Bytes body;
        size_t width, height;
    } cases[] = {
        {"image/jpeg", test::hex(images::kDenseJpegHex), images::kDenseJpegWidth,
         images::kDenseJpegHeight},
        {"image/tiff", test::hex(images::kDenseTiffHex), images::kDenseTiffWidth,
         images::kDenseTiffHeight},
    };
    auto serializer = QKAFImageResponseSerializer::serializer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ErrorPtr error;
        auto image = decoded(*serializer, response(200, c.type), c.body, &error);
        ASSERT_TRUE(image) << (error ? error->localizedDescription() : "no error");
        EXPECT_EQ(image->width, c.width);
        EXPECT_EQ(image->height, c.height);
        expectNear(pixelAt(*image, c.width - 1, c.height - 1), Rgba{255, 255, 255, 255}, 1);
    }
}

// The archive's keys and kinds (a round trip is among the keyed-archiving tests).
TEST(ImageSerializer, ArchiveKeysAndRefusedKinds) {
    auto serializer = QKAFImageResponseSerializer::serializer();
    serializer->setImageScale(3);
    serializer->setAutomaticallyInflatesResponseImage(false);
    Dictionary archived;
    serializer->encodeWithCoder(archived);
    EXPECT_EQ(archived["imageScale"], Value(3.0));
    EXPECT_EQ(archived["automaticallyInflatesResponseImage"], Value(false));
    for (const auto& [key, bad] : {std::pair{"imageScale", Value(0.0)},
                                   {"imageScale", Value("2")},
                                   {"imageScale", Value(true)},
                                   {"automaticallyInflatesResponseImage", Value(1)}}) {
        Dictionary wrong = archived;
        wrong.set(key, bad);
        EXPECT_FALSE(QKAFURLResponseSerialization::initWithCoder(wrong)) << key;
    }
}

// An image served by the cloud, through a session manager whose response serializer is the
// image serializer.
TEST(ImageSerializer, ThroughASessionManager) {
    DeterministicDispatch dispatch;
    test::FakeCloud cloud;
    const Bytes png = images::saved("png");
    cloud.setReply("/logo.png", {.body = toString(png), .contentType = "image/png"});
    auto manager = QKAFHTTPSessionManager::initWithBaseURL(cloud.baseURL());
    manager->setResponseSerializer(QKAFImageResponseSerializer::serializer());
    std::shared_ptr<QKImage> image;
    int calls = 0;
    manager->GET(
        "/logo.png", std::nullopt,
        [&](const URLSessionTaskPtr&, const std::optional<Value>& object) {
            ++calls;
            if (object) image = object->objectAs<QKImage>();
        },
        [&](const URLSessionTaskPtr&, const ErrorPtr& e) {
            ++calls;
            ADD_FAILURE() << e->localizedDescription();
        });
    ASSERT_TRUE(MainLoop::runUntil([&] { return calls > 0; }, 30));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, images::kWidth);
    EXPECT_EQ(pixelAt(*image, 0, 0), kCorner);
}

// Writes the seeds of the image serializer's fuzz target when TELVO_IMAGE_SEEDS names a folder:
// each body after the byte that picks its content type (index into the ten) and status 200. One
// of each type, then small bodies of the shapes that once fooled or stalled the decoders (the top
// bit of the first byte lowers the pixel limit to 4096).
TEST(ImageSerializer, FuzzSeeds) {
    const char* folder = std::getenv("TELVO_IMAGE_SEEDS");
    if (!folder) GTEST_SKIP() << "TELVO_IMAGE_SEEDS not set";
    const std::vector<std::string> types = {
        "image/tiff",   "image/jpeg", "image/gif",   "image/png",       "image/ico",
        "image/x-icon", "image/bmp",  "image/x-bmp", "image/x-xbitmap", "image/x-win-bitmap"};
    auto write = [&](const std::string& name, const std::string& type, const Bytes& body,
                     bool lowLimit = false) {
        const size_t index = std::find(types.begin(), types.end(), type) - types.begin();
        std::ofstream out(std::filesystem::path(folder) / name, std::ios::binary);
        out.put(char(index | (lowLimit ? 0x80 : 0)));
        out.write(reinterpret_cast<const char*>(body.data()), std::streamsize(body.size()));
    };
    for (const auto& s : oneOfEachType())
        write(std::string(s.contentType).substr(6), s.contentType, s.body);
    const Bytes png = images::saved("png"), jpeg = images::saved("jpeg"),
                tiff = images::saved("tiff");
    write("shape-png-cut-before-end", "image/png", Bytes(png.begin(), png.end() - 12));
    write("shape-png-interlaced", "image/png", images::greyPng(16, 16, true));
    write("shape-png-short-stream", "image/png", images::greyPng(16, 16, false, 4 * 17));
    write("shape-jpeg-cut-before-end", "image/jpeg", Bytes(jpeg.begin(), jpeg.end() - 2));
    write("shape-jpeg-segments", "image/jpeg", images::jpegWithSegments(jpeg, 30, 0xFE));
    write("shape-jpeg-scans", "image/jpeg", images::jpegWithScans(jpeg, 3));
    write("shape-gif-comments", "image/gif", images::gifWithComments(20));
    write("shape-gif-frames", "image/gif", images::gif(images::kWidth, images::kHeight, 30));
    write("shape-gif-growing-codes", "image/gif", images::patternGif(24, 24));
    write("shape-bmp-run-length", "image/bmp", images::rleBmp(8, 6, images::rleRows(6)));
    write("shape-tiff-cut", "image/tiff", Bytes(tiff.begin(), tiff.end() - 20));
    write("shape-bmp-colours-overflow", "image/bmp",
          images::bmpColours(images::rleBmp(8, 6, images::rleRows(6)), 0xFEFFFF01));
    write("shape-png-over-a-lowered-limit", "image/png", images::greyPng(72, 72, false), true);
    write("shape-png-stream-past-iend", "image/png", images::pngStreamGoingOnPastIend());
    write("shape-png-compressed-text", "image/png",
          images::pngWithChunks(png, 33, "zTXt", images::compressedText(4096), 3));
    images::GifLayout framed = {.screenWidth = 12,
                                .screenHeight = 10,
                                .left = 3,
                                .top = 2,
                                .width = 11,
                                .height = 9,
                                .interlaced = true,
                                .localTable = true,
                                .transparent = 2};
    write("shape-gif-interlaced-transparent-off-screen", "image/gif", images::layoutGif(framed));
    framed.subBlock = 1;
    write("shape-gif-one-byte-sub-blocks", "image/gif", images::layoutGif(framed));
    write("shape-gif-over-a-lowered-limit", "image/gif", images::patternGif(72, 72), true);
    write("shape-bmp-over-a-lowered-limit", "image/bmp",
          images::bmpSized(images::saved("bmp"), 72, 72), true);
    write("shape-png-idat-chunks", "image/png",
          images::pngWithChunks(images::greyPng(8, 8, false), 33, "IDAT", {}, 3));
    const Bytes ico = images::saved("ico");
    write("shape-ico-colour-table", "image/x-icon", images::icoColours(ico, 0x1C000000));
    write("shape-ico-image-size", "image/x-icon", images::icoSized(ico, 30000, 30000));
    write("shape-ico-png-image", "image/x-icon",
          images::icoOfPng(images::pngSized(png, 30000, 30000)));
    write("shape-jpeg-cut-in-scan-eoi", "image/jpeg", [&] {
        Bytes cut(jpeg.begin(), jpeg.end() - 40);
        cut.insert(cut.end(), {0xFF, 0xD9});
        return cut;
    }());
    write("shape-jpeg-progressive", "image/jpeg",
          test::jpeg::encode({.width = 16, .height = 16, .progressive = true}));
    write("shape-jpeg-32-scans", "image/jpeg",
          test::jpeg::encode({.width = 16, .height = 16, .scans = test::jpeg::thirtyTwoScans()}));
    write("shape-gif-clear-codes", "image/gif", images::gifClearedEveryPixel(48));
    write("shape-jpeg-arithmetic", "image/jpeg",
          test::jpeg::encode({.width = 16, .height = 16, .arithmetic = true}));
    write("shape-xbm-blank-sizes", "image/x-xbitmap",
          toBytes("#define a_width\r8\n#define\ta_height\t+2\nstatic unsigned char a_bits[] = "
                  "{\n0x01, 0x02 };\n#define a_width 9\n"));
}

}  // namespace
}  // namespace telvo
