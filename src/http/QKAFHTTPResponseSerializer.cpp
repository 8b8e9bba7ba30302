#include "http/QKAFHTTPResponseSerializer.h"

#include <vector>

#include "http/QKAFImageResponseSerializer.h"
#include "platform/foundation/KeyedArchive.h"
#include "platform/foundation/XMLParser.h"

namespace telvo {

namespace {

bool hasUnacceptableContentTypeError(const ErrorPtr& error) {
    for (ErrorPtr e = error; e; e = underlyingErrorOf(e)) {
        if (e->code() == -1016 && e->domain() == QKAFURLResponseSerializationErrorDomain)
            return true;
    }
    return false;
}

// Leaves out, in place and without recursion, every dictionary entry whose value is null, at any
// depth; an array keeps its null elements.
void removeKeysWithNullValues(Value& top) {
    auto container = [](const Value& v) { return v.isArray() || v.isDictionary(); };
    std::vector<Value*> pending{&top};
    while (!pending.empty()) {
        Value* v = pending.back();
        pending.pop_back();
        if (v->isArray()) {
            for (Value& element : v->mutableArray())
                if (container(element)) pending.push_back(&element);
            continue;
        }
        if (!v->isDictionary()) continue;
        Dictionary& d = v->mutableDictionary();
        Dictionary kept;
        kept.reserve(d.size());
        for (const std::string& key : d.keys())
            if (Value* value = d.find(key); !value->isNull()) kept.set(key, std::move(*value));
        d = std::move(kept);
        for (const std::string& key : d.keys())
            if (Value* value = d.find(key); container(*value)) pending.push_back(value);
    }
}

}  // namespace

ErrorPtr QKAFResponseSerializationError(int64_t code, std::string description,
                                        const HTTPURLResponsePtr& response,
                                        const std::optional<Bytes>& data) {
    Dictionary info{{kNSLocalizedDescriptionKey, Value(description)}};
    if (response) {
        info.set(kNSErrorFailingURLKey, Value(response->url));
        info.set(QKAFNetworkingOperationFailingURLResponseErrorKey,
                 Value::object(std::const_pointer_cast<HTTPURLResponse>(response)));
    }
    if (data) info.set(QKAFNetworkingOperationFailingURLResponseDataErrorKey, Value(*data));
    return makeError(QKAFURLResponseSerializationErrorDomain, code, std::move(description),
                     std::move(info));
}

ErrorPtr underlyingErrorOf(const ErrorPtr& error) {
    if (!error) return nullptr;
    return error->userInfo()[kNSUnderlyingErrorKey].objectAs<Error>();
}

ErrorPtr QKAFErrorWithUnderlyingError(const ErrorPtr& error, const ErrorPtr& underlying) {
    if (!error) return underlying;
    if (!underlying || underlyingErrorOf(error)) return error;
    return withUnderlyingError(error, underlying);
}

std::set<long> QKAFHTTPResponseSerializer::defaultStatusCodes() {
    std::set<long> codes;
    for (long code = 200; code < 300; ++code) codes.insert(code);
    return codes;
}

bool QKAFHTTPResponseSerializer::validateResponse(const HTTPURLResponsePtr& response,
                                                  const std::optional<Bytes>& data,
                                                  ErrorPtr* error) const {
    if (!response) return true;
    bool valid = true;
    ErrorPtr validationError;
    bool empty = !data || data->empty();
    if (acceptableContentTypes &&
        !(response->MIMEType && acceptableContentTypes->count(*response->MIMEType)) &&
        !(!response->MIMEType && empty)) {
        if (!empty && !response->url.empty()) {
            validationError =
                QKAFResponseSerializationError(-1016,
                                               "Request failed: unacceptable content-type: " +
                                                   response->MIMEType.value_or("(null)"),
                                               response, data);
        }
        valid = false;
    }
    if (acceptableStatusCodes && !acceptableStatusCodes->count(response->statusCode) &&
        !response->url.empty()) {
        auto statusError = QKAFResponseSerializationError(
            -1011,
            "Request failed: " +
                HTTPURLResponse::localizedStringForStatusCode(response->statusCode) + " (" +
                std::to_string(response->statusCode) + ")",
            response, data);
        validationError = QKAFErrorWithUnderlyingError(statusError, validationError);
        valid = false;
    }
    if (error && !valid) *error = validationError;
    return valid;
}

std::optional<Value> QKAFHTTPResponseSerializer::responseObjectForResponse(
    const HTTPURLResponsePtr& response, const std::optional<Bytes>& data, ErrorPtr* error) const {
    validateResponse(response, data, error);
    if (!data) return std::nullopt;
    return Value(*data);
}

std::shared_ptr<QKAFJSONResponseSerializer>
QKAFJSONResponseSerializer::serializerWithReadingOptions(uint64_t options) {
    auto serializer = std::make_shared<QKAFJSONResponseSerializer>();
    serializer->readingOptions = options;
    return serializer;
}

QKAFJSONResponseSerializer::QKAFJSONResponseSerializer() {
    acceptableContentTypes = {"application/json", "text/json", "text/javascript", "text/plain",
                              "text/html"};
}

bool QKAFHTTPResponseSerializer::validateBeforeParsing(const HTTPURLResponsePtr& response,
                                                       const std::optional<Bytes>& data,
                                                       ErrorPtr* error) const {
    ErrorPtr validationError;
    bool valid = validateResponse(response, data, &validationError);
    if (error) *error = validationError;
    if (!valid && (!error || hasUnacceptableContentTypeError(validationError))) return false;
    return data && !data->empty();
}

std::optional<Value> QKAFJSONResponseSerializer::responseObjectForResponse(
    const HTTPURLResponsePtr& response, const std::optional<Bytes>& data, ErrorPtr* error) const {
    if (!validateBeforeParsing(response, data, error) || (data->size() == 1 && (*data)[0] == ' '))
        return std::nullopt;

    std::string reason;
    std::optional<Value> object = Value::fromJSON(
        std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), &reason);
    ErrorPtr parseError;
    if (!object) {
        parseError = makeError(kNSCocoaErrorDomain, kNSPropertyListReadCorruptError,
                               "The data couldn't be read because it isn't in the correct format.",
                               Dictionary{{"NSDebugDescription", Value(reason)}});
    } else if (removesKeysWithNullValues) {
        removeKeysWithNullValues(*object);
    }
    if (error) *error = QKAFErrorWithUnderlyingError(parseError, *error);
    return object;
}

