// Runs the property-list response serializer over a reply: the first byte picks the status
// code and whether the content type is acceptable, the rest is the body (XML or binary, or
// anything else). The result is an object, an error, both, or neither; never a crash, and a
// refused status or content type always comes with an error. An object read from a document
// holds no more bytes than the document's size allows, and is written again and read back to
// the same value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ResponseSerializerRun.h"
#include "platform/foundation/ValueBuilder.h"

namespace {

// Text with neither a zero character nor a byte above 0x7F (an easy stand-in for "valid
// UTF-8 without zeros", enough for the check below).
bool plainText(const std::string& text) {
    for (unsigned char c : text)
        if (c == 0 || c >= 0x80) return false;
    return true;
}

// Values a document can hold that do not come back equal: nulls (dates and other kinds read as
// null), NaN, integers beyond the signed range (written back as their signed twin), texts and keys
// with a zero character (refused when written) or that are not UTF-8 (a binary document's one-byte
// strings may hold any byte).
bool comesBackEqual(const telvo::Value& value) {
    if (value.isNull()) return false;
    if (value.type() == telvo::Value::Type::UInt) return false;
    if (value.type() == telvo::Value::Type::Double)
        return value.doubleValue() == value.doubleValue();
    if (value.isText()) return plainText(value.text());
    if (value.isArray())
        for (const auto& element : value.array())
            if (!comesBackEqual(element)) return false;
    if (value.isDictionary())
        for (const auto& [key, element] : value.dictionary())
            if (!plainText(key) || !comesBackEqual(element)) return false;
    return true;
}

// The heap a value holds as the reader counts it (a document's repeated keys count more).
uint64_t bytesIn(const telvo::Value& value, uint64_t slot = sizeof(telvo::Value)) {
    namespace read = telvo::valueheap;
    uint64_t n = slot + read::scalarBytes(value);
    if (value.isArray()) {
        for (const auto& element : value.array()) n += bytesIn(element);
        n += read::containerBytes(false, value.array().size());
    }
    if (value.isDictionary()) {
        for (const auto& [key, element] : value.dictionary())
            n += bytesIn(element, read::slotBytes(true, key.size()));
        n += read::containerBytes(true, value.dictionary().size());
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool acceptableType = (data[0] & 0x80) == 0;
    auto serializer = telvo::QKAFPropertyListResponseSerializer::serializer();
    auto object = telvo::fuzz::serializeReply(
        *serializer, telvo::fuzz::kReplyStatuses[(data[0] & 0x7F) % 6],
        acceptableType ? "application/x-plist" : "text/html", acceptableType, data, size);
    // A document is read into no more bytes than its size allows, however often it names an
    // object.
    if (object && bytesIn(*object) > std::min(telvo::kPropertyListMaxBytes,
                                              telvo::kPropertyListMaxBytesPerByte * (size - 1)))
        std::abort();
    if (object && comesBackEqual(*object)) {
        telvo::ErrorPtr writeError;
        auto written = telvo::PropertyListSerialization::dataWithPropertyList(
            *object, telvo::kPropertyListBinaryFormat, 0, &writeError);
        // Written again without the original's padding, a document naming one object from many
        // places may be over its bound: refused, not written.
        if (!written && writeError->code() != telvo::kNSPropertyListWriteInvalidError) std::abort();
        if (!written) return 0;
        auto again = telvo::PropertyListSerialization::propertyListWithData(
            std::string_view(reinterpret_cast<const char*>(written->data()), written->size()), 0,
            nullptr, nullptr);
        if (!again || !(*again == *object)) std::abort();
    }
    return 0;
}
