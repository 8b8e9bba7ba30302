#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"
#include "telvosdk/Value.h"

namespace telvo {

// The platform's error domain of property lists (and of its JSON reader and writer).
inline constexpr const char* kNSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr int64_t kNSPropertyListReadCorruptError = 3840;
inline constexpr int64_t kNSPropertyListWriteStreamError = 3851;
inline constexpr int64_t kNSPropertyListWriteInvalidError = 3852;

inline constexpr uint64_t kPropertyListOpenStepFormat = 1;
inline constexpr uint64_t kPropertyListXMLFormat = 100;
inline constexpr uint64_t kPropertyListBinaryFormat = 200;
// Write option: values a property list cannot hold (null, object handles) are left out of
// their containers instead of failing the whole write.
inline constexpr uint64_t kPropertyListWriteSkippingUnrepresentable = 1ull << 32;

// The most objects a document is read into: 64 for each byte of the document, and never more
// than 1 Mi (a document that names no object twice holds fewer in the largest reply body URL
// loading takes: past 64 Ki objects each takes at least seven bytes, binary or XML). An object
// counts once for every place that names it, dictionary keys included (a binary document may
// name one object from many places, and each is read as a copy), and in a binary document a
// text or data counts one more for every 64 bytes it holds (an XML document holds each of its
// texts once, in place).
inline constexpr uint64_t kPropertyListMaxObjectsPerByte = 64;
inline constexpr uint64_t kPropertyListMaxObjects = uint64_t{1} << 20;
inline constexpr uint64_t kPropertyListBytesPerObject = 64;

// Property lists (NSPropertyListSerialization) on libplist, as values: dictionaries, arrays,
// texts, bytes, integers, reals and booleans. Dates and other kinds read as null. Thread-safe.
class PropertyListSerialization {
  public:
    // The document in XML (100) or binary (200) form; nullopt with *error for another format
    // or a value a property list cannot hold.
    static std::optional<Bytes> dataWithPropertyList(const Value& propertyList, uint64_t format,
                                                     uint64_t options, ErrorPtr* error);
    // The value of a document in either form (the form found goes to *format). Untrusted
    // bytes: a document cut short, nested deeper than 512 containers, naming more objects
    // than the bound above or, in binary form, referring to itself, is refused with error 3840
    // like any other malformed document, before any of it is read into memory.
    static std::optional<Value> propertyListWithData(std::string_view data, uint64_t options,
                                                     uint64_t* format, ErrorPtr* error);
};

}  // namespace telvo
