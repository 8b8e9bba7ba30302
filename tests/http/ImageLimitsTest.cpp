#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http/ImageTestImages.h"
#include "telvosdk/QKImage.h"

namespace telvo {
namespace {

namespace images = test::images;

// Puts the process's pixel limit back when a test ends.
struct LimitRestored {
    ~LimitRestored() { QKImage::setMaximumPixelCount(QKImage::kMaximumPixelCount); }
};

// Bodies whose blocks, marker segments, frames or scans would keep the decoder busy for seconds
// are decoded at a cost set by their size, or refused from their structure.
TEST(ImageLimits, BodiesBuiltToBeSlowAreRefusedOrDecoded) {
    const Bytes jpeg = images::saved("jpeg");
    const struct {
        const char* name;
        Bytes body;
        std::string outcome;
    } cases[] = {
        {"GIF of 40,000 frames: its first", images::gif(images::kWidth, images::kHeight, 40000),
         "decoded"},
        {"GIF with 330,000 comment blocks", images::gifWithComments(330000),
         "gif image of more than 4096 blocks before its first frame"},
        {"GIF with 4,000 comment blocks", images::gifWithComments(4000), "decoded"},
        // Each clear code empties the decoder's whole string table.
        {"GIF of 2048 x 2048 with a clear code before every pixel",
         images::gifClearedEveryPixel(2048),
         "gif image of more than 524288 clear codes in its first frame"},
        {"GIF of 700 x 700 with a clear code before every pixel", images::gifClearedEveryPixel(700),
         "decoded"},
        {"JPEG with 100,000 COM segments", images::jpegWithSegments(jpeg, 100000, 0xFE),
         "jpeg image of more than 4096 marker segments"},
        {"JPEG with 100,000 APP1 segments", images::jpegWithSegments(jpeg, 100000, 0xE1),
         "jpeg image of more than 4096 marker segments"},
        {"JPEG with 4,000 COM segments", images::jpegWithSegments(jpeg, 4000, 0xFE), "decoded"},
        {"JPEG of 33 scans", images::jpegWithScans(jpeg, 33), "jpeg image of more than 32 scans"},
        {"PNG of 100 compressed texts of 8 MB each",
         images::pngWithChunks(images::saved("png"), 33, "zTXt", images::compressedText(7900000),
                               100),
         "decoded"},
        // 86 bytes whose count of colours overflowed the decoder's buffer size to 4 GB.
        {"BMP of 0xFEFFFF01 colours",
         images::bmpColours(images::rleBmp(8, 6, images::rleRows(6)), 0xFEFFFF01),
         "truncated or corrupt bmp image: it points past its end"},
        {"BMP of 2 colours", images::bmpColours(images::rleBmp(8, 6, images::rleRows(6)), 2),
         "decoded"},
    };
    for (const auto& c : cases) EXPECT_EQ(images::outcomeOf(c.body), c.outcome) << c.name;
}

// A PNG's text, compressed or not, before or after its image data, leaves its pixels as they are.
TEST(ImageLimits, PngTextLeavesItsPixels) {
    const Bytes plain = images::savedPattern("png", 64, 64);
    const Bytes iText = {'k', 0, 1, 0, 0, 0, 0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
    Bytes text =
        images::pngWithChunks(plain, plain.size() - 12, "zTXt", images::compressedText(100), 2);
    text = images::pngWithChunks(text, 33, "iTXt", iText, 1);
    text = images::pngWithChunks(text, 33, "tEXt", {'k', 0, 'v'}, 1);
    text = images::pngWithChunks(text, 33, "zTXt", images::compressedText(100), 3);
    auto whole = QKImage::af_safeImageWithData(plain);
    auto image = QKImage::af_safeImageWithData(text);
    ASSERT_TRUE(whole);
    ASSERT_TRUE(image) << images::outcomeOf(text);
    EXPECT_EQ(image->pixels, whole->pixels);
}

// XBM sizes are read as its decoder reads them, before it reserves their bits: whatever blank
// stands between a name and its value, with a sign, also after the bits; a run of "#define" words
// costs one walk.
TEST(ImageLimits, XbmSizesAreReadAsItsDecoderReadsThem) {
    const std::string bits = "static unsigned char a_bits[] = {\n0x01, 0x02 };\n",
                      large = "#define a_width 46000\n#define a_height 46000\n";
    std::string defines;
    for (int i = 0; i < 100000; ++i) defines += "#define";
    const struct {
        const char* name;
        std::string text;
        std::string outcome;  // what the outcome says
    } cases[] = {
        {"carriage returns before the values",
         "#define a_width\r46000\n#define a_height\r46000\n" + bits,
         "46000 x 46000 pixels is over the limit"},
        {"smaller sizes after the bits", large + bits + "#define a_width 8\n#define a_height 8\n",
         "46000 x 46000 pixels is over the limit"},
        {"a negative width after a small one",
         "#define a_width 8\n#define a_height 8\n#define a_width -46000\n" + bits,
         "is over the limit"},
        {"100,000 \"#define\" words in a row", large + defines + " x 1\n" + bits,
         "46000 x 46000 pixels is over the limit"},
        {"tabs, carriage returns and a plus sign",
         "#define a_width\r8\n#define\ta_height\t+2\n" + bits, "decoded"},
    };
    for (const auto& c : cases) {
        const std::string outcome = images::outcomeOf(toBytes(c.text));
        EXPECT_NE(outcome.find(c.outcome), std::string::npos) << c.name << ": " << outcome;
    }
}

// The limit is 64 Mi pixels until the app lowers it; a lowered limit refuses larger images of
// every kind from their headers, and cannot be raised past the default.
TEST(ImageLimits, LoweredPixelLimitIsHonoured) {
    LimitRestored restored;
    EXPECT_EQ(QKImage::maximumPixelCount(), uint64_t(64) << 20);
    EXPECT_EQ(QKImage::kMaximumPixelCount, uint64_t(64) << 20);
    const Bytes png = images::savedPattern("png", 64, 64);
    const struct {
        const char* name;
        Bytes body;
    } larger[] = {
        {"PNG", png},
        {"JPEG", images::savedPattern("jpeg", 64, 64)},
        {"GIF", images::patternGif(64, 64)},
        {"TIFF", images::savedPattern("tiff", 64, 64)},
        {"BMP", images::savedPattern("bmp", 64, 64)},
        {"XBM", images::xbmPattern(64, 64)},
    };
    QKImage::setMaximumPixelCount(64 * 64 - 1);
    EXPECT_EQ(QKImage::maximumPixelCount(), 64u * 64 - 1);
    for (const auto& c : larger) {
        EXPECT_NE(images::outcomeOf(c.body).find("64 x 64 pixels is over the limit of 4095 pixels"),
                  std::string::npos)
            << c.name << ": " << images::outcomeOf(c.body);
    }
    EXPECT_EQ(images::outcomeOf(images::saved("png")), "decoded");
    QKImage::setMaximumPixelCount(64 * 64);
    EXPECT_EQ(images::outcomeOf(png), "decoded");
    QKImage::setMaximumPixelCount(0);
    EXPECT_NE(images::outcomeOf(images::saved("png")).find("over the limit of 0 pixels"),
              std::string::npos);
    QKImage::setMaximumPixelCount(UINT64_MAX);
    EXPECT_EQ(QKImage::maximumPixelCount(), QKImage::kMaximumPixelCount);
    EXPECT_NE(images::outcomeOf(images::pngSized(images::saved("png"), 8193, 8192))
                  .find("over the limit"),
              std::string::npos);
}

Bytes prefix(const Bytes& whole, size_t size) {
    return Bytes(whole.begin(), whole.begin() + std::min(size, whole.size()));
}

// Past a JPEG's first frame header (SOF0).
size_t pastFrameHeader(const Bytes& jpeg) {
    for (size_t at = 2; at + 3 < jpeg.size(); ++at)
        if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xC0)
            return at + 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
    return jpeg.size();
}

// A size over the limit is refused from the header that states it, before any decoder sees the
// data: also when nothing, or only part of the image data, follows the header.
TEST(ImageLimits, SizesAreRefusedFromTheirHeadersAlone) {
    LimitRestored restored;
    const Bytes png = images::savedPattern("png", 64, 64),
                jpeg = images::savedPattern("jpeg", 64, 64), gif = images::patternGif(64, 64),
                bmp = images::savedPattern("bmp", 64, 64);
    const struct {
        const char* name;
        Bytes body;
    } cases[] = {
        {"PNG to its IHDR", prefix(png, 33)},
        {"PNG to half its data", prefix(png, png.size() / 2)},
        {"JPEG to its frame header", prefix(jpeg, pastFrameHeader(jpeg))},
        {"GIF to its screen", prefix(gif, 13)},
        {"BMP to its info header", prefix(bmp, 54)},
        {"XBM of its sizes alone", toBytes("#define a_width 64\n#define a_height 64\n")},
        {"TIFF", images::savedPattern("tiff", 64, 64)},
        {"ICO", images::savedPattern("ico", 64, 64)},
    };
    QKImage::setMaximumPixelCount(64 * 64 - 1);
    for (const auto& c : cases) {
        const std::string outcome = images::outcomeOf(c.body);
        EXPECT_NE(outcome.find("64 x 64 pixels is over the limit of 4095 pixels"),
                  std::string::npos)
            << c.name << ": " << outcome;
    }
    // 32768 x 32768 claimed by a PNG of 1 MB, cut in half, under a limit of 4 Mi pixels.
    QKImage::setMaximumPixelCount(4 << 20);
    const Bytes claim = images::pngSized(images::savedPattern("png", 512, 512), 32768, 32768);
    EXPECT_NE(images::outcomeOf(prefix(claim, claim.size() / 2))
                  .find("32768 x 32768 pixels is over the limit of 4194304 pixels"),
              std::string::npos);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TELVO_IMAGE_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TELVO_IMAGE_TEST_SANITIZED 1
#endif

#ifdef TELVO_IMAGE_TEST_SANITIZED
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onAllocation)(const volatile void*,
                                                                              size_t),
                                                         void (*onRelease)(const volatile void*));

// A sanitizer's shadow memory takes the address space a limit would hold: its allocator's hooks
// see the largest block taken instead.
std::atomic<size_t> gLargestBlock{0};

void onAllocation(const volatile void*, size_t size) {
    size_t seen = gLargestBlock.load();
    while (size > seen && !gLargestBlock.compare_exchange_weak(seen, size)) {
    }
}

void onRelease(const volatile void*) {}

// The outcome of decoding the body, or the largest block it took when that is over 256 MiB.
std::string outcomeWithLittleMemory(const Bytes& body) {
    static const bool hooked = __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease);
    (void)hooked;
    gLargestBlock = 0;
    const std::string outcome = images::outcomeOf(body);
    if (gLargestBlock > (size_t(256) << 20))
        return "a block of " + std::to_string(gLargestBlock) + " bytes was taken";
    return outcome;
}
#else
// The outcome of decoding the body in a child process whose address space may grow by at most
// 256 MiB, so that a decoder reserving more fails there instead of only reserving it.
std::string outcomeWithLittleMemory(const Bytes& body) {
    int pipe[2];
    if (::pipe(pipe) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t most = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
        const rlimit limit{most, most};
        setrlimit(RLIMIT_AS, &limit);
        const std::string outcome = images::outcomeOf(body);
        (void)!::write(pipe[1], outcome.data(), outcome.size());
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string outcome;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        outcome.append(buffer, size_t(n));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? outcome : "the child did not finish";
}
#endif

// An icon's every entry, and the BMP or PNG header of the image each points to, is held to the
// limit and to what its bytes hold before its decoder sees it: the decoder reserved a colour
// table of 1.88 GB for 221 bytes.
TEST(ImageLimits, IconImagesAreHeldToTheirHeaders) {
    const Bytes ico = images::savedPattern("ico", 48, 48);
    const struct {
        const char* name;
        Bytes body;
        std::string outcome;  // what it says
    } cases[] = {
        {"a colour table of 0x1C000000 colours", images::icoColours(ico, 0x1C000000),
         "truncated or corrupt ico image: it points past its end"},
        {"a colour table of 2 colours more than it holds", images::icoColours(ico, 2), "decoded"},
        {"an image of 30000 x 30000 pixels", images::icoSized(ico, 30000, 30000),
         "icon image of 30000 x 30000 pixels is over the limit"},
        {"an image of 48 x 4800 pixels", images::icoSized(ico, 48, 4800),
         "icon image of 48 x 4800 pixels is more than its"},
        {"a PNG of 30000 x 30000 pixels",
         images::icoOfPng(images::pngSized(images::saved("png"), 30000, 30000)),
         "icon image of 30000 x 30000 pixels is over the limit"},
        {"a PNG of 3000 x 3000 pixels",
         images::icoOfPng(images::pngSized(images::saved("png"), 3000, 3000)),
         "icon image of 3000 x 3000 pixels is more than its"},
        {"its whole image", ico, "decoded"},
    };
    for (const auto& c : cases) {
        const std::string outcome = outcomeWithLittleMemory(c.body);
        EXPECT_NE(outcome.find(c.outcome), std::string::npos) << c.name << ": " << outcome;
    }
}

// The limit changes while other threads decode: each decode holds to the limit it started with,
// decoding the image whole or refusing it.
TEST(ImageLimits, LimitChangesWhileOthersDecode) {
    LimitRestored restored;
    const Bytes png = images::savedPattern("png", 64, 64);
    std::atomic<bool> done{false};
    std::atomic<int> decoded{0}, refused{0}, wrong{0};
    std::vector<std::thread> decoders;
    for (int t = 0; t < 3; ++t) {
        decoders.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                std::string reason;
                auto image = QKImage::af_safeImageWithData(png, &reason);
                if (image && image->width == 64 && image->pixels.size() == 64 * 64 * 4)
                    ++decoded;
                else if (!image && reason.find("over the limit of 100 pixels") != std::string::npos)
                    ++refused;
                else
                    ++wrong;
            }
        });
    }
    std::thread setter([&] {
        for (int i = 0; !done; ++i)
            QKImage::setMaximumPixelCount(i % 2 ? 100 : QKImage::kMaximumPixelCount);
    });
    for (auto& thread : decoders) thread.join();
    done = true;
    setter.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(decoded + refused, 120);
}

}  // namespace
}  // namespace telvo