Value QKAFJSONObjectByRemovingKeysWithNullValues(const Value& object, uint64_t) {
    Value copy = object;
    removeKeysWithNullValues(copy);
    return copy;
}

std::shared_ptr<QKAFPropertyListResponseSerializer>
QKAFPropertyListResponseSerializer::serializerWithFormat(uint64_t format, uint64_t readOptions) {
    auto serializer = std::make_shared<QKAFPropertyListResponseSerializer>();
    serializer->format = format;
    serializer->readOptions = readOptions;
    return serializer;
}

QKAFPropertyListResponseSerializer::QKAFPropertyListResponseSerializer() {
    acceptableContentTypes = {"application/x-plist"};
}

std::optional<Value> QKAFPropertyListResponseSerializer::responseObjectForResponse(
    const HTTPURLResponsePtr& response, const std::optional<Bytes>& data, ErrorPtr* error) const {
    if (!validateBeforeParsing(response, data, error)) return std::nullopt;
    ErrorPtr parseError;
    std::optional<Value> object = PropertyListSerialization::propertyListWithData(
        std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), readOptions,
        nullptr, &parseError);
    if (error) *error = QKAFErrorWithUnderlyingError(parseError, *error);
    return object;
}

QKAFXMLParserResponseSerializer::QKAFXMLParserResponseSerializer() {
    acceptableContentTypes = {"application/xml", "text/xml"};
}

