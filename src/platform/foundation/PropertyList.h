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
// Write option: values a property list cannot hold (null, object handles, texts the format
// cannot carry) are left out of their containers instead of failing the whole write.
inline constexpr uint64_t kPropertyListWriteSkippingUnrepresentable = 1ull << 32;

// The most heap a document is read into: 1 KiB for each byte of the document, and never more
// than 128 MiB. What is counted is what the value holds, as malloc hands it out: every value's
// place in its container (a dictionary's key included), every container's block, and a text's
// or data's bytes, again for every place naming it (a binary document may name one object from
// many places, and each is read as a copy).
inline constexpr uint64_t kPropertyListMaxBytesPerByte = 1024;
// Containers a document may nest, the top one included.
inline constexpr size_t kPropertyListMaxNesting = 512;
inline constexpr uint64_t kPropertyListMaxBytes = uint64_t{128} << 20;

// Property lists (NSPropertyListSerialization), as values: dictionaries, arrays, texts, bytes,
// integers, reals and booleans. Dates and other kinds read as null. Each form is read in one
// pass by a reader of its own that measures while it builds (XML on expat, binary from its
// object table), on a stack of its own; libplist writes. Thread-safe.
class PropertyListSerialization {
  public:
    // The document in XML (100) or binary (200) form; nullopt with *error (3852) for another
    // format, a value a property list cannot hold (null, an object handle, a text with a zero
    // character or that is not UTF-8, in XML one with a control character but tab and line
    // feed), or a value the reader would refuse: nested deeper than 512 containers, or reading
    // into more than the bound above for the document written.
    static std::optional<Bytes> dataWithPropertyList(const Value& propertyList, uint64_t format,
                                                     uint64_t options, ErrorPtr* error);
    // The value of a document in either form (the form found goes to *format). Untrusted
    // bytes: a document cut short, nested deeper than 512 containers (in either form: texts
    // and other scalars are no level), reading into more than the bound above, in binary form
    // referring to itself, or in XML declaring an entity, is refused with error 3840 like any
    // other malformed document, as soon as the reader meets what refuses it. Time and heap are
    // linear in what is read.
    static std::optional<Value> propertyListWithData(std::string_view data, uint64_t options,
                                                     uint64_t* format, ErrorPtr* error);
};

// The containers on the longest path of a value (0 for a scalar), counted no further than one
// past kPropertyListMaxNesting.
size_t propertyListNesting(const Value& value);

namespace detail {
// Frees a tree of the property-list library however deep it goes (the library's own free
// recurses once per level).
void releaseDeepTree(void* root);
}  // namespace detail

}  // namespace telvo
