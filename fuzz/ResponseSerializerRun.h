#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "http/QKAFHTTPResponseSerializer.h"

namespace telvo::fuzz {

// The status codes a response serializer target picks from.
inline constexpr long kReplyStatuses[] = {200, 201, 204, 302, 404, 500};

// Runs a response serializer over a reply with that status and content type whose body is the
// input after its first byte (no body when there is none). Aborts when a refused status or a
// content type outside the serializer's own comes without an error, or that type with an object.
inline std::optional<Value> serializeReply(const QKAFURLResponseSerialization& serializer,
                                           long status, std::string mimeType, bool acceptableType,
                                           const uint8_t* data, size_t size,
                                           ErrorPtr* errorOut = nullptr) {
    auto response = std::make_shared<HTTPURLResponse>();
    response->url = "https://cloud.test/fuzz";
    response->statusCode = status;
    response->MIMEType = std::move(mimeType);
    std::optional<Bytes> body;
    if (size > 1) body = Bytes(data + 1, data + size);
    ErrorPtr error;
    auto object = serializer.responseObjectForResponse(response, body, &error);
    const bool statusAccepted = status >= 200 && status < 300;
    if (body && (!statusAccepted || !acceptableType) && !error) std::abort();
    if (!acceptableType && object) std::abort();
    if (errorOut) *errorOut = error;
    return object;
}

}  // namespace telvo::fuzz
