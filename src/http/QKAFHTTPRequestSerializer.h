#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "http/QKAFStreamingMultipartFormData.h"
#include "platform/foundation/PropertyList.h"
#include "platform/http/URLSession.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

namespace telvo {

inline constexpr const char* QKAFURLRequestSerializationErrorDomain =
    "com.alamofire.error.serialization.request";
inline constexpr const char* QKAFNetworkingOperationFailingURLRequestErrorKey =
    "com.alamofire.serialization.request.error.response";

// Turns a method, a URL text and parameters into a request.
class QKAFURLRequestSerialization {
  public:
    virtual ~QKAFURLRequestSerialization() = default;
    // A new request, or nullopt with *error set.
    virtual std::optional<URLRequest> requestBySerializingRequest(
        const URLRequest& request, const std::optional<Value>& parameters,
        ErrorPtr* error) const = 0;
    // A serializer of the same class with the same settings, independent of this one.
    virtual std::shared_ptr<QKAFURLRequestSerialization> copy() const = 0;
    // Keyed archiving: the class and the settings under their keys (a query-string block is
    // not kept).
    virtual void encodeWithCoder(Dictionary& coder) const = 0;
    // A serializer of the archived class with the archived settings; null for another class or
    // settings of the wrong kinds.
    static std::shared_ptr<QKAFURLRequestSerialization> initWithCoder(const Dictionary& coder);
};

// One key-value pair of a query string; a null value writes the field alone.
struct QKAFQueryStringPair {
    std::string field;
    Value value;
    std::string URLEncodedStringValue() const;
};

// Every character but letters, digits and "-._~/?" escaped as %XX of its UTF-8 bytes.
std::string QKAFPercentEscapedStringFromString(const std::string& text);
std::string QKAFQueryStringFromParameters(const Value& parameters);
std::vector<QKAFQueryStringPair> QKAFQueryStringPairsFromDictionary(const Value& dictionary);
std::vector<QKAFQueryStringPair> QKAFQueryStringPairsFromKeyAndValue(
    const std::optional<std::string>& key, const Value& value);

// The form-encoding request serializer. Not thread-safe: changing headers or properties must
// not overlap with building a request.
class QKAFHTTPRequestSerializer : public QKAFURLRequestSerialization {
  public:
    using QueryStringSerialization = std::function<std::optional<std::string>(
        const URLRequest& request, const Value& parameters, ErrorPtr* error)>;
    using ConstructingBodyBlock = std::function<void(QKAFStreamingMultipartFormData& formData)>;

    static std::shared_ptr<QKAFHTTPRequestSerializer> serializer();
    // Sets the default "Accept-Language" and "User-Agent" from the device information.
    QKAFHTTPRequestSerializer();

    uint64_t stringEncoding = 4;  // UTF-8, the only encoding written
    std::set<std::string> HTTPMethodsEncodingParametersInURI = {"GET", "HEAD", "DELETE"};
    uint64_t queryStringSerializationStyle = 0;

    // The six request properties: only those set on the serializer reach its requests.
    void setAllowsCellularAccess(bool value);
    void setCachePolicy(uint64_t value);
    void setHTTPShouldHandleCookies(bool value);
    void setHTTPShouldUsePipelining(bool value);
    void setNetworkServiceType(uint64_t value);
    void setTimeoutInterval(double value);
    bool allowsCellularAccess() const { return properties_.allowsCellularAccess; }
    uint64_t cachePolicy() const { return properties_.cachePolicy; }
    bool HTTPShouldHandleCookies() const { return properties_.HTTPShouldHandleCookies; }
    bool HTTPShouldUsePipelining() const { return properties_.HTTPShouldUsePipelining; }
    uint64_t networkServiceType() const { return properties_.networkServiceType; }
    double timeoutInterval() const { return properties_.timeoutInterval; }
    const std::set<std::string>& mutableObservedChangedKeyPaths() const { return changed_; }

    // nullopt removes the header.
    void setValue(std::optional<std::string> value, const std::string& field);
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
    HTTPHeaderFields HTTPRequestHeaders() const { return headers_; }
    void setAuthorizationHeaderFieldWithUsername(const std::string& username,
                                                 const std::string& password);
    void clearAuthorizationHeader();
    void setQueryStringSerializationWithStyle(uint64_t style);
    void setQueryStringSerializationWithBlock(QueryStringSerialization block);

    std::optional<URLRequest> requestWithMethod(const std::string& method,
                                                const std::string& URLString,
                                                const std::optional<Value>& parameters,
                                                ErrorPtr* error) const;
    std::optional<URLRequest> requestBySerializingRequest(const URLRequest& request,
                                                          const std::optional<Value>& parameters,
                                                          ErrorPtr* error) const override;
    std::shared_ptr<QKAFURLRequestSerialization> copy() const override {
        return std::make_shared<QKAFHTTPRequestSerializer>(*this);
    }
    // "mutableHTTPRequestHeaders", "queryStringSerializationStyle", "stringEncoding",
    // "HTTPMethodsEncodingParametersInURI" and each request property set, under its name.
    void encodeWithCoder(Dictionary& coder) const override;

