#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/http/URLSession.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

namespace telvo {

inline constexpr const char* QKAFURLResponseSerializationErrorDomain =
    "com.alamofire.error.serialization.response";
inline constexpr const char* QKAFNetworkingOperationFailingURLResponseErrorKey =
    "com.alamofire.serialization.response.error.response";
inline constexpr const char* QKAFNetworkingOperationFailingURLResponseDataErrorKey =
    "com.alamofire.serialization.response.error.data";
// The platform's user-info keys.
inline constexpr const char* kNSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kNSErrorFailingURLKey = "NSErrorFailingURLKey";
inline constexpr const char* kNSLocalizedDescriptionKey = "NSLocalizedDescription";
// The platform's JSON reader reports in this domain with this code.
inline constexpr const char* kNSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr int64_t kNSPropertyListReadCorruptError = 3840;

// The underlying error stored in an error's user info, or null.
ErrorPtr underlyingErrorOf(const ErrorPtr& error);
// error with underlying added (see the session layer's error rule); either may be null.
ErrorPtr QKAFErrorWithUnderlyingError(const ErrorPtr& error, const ErrorPtr& underlying);

// Checks a response and turns its body into an object. Implementations only read their own
// fields while they work, so one serializer may run for several tasks at once.
class QKAFURLResponseSerialization {
  public:
    virtual ~QKAFURLResponseSerialization() = default;
    // The object (nullopt for none) and, at the same time, possibly an error.
    virtual std::optional<Value> responseObjectForResponse(const HTTPURLResponsePtr& response,
                                                           const std::optional<Bytes>& data,
                                                           ErrorPtr* error) const = 0;
};

// Validates status code and content type; the object is the body bytes.
class QKAFHTTPResponseSerializer : public QKAFURLResponseSerialization {
  public:
    static std::shared_ptr<QKAFHTTPResponseSerializer> serializer() {
        return std::make_shared<QKAFHTTPResponseSerializer>();
    }

    uint64_t stringEncoding = 4;
    // nullopt: any status code, any content type.
    std::optional<std::set<long>> acceptableStatusCodes = defaultStatusCodes();
    std::optional<std::set<std::string>> acceptableContentTypes;

    void setAcceptableStatusCodes(std::optional<std::set<long>> codes) {
        acceptableStatusCodes = std::move(codes);
    }
    void setAcceptableContentTypes(std::optional<std::set<std::string>> types) {
        acceptableContentTypes = std::move(types);
    }

    // True when acceptable; otherwise *error (when given) may hold the reason.
    bool validateResponse(const HTTPURLResponsePtr& response, const std::optional<Bytes>& data,
                          ErrorPtr* error) const;
    std::optional<Value> responseObjectForResponse(const HTTPURLResponsePtr& response,
                                                   const std::optional<Bytes>& data,
                                                   ErrorPtr* error) const override;

  private:
    static std::set<long> defaultStatusCodes();
};

// Reads the body as JSON: an object or an array at the top level, integers exact in 64 bits.
class QKAFJSONResponseSerializer : public QKAFHTTPResponseSerializer {
  public:
    static std::shared_ptr<QKAFJSONResponseSerializer> serializer() {
        return serializerWithReadingOptions(0);
    }
    static std::shared_ptr<QKAFJSONResponseSerializer> serializerWithReadingOptions(
        uint64_t options);
    QKAFJSONResponseSerializer();

    uint64_t readingOptions = 0;
    bool removesKeysWithNullValues = false;
    void setRemovesKeysWithNullValues(bool removes) { removesKeysWithNullValues = removes; }

    std::optional<Value> responseObjectForResponse(const HTTPURLResponsePtr& response,
                                                   const std::optional<Bytes>& data,
                                                   ErrorPtr* error) const override;
};

// Arrays keep their null elements; dictionaries lose keys whose value is null, at every depth.
Value QKAFJSONObjectByRemovingKeysWithNullValues(const Value& object, uint64_t readingOptions);

}  // namespace telvo
