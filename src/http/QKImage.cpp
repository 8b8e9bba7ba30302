#include "telvosdk/QKImage.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "http/image/ImageFormat.h"

namespace telvo {

namespace {

std::atomic<uint64_t> gMaximumPixelCount{QKImage::kMaximumPixelCount};

// The decoder that the leading bytes name, or none when they name none of the formats decoded
// here: the data's own signature decides, never a declared type, so that no other decoder the
// system has installed (SVG, XPM, ...) ever sees untrusted bytes.
const image::Format* formatOf(const Bytes& data) {
    for (const image::Format* format : {&image::kPng, &image::kJpeg, &image::kGif, &image::kTiff,
                                        &image::kIco, &image::kBmp, &image::kXbm}) {
        if (format->matches(data)) return format;
    }
    return nullptr;
}

// One lock for every decode of the process: the platform's decoders were not safe to run
// concurrently, and keeping the one lock keeps the behaviour the same.
std::mutex& decodeLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

uint64_t QKImage::maximumPixelCount() {
    return gMaximumPixelCount.load(std::memory_order_relaxed);
}

void QKImage::setMaximumPixelCount(uint64_t pixels) {
    gMaximumPixelCount.store(std::min(pixels, kMaximumPixelCount), std::memory_order_relaxed);
}

std::shared_ptr<QKImage> QKImage::af_safeImageWithData(const Bytes& data, std::string* reason) {
    const uint64_t limit = maximumPixelCount();
    const image::Format* format = formatOf(data);
    image::Survey survey = format         ? format->survey(data, limit)
                           : data.empty() ? image::refused("no image data")
                                          : image::refused("not an image of a known format");
    survey.limit = limit;
    image::Decoded result{nullptr, survey.refusal};
    if (result.reason.empty()) {
        std::lock_guard<std::mutex> hold(decodeLock());
        result = format->decode(data, survey);
    }
    if (reason) *reason = std::move(result.reason);
    return result.image;
}

}  // namespace telvo