std::optional<Value> QKAFXMLParserResponseSerializer::responseObjectForResponse(
    const HTTPURLResponsePtr& response, const std::optional<Bytes>& data, ErrorPtr* error) const {
    if (!validateBeforeParsing(response, data, error) || (data->size() == 1 && (*data)[0] == ' '))
        return std::nullopt;
    auto parser = std::make_shared<XMLParser>(*data);
    ErrorPtr parseError = XMLParser::check(parser->data());
    if (error) *error = QKAFErrorWithUnderlyingError(parseError, *error);
    if (parseError) return std::nullopt;
    return Value::object(std::move(parser));
}

std::shared_ptr<QKAFCompoundResponseSerializer>
QKAFCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
    Serializers responseSerializers) {
    auto serializer = std::make_shared<QKAFCompoundResponseSerializer>();
    std::erase(responseSerializers, nullptr);
    serializer->responseSerializers_ = std::move(responseSerializers);
    return serializer;
}

std::optional<Value> QKAFCompoundResponseSerializer::responseObjectForResponse(
    const HTTPURLResponsePtr& response, const std::optional<Bytes>& data, ErrorPtr* error) const {
    ErrorPtr lastError;
    bool tried = false;
    for (const auto& serializer : responseSerializers_) {
        auto validating = std::dynamic_pointer_cast<QKAFHTTPResponseSerializer>(serializer);
        if (validating && !validating->validateResponse(response, data, nullptr)) continue;
        tried = true;
        lastError = nullptr;
        std::optional<Value> object =
            serializer->responseObjectForResponse(response, data, &lastError);
        if (object) {
            if (error) *error = lastError;
            return object;
        }
    }
    if (!tried) validateResponse(response, data, &lastError);
    if (error) *error = lastError;
    return std::nullopt;
}

std::shared_ptr<QKAFURLResponseSerialization> QKAFCompoundResponseSerializer::copy() const {
    auto serializer = std::make_shared<QKAFCompoundResponseSerializer>(*this);
    for (auto& each : serializer->responseSerializers_) each = each->copy();
    return serializer;
}

// ---------------------------------------------------------------------------------------------
// Keyed archiving

void QKAFHTTPResponseSerializer::encodeWithCoder(Dictionary& coder) const {
    coder.set(KeyedArchive::kClassKey, Value("QKAFHTTPResponseSerializer"));
    coder.set("stringEncoding", Value(stringEncoding));
    if (acceptableStatusCodes) {
        Value::Array codes;
        for (long code : *acceptableStatusCodes) codes.emplace_back(code);
        coder.set("acceptableStatusCodes", Value(std::move(codes)));
    }
    if (acceptableContentTypes) {
        Value::Array types;
        for (const auto& type : *acceptableContentTypes) types.emplace_back(type);
        coder.set("acceptableContentTypes", Value(std::move(types)));
    }
}

bool QKAFHTTPResponseSerializer::decodeWithCoder(const Dictionary& coder) {
    const Value& encoding = coder["stringEncoding"];
    const Value& codes = coder["acceptableStatusCodes"];
    const Value& types = coder["acceptableContentTypes"];
    if (!encoding.isInteger() || !(codes.isNull() || codes.isArray()) ||
        !(types.isNull() || types.isArray()))
        return false;
    std::optional<std::set<long>> codeSet;
    if (codes.isArray()) {
        codeSet.emplace();
        for (const auto& code : codes.array()) {
            if (!code.isInteger()) return false;
            codeSet->insert(long(code.int64Value()));
        }
    }
    std::optional<std::set<std::string>> typeSet;
    if (types.isArray()) {
        typeSet.emplace();
        for (const auto& type : types.array()) {
            if (!type.isText()) return false;
            typeSet->insert(type.text());
        }
    }
    stringEncoding = encoding.uint64Value();
    acceptableStatusCodes = std::move(codeSet);
    acceptableContentTypes = std::move(typeSet);
    return true;
}

