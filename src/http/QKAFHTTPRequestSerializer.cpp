#include "http/QKAFHTTPRequestSerializer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/base/AsciiText.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/AppLifecycle.h"
#include "platform/foundation/FoundationErrors.h"
#include "platform/foundation/KeyedArchive.h"

namespace telvo {

namespace {

// The text a value stands for in a query or a form part (its description).
std::optional<std::string> describeParameter(const Value& value) {
    switch (value.type()) {
        case Value::Type::Null:
            return std::nullopt;
        case Value::Type::Bool:
            return std::string(value.boolValue() ? "1" : "0");
        case Value::Type::Int:
            return std::to_string(value.int64Value());
        case Value::Type::UInt:
            return std::to_string(value.uint64Value());
        case Value::Type::Double: {
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", value.doubleValue());
            return std::string(text);
        }
        case Value::Type::Text:
            return value.text();
        case Value::Type::Bytes: {
            static const char* digits = "0123456789abcdef";
            std::string text = "<";
            for (uint8_t byte : value.bytes()) {
                text += digits[byte >> 4];
                text += digits[byte & 15];
            }
            return text + ">";
        }
        default:
            return value.toJSON().value_or("");
    }
}

std::string acceptLanguage(const std::vector<std::string>& languages) {
    std::string header;
    for (size_t i = 0; i < languages.size(); ++i) {
        float q = 1.0f - 0.1f * float(i);
        char entry[160];
        std::snprintf(entry, sizeof entry, "%s;q=%0.1g", languages[i].c_str(), double(q));
        if (!header.empty()) header += ", ";
        header += entry;
        if (q <= 0.5f) break;
    }
    return header;
}

std::string userAgent(const DeviceInfo& info) {
    const std::string& name =
        info.executableName.empty() ? info.bundleIdentifier : info.executableName;
    const std::string& version = info.shortVersion.empty() ? info.bundleVersion : info.shortVersion;
    char scale[32];
    std::snprintf(scale, sizeof scale, "%0.2f", info.screenScale);
    std::string text = name + "/" + version + " (" + info.model + "; iOS " + info.systemVersion +
                       "; Scale/" + scale + ")";
    // Characters outside ASCII are dropped (the platform transliterates first).
    std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return text;
}

ErrorPtr requestError(const char* reason) {
    return makeError(QKAFURLRequestSerializationErrorDomain, -1000, reason,
                     Dictionary{{NSLocalizedFailureReasonErrorKey, Value(reason)}});
}

// The whole stream into the file (made or emptied first); null when every byte was written.
ErrorPtr writeStreamToFile(InputStream& stream, const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return posixError(errno, path);
    stream.open();
    ErrorPtr error;
    std::vector<uint8_t> buffer(64 * 1024);
    while (!error) {
        ptrdiff_t count = stream.read(buffer.data(), buffer.size());
        if (count < 0) error = stream.streamError() ? stream.streamError() : posixError(EIO);
        if (count <= 0) break;
        for (ptrdiff_t at = 0; at < count && !error;) {
            ssize_t written = ::write(fd, buffer.data() + at, size_t(count - at));
            if (written < 0 && errno != EINTR) error = posixError(errno, path);
            if (written > 0) at += written;
        }
    }
    stream.close();
    if (::close(fd) != 0 && !error) error = posixError(errno, path);
    return error;
}

}  // namespace

std::string QKAFPercentEscapedStringFromString(const std::string& text) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/' || c == '?';
        if (allowed) {
            out += char(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string QKAFQueryStringPair::URLEncodedStringValue() const {
    std::optional<std::string> text = describeParameter(value);
    if (!text) return QKAFPercentEscapedStringFromString(field);
    return QKAFPercentEscapedStringFromString(field) + "=" +
           QKAFPercentEscapedStringFromString(*text);
}

std::vector<QKAFQueryStringPair> QKAFQueryStringPairsFromDictionary(const Value& dictionary) {
    return QKAFQueryStringPairsFromKeyAndValue(std::nullopt, dictionary);
}

std::vector<QKAFQueryStringPair> QKAFQueryStringPairsFromKeyAndValue(
    const std::optional<std::string>& key, const Value& value) {
    std::vector<QKAFQueryStringPair> pairs;
    auto append = [&](std::vector<QKAFQueryStringPair> more) {
        pairs.insert(pairs.end(), std::make_move_iterator(more.begin()),
                     std::make_move_iterator(more.end()));
    };
    if (value.isDictionary()) {
        std::vector<std::string> keys = value.dictionary().keys();
        std::sort(keys.begin(), keys.end());
        for (const auto& name : keys) {
            const Value& nested = value.dictionary()[name];
            append(
                QKAFQueryStringPairsFromKeyAndValue(key ? *key + "[" + name + "]" : name, nested));
        }
    } else if (value.isArray()) {
        for (const Value& element : value.array())
            append(QKAFQueryStringPairsFromKeyAndValue(key.value_or("") + "[]", element));
    } else {
        pairs.push_back({key.value_or(""), value});
    }
    return pairs;
}

std::string QKAFQueryStringFromParameters(const Value& parameters) {
    std::string query;
    for (const auto& pair : QKAFQueryStringPairsFromDictionary(parameters)) {
        if (!query.empty()) query += "&";
        query += pair.URLEncodedStringValue();
    }
    return query;
}

std::shared_ptr<QKAFHTTPRequestSerializer> QKAFHTTPRequestSerializer::serializer() {
    return std::make_shared<QKAFHTTPRequestSerializer>();
}

QKAFHTTPRequestSerializer::QKAFHTTPRequestSerializer() {
    DeviceInfo info = DeviceInfo::current();
    headers_.set("Accept-Language", acceptLanguage(info.preferredLanguages));
    headers_.set("User-Agent", userAgent(info));
}

void QKAFHTTPRequestSerializer::setAllowsCellularAccess(bool value) {
    properties_.allowsCellularAccess = value;
    changed_.insert("allowsCellularAccess");
}
void QKAFHTTPRequestSerializer::setCachePolicy(uint64_t value) {
    properties_.cachePolicy = value;
    changed_.insert("cachePolicy");
}
void QKAFHTTPRequestSerializer::setHTTPShouldHandleCookies(bool value) {
    properties_.HTTPShouldHandleCookies = value;
    changed_.insert("HTTPShouldHandleCookies");
}
void QKAFHTTPRequestSerializer::setHTTPShouldUsePipelining(bool value) {
    properties_.HTTPShouldUsePipelining = value;
    changed_.insert("HTTPShouldUsePipelining");
}
void QKAFHTTPRequestSerializer::setNetworkServiceType(uint64_t value) {
    properties_.networkServiceType = value;
    changed_.insert("networkServiceType");
}
void QKAFHTTPRequestSerializer::setTimeoutInterval(double value) {
    properties_.timeoutInterval = value;
    changed_.insert("timeoutInterval");
}

void QKAFHTTPRequestSerializer::setValue(std::optional<std::string> value,
                                         const std::string& field) {
    headers_.set(field, std::move(value));
}

std::optional<std::string> QKAFHTTPRequestSerializer::valueForHTTPHeaderField(
    const std::string& field) const {
    return headers_.value(field);
}

void QKAFHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(
    const std::string& username, const std::string& password) {
    std::string credentials = username + ":" + password;
    std::string encoded(4 * ((credentials.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                 reinterpret_cast<const unsigned char*>(credentials.data()),
                                 int(credentials.size()));
    encoded.resize(size_t(std::max(length, 0)));
    setValue("Basic " + encoded, "Authorization");
}

void QKAFHTTPRequestSerializer::clearAuthorizationHeader() {
    setValue(std::nullopt, "Authorization");
}

void QKAFHTTPRequestSerializer::setQueryStringSerializationWithStyle(uint64_t style) {
    queryStringSerializationStyle = style;
    queryStringSerialization_ = nullptr;
}

void QKAFHTTPRequestSerializer::setQueryStringSerializationWithBlock(
    QueryStringSerialization block) {
    queryStringSerialization_ = std::move(block);
}

std::optional<URLRequest> QKAFHTTPRequestSerializer::requestWithMethod(
    const std::string& method, const std::string& URLString, const std::optional<Value>& parameters,
    ErrorPtr* error) const {
    URLRequest request;
    request.url = URLString;
    request.httpMethod = method;
    for (const auto& name : changed_) {
        if (name == "allowsCellularAccess")
            request.allowsCellularAccess = properties_.allowsCellularAccess;
        if (name == "cachePolicy") request.cachePolicy = properties_.cachePolicy;
        if (name == "HTTPShouldHandleCookies")
            request.HTTPShouldHandleCookies = properties_.HTTPShouldHandleCookies;
        if (name == "HTTPShouldUsePipelining")
            request.HTTPShouldUsePipelining = properties_.HTTPShouldUsePipelining;
        if (name == "networkServiceType")
            request.networkServiceType = properties_.networkServiceType;
        if (name == "timeoutInterval") request.timeoutInterval = properties_.timeoutInterval;
    }
    return requestBySerializingRequest(request, parameters, error);
}

URLRequest QKAFHTTPRequestSerializer::requestWithDefaultHeaders(const URLRequest& request) const {
    URLRequest out = request;
    for (const auto& [name, value] : headers_.fields())
        if (!out.headers.value(name)) out.headers.set(name, value);
    return out;
}

std::optional<URLRequest> QKAFHTTPRequestSerializer::requestBySerializingRequest(
    const URLRequest& request, const std::optional<Value>& parameters, ErrorPtr* error) const {
    URLRequest out = requestWithDefaultHeaders(request);
    std::optional<std::string> query;
    if (parameters) {
        if (queryStringSerialization_) {
            ErrorPtr blockError;
            query = queryStringSerialization_(out, *parameters, &blockError);
            if (blockError) {
                if (error) *error = blockError;
                return std::nullopt;
            }
        } else if (queryStringSerializationStyle == 0) {
            query = QKAFQueryStringFromParameters(*parameters);
        }
    }
    if (HTTPMethodsEncodingParametersInURI.count(uppercased(out.httpMethod))) {
        if (query && !query->empty()) {
            bool hasQuery = out.url.find('?') != std::string::npos;
            out.url += (hasQuery ? "&" : "?") + *query;
        }
        return out;
    }
    if (!out.headers.value("Content-Type"))
        out.headers.set("Content-Type", "application/x-www-form-urlencoded");
    std::string body = query.value_or("");
    out.httpBody = Bytes(body.begin(), body.end());
    return out;
}

std::shared_ptr<QKAFJSONRequestSerializer> QKAFJSONRequestSerializer::serializerWithWritingOptions(
    uint64_t options) {
    auto serializer = std::make_shared<QKAFJSONRequestSerializer>();
    serializer->writingOptions = options;
    return serializer;
}

std::optional<URLRequest> QKAFHTTPRequestSerializer::requestWithEncodedBody(
    const URLRequest& request, const std::optional<Value>& parameters, const char* contentType,
    const BodyEncoder& encode, bool sendsWithoutBody, ErrorPtr* error) const {
    if (HTTPMethodsEncodingParametersInURI.count(uppercased(request.httpMethod)))
        return QKAFHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
    URLRequest out = requestWithDefaultHeaders(request);
    if (!parameters) return out;
    if (!out.headers.value("Content-Type")) out.headers.set("Content-Type", contentType);
    std::optional<Bytes> body = encode(*parameters, error);
    if (!body) return sendsWithoutBody ? std::optional<URLRequest>(out) : std::nullopt;
    out.httpBody = std::move(body);
    return out;
}

std::optional<URLRequest> QKAFJSONRequestSerializer::requestBySerializingRequest(
    const URLRequest& request, const std::optional<Value>& parameters, ErrorPtr* error) const {
    auto encode = [this](const Value& parameters, ErrorPtr* error) -> std::optional<Bytes> {
        std::optional<std::string> json;
        if (parameters.isDictionary() || parameters.isArray())
            json = (writingOptions & 1) ? parameters.toPrettyJSON() : parameters.toJSON();
        if (json) return Bytes(json->begin(), json->end());
        if (error)
            *error = makeError(kNSCocoaErrorDomain, kNSPropertyListWriteStreamError,
                               "Invalid object for JSON writing.");
        return std::nullopt;
    };
    return requestWithEncodedBody(request, parameters, "application/json", encode, true, error);
}

std::optional<URLRequest> QKAFHTTPRequestSerializer::multipartFormRequestWithMethod(
    const std::string& method, const std::string& URLString, const std::optional<Value>& parameters,
    const ConstructingBodyBlock& block, ErrorPtr* error) const {
    std::optional<URLRequest> request = requestWithMethod(method, URLString, std::nullopt, error);
    if (!request) return std::nullopt;
    QKAFStreamingMultipartFormData formData(std::move(*request), stringEncoding);
    if (parameters) {
        for (const auto& pair : QKAFQueryStringPairsFromDictionary(*parameters)) {
            if (pair.value.isBytes()) {
                formData.appendPartWithFormData(pair.value.bytes(), pair.field);
            } else {
                std::string text = describeParameter(pair.value).value_or("");
                formData.appendPartWithFormData(Bytes(text.begin(), text.end()), pair.field);
            }
        }
    }
    if (block) block(formData);
    return formData.requestByFinalizingMultipartFormData();
}

URLRequest QKAFHTTPRequestSerializer::requestWithMultipartFormRequest(
    const URLRequest& request, const std::string& fileURL,
    std::function<void(const ErrorPtr& error)> completionHandler) const {
    URLRequest out = request;
    out.httpBodyStream.reset();
    auto finish = [handler = std::move(completionHandler)](ErrorPtr error) {
        if (handler) DispatchQueue::main()->async([handler, error] { handler(error); });
    };
    std::optional<std::string> path = filePathOfURL(fileURL);
    if (!request.httpBodyStream || !path) {
        finish(requestError(path ? "Expected a request with a body stream"
                                 : "Expected URL to be a file URL"));
        return out;
    }
    DispatchQueue::global()->async([stream = request.httpBodyStream, path = *path, finish] {
        finish(writeStreamToFile(*stream, path));
    });
    return out;
}

std::shared_ptr<QKAFPropertyListRequestSerializer>
QKAFPropertyListRequestSerializer::serializerWithFormat(uint64_t format, uint64_t writeOptions) {
    auto serializer = std::make_shared<QKAFPropertyListRequestSerializer>();
    serializer->format = format;
    serializer->writeOptions = writeOptions;
    return serializer;
}

std::optional<URLRequest> QKAFPropertyListRequestSerializer::requestBySerializingRequest(
    const URLRequest& request, const std::optional<Value>& parameters, ErrorPtr* error) const {
    auto encode = [this](const Value& parameters, ErrorPtr* error) {
        return PropertyListSerialization::dataWithPropertyList(parameters, format, writeOptions,
                                                               error);
    };
    return requestWithEncodedBody(request, parameters, "application/x-plist", encode, false, error);
}

// ---------------------------------------------------------------------------------------------
// Keyed archiving

namespace {
// The six request properties in the order requests take them.
constexpr const char* kRequestProperties[] = {"allowsCellularAccess",    "cachePolicy",
                                              "HTTPShouldHandleCookies", "HTTPShouldUsePipelining",
                                              "networkServiceType",      "timeoutInterval"};
}  // namespace

void QKAFHTTPRequestSerializer::encodeWithCoder(Dictionary& coder) const {
    coder.set(KeyedArchive::kClassKey, Value("QKAFHTTPRequestSerializer"));
    Dictionary headers;
    for (const auto& [name, value] : headers_.fields()) headers.set(name, Value(value));
    coder.set("mutableHTTPRequestHeaders", Value(std::move(headers)));
    coder.set("queryStringSerializationStyle", Value(queryStringSerializationStyle));
    coder.set("stringEncoding", Value(stringEncoding));
    Value::Array methods;
    for (const auto& method : HTTPMethodsEncodingParametersInURI) methods.emplace_back(method);
    coder.set("HTTPMethodsEncodingParametersInURI", Value(std::move(methods)));
    for (const char* name : kRequestProperties) {
        if (!changed_.count(name)) continue;
        const std::string_view key(name);
        Value value =
            key == "allowsCellularAccess"      ? Value(properties_.allowsCellularAccess)
            : key == "cachePolicy"             ? Value(properties_.cachePolicy)
            : key == "HTTPShouldHandleCookies" ? Value(properties_.HTTPShouldHandleCookies)
            : key == "HTTPShouldUsePipelining" ? Value(properties_.HTTPShouldUsePipelining)
            : key == "networkServiceType"      ? Value(properties_.networkServiceType)
                                               : Value(properties_.timeoutInterval);
        coder.set(name, std::move(value));
    }
}

bool QKAFHTTPRequestSerializer::decodeWithCoder(const Dictionary& coder) {
    const Value& headers = coder["mutableHTTPRequestHeaders"];
    const Value& style = coder["queryStringSerializationStyle"];
    const Value& encoding = coder["stringEncoding"];
    const Value& methods = coder["HTTPMethodsEncodingParametersInURI"];
    if (!headers.isDictionary() || !style.isInteger() || !encoding.isInteger() ||
        !methods.isArray())
        return false;
    HTTPHeaderFields fields;
    for (const auto& [name, value] : headers.dictionary()) {
        if (!value.isText()) return false;
        fields.set(name, value.text());
    }
    std::set<std::string> methodSet;
    for (const auto& method : methods.array()) {
        if (!method.isText()) return false;
        methodSet.insert(method.text());
    }
    headers_ = std::move(fields);
    queryStringSerializationStyle = style.uint64Value();
    stringEncoding = encoding.uint64Value();
    HTTPMethodsEncodingParametersInURI = std::move(methodSet);
    for (const char* name : kRequestProperties) {
        const Value& value = coder[name];
        if (value.isNull()) continue;
        const std::string_view key(name);
        const bool flag = key == "allowsCellularAccess" || key == "HTTPShouldHandleCookies" ||
                          key == "HTTPShouldUsePipelining";
        if (flag ? !value.isBool() : !value.isNumber()) return false;
        if (key == "allowsCellularAccess") setAllowsCellularAccess(value.boolValue());
        if (key == "cachePolicy") setCachePolicy(value.uint64Value());
        if (key == "HTTPShouldHandleCookies") setHTTPShouldHandleCookies(value.boolValue());
        if (key == "HTTPShouldUsePipelining") setHTTPShouldUsePipelining(value.boolValue());
        if (key == "networkServiceType") setNetworkServiceType(value.uint64Value());
        if (key == "timeoutInterval") setTimeoutInterval(value.doubleValue());
    }
    return true;
}

void QKAFJSONRequestSerializer::encodeWithCoder(Dictionary& coder) const {
    QKAFHTTPRequestSerializer::encodeWithCoder(coder);
    coder.set(KeyedArchive::kClassKey, Value("QKAFJSONRequestSerializer"));
    coder.set("writingOptions", Value(writingOptions));
}

void QKAFPropertyListRequestSerializer::encodeWithCoder(Dictionary& coder) const {
    QKAFHTTPRequestSerializer::encodeWithCoder(coder);
    coder.set(KeyedArchive::kClassKey, Value("QKAFPropertyListRequestSerializer"));
    coder.set("format", Value(format));
    coder.set("writeOptions", Value(writeOptions));
}

std::shared_ptr<QKAFURLRequestSerialization> QKAFURLRequestSerialization::initWithCoder(
    const Dictionary& coder) {
    const std::string name = KeyedArchive::classOf(Value(coder));
    std::shared_ptr<QKAFHTTPRequestSerializer> serializer;
    if (name == "QKAFHTTPRequestSerializer") {
        serializer = QKAFHTTPRequestSerializer::serializer();
    } else if (name == "QKAFJSONRequestSerializer") {
        const Value& options = coder["writingOptions"];
        if (!options.isInteger()) return nullptr;
        serializer = QKAFJSONRequestSerializer::serializerWithWritingOptions(options.uint64Value());
    } else if (name == "QKAFPropertyListRequestSerializer") {
        const Value &format = coder["format"], &options = coder["writeOptions"];
        if (!format.isInteger() || !options.isInteger()) return nullptr;
        serializer = QKAFPropertyListRequestSerializer::serializerWithFormat(format.uint64Value(),
                                                                             options.uint64Value());
    }
    if (!serializer || !serializer->decodeWithCoder(coder)) return nullptr;
    return serializer;
}

}  // namespace telvo
