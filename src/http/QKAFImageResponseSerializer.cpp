#include "http/QKAFImageResponseSerializer.h"

#include <cmath>

#include "platform/foundation/KeyedArchive.h"

namespace telvo {

namespace {

bool usableScale(double scale) {
    return std::isfinite(scale) && scale > 0;
}

}  // namespace

QKAFImageResponseSerializer::QKAFImageResponseSerializer() {
    acceptableContentTypes = {"image/tiff",      "image/jpeg",        "image/gif", "image/png",
                              "image/ico",       "image/x-icon",      "image/bmp", "image/x-bmp",
                              "image/x-xbitmap", "image/x-win-bitmap"};
}

void QKAFImageResponseSerializer::setImageScale(double scale) {
    if (usableScale(scale)) imageScale = scale;
}

std::optional<Value> QKAFImageResponseSerializer::responseObjectForResponse(
    const HTTPURLResponsePtr& response, const std::optional<Bytes>& data, ErrorPtr* error) const {
    if (!validateBeforeParsing(response, data, error)) return std::nullopt;
    std::string reason;
    std::shared_ptr<QKImage> image = QKImage::af_safeImageWithData(*data, &reason);
    if (!image) {
        if (error) {
            *error = QKAFErrorWithUnderlyingError(
                QKAFResponseSerializationError(-1016, "Request failed: unreadable image: " + reason,
                                               response, data),
                *error);
        }
        return std::nullopt;
    }
    image->scale = usableScale(imageScale) ? imageScale : 1.0;
    return Value::object(std::move(image));
}

void QKAFImageResponseSerializer::encodeWithCoder(Dictionary& coder) const {
    QKAFHTTPResponseSerializer::encodeWithCoder(coder);
    coder.set(KeyedArchive::kClassKey, Value("QKAFImageResponseSerializer"));
    coder.set("imageScale", Value(imageScale));
    coder.set("automaticallyInflatesResponseImage", Value(automaticallyInflatesResponseImage));
}

std::shared_ptr<QKAFImageResponseSerializer> QKAFImageResponseSerializer::fromCoder(
    const Dictionary& coder) {
    const Value &scale = coder["imageScale"],
                &inflates = coder["automaticallyInflatesResponseImage"];
    const bool number = scale.isInteger() || scale.type() == Value::Type::Double;
    if (!number || !inflates.isBool() || !usableScale(scale.doubleValue())) return nullptr;
    auto serializer = QKAFImageResponseSerializer::serializer();
    serializer->imageScale = scale.doubleValue();
    serializer->automaticallyInflatesResponseImage = inflates.boolValue();
    return serializer;
}

}  // namespace telvo
