#include "http/image/ImageFormat.h"

#include <algorithm>

namespace telvo::image {

namespace {

// No format bounded by it codes more pixels a byte than one-bit PNG under deflate's best ratio (a
// 258-byte match in 2 bits): 8 x 1032.
constexpr uint64_t kMostPixelsPerByte = 8 * 1032;

}  // namespace

bool withinBound(int64_t width, int64_t height, uint64_t mostPixels) {
    return width > 0 && height > 0 && uint64_t(height) <= mostPixels / uint64_t(width);
}

uint64_t encodableBy(size_t size) {
    if (size > QKImage::kMaximumPixelCount / kMostPixelsPerByte) return QKImage::kMaximumPixelCount;
    return size * kMostPixelsPerByte;
}

std::string tooLarge(const char* what, int64_t width, int64_t height, size_t dataSize,
                     uint64_t limit) {
    const std::string image =
        what + (" of " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
    if (width <= 0 || height <= 0) return image + " has no pixels";
    if (!withinBound(width, height, limit))
        return image + " is over the limit of " + std::to_string(limit) + " pixels";
    return image + " is more than its " + std::to_string(dataSize) + " bytes can encode";
}

Survey refused(std::string why) {
    Survey survey;
    survey.refusal = std::move(why);
    return survey;
}

Survey truncated(const char* format, const std::string& where) {
    return refused(std::string("truncated ") + format + " image: " + where);
}

Survey corrupt(const char* format, const std::string& what) {
    return refused(std::string("corrupt ") + format + " image: " + what);
}

Survey pointsPastItsEnd(const char* format) {
    return refused(std::string("truncated or corrupt ") + format +
                   " image: it points past its end");
}

Survey readTo(size_t end, uint64_t mostPixels) {
    Survey survey;
    survey.end = end;
    survey.mostPixels = mostPixels;
    return survey;
}

std::optional<Survey> refusedBySize(const char* what, int64_t width, int64_t height,
                                    size_t dataSize, uint64_t limit, uint64_t encodable) {
    if (withinBound(width, height, std::min(limit, encodable))) return std::nullopt;
    return refused(tooLarge(what, width, height, dataSize, limit));
}

std::shared_ptr<QKImage> newImage(size_t width, size_t height) {
    auto image = std::make_shared<QKImage>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = width * 4;
    image->pixels.resize(image->bytesPerRow * height);
    return image;
}

}  // namespace telvo::image
