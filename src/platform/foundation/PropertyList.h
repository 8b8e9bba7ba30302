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

// The most a document is read into, in bytes: 1 KiB for each byte of the document, and never
// more than 128 MiB. Every place that names an object counts 64 bytes for the object,
// dictionary keys included, and a text or data counts the bytes it holds as well (a UTF-16 unit
// as three), again for every place naming it: a binary document may name one object from many
// places, and each is read as a copy. A document that names each container once, as a writer
// lays one out, counts at most 64 bytes for each of its own, and about 22 once it holds more
// than 64 Ki objects (its references then take three bytes): any such document of the largest
// reply body URL loading takes (4 MiB) reads. A read's heap peaks near twice what it counts.
inline constexpr uint64_t kPropertyListMaxBytesPerByte = 1024;
inline constexpr uint64_t kPropertyListMaxBytes = uint64_t{128} << 20;
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
    // bytes: a document cut short, nested deeper than 512 containers (whatever comments,
    // CDATA sections or processing instructions stand between its tags), reading into more
    // than the bound above or, in binary form, referring to itself, is refused with error 3840
    // like any other malformed document, before any of it is read into memory.
    static std::optional<Value> propertyListWithData(std::string_view data, uint64_t options,
                                                     uint64_t* format, ErrorPtr* error);
};

namespace detail {
// Frees a tree of the property-list library however deep it goes (the library's own free
// recurses once per level): the reader's last resort, should a tree pass the checks before
// parsing.
void releaseDeepTree(void* root);
}  // namespace detail

}  // namespace telvo