void QKAFJSONResponseSerializer::encodeWithCoder(Dictionary& coder) const {
    QKAFHTTPResponseSerializer::encodeWithCoder(coder);
    coder.set(KeyedArchive::kClassKey, Value("QKAFJSONResponseSerializer"));
    coder.set("readingOptions", Value(readingOptions));
    coder.set("removesKeysWithNullValues", Value(removesKeysWithNullValues));
}

void QKAFPropertyListResponseSerializer::encodeWithCoder(Dictionary& coder) const {
    QKAFHTTPResponseSerializer::encodeWithCoder(coder);
    coder.set(KeyedArchive::kClassKey, Value("QKAFPropertyListResponseSerializer"));
    coder.set("format", Value(format));
    coder.set("readOptions", Value(readOptions));
}

void QKAFXMLParserResponseSerializer::encodeWithCoder(Dictionary& coder) const {
    QKAFHTTPResponseSerializer::encodeWithCoder(coder);
    coder.set(KeyedArchive::kClassKey, Value("QKAFXMLParserResponseSerializer"));
}

void QKAFCompoundResponseSerializer::encodeWithCoder(Dictionary& coder) const {
    QKAFHTTPResponseSerializer::encodeWithCoder(coder);
    coder.set(KeyedArchive::kClassKey, Value("QKAFCompoundResponseSerializer"));
    Value::Array serializers;
    for (const auto& serializer : responseSerializers_) {
        Dictionary archived;
        serializer->encodeWithCoder(archived);
        serializers.emplace_back(std::move(archived));
    }
    coder.set("responseSerializers", Value(std::move(serializers)));
}

std::shared_ptr<QKAFURLResponseSerialization> QKAFURLResponseSerialization::initWithCoder(
    const Dictionary& coder) {
    const std::string name = KeyedArchive::classOf(Value(coder));
    std::shared_ptr<QKAFHTTPResponseSerializer> serializer;
    if (name == "QKAFHTTPResponseSerializer") {
        serializer = QKAFHTTPResponseSerializer::serializer();
    } else if (name == "QKAFJSONResponseSerializer") {
        const Value &options = coder["readingOptions"],
                    &removes = coder["removesKeysWithNullValues"];
        if (!options.isInteger() || !removes.isBool()) return nullptr;
        auto json = QKAFJSONResponseSerializer::serializerWithReadingOptions(options.uint64Value());
        json->removesKeysWithNullValues = removes.boolValue();
        serializer = json;
    } else if (name == "QKAFPropertyListResponseSerializer") {
        const Value &format = coder["format"], &options = coder["readOptions"];
        if (!format.isInteger() || !options.isInteger()) return nullptr;
        serializer = QKAFPropertyListResponseSerializer::serializerWithFormat(
            format.uint64Value(), options.uint64Value());
    } else if (name == "QKAFXMLParserResponseSerializer") {
        serializer = QKAFXMLParserResponseSerializer::serializer();
    } else if (name == "QKAFImageResponseSerializer") {
        serializer = QKAFImageResponseSerializer::fromCoder(coder);
    } else if (name == "QKAFCompoundResponseSerializer") {
        const Value& list = coder["responseSerializers"];
        if (!list.isArray()) return nullptr;
        QKAFCompoundResponseSerializer::Serializers serializers;
        for (const auto& each : list.array()) {
            auto decoded = each.isDictionary() ? initWithCoder(each.dictionary()) : nullptr;
            if (!decoded) return nullptr;
            serializers.push_back(std::move(decoded));
        }
        serializer = QKAFCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
            std::move(serializers));
    }
    if (!serializer || !serializer->decodeWithCoder(coder)) return nullptr;
    return serializer;
}

}  // namespace telvo
