#include "telvosdk/QKImage.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <string_view>

namespace telvo {

namespace {

// The decoder that the leading bytes name, or null when they name none of the formats decoded
// here: the data's own signature decides, never a declared type, so that no other decoder the
// system has installed (SVG, XPM, ...) ever sees untrusted bytes.
const char* loaderForSignature(const Bytes& data) {
    auto startsWith = [&](std::string_view magic) {
        return data.size() >= magic.size() &&
               std::memcmp(data.data(), magic.data(), magic.size()) == 0;
    };
    using namespace std::string_view_literals;
    if (startsWith("\x89PNG\r\n\x1a\n"sv)) return "png";
    if (startsWith("\xff\xd8\xff"sv)) return "jpeg";
    if (startsWith("GIF87a"sv) || startsWith("GIF89a"sv)) return "gif";
    if (startsWith("II*\0"sv) || startsWith("MM\0*"sv)) return "tiff";
    if (startsWith("\0\0\1\0"sv) || startsWith("\0\0\2\0"sv)) return "ico";
    if (startsWith("BM"sv)) return "bmp";
    if (startsWith("#define"sv)) return "xbm";
    return nullptr;
}

// No format bounded by it codes more pixels a byte than one-bit PNG under deflate's best ratio (a
// 258-byte match in 2 bits): 8 x 1032.
constexpr uint64_t kMostPixelsPerByte = 8 * 1032;

// Whether the frame header of the JPEG data names arithmetic coding.
bool arithmeticJpeg(const Bytes& data) {
    for (size_t at = 2; at + 4 <= data.size() && data[at] == 0xFF;) {
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {
            ++at;  // fill byte
            continue;
        }
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            return marker >= 0xC9;
        at += 2 + (size_t(data[at + 2]) << 8 | data[at + 3]);
    }
    return false;
}

uint32_t le32(const Bytes& data, size_t at) {
    return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 |
           uint32_t(data[at + 3]) << 24;
}

// The pixels of the rows an uncompressed BMP holds: its decoder takes rows past the end as blank.
uint64_t bmpPixelsHeld(const Bytes& data) {
    if (data.size() < 34 || le32(data, 14) < 40 || le32(data, 10) > data.size())
        return QKImage::kMaximumPixelCount;  // OS/2 headers and the corrupt: the decoder's to judge
    const uint32_t compression = le32(data, 30);
    if (compression != 0 && compression != 3 && compression != 6)
        return QKImage::kMaximumPixelCount;  // run-length coded and the rest
    const uint64_t width = uint64_t(std::max<int32_t>(int32_t(le32(data, 18)), 0));
    const uint64_t bits = uint64_t(data[28]) | uint64_t(data[29]) << 8;
    const uint64_t stride = (width * bits + 31) / 32 * 4;
    if (stride == 0) return QKImage::kMaximumPixelCount;
    return width * ((data.size() - le32(data, 10)) / stride);
}

// The most pixels the data can encode. TIFF (fax, JBIG, LZMA and Zstandard codings) and
// arithmetic-coded JPEG code a blank image in far fewer bytes: only the pixel bound holds them.
uint64_t encodablePixels(std::string_view type, const Bytes& data) {
    const uint64_t held = type == "bmp" ? bmpPixelsHeld(data) : QKImage::kMaximumPixelCount;
    if (type == "tiff" || (type == "jpeg" && arithmeticJpeg(data)) ||
        data.size() > QKImage::kMaximumPixelCount / kMostPixelsPerByte)
        return held;
    return std::min(held, data.size() * kMostPixelsPerByte);
}

struct SizeGate {
    uint64_t mostPixels = QKImage::kMaximumPixelCount;
    bool refused = false;
    int width = 0;
    int height = 0;
};

bool withinBound(int64_t width, int64_t height, uint64_t mostPixels = QKImage::kMaximumPixelCount) {
    return width > 0 && height > 0 &&
           uint64_t(height) <= std::min(mostPixels, QKImage::kMaximumPixelCount) / uint64_t(width);
}

// Runs from the decoder once it has read the header, before it allocates pixels: a size of
// zero makes every decoder give up with an error instead.
void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    auto* gate = static_cast<SizeGate*>(data);
    gate->width = width;
    gate->height = height;
    if (!withinBound(width, height, gate->mostPixels)) {
        gate->refused = true;
        gdk_pixbuf_loader_set_size(loader, 0, 0);
    }
}

std::string tooLarge(int64_t width, int64_t height, size_t dataSize) {
    const std::string image =
        "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (width <= 0 || height <= 0) return image + " has no pixels";
    if (!withinBound(width, height))
        return image + " is over the limit of " + std::to_string(QKImage::kMaximumPixelCount) +
               " pixels";
    return image + " is more than its " + std::to_string(dataSize) + " bytes can encode";
}

// XBM's decoder reserves the bits of the whole image before it reads them and tells its size
// only afterwards: its "#define <name>_width N" and "_height N" lines are read here first.
// Unknown dimensions are the decoder's to refuse.
bool xbmWithinBound(const Bytes& data, int64_t* width, int64_t* height) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    *width = *height = -1;
    for (size_t at = text.find("#define"); at != std::string_view::npos;
         at = text.find("#define", at + 1)) {
        const size_t nameEnd = text.find_first_of(" \t", text.find_first_not_of(" \t", at + 7));
        if (nameEnd == std::string_view::npos) break;
        const std::string_view name = text.substr(at + 7, nameEnd - at - 7);
        const size_t digits = text.find_first_not_of(" \t", nameEnd);
        if (digits == std::string_view::npos) break;
        int64_t value = 0;
        for (size_t i = digits; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t(1) << 40);
        if (name.ends_with("width")) *width = value;
        if (name.ends_with("height")) *height = value;
    }
    return *width < 0 || *height < 0 || withinBound(*width, *height, encodablePixels("xbm", data));
}