    // A multipart/form-data request: a form part per parameter pair (bytes as they are, null
    // as no bytes, anything else as its text), then the parts the block adds. The body is a
    // stream (QKAFMultipartBodyStream) read as the request is sent.
    std::optional<URLRequest> multipartFormRequestWithMethod(const std::string& method,
                                                             const std::string& URLString,
                                                             const std::optional<Value>& parameters,
                                                             const ConstructingBodyBlock& block,
                                                             ErrorPtr* error) const;
    // Writes the request's body stream into the file (a file URL or a path) on a global queue
    // and returns the request without its body stream, at once. The handler runs once on the
    // main queue: null when the whole body was written, else why not (a request without a
    // body stream, or a file URL that is not one, is refused with code -1000).
    URLRequest requestWithMultipartFormRequest(
        const URLRequest& request, const std::string& fileURL,
        std::function<void(const ErrorPtr& error)> completionHandler) const;

  protected:
    // A copy of the request with every serializer header it does not carry yet.
    URLRequest requestWithDefaultHeaders(const URLRequest& request) const;
    // The body serializers' way: the methods in HTTPMethodsEncodingParametersInURI as a form;
    // any other gets the serializer headers and, with parameters, contentType (unless the
    // request has a type) and the body encode makes. When encode fails (setting *error), the
    // request goes without a body (sendsWithoutBody) or there is none.
    using BodyEncoder = std::function<std::optional<Bytes>(const Value& parameters, ErrorPtr*)>;
    std::optional<URLRequest> requestWithEncodedBody(const URLRequest& request,
                                                     const std::optional<Value>& parameters,
                                                     const char* contentType,
                                                     const BodyEncoder& encode,
                                                     bool sendsWithoutBody, ErrorPtr* error) const;

  private:
    friend class QKAFURLRequestSerialization;
    // The base class's settings from an archive; false for fields of the wrong kinds.
    bool decodeWithCoder(const Dictionary& coder);
    URLRequest properties_;  // holds the six property values
    std::set<std::string> changed_;
    HTTPHeaderFields headers_;
    QueryStringSerialization queryStringSerialization_;
};

// Writes the parameters as a JSON body (methods outside HTTPMethodsEncodingParametersInURI).
class QKAFJSONRequestSerializer : public QKAFHTTPRequestSerializer {
  public:
    static std::shared_ptr<QKAFJSONRequestSerializer> serializer() {
        return serializerWithWritingOptions(0);
    }
    // Option 1 writes indented JSON.
    static std::shared_ptr<QKAFJSONRequestSerializer> serializerWithWritingOptions(
        uint64_t options);

    uint64_t writingOptions = 0;

    // A parameters object JSON cannot express (or a top-level value that is not an object or
    // an array) sets *error and still returns the request, without a body.
    std::optional<URLRequest> requestBySerializingRequest(const URLRequest& request,
                                                          const std::optional<Value>& parameters,
                                                          ErrorPtr* error) const override;
    std::shared_ptr<QKAFURLRequestSerialization> copy() const override {
        return std::make_shared<QKAFJSONRequestSerializer>(*this);
    }
    // Adds "writingOptions".
    void encodeWithCoder(Dictionary& coder) const override;
};

// Writes the parameters as a property-list body, "application/x-plist" (methods outside
// HTTPMethodsEncodingParametersInURI).
class QKAFPropertyListRequestSerializer : public QKAFHTTPRequestSerializer {
  public:
    static std::shared_ptr<QKAFPropertyListRequestSerializer> serializer() {
        return serializerWithFormat(kPropertyListXMLFormat, 0);
    }
    // format: 100 (XML) or 200 (binary).
    static std::shared_ptr<QKAFPropertyListRequestSerializer> serializerWithFormat(
        uint64_t format, uint64_t writeOptions);

    uint64_t format = kPropertyListXMLFormat;
    uint64_t writeOptions = 0;

    // Parameters a property list cannot hold (a null, another format) set *error and yield no
    // request.
    std::optional<URLRequest> requestBySerializingRequest(const URLRequest& request,
                                                          const std::optional<Value>& parameters,
                                                          ErrorPtr* error) const override;
    std::shared_ptr<QKAFURLRequestSerialization> copy() const override {
        return std::make_shared<QKAFPropertyListRequestSerializer>(*this);
    }
    // Adds "format" and "writeOptions".
    void encodeWithCoder(Dictionary& coder) const override;
};

}  // namespace telvo
