// Runs the JSON response serializer over a reply: the first byte picks the status code and
// whether null keys are removed, the text up to the first newline is the content type, the rest
// is the body. The result is an object, an error, both, or neither; never a crash. An object
// must be a container that prints as JSON, and a refused status always comes with an error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/QKAFHTTPResponseSerializer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const long kStatuses[] = {200, 201, 204, 301, 404, 500};
    auto response = std::make_shared<telvo::HTTPURLResponse>();
    response->url = "https://cloud.test/fuzz";
    response->statusCode = kStatuses[(data[0] & 0x7F) % 6];
    auto serializer = telvo::QKAFJSONResponseSerializer::serializer();
    serializer->setRemovesKeysWithNullValues((data[0] & 0x80) != 0);

    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t newline = rest.find('\n');
    if (newline != std::string_view::npos) {
        if (newline > 0) response->MIMEType = std::string(rest.substr(0, newline));
        rest.remove_prefix(newline + 1);
    } else {
        response->MIMEType = "application/json";
    }
    std::optional<telvo::Bytes> body;
    if (!rest.empty()) body = telvo::Bytes(rest.begin(), rest.end());

    telvo::ErrorPtr error;
    auto object = serializer->responseObjectForResponse(response, body, &error);
    if (object && !(object->isArray() || object->isDictionary())) std::abort();
    if (object && !object->toJSON()) std::abort();
    bool statusAccepted = response->statusCode >= 200 && response->statusCode < 300;
    if (!statusAccepted && body && !error) std::abort();
    return 0;
}