// The BMP and ICO decoders grow a buffer to the header sizes and offsets the file states before
// they read it: a file that points past its own end is refused first.
bool pointsWithinItself(std::string_view type, const Bytes& data) {
    if (type == "bmp" && data.size() >= 18)
        return le32(data, 10) <= data.size() && le32(data, 14) <= data.size();
    if (type != "ico" || data.size() < 6) return true;
    const size_t count = size_t(data[4]) | size_t(data[5]) << 8;
    for (size_t entry = 6; entry < 6 + 16 * count && entry + 16 <= data.size(); entry += 16) {
        if (le32(data, entry + 8) > data.size() || le32(data, entry + 12) > data.size())
            return false;
    }
    return true;
}

// The decoder's pixels (3 or 4 channels of 8 bits, rows possibly padded) as tight RGBA.
std::shared_ptr<QKImage> plainBitmap(GdkPixbuf* pixbuf) {
    auto image = std::make_shared<QKImage>();
    image->width = size_t(gdk_pixbuf_get_width(pixbuf));
    image->height = size_t(gdk_pixbuf_get_height(pixbuf));
    image->bytesPerRow = image->width * 4;
    image->pixels.resize(image->bytesPerRow * image->height);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const size_t stride = size_t(gdk_pixbuf_get_rowstride(pixbuf));
    const uint8_t* source = gdk_pixbuf_read_pixels(pixbuf);
    for (size_t y = 0; y < image->height; ++y) {
        const uint8_t* in = source + y * stride;
        uint8_t* out = image->pixels.data() + y * image->bytesPerRow;
        for (size_t x = 0; x < image->width; ++x, in += channels, out += 4) {
            std::copy_n(in, 3, out);
            out[3] = channels == 4 ? in[3] : 255;
        }
    }
    return image;
}

struct LoaderResult {
    std::shared_ptr<QKImage> image;
    std::string reason;
};

