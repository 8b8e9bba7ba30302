// Runs the image response serializer over a reply: the first byte picks the content type (one
// of the ten it accepts, or one it refuses), the status code and, with its top bit, a pixel
// limit lowered to 4096; the rest is the body. The result is an image, an error, both, or
// neither; never a crash, never an image over the pixel limit in force, and a refused status or
// content type always comes with an error. An image handed out is a whole RGBA bitmap of its
// own size.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "ResponseSerializerRun.h"
#include "http/QKAFImageResponseSerializer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool criticalsAbort = [] {
        g_log_set_handler(
            "GdkPixbuf", GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
            [](const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
                std::fprintf(stderr, "%s\n", message);
                std::abort();
            },
            nullptr);
        return true;
    }();
    (void)criticalsAbort;
    if (size == 0) return 0;
    static const char* const kTypes[] = {"image/tiff",         "image/jpeg",  "image/gif",
                                         "image/png",          "image/ico",   "image/x-icon",
                                         "image/bmp",          "image/x-bmp", "image/x-xbitmap",
                                         "image/x-win-bitmap", "text/html"};
    const size_t typeIndex = (data[0] & 0x0F) % 11;
    const bool acceptableType = typeIndex < 10;
    telvo::QKImage::setMaximumPixelCount((data[0] & 0x80) ? 4096
                                                          : telvo::QKImage::kMaximumPixelCount);
    static const auto serializer = telvo::QKAFImageResponseSerializer::serializer();
    telvo::ErrorPtr error;
    auto object = telvo::fuzz::serializeReply(
        *serializer, telvo::fuzz::kReplyStatuses[((data[0] >> 4) & 0x07) % 6], kTypes[typeIndex],
        acceptableType, data, size, &error);
    if (!object && size > 1 && !error) std::abort();  // a body that does not decode says why
    if (object) {
        auto image = object->objectAs<telvo::QKImage>();
        if (!image || image->width == 0 || image->height == 0 || image->scale != 1.0) std::abort();
        if (uint64_t(image->width) * image->height > telvo::QKImage::maximumPixelCount())
            std::abort();
        if (image->bytesPerRow != image->width * 4 ||
            image->pixels.size() != image->bytesPerRow * image->height)
            std::abort();
    }
    return 0;
}
