#pragma once

#include <memory>
#include <optional>

#include "http/QKAFHTTPResponseSerializer.h"
#include "telvosdk/QKImage.h"

namespace telvo {

// Decodes an image body ("image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico",
// "image/x-icon", "image/bmp", "image/x-bmp", "image/x-xbitmap", "image/x-win-bitmap") into a
// QKImage object (a std::shared_ptr<QKImage> in the Value) through QKImage::af_safeImageWithData,
// at imageScale. The rules are the JSON serializer's: a body refused by validation or empty gives
// no object; a refused status still decodes, with the -1011 error, when the caller asks for the
// error (without an error to hand back, a refused status gives no object). The bytes decide the
// format: a body that is none of the decoded formats, is truncated or corrupt, is over
// QKImage::maximumPixelCount() pixels or is built to make decoding slow gives no object and error
// -1016 in the response domain ("Request failed: unreadable image: " and the reason), with the
// validation error underneath. Decoding is synchronous and never deferred: the object
// always holds the finished bitmap, so nothing decodes it again later.
class QKAFImageResponseSerializer : public QKAFHTTPResponseSerializer {
  public:
    static std::shared_ptr<QKAFImageResponseSerializer> serializer() {
        return std::make_shared<QKAFImageResponseSerializer>();
    }
    QKAFImageResponseSerializer();

    // Pixels per point of the images made; 1 (Linux has no main screen to take it from).
    double imageScale = 1.0;
    // The decoded pixels are redrawn into the plain RGBA bitmap that QKImage describes. Decoding
    // here always ends in that bitmap, so the images are the same either way; kept, copied and
    // archived for the apps that set it.
    bool automaticallyInflatesResponseImage = true;

    // Ignores a scale that is not a positive finite number.
    void setImageScale(double scale);
    void setAutomaticallyInflatesResponseImage(bool inflates) {
        automaticallyInflatesResponseImage = inflates;
    }

    std::optional<Value> responseObjectForResponse(const HTTPURLResponsePtr& response,
                                                   const std::optional<Bytes>& data,
                                                   ErrorPtr* error) const override;
    std::shared_ptr<QKAFURLResponseSerialization> copy() const override {
        return std::make_shared<QKAFImageResponseSerializer>(*this);
    }
    // Adds "imageScale" and "automaticallyInflatesResponseImage".
    void encodeWithCoder(Dictionary& coder) const override;
    // A serializer with the two settings of the archive (the base class's are the caller's to
    // read); null when either is missing or of the wrong kind, or the scale is not positive.
    static std::shared_ptr<QKAFImageResponseSerializer> fromCoder(const Dictionary& coder);
};

}  // namespace telvo