LoaderResult decodeWith(const char* type, const Bytes& data) {
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(type, &error);
    if (!loader) {
        LoaderResult result{nullptr, std::string("no decoder for ") + type + ": " +
                                         (error ? error->message : "unknown")};
        g_clear_error(&error);
        return result;
    }
    SizeGate gate{.mostPixels = encodablePixels(type, data)};
    g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &gate);
    bool ok = gdk_pixbuf_loader_write(loader, data.data(), data.size(), &error);
    // Closing is required even after a failed write; its error (a truncated image) counts
    // only when the write went through.
    ok = gdk_pixbuf_loader_close(loader, ok ? &error : nullptr) && ok;
    LoaderResult result;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (gate.refused) {
        result.reason = tooLarge(gate.width, gate.height, data.size());
    } else if (!pixbuf) {
        result.reason = std::string("unreadable ") + type + " image" +
                        (error ? std::string(": ") + error->message : std::string());
    } else if (!withinBound(gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                            gate.mostPixels)) {
        result.reason =
            tooLarge(gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf), data.size());
    } else if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
               gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB) {
        result.reason = std::string("unsupported pixel layout in ") + type + " image";
    } else {
        result.image = plainBitmap(pixbuf);
    }
    g_clear_error(&error);
    g_object_unref(loader);
    return result;
}

// The GIF decoder gives every frame a buffer of its own, sized by the frame's header and kept
// for the animation: each frame must have pixels, and all of them together stay within the
// bound. Returns the frames' total (-1 for a frame without pixels); what cannot be walked is the
// decoder's to refuse.
int64_t gifFramePixels(const Bytes& data) {
    if (data.size() < 13) return 0;
    size_t at = 13 + ((data[10] & 0x80) ? size_t(3) << ((data[10] & 7) + 1) : 0);
    auto skipSubBlocks = [&] {
        while (at < data.size() && data[at] != 0) at += size_t(data[at]) + 1;
        ++at;
    };
    int64_t total = 0;
    while (at < data.size() && total <= int64_t(QKImage::kMaximumPixelCount)) {
        const uint8_t kind = data[at++];
        if (kind == 0x21) {
            ++at;  // the extension's label
            skipSubBlocks();
        } else if (kind == 0x2C && at + 9 <= data.size()) {
            const int64_t width = data[at + 4] | data[at + 5] << 8;
            const int64_t height = data[at + 6] | data[at + 7] << 8;
            if (width == 0 || height == 0) return -1;
            total += width * height;
            const uint8_t packed = data[at + 8];
            at += 9 + ((packed & 0x80) ? size_t(3) << ((packed & 7) + 1) : 0) + 1;
            skipSubBlocks();
        } else if (kind == 0x3B || kind == 0x2C) {
            break;  // the end, or a frame cut short
        }           // the decoder passes over any other byte between blocks, and so does this walk
    }
    return total;
}

// Why the data is refused before a decoder sees it; empty when it is not.
std::string refusalBeforeDecoding(const char* type, const Bytes& data) {
    int64_t width = 0, height = 0;
    if (std::string_view(type) == "xbm" && !xbmWithinBound(data, &width, &height))
        return tooLarge(width, height, data.size());
    const int64_t framePixels = std::string_view(type) == "gif" ? gifFramePixels(data) : 0;
    if (framePixels < 0) return "GIF frame without pixels";
    const std::string frames = "GIF frames of " + std::to_string(framePixels) + " pixels in all";
    if (uint64_t(framePixels) > QKImage::kMaximumPixelCount)
        return frames + " are over the limit of " + std::to_string(QKImage::kMaximumPixelCount) +
               " pixels";
    if (uint64_t(framePixels) > encodablePixels(type, data))
        return frames + " are more than its " + std::to_string(data.size()) + " bytes can encode";
    if (!pointsWithinItself(type, data))
        return std::string("corrupt ") + type + " image: it points past its end";
    return {};
}

// One lock for every decode of the process: the platform's decoders were not safe to run
// concurrently, and keeping the one lock keeps the behaviour the same.
std::mutex& decodeLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

std::shared_ptr<QKImage> QKImage::af_safeImageWithData(const Bytes& data, std::string* reason) {
    const char* type = loaderForSignature(data);
    LoaderResult result{nullptr, type           ? refusalBeforeDecoding(type, data)
                                 : data.empty() ? "no image data"
                                                : "not an image of a known format"};
    if (result.reason.empty()) {
        std::lock_guard<std::mutex> hold(decodeLock());
        result = decodeWith(type, data);
    }
    if (reason) *reason = std::move(result.reason);
    return result.image;
}

}  // namespace telvo
