#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/FoundationErrors.h"
#include "platform/foundation/PropertyList.h"
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

// An error of the response domain with the user info every serializer gives it: the
// description, the failing URL and the response (when there is a response) and the body (when
// there is one).
ErrorPtr QKAFResponseSerializationError(int64_t code, std::string description,
                                        const HTTPURLResponsePtr& response,
                                        const std::optional<Bytes>& data);
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
    // A serializer of the same class with the same settings, independent of this one.
    virtual std::shared_ptr<QKAFURLResponseSerialization> copy() const = 0;
    // Keyed archiving: the class and the settings under their keys.
    virtual void encodeWithCoder(Dictionary& coder) const = 0;
    // A serializer of the archived class with the archived settings; null for another class or
    // settings of the wrong kinds.
    static std::shared_ptr<QKAFURLResponseSerialization> initWithCoder(const Dictionary& coder);
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
    std::shared_ptr<QKAFURLResponseSerialization> copy() const override {
        return std::make_shared<QKAFHTTPResponseSerializer>(*this);
    }
    // "stringEncoding", and "acceptableStatusCodes" and "acceptableContentTypes" when set.
    void encodeWithCoder(Dictionary& coder) const override;

  protected:
    friend class QKAFURLResponseSerialization;
    // The base class's settings from an archive; false for fields of the wrong kinds.
    bool decodeWithCoder(const Dictionary& coder);
    // The start every parsing serializer shares: validates into *error; false when the object
    // must be null at once (the response is invalid and either the caller gave no error
    // out-parameter or the content type was refused), or the body is empty.
    bool validateBeforeParsing(const HTTPURLResponsePtr& response, const std::optional<Bytes>& data,
                               ErrorPtr* error) const;

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
    std::shared_ptr<QKAFURLResponseSerialization> copy() const override {
        return std::make_shared<QKAFJSONResponseSerializer>(*this);
    }
    // Adds "readingOptions" and "removesKeysWithNullValues".
    void encodeWithCoder(Dictionary& coder) const override;
};

// Reads the body as a property list (XML or binary), "application/x-plist".
class QKAFPropertyListResponseSerializer : public QKAFHTTPResponseSerializer {
  public:
    static std::shared_ptr<QKAFPropertyListResponseSerializer> serializer() {
        return serializerWithFormat(kPropertyListXMLFormat, 0);
    }
    static std::shared_ptr<QKAFPropertyListResponseSerializer> serializerWithFormat(
        uint64_t format, uint64_t readOptions);
    QKAFPropertyListResponseSerializer();

    // Either form is read whatever the format says; it is kept for copies.
    uint64_t format = kPropertyListXMLFormat;
    uint64_t readOptions = 0;

    std::optional<Value> responseObjectForResponse(const HTTPURLResponsePtr& response,
                                                   const std::optional<Bytes>& data,
                                                   ErrorPtr* error) const override;
    std::shared_ptr<QKAFURLResponseSerialization> copy() const override {
        return std::make_shared<QKAFPropertyListResponseSerializer>(*this);
    }
    // Adds "format" and "readOptions".
    void encodeWithCoder(Dictionary& coder) const override;
};

// Checks the body as an XML document ("application/xml", "text/xml") and answers with a parser
// over it (an XMLParser object) that the caller runs with a delegate of its own. The rules are
// the JSON serializer's: a body refused by validation or empty gives no object, and a document
// that does not parse (among them one declaring an external entity, one whose entities expand
// far beyond its size, or one nested too deep) gives no object and the parse error, with the
// validation error underneath.
class QKAFXMLParserResponseSerializer : public QKAFHTTPResponseSerializer {
  public:
    static std::shared_ptr<QKAFXMLParserResponseSerializer> serializer() {
        return std::make_shared<QKAFXMLParserResponseSerializer>();
    }
    QKAFXMLParserResponseSerializer();

    std::optional<Value> responseObjectForResponse(const HTTPURLResponsePtr& response,
                                                   const std::optional<Bytes>& data,
                                                   ErrorPtr* error) const override;
    std::shared_ptr<QKAFURLResponseSerialization> copy() const override {
        return std::make_shared<QKAFXMLParserResponseSerializer>(*this);
    }
    void encodeWithCoder(Dictionary& coder) const override;
};

// Tries its serializers in order and answers with the first object one of them produces
// (with that serializer's error, if any). A serializer that validates responses is skipped
// when it refuses this one. When none produces an object, the answer is null with the error
// of the last one tried (or this serializer's own validation error, when none was tried).
class QKAFCompoundResponseSerializer : public QKAFHTTPResponseSerializer {
  public:
    using Serializers = std::vector<std::shared_ptr<QKAFURLResponseSerialization>>;
    static std::shared_ptr<QKAFCompoundResponseSerializer>
    compoundSerializerWithResponseSerializers(Serializers responseSerializers);

    const Serializers& responseSerializers() const { return responseSerializers_; }

    std::optional<Value> responseObjectForResponse(const HTTPURLResponsePtr& response,
                                                   const std::optional<Bytes>& data,
                                                   ErrorPtr* error) const override;
    // Copies of the serializers, too.
    std::shared_ptr<QKAFURLResponseSerialization> copy() const override;
    // Adds "responseSerializers", each archived in turn.
    void encodeWithCoder(Dictionary& coder) const override;

  private:
    Serializers responseSerializers_;
};

// Arrays keep their null elements; dictionaries lose keys whose value is null, at every depth.
Value QKAFJSONObjectByRemovingKeysWithNullValues(const Value& object, uint64_t readingOptions);

}  // namespace telvo
